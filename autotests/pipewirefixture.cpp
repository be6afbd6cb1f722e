// SPDX-License-Identifier: MIT
#include "pipewirefixture.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTest>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

constexpr int startMs = 20000;

// Ends with the test process even when that dies by a signal.
class ChildProcess : public QProcess
{
public:
    ChildProcess()
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
    }

protected:
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    void setupChildProcess() override
    {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    }
#endif
};

bool writeFile(const QString &path, const QByteArray &text)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

QString findProgram(const QString &name)
{
    QString found = QStandardPaths::findExecutable(name);
    if (found.isEmpty())
        found = QStandardPaths::findExecutable(name, { QStringLiteral("/usr/libexec") });
    return found;
}

bool hasElement(const QString &name)
{
    QProcess inspect;
    inspect.setStandardOutputFile(QProcess::nullDevice());
    inspect.start(QStringLiteral("gst-inspect-1.0"), { name });
    return inspect.waitForFinished(20000) && inspect.exitStatus() == QProcess::NormalExit
        && inspect.exitCode() == 0;
}

const char *const environmentNames[] = { "XDG_RUNTIME_DIR", "XDG_STATE_HOME", "XDG_CONFIG_HOME",
    "XDG_DATA_HOME", "DBUS_SESSION_BUS_ADDRESS", "PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_REMOTE",
    "PIPEWIRE_CONFIG_DIR", "XDG_CURRENT_DESKTOP", "XDG_DESKTOP_PORTAL_DIR" };

} // namespace

PipeWireFixture::PipeWireFixture() = default;

PipeWireFixture::~PipeWireFixture()
{
    stop();
}

QString PipeWireFixture::missingPackages(bool portal)
{
    QStringList missing;
    const QList<QPair<QString, QString>> programs {
        { QStringLiteral("pipewire"), QStringLiteral("pipewire-bin") },
        { QStringLiteral("wireplumber"), QStringLiteral("wireplumber") },
        { QStringLiteral("wpctl"), QStringLiteral("wireplumber") },
        { QStringLiteral("pw-cli"), QStringLiteral("pipewire-bin") },
        { QStringLiteral("dbus-daemon"), QStringLiteral("dbus-daemon") },
        { QStringLiteral("gst-launch-1.0"), QStringLiteral("gstreamer1.0-tools") },
        { QStringLiteral("gst-inspect-1.0"), QStringLiteral("gstreamer1.0-tools") },
    };
    for (const auto &program : programs)
        if (findProgram(program.first).isEmpty())
            missing << QStringLiteral("%1 (%2)").arg(program.first, program.second);
    if (portal) {
        for (const QString &program :
            { QStringLiteral("xdg-desktop-portal"), QStringLiteral("xdg-permission-store") })
            if (findProgram(program).isEmpty())
                missing << QStringLiteral("%1 (xdg-desktop-portal)").arg(program);
    }
    if (missing.isEmpty() && !hasElement(QStringLiteral("pipewiresrc")))
        missing << QStringLiteral("GStreamer's pipewiresrc (gstreamer1.0-pipewire)");
    if (!QFile::exists(QStringLiteral(SPA_VIDEOTESTSRC_DIR)))
        missing << QStringLiteral("PipeWire's SPA videotestsrc (libspa-0.2-modules)");
    return missing.join(QStringLiteral(", "));
}

QProcess *PipeWireFixture::launch(const QString &program, const QStringList &arguments)
{
    auto *process = new ChildProcess;
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->start(findProgram(program), arguments);
    m_processes << process;
    if (!process->waitForStarted(startMs)) {
        end(process);
        return nullptr;
    }
    return process;
}

