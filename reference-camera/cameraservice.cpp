#include "cameraservice.h"

#include "capture.h"
#include "console.h"
#include "dbusformat.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QMap>
#include <QPair>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace refcam {

QString defaultBusName()
{
    return QStringLiteral("org.kiv.Action.CameraUIService");
}

QString objectPath()
{
    return QStringLiteral("/org/kiv/Action");
}

QString interfaceName()
{
    return QStringLiteral("org.kiv.Action");
}

namespace {

QString invokeMethod()
{
    return QStringLiteral("Invoke");
}

QString cancelMethod()
{
    return QStringLiteral("Cancel");
}

// Accepts any integral D-Bus type, doubles and numeric strings: callers are not all careful.
bool toInteger(const QVariant &value, qint64 *result)
{
    switch (value.userType()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::UChar:
        *result = value.toLongLong();
        return true;
    case QMetaType::ULongLong:
        *result = qint64(
            qMin<quint64>(value.toULongLong(), quint64(std::numeric_limits<qint64>::max())));
        return true;
    case QMetaType::Double: {
        const double d = value.toDouble();
        if (!std::isfinite(d))
            return false;
        const double lo = double(std::numeric_limits<qint64>::min());
        const double hi = double(std::numeric_limits<qint64>::max());
        *result = d <= lo ? std::numeric_limits<qint64>::min()
                          : (d >= hi ? std::numeric_limits<qint64>::max() : qint64(d));
        return true;
    }
    case QMetaType::QString: {
        bool ok = false;
        const qint64 parsed = value.toString().trimmed().toLongLong(&ok);
        if (ok)
            *result = parsed;
        return ok;
    }
    default:
        return false;
    }
}

bool isString(const QVariant &value)
{
    return value.userType() == QMetaType::QString;
}

void warnType(const QString &key, const QVariant &value, const QString &fallback)
{
    printErr(programPrefix()
        + QStringLiteral("%1 has unexpected type (%2) = %3, %4")
              .arg(key, dbusSignature(value), formatDBusValue(value), fallback));
}

// Unknown keys are only logged; later duplicates win, like inserting into a map.
void applyValue(CaptureRequest &request, const QString &key, const QVariant &value)
{
    if (key == QLatin1String("cameraType")) {
        if (!isString(value))
            warnType(key, value, QStringLiteral("taking a photo"));
        request.video = isString(value) && value.toString() == QLatin1String("VIDEO");
    } else if (key == QLatin1String("videoSizeLimitation")) {
        qint64 limit = 0;
        if (!toInteger(value, &limit)) {
            warnType(key, value, QStringLiteral("using no limit"));
            limit = 0;
        }
        request.sizeLimit = limit;
    } else if (key == QLatin1String("fileLocation")) {
        if (!isString(value))
            warnType(key, value, QStringLiteral("choosing a file name"));
        request.fileLocation = isString(value) ? value.toString() : QString();
    } else if (key == QLatin1String("photoResolution")) {
        request.hasPhotoResolution = true;
        request.photoResolution = isString(value) ? value.toString() : formatDBusValue(value);
    } else if (key == QLatin1String("videoQuality")) {
        if (!isString(value))
            warnType(key, value, QStringLiteral("using HIGHEST"));
        request.videoQuality = isString(value) ? value.toString() : QString();
    }
}

// Walks the raw map so keys show in the order the caller put them on the wire.
void readValues(CaptureRequest &request, const QVariant &raw)
{
    QList<QPair<QString, QVariant>> entries;
    if (raw.userType() == qMetaTypeId<QDBusArgument>()) {
        const QDBusArgument map = raw.value<QDBusArgument>();
        map.beginMap();
        while (!map.atEnd() && map.currentType() == QDBusArgument::MapEntryType) {
            QString key;
            QDBusVariant value;
            map.beginMapEntry();
            map >> key >> value;
            map.endMapEntry();
            entries.append(qMakePair(key, value.variant()));
        }
        map.endMap();
    } else {
        // Not expected from QtDBus; kept so a different demarshalling cannot make us crash.
        const QVariantMap map = raw.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            entries.append(qMakePair(it.key(), it.value()));
    }
    for (const auto &entry : std::as_const(entries))
        printOut(QStringLiteral("  %1 (%2) = %3")
                     .arg(entry.first, dbusSignature(entry.second), formatDBusValue(entry.second)));
    if (entries.isEmpty())
        printOut(QStringLiteral("  (no values)"));
    // Decoded after the listing so type warnings do not split it.
    for (const auto &entry : std::as_const(entries))
        applyValue(request, entry.first, entry.second);
}

QString uniqueCaptureName(const QString &dir, const QString &suffix)
{
    const QString base = QStringLiteral("capture-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    QString path = QDir(dir).filePath(base + suffix);
    for (int counter = 2; QFileInfo::exists(path); ++counter)
        path = QDir(dir).filePath(QStringLiteral("%1-%2%3").arg(base).arg(counter).arg(suffix));
    return path;
}

QString outputFolder(const Options &options, bool video)
{
    if (!options.outputDir.isEmpty())
        return options.outputDir;
    const QString standard = QStandardPaths::writableLocation(
        video ? QStandardPaths::MoviesLocation : QStandardPaths::PicturesLocation);
    return standard.isEmpty() ? QDir::tempPath() : standard;
}

// A file: URL names the same file; anything else is taken as a plain path.
QString localPath(const QString &location)
{
    if (location.startsWith(QLatin1String("file:"))) {
        const QUrl url(location);
        if (url.isLocalFile())
            return url.toLocalFile();
    }
    return location;
}

QString introspectionXml(const QString &interfaces)
{
    return QStringLiteral(
               "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n"
               "<node>\n"
               "  <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
               "    <method name=\"Introspect\">\n"
               "      <arg name=\"xml_data\" type=\"s\" direction=\"out\"/>\n"
               "    </method>\n"
               "  </interface>\n"
               "  <interface name=\"org.freedesktop.DBus.Peer\">\n"
               "    <method name=\"Ping\"/>\n"
               "    <method name=\"GetMachineId\">\n"
               "      <arg name=\"machine_uuid\" type=\"s\" direction=\"out\"/>\n"
               "    </method>\n"
               "  </interface>\n")
        + interfaces + QStringLiteral("</node>\n");
}

} // namespace

CameraService::CameraService(const Options &options, QObject *parent)
    : QDBusVirtualObject(parent)
    , m_options(options)
{ }

QString CameraService::introspect(const QString &path) const
{
    Q_UNUSED(path)
    return QStringLiteral("  <interface name=\"%1\">\n"
                          "    <method name=\"Invoke\">\n"
                          "      <arg name=\"action\" type=\"s\" direction=\"in\"/>\n"
                          "      <arg name=\"values\" type=\"a{sv}\" direction=\"in\"/>\n"
                          "      <arg name=\"results\" type=\"a{ss}\" direction=\"out\"/>\n"
                          "    </method>\n"
                          "    <method name=\"Cancel\">\n"
                          "      <arg name=\"action\" type=\"s\" direction=\"in\"/>\n"
                          "    </method>\n"
                          "  </interface>\n")
        .arg(interfaceName());
}

bool CameraService::handleMessage(const QDBusMessage &message, const QDBusConnection &connection)
{
    // Qt 5.15 and 6.4 call this in the main thread, which is not promised: queue to ours.
    const QDBusMessage call = message;
    const QDBusConnection bus = connection;
    QMetaObject::invokeMethod(
        this, [this, call, bus] { dispatch(call, bus); }, Qt::QueuedConnection);
    return true;
}

void CameraService::dispatch(const QDBusMessage &message, QDBusConnection connection)
{
    if (message.type() != QDBusMessage::MethodCallMessage)
        return;
    if (m_quitting && m_options.exitWithoutAnswer)
        return;

    const QString iface = message.interface();
    // Virtual objects get introspection calls too; gdbus and d-feet use them.
    if ((iface.isEmpty() || iface == QLatin1String("org.freedesktop.DBus.Introspectable"))
        && message.member() == QLatin1String("Introspect") && message.signature().isEmpty()) {
        send(
            message, message.createReply(introspectionXml(introspect(message.path()))), connection);
        return;
    }
    // Nothing to report, but an error here would make browsing tools complain.
    if (iface == QLatin1String("org.freedesktop.DBus.Properties")
        && message.member() == QLatin1String("GetAll")
        && message.signature() == QLatin1String("s")) {
        send(message, message.createReply(QVariant::fromValue(QVariantMap())), connection);
        return;
    }
    if ((iface.isEmpty() || iface == interfaceName()) && message.member() == cancelMethod()
        && message.signature() == QLatin1String("s")) {
        cancel(message, connection);
        return;
    }
    const bool isInvoke
        = (iface.isEmpty() || iface == interfaceName()) && message.member() == invokeMethod();
    if (!isInvoke || message.signature() != QLatin1String("sa{sv}")) {
        const QString name = isInvoke ? QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs")
                                      : QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod");
        const QString text = isInvoke
            ? QStringLiteral("Invoke takes arguments of signature 'sa{sv}', not '%1'")
                  .arg(message.signature())
            : QStringLiteral("No such method '%1' in interface '%2' at object path '%3' "
                             "(signature '%4')")
                  .arg(message.member(), iface, message.path(), message.signature());
        printOut(programPrefix()
            + QStringLiteral("rejected call %1.%2 (signature '%3') from %4 with %5")
                  .arg(iface, message.member(), message.signature(), message.service(), name));
        send(message, message.createErrorReply(name, text), connection);
        return;
    }

    CaptureRequest request;
    request.number = ++m_requestCount;
    request.message = message;
    const QList<QVariant> args = message.arguments();
    request.action = args.value(0).toString();
    request.caller = message.service();
    printOut(programPrefix()
        + QStringLiteral("request %1 from %2: action %3")
              .arg(QString::number(request.number), message.service(),
                  quoted(args.value(0).toString())));
    readValues(request, args.value(1));

    if (m_options.exitWithoutAnswer) {
        printOut(programPrefix() + QStringLiteral("exiting without an answer"));
        m_quitting = true;
        QCoreApplication::exit(3);
        return;
    }
    if (m_options.delayMs > 0) {
        printOut(programPrefix()
            + QStringLiteral("answering request %1 in %2 ms")
                  .arg(request.number)
                  .arg(m_options.delayMs));
        hold(request, connection);
        return;
    }
    answer(request, connection);
}

void CameraService::hold(const CaptureRequest &request, QDBusConnection connection)
{
    if (!m_callers) {
        m_callers = new QDBusServiceWatcher(this);
        m_callers->setConnection(connection);
        m_callers->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
        connect(
            m_callers, &QDBusServiceWatcher::serviceUnregistered, this, &CameraService::callerLeft);
    }
    const bool watched = m_callers->watchedServices().contains(request.caller);
    if (!watched && !request.caller.isEmpty())
        m_callers->addWatchedService(request.caller);

    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    const int number = request.number;
    connect(timer, &QTimer::timeout, this, [this, number] {
        Pending pending = take(number);
        if (pending.timer)
            answer(pending.request, pending.connection);
    });
    m_pending.insert(number, Pending { request, connection, timer });
    timer->start(m_options.delayMs);

    // The caller may have left before the watch was in place; the bus answers in order,
    // so once it says the name has an owner, its leaving will be reported.
    if (!watched && !request.caller.isEmpty()
        && !connection.interface()->isServiceRegistered(request.caller).value())
        callerLeft(request.caller);
}

CameraService::Pending CameraService::take(int number)
{
    Pending pending = m_pending.take(number);
    if (pending.timer) {
        pending.timer->stop();
        pending.timer->deleteLater();
    }
    const QString caller = pending.request.caller;
    if (m_callers && !caller.isEmpty()) {
        bool stillWaiting = false;
        for (const Pending &other : std::as_const(m_pending))
            stillWaiting = stillWaiting || other.request.caller == caller;
        if (!stillWaiting)
            m_callers->removeWatchedService(caller);
    }
    return pending;
}

void CameraService::cancel(const QDBusMessage &message, QDBusConnection connection)
{
    const QString action = message.arguments().value(0).toString();
    const QString caller = message.service();
    QList<int> numbers;
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it)
        if (it->request.caller == caller && it->request.action == action)
            numbers << it.key();
    std::sort(numbers.begin(), numbers.end());
    printOut(programPrefix()
        + QStringLiteral("cancel from %1: action %2, %3 pending capture(s)")
              .arg(caller, quoted(action))
              .arg(numbers.size()));
    for (int number : std::as_const(numbers)) {
        const Pending pending = take(number);
        QMap<QString, QString> results;
        results.insert(QStringLiteral("actionReturn"), QStringLiteral("CANCELLED"));
        send(pending.request.message,
            pending.request.message.createReply(QVariant::fromValue(results)), pending.connection);
        printOut(programPrefix()
            + QStringLiteral("request %1 cancelled, answered actionReturn=\"CANCELLED\"")
                  .arg(number));
        if (m_options.exitAfterOne)
            quitOnceFlushed(pending.connection);
    }
    send(message, message.createReply(), connection);
}

