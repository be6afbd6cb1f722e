// SPDX-License-Identifier: MIT
// Runs tst_*.qml against the CameraUIService module. TestCamera lets the cases swap the
// activated reference camera for one started with options (reject, delay, errors).

#include "kivaction_names_p.h"

#include <camerauiservice/camerauiservice.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QQmlEngine>
#include <QScopedPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QtQuickTest>

#include <csignal>

namespace {

const QString kName = KivAction::cameraBusName();
// A camera starting, stopping or answering on a loaded machine; a fault fails within it.
constexpr int kBound = 20000;

bool nameOwned()
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(kName);
}

} // namespace

class TestCamera : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString folder READ folder CONSTANT)

public:
    QString folder() const { return m_dir.path(); }

    // Replaces whichever camera owns the name by one started with these options.
    Q_INVOKABLE bool start(const QStringList &options)
    {
        if (!stop())
            return false;
        m_process.reset(new QProcess);
        m_process->setProcessChannelMode(QProcess::ForwardedChannels);
        m_process->start(QStringLiteral(CAMERA_BIN_DIR "/reference-camera"),
            QStringList { QStringLiteral("--source"), QStringLiteral("test"),
                QStringLiteral("--output-dir"), m_dir.path() }
                + options);
        return m_process->waitForStarted(kBound) && QTest::qWaitFor(nameOwned, kBound);
    }

    // Ends the camera that owns the name, so the next launch activates the plain one.
    Q_INVOKABLE bool stop()
    {
        QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
        if (bus->isServiceRegistered(kName)) {
            // It may be on its way out by itself; then there is nobody left to signal.
            const QDBusReply<uint> pid = bus->servicePid(kName);
            if (pid.isValid())
                ::kill(pid.value(), SIGTERM);
        }
        const bool gone = QTest::qWaitFor([] { return !nameOwned(); }, kBound);
        if (m_process)
            m_process->waitForFinished(kBound);
        m_process.reset();
        return gone;
    }

    Q_INVOKABLE bool exists(const QString &path) const { return QFileInfo(path).isFile(); }

    // What the C entry point answers, for comparing with CameraCapture.capabilities.
    Q_INVOKABLE QString capabilitiesJson() const
    {
        CameraUIService *service = CreateCameraUIService(1, 0);
        SetCameraTimeout(service, kBound);
        const char *text = GetCameraCapabilities(service);
        const QString json = text ? QString::fromUtf8(text) : QString();
        DestroyCameraDlg(service);
        return json;
    }

private:
    QTemporaryDir m_dir;
    QScopedPointer<QProcess> m_process;
};

class Setup : public QObject
{
    Q_OBJECT

public Q_SLOTS:
    void applicationAvailable()
    {
        // A pretend device for the two queries: a KR41 phone, photos posted, videos not.
        writeFile(QStringLiteral("/usr/securesetup/tq_phonemodel.cfg"),
            "[PHONE_MODEL]\nPhoneModelID = KIV-KR41-EU\n");
        writeFile(QStringLiteral("/kivlocal/download/appwrite/setup/kiv_camera_resource.cfg"),
            "[cameraSetting]\nphotoAutoBlog = true\nvideoAutoBlog = off\n");
        qputenv("KIV_ROOT", QFile::encodeName(m_root.path()));

        m_camera.reset(new TestCamera);
        qmlRegisterSingletonInstance("CameraTest", 1, 0, "TestCamera", m_camera.data());
    }

    void cleanupTestCase()
    {
        if (m_camera)
            m_camera->stop();
    }

private:
    void writeFile(const QString &path, const QByteArray &bytes)
    {
        const QString full = m_root.path() + path;
        QDir().mkpath(QFileInfo(full).absolutePath());
        QFile file(full);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qUtf8Printable(full));
    }

    QTemporaryDir m_root;
    QScopedPointer<TestCamera> m_camera;
};

QUICK_TEST_MAIN_WITH_SETUP(qmlcapturetest, Setup)

#include "qmlcapturetest.moc"