void PipeWireFixture::end(QProcess *process)
{
    if (!process)
        return;
    m_processes.removeAll(process);
    if (process->state() != QProcess::NotRunning) {
        ::kill(pid_t(process->processId()), SIGCONT); // a stopped one could not end
        process->terminate();
        if (!process->waitForFinished(5000)) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    delete process;
}

bool PipeWireFixture::start(const QString &confSnippet, QString *why)
{
    if (!m_dir.isValid()) {
        *why = QStringLiteral("cannot make a temporary folder");
        return false;
    }
    for (const char *name : environmentNames) {
        m_savedNames << name;
        m_savedValues << (qEnvironmentVariableIsSet(name) ? qgetenv(name) : QByteArray());
    }
    const QString root = m_dir.path();
    const QString runtime = root + QStringLiteral("/runtime");
    QDir().mkpath(runtime);
    QFile::setPermissions(
        runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
    qputenv("XDG_STATE_HOME", (root + QStringLiteral("/state")).toUtf8());
    qputenv("XDG_CONFIG_HOME", (root + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_DATA_HOME", dataHome().toUtf8());
    qunsetenv("PIPEWIRE_RUNTIME_DIR");
    qunsetenv("PIPEWIRE_REMOTE");
    qunsetenv("PIPEWIRE_CONFIG_DIR");
    if (!confSnippet.isEmpty()
        && !writeFile(root + QStringLiteral("/config/pipewire/pipewire.conf.d/test-nodes.conf"),
            confSnippet.toUtf8())) {
        *why = QStringLiteral("cannot write the PipeWire configuration");
        return false;
    }

    // A bus of its own: only the permission store is activatable on it.
    const QString services = root + QStringLiteral("/bus-services");
    writeFile(services + QStringLiteral("/org.freedesktop.impl.portal.PermissionStore.service"),
        QStringLiteral("[D-BUS Service]\nName=org.freedesktop.impl.portal.PermissionStore\n"
                       "Exec=%1\n")
            .arg(findProgram(QStringLiteral("xdg-permission-store")))
            .toUtf8());
    const QString config = root + QStringLiteral("/bus.conf");
    writeFile(config,
        QStringLiteral("<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                       "<servicedir>%2</servicedir><policy context=\"default\">"
                       "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                       "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n")
            .arg(runtime, services)
            .toUtf8());
    m_bus = new ChildProcess;
    m_bus->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_bus->start(findProgram(QStringLiteral("dbus-daemon")),
        { QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
            QStringLiteral("--print-address=1") });
    m_processes << m_bus;
    if (!m_bus->waitForStarted(startMs)
        || !QTest::qWaitFor([this] { return m_bus->canReadLine(); }, startMs)) {
        *why = QStringLiteral("dbus-daemon did not start");
        return false;
    }
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus->readLine().trimmed());

    QProcess *pipewire = launch(QStringLiteral("pipewire"), {});
    const QString socket = runtime + QStringLiteral("/pipewire-0");
    if (!pipewire || !QTest::qWaitFor([&] { return QFile::exists(socket); }, startMs)) {
        *why = QStringLiteral("pipewire did not start (no %1)").arg(socket);
        return false;
    }
    // Without the session manager nothing links a consumer to a camera node.
    QProcess *wireplumber = launch(QStringLiteral("wireplumber"), {});
    if (!wireplumber
        || !QTest::qWaitFor(
            [this] { return wpctlStatus().contains(QLatin1String("WirePlumber [export]")); },
            startMs)) {
        *why = QStringLiteral("wireplumber did not start: `wpctl status` never listed it");
        return false;
    }
    return true;
}

void PipeWireFixture::stop()
{
    m_portal = nullptr;
    while (!m_processes.isEmpty())
        end(m_processes.last()); // newest first: providers, then wireplumber, pipewire, bus
    m_bus = nullptr;
    for (int i = 0; i < m_savedNames.size(); ++i) {
        if (m_savedValues.at(i).isEmpty())
            qunsetenv(m_savedNames.at(i).constData());
        else
            qputenv(m_savedNames.at(i).constData(), m_savedValues.at(i));
    }
    m_savedNames.clear();
    m_savedValues.clear();
}

QString PipeWireFixture::wpctlStatus() const
{
    QProcess wpctl;
    wpctl.start(findProgram(QStringLiteral("wpctl")), { QStringLiteral("status") });
    if (!wpctl.waitForFinished(10000) || wpctl.exitCode() != 0)
        return QString();
    return QString::fromUtf8(wpctl.readAllStandardOutput());
}

bool PipeWireFixture::hasNode(const QString &nodeName) const
{
    QProcess cli;
    cli.start(
        findProgram(QStringLiteral("pw-cli")), { QStringLiteral("ls"), QStringLiteral("Node") });
    if (!cli.waitForFinished(10000))
        return false;
    return QString::fromUtf8(cli.readAllStandardOutput())
        .contains(QStringLiteral("node.name = \"%1\"").arg(nodeName));
}

QProcess *PipeWireFixture::addProvider(
    const QString &nodeName, const QString &caps, QString *why, const QString &extra)
{
    QStringList arguments { QStringLiteral("-q"), QStringLiteral("videotestsrc"),
        QStringLiteral("is-live=true"), QStringLiteral("!"), caps };
    if (!extra.isEmpty())
        arguments << QStringLiteral("!") << extra.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    arguments << QStringLiteral("!") << QStringLiteral("pipewiresink")
              << QStringLiteral("mode=provide")
              << QStringLiteral("stream-properties=props,media.class=Video/Source,node.name=%1,"
                                "node.description=%1,media.role=Camera")
                     .arg(nodeName);
    QProcess *provider = launch(QStringLiteral("gst-launch-1.0"), arguments);
    if (!provider || !QTest::qWaitFor([&] { return hasNode(nodeName); }, startMs)) {
        *why = QStringLiteral("the camera node %1 did not appear in PipeWire").arg(nodeName);
        end(provider);
        return nullptr;
    }
    return provider;
}

void PipeWireFixture::removeProvider(QProcess *provider)
{
    end(provider);
}

QString PipeWireFixture::dataHome() const
{
    return m_dir.path() + QStringLiteral("/data");
}

bool PipeWireFixture::startPortal(const QString &accessBusName, QString *why)
{
    if (m_portal)
        return true;
    const QString portals = m_dir.path() + QStringLiteral("/portals");
    writeFile(portals + QStringLiteral("/test.portal"),
        QStringLiteral("[portal]\nDBusName=%1\nInterfaces=org.freedesktop.impl.portal.Access;\n"
                       "UseIn=kivtest\n")
            .arg(accessBusName)
            .toUtf8());
    qputenv("XDG_DESKTOP_PORTAL_DIR", portals.toUtf8());
    qputenv("XDG_CURRENT_DESKTOP", "kivtest");
    m_portal = launch(QStringLiteral("xdg-desktop-portal"), { QStringLiteral("--replace") });
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    if (!m_portal || !bus
        || !QTest::qWaitFor(
            [bus] {
                return bus->isServiceRegistered(QStringLiteral("org.freedesktop.portal.Desktop"))
                    .value();
            },
            startMs)) {
        *why = QStringLiteral("xdg-desktop-portal did not start");
        end(m_portal);
        m_portal = nullptr;
        return false;
    }
    return true;
}

void PipeWireFixture::stopPortal()
{
    end(m_portal);
    m_portal = nullptr;
}

bool PipeWireFixture::portalRunning() const
{
    return m_portal != nullptr;
}