void CameraService::callerLeft(const QString &caller)
{
    QList<int> numbers;
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it)
        if (it->request.caller == caller)
            numbers << it.key();
    std::sort(numbers.begin(), numbers.end());
    for (int number : std::as_const(numbers)) {
        take(number);
        printOut(programPrefix()
            + QStringLiteral("%1 left the bus: dropped request %2, no file written")
                  .arg(caller)
                  .arg(number));
    }
}

void CameraService::answer(const CaptureRequest &request, QDBusConnection connection)
{
    if (!m_options.errorName.isEmpty()) {
        const QString text = QStringLiteral("reference-camera was told to fail (--error %1)")
                                 .arg(m_options.errorName);
        send(request.message, request.message.createErrorReply(m_options.errorName, text),
            connection);
        printOut(programPrefix() + QStringLiteral("answered error %1").arg(m_options.errorName));
    } else {
        QString path;
        const bool ok = capture(request, &path);
        QMap<QString, QString> results;
        if (m_options.sendActionReturn)
            results.insert(QStringLiteral("actionReturn"),
                ok ? m_options.actionReturn : QStringLiteral("FAILED"));
        if (ok && m_options.sendFileLocation)
            results.insert(QStringLiteral("fileLocationReturn"), path);
        send(
            request.message, request.message.createReply(QVariant::fromValue(results)), connection);
        QString line = programPrefix() + QStringLiteral("answered");
        for (auto it = results.cbegin(); it != results.cend(); ++it)
            line += QStringLiteral(" %1=%2").arg(it.key(), quoted(it.value()));
        if (results.isEmpty())
            line += QStringLiteral(" with no results");
        if (!request.message.isReplyRequired())
            line += QStringLiteral(" (not sent: the caller wants no reply)");
        printOut(line);
    }
    if (m_options.exitAfterOne)
        quitOnceFlushed(connection);
}

bool CameraService::capture(const CaptureRequest &request, QString *path)
{
    const QString suffix = request.video ? QStringLiteral(".y4m") : QStringLiteral(".png");
    if (!request.fileLocation.isEmpty()) {
        *path = localPath(request.fileLocation);
    } else {
        const QString dir = outputFolder(m_options, request.video);
        if (m_options.writeFile && !QDir().mkpath(dir)) {
            printErr(programPrefix() + QStringLiteral("cannot create output folder %1").arg(dir));
            return false;
        }
        *path = uniqueCaptureName(dir, suffix);
    }

    if (!m_options.writeFile) {
        printOut(programPrefix() + QStringLiteral("not writing %1 (--no-file)").arg(*path));
        return true;
    }
    if (QFileInfo(*path).isDir()) {
        printErr(programPrefix() + QStringLiteral("cannot write %1: it is a folder").arg(*path));
        return false;
    }

    WriteResult result;
    QString description;
    if (request.video) {
        const VideoFormat format = videoFormatForQuality(request.videoQuality);
        const int frames = y4mFrameCount(format, request.sizeLimit);
        result = writeVideo(*path, format, frames);
        description = QStringLiteral("%1x%2 Y4M, %3 frames at %4 fps")
                          .arg(format.width)
                          .arg(format.height)
                          .arg(frames)
                          .arg(format.fps);
        if (request.sizeLimit > 0)
            description += QStringLiteral(", limit %1 bytes").arg(request.sizeLimit);
    } else {
        QSize size = maxPhotoSize();
        if (request.hasPhotoResolution) {
            size = parsePhotoResolution(request.photoResolution);
            if (!size.isValid()) {
                size = maxPhotoSize();
                printErr(programPrefix()
                    + QStringLiteral("photoResolution %1 not understood, using MAX (%2x%3)")
                          .arg(quoted(request.photoResolution))
                          .arg(size.width())
                          .arg(size.height()));
            }
        }
        result = writePhoto(*path, size);
        description = QStringLiteral("%1x%2 PNG").arg(size.width()).arg(size.height());
    }
    if (!result.ok) {
        printErr(programPrefix() + QStringLiteral("cannot write %1: %2").arg(*path, result.error));
        return false;
    }
    printOut(programPrefix()
        + QStringLiteral("wrote %1 (%2, %3 bytes)").arg(*path, description).arg(result.bytes));
    return true;
}

void CameraService::send(
    const QDBusMessage &call, const QDBusMessage &reply, QDBusConnection connection)
{
    // A reply nobody waits for would only be refused by the bus.
    if (!call.isReplyRequired())
        return;
    if (!connection.send(reply))
        printErr(programPrefix()
            + QStringLiteral("could not send the answer: %1")
                  .arg(connection.lastError().message()));
}

void CameraService::quitOnceFlushed(QDBusConnection connection)
{
    if (m_quitting)
        return;
    m_quitting = true;
    // The bus handles one connection's messages in order, so its answer to this call
    // proves our reply has left; quitting straight away could drop it.
    const QDBusMessage ping = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
        QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("org.freedesktop.DBus"),
        QStringLiteral("GetId"));
    auto *watcher = new QDBusPendingCallWatcher(connection.asyncCall(ping, 5000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        QCoreApplication::exit(0);
    });
}

} // namespace refcam
