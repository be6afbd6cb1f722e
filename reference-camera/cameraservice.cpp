// SPDX-License-Identifier: MIT
#include "cameraservice.h"

#include "actionadaptor.h"
#include "capturewindow.h"
#include "console.h"
#include "dbusformat.h"
#include "kivaction_names_p.h"
#include "targetfile.h"

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
#include <QPair>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include <cstdio>
#include <unistd.h>

namespace refcam {

namespace {

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
    if (key == KivAction::Key::cameraType()) {
        if (!isString(value))
            warnType(key, value, QStringLiteral("taking a photo"));
        request.video = isString(value) && value.toString() == KivAction::Value::video();
    } else if (key == KivAction::Key::videoSizeLimitation()) {
        qint64 limit = 0;
        if (!toInteger(value, &limit)) {
            warnType(key, value, QStringLiteral("using no limit"));
            limit = 0;
        }
        request.sizeLimit = limit;
    } else if (key == KivAction::Key::fileLocation()) {
        if (!isString(value))
            warnType(key, value, QStringLiteral("choosing a file name"));
        request.fileLocation = isString(value) ? value.toString() : QString();
    } else if (key == KivAction::Key::photoResolution()) {
        request.hasPhotoResolution = true;
        request.photoResolution = isString(value) ? value.toString() : formatDBusValue(value);
    } else if (key == KivAction::Key::hasPostCapturedScreen()) {
        request.postCapturedScreen = isString(value) ? value.toString() : QString();
    } else if (key == KivAction::Key::videoQuality()) {
        if (!isString(value))
            warnType(key, value, QStringLiteral("using HIGHEST"));
        request.videoQuality = isString(value) ? value.toString() : QString();
    }
}

void readValues(CaptureRequest &request, const WireValues &values)
{
    for (const auto &entry : values.entries) {
        const QString shown = QStringLiteral("%1 (%2) = %3")
                                  .arg(shownKey(entry.first), dbusSignature(entry.second),
                                      formatDBusValue(entry.second));
        printOut(QStringLiteral("  ") + shown);
        request.shownValues << shown;
    }
    if (values.entries.isEmpty())
        printOut(QStringLiteral("  (no values)"));
    // Decoded after the listing so type warnings do not split it.
    for (const auto &entry : values.entries)
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

QString targetProblem(const CaptureRequest &request)
{
    if (request.fileLocation.isEmpty())
        return QString();
    const QString &path = request.targetPath;
    if (!QDir::isAbsolutePath(path))
        return QStringLiteral("fileLocation %1 is not an absolute path").arg(quoted(path));
    const QString problem = describeUnsafeTarget(path);
    return problem.isEmpty() ? QString()
                             : QStringLiteral("cannot write %1: %2").arg(quoted(path), problem);
}

} // namespace

CameraService::CameraService(const Options &options, const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_bus(bus)
{
    registerWireValues();
    new ActionAdaptor(this);
}

CameraService::~CameraService()
{
    // Windows are top-level widgets, not our children.
    for (const Pending &pending : std::as_const(m_pending))
        delete pending.window.data();
}

bool CameraService::registerObject(QString *error)
{
    if (m_bus.registerObject(KivAction::objectPath(), this, QDBusConnection::ExportAdaptors))
        return true;
    *error = m_bus.lastError().message();
    if (error->isEmpty())
        *error = QStringLiteral("the path is taken");
    return false;
}

QMap<QString, QString> CameraService::Invoke(const QString &action, const WireValues &values)
{
    setDelayedReply(true);
    const QDBusMessage message = this->message();
    QDBusConnection connection = this->connection();
    if (m_quitting && m_options.exitWithoutAnswer)
        return {};

    CaptureRequest request;
    request.number = ++m_requestCount;
    request.message = message;
    request.action = action;
    request.caller = message.service();
    printOut(programPrefix()
        + QStringLiteral("request %1 from %2: action %3")
              .arg(QString::number(request.number), message.service(), quoted(action)));
    readValues(request, values);
    if (!request.fileLocation.isEmpty())
        request.targetPath = localPath(request.fileLocation);

    if (!m_options.configProblem.isEmpty()) {
        sendError(message, connection, KivAction::badCameraOptionsError(),
            QStringLiteral("reference-camera cannot serve: %1. Fix the file or remove it; this "
                           "camera quits now, so the next request starts one with the fixed "
                           "file.")
                .arg(m_options.configProblem));
        quitOnceFlushed(connection);
        return {};
    }
    if (action != KivAction::cameraAction()) {
        sendError(message, connection, KivAction::unknownActionError(),
            QStringLiteral("reference-camera serves the action %1 only, not %2")
                .arg(quoted(KivAction::cameraAction()), quoted(action)));
        return {};
    }
    if (m_options.exitWithoutAnswer) {
        printOut(programPrefix() + QStringLiteral("exiting without an answer"));
        m_quitting = true;
        QCoreApplication::exit(3);
        return {};
    }
    if (m_options.interactive) {
        // A target that cannot be written is answered before anyone takes a picture.
        const QString problem = targetProblem(request);
        if (!problem.isEmpty()) {
            printErr(programPrefix() + problem + QStringLiteral("; answering FAILED"));
            QMap<QString, QString> results;
            results.insert(KivAction::Key::actionReturn(), KivAction::Value::failed());
            answerResults(request, connection, results);
            return {};
        }
        openWindow(request, connection);
        return {};
    }
    if (m_options.delayMs > 0) {
        printOut(programPrefix()
            + QStringLiteral("answering request %1 in %2 ms")
                  .arg(request.number)
                  .arg(m_options.delayMs));
        Pending pending;
        pending.request = request;
        pending.connection = connection;
        pending.timer = new QTimer(this);
        pending.timer->setSingleShot(true);
        const int number = request.number;
        connect(pending.timer, &QTimer::timeout, this, [this, number] {
            const Pending due = take(number);
            answer(due.request, due.connection);
        });
        pending.timer->start(m_options.delayMs);
        hold(pending);
        return {};
    }
    answer(request, connection);
    return {};
}

void CameraService::hold(Pending pending)
{
    const QString caller = pending.request.caller;
    if (!m_callers) {
        m_callers = new QDBusServiceWatcher(this);
        m_callers->setConnection(pending.connection);
        m_callers->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
        connect(
            m_callers, &QDBusServiceWatcher::serviceUnregistered, this, &CameraService::callerLeft);
    }
    const bool watched = m_callers->watchedServices().contains(caller);
    if (!watched && !caller.isEmpty())
        m_callers->addWatchedService(caller);
    QDBusConnection connection = pending.connection;
    m_pending.insert(pending.request.number, pending);

    // The caller may have left before the watch was in place; the bus answers in order,
    // so once it says the name has an owner, its leaving will be reported.
    if (!watched && !caller.isEmpty()
        && !connection.interface()->isServiceRegistered(caller).value())
        callerLeft(caller);
}

void CameraService::openWindow(const CaptureRequest &request, QDBusConnection connection)
{
    WindowSettings settings;
    settings.number = request.number;
    settings.caller = request.caller;
    settings.video = request.video;
    settings.format = videoFormatForQuality(request.videoQuality);
    settings.sizeLimit = request.sizeLimit;
    // Invalid: the camera's largest mode (MAX, or a value not understood).
    settings.photoSize
        = request.hasPhotoResolution ? parsePhotoResolution(request.photoResolution) : QSize();
    settings.review = request.postCapturedScreen == KivAction::Value::yes();
    settings.values = request.shownValues;
    settings.source = m_options.source;
    settings.encoder = m_options.encoder;
    settings.videoQuality = request.videoQuality;
    if (request.hasPhotoResolution
        && request.photoResolution.trimmed().compare(KivAction::Value::max(), Qt::CaseInsensitive)
            == 0)
        settings.photoSize = QSize();
    // A clip is recorded beside its target, hidden, and renamed into place on Accept.
    const QString target = request.fileLocation.isEmpty()
        ? outputFolder(m_options, true) + QStringLiteral("/capture.mp4")
        : localPath(request.fileLocation);
    QDir().mkpath(QFileInfo(target).absolutePath());
    settings.recordingPath = QFileInfo(target).absolutePath()
        + QStringLiteral("/.reference-camera-%1-%2.%3")
              .arg(QCoreApplication::applicationPid())
              .arg(request.number)
              .arg(formatForPath(true, target));

    Pending pending;
    pending.request = request;
    pending.connection = connection;
    pending.window = new CaptureWindow(settings);
    const int number = request.number;
    connect(pending.window, &CaptureWindow::decided, this,
        [this, number](bool accepted) { windowDecided(number, accepted); });
    connect(pending.window, &CaptureWindow::failed, this,
        [this, number](
            const QString &name, const QString &text) { windowFailed(number, name, text); });
    CaptureWindow *window = pending.window;
    hold(pending);
    if (!m_pending.contains(number))
        return; // the caller is already gone
    printOut(programPrefix() + QStringLiteral("request %1: window open").arg(number));
    window->show();
    window->raise();
    window->activateWindow();
    Q_EMIT windowOpened(window);
}

void CameraService::windowDecided(int number, bool accepted)
{
    if (!m_pending.contains(number))
        return;
    Pending pending = m_pending.value(number);
    const Take shot = pending.window ? pending.window->take() : Take();
    pending = take(number);
    if (accepted) {
        printOut(programPrefix() + QStringLiteral("request %1: the user accepted").arg(number));
        answer(pending.request, pending.connection, shot);
        return;
    }
    printOut(programPrefix() + QStringLiteral("request %1: the user rejected").arg(number));
    QMap<QString, QString> results;
    results.insert(KivAction::Key::actionReturn(), KivAction::Value::rejected());
    answerResults(pending.request, pending.connection, results);
}

void CameraService::windowFailed(int number, const QString &errorName, const QString &message)
{
    if (!m_pending.contains(number))
        return;
    const Pending pending = take(number);
    printErr(programPrefix() + QStringLiteral("request %1: %2").arg(number).arg(message));
    sendError(pending.request.message, pending.connection, errorName, message);
}

CameraService::Pending CameraService::take(int number)
{
    Pending pending = m_pending.take(number);
    if (pending.timer) {
        pending.timer->stop();
        pending.timer->deleteLater();
    }
    if (pending.window) {
        pending.window->dismiss();
        pending.window->deleteLater();
    }
    if (pending.job) {
        pending.job->cancel(); // a capture still running leaves no file
        pending.job->deleteLater();
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

void CameraService::Cancel(const QString &action)
{
    const QString caller = message().service();
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
        results.insert(KivAction::Key::actionReturn(), KivAction::Value::cancelled());
        answerResults(pending.request, pending.connection, results,
            QStringLiteral("request %1 cancelled, ").arg(number));
    }
}

QVariantMap CameraService::GetCapabilities(const QString &action)
{
    const QDBusMessage message = this->message();
    QDBusConnection connection = this->connection();
    // Errors go out as Invoke sends them; the adaptor's reply is then not sent.
    if (!m_options.configProblem.isEmpty()) {
        setDelayedReply(true);
        sendError(message, connection, KivAction::badCameraOptionsError(),
            QStringLiteral("reference-camera cannot serve: %1. Fix the file or remove it; this "
                           "camera quits now, so the next request starts one with the fixed "
                           "file.")
                .arg(m_options.configProblem));
        quitOnceFlushed(connection);
        return {};
    }
    if (action != KivAction::cameraAction()) {
        setDelayedReply(true);
        sendError(message, connection, KivAction::unknownActionError(),
            QStringLiteral("reference-camera serves the action %1 only, not %2")
                .arg(quoted(KivAction::cameraAction()), quoted(action)));
        return {};
    }
    auto cached = m_capabilities.constFind(m_options.source);
    if (cached == m_capabilities.constEnd()) {
        // Only probed, never opened for frames: no window, no capture.
        const SourceModes modes = probeSource(m_options.source);
        if (!modes.ok()) {
            setDelayedReply(true);
            sendError(message, connection, modes.errorName, modes.errorMessage);
            printOut(programPrefix()
                + QStringLiteral("capabilities for %1: %2")
                      .arg(message.service(), modes.errorMessage));
            return {};
        }
        CapabilityInput input = sourceInput(modes);
        // The test picture is named as asked ("test", not the pattern it defaults to); a
        // device by what it was found as.
        if (m_options.source.startsWith(QLatin1String("test")))
            input.source = m_options.source;
        cached = m_capabilities.insert(m_options.source, buildCapabilities(input));
    }
    const QVariantMap &answer = *cached;
    printOut(programPrefix()
        + QStringLiteral("capabilities for %1: source %2, %3 photo sizes, %4 video qualities")
              .arg(message.service(), quoted(answer.value(KivAction::Key::source()).toString()))
              .arg(answer.value(KivAction::Key::photoResolutions()).toStringList().size())
              .arg(answer.value(KivAction::Key::videoQualities()).toStringList().size()));
    return answer;
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

void CameraService::answer(
    const CaptureRequest &request, QDBusConnection connection, const Take &take)
{
    if (!m_options.errorName.isEmpty()) {
        const QString text = QStringLiteral("reference-camera was told to fail (--error %1)")
                                 .arg(m_options.errorName);
        sendError(request.message, connection, m_options.errorName, text);
        if (m_options.exitAfterOne)
            quitOnceFlushed(connection);
        return;
    }
    QString path;
    if (!take.recordedFile.isEmpty()) {
        path = request.fileLocation.isEmpty()
            ? uniqueCaptureName(outputFolder(m_options, true), QStringLiteral(".mp4"))
            : localPath(request.fileLocation);
        const QString problem = QFileInfo::exists(path) ? describeUnsafeTarget(path) : QString();
        const bool moved = problem.isEmpty()
            && ::rename(QFile::encodeName(take.recordedFile).constData(),
                   QFile::encodeName(path).constData())
                == 0;
        if (moved)
            printOut(programPrefix()
                + QStringLiteral("wrote %1 (recorded in the window, %2 ms, %3 bytes)")
                      .arg(escaped(path))
                      .arg(take.recordMs)
                      .arg(QFileInfo(path).size()));
        else
            ::unlink(QFile::encodeName(take.recordedFile).constData());
        QMap<QString, QString> results;
        if (m_options.sendActionReturn)
            results.insert(KivAction::Key::actionReturn(),
                moved ? m_options.actionReturn : KivAction::Value::failed());
        if (moved && m_options.sendFileLocation)
            results.insert(KivAction::Key::fileLocationReturn(), path);
        answerResults(request, connection, results);
        return;
    }
    if (startCapture(request, connection, take, &path))
        return; // answered when the capture is done
    const bool ok = !path.isEmpty() && !m_options.writeFile;
    QMap<QString, QString> results;
    if (m_options.sendActionReturn)
        results.insert(KivAction::Key::actionReturn(),
            ok ? m_options.actionReturn : KivAction::Value::failed());
    if (ok && m_options.sendFileLocation)
        results.insert(KivAction::Key::fileLocationReturn(), path);
    answerResults(request, connection, results);
}

void CameraService::captureFinished(int number, const QString &path, const CaptureResult &result)
{
    if (!m_pending.contains(number))
        return;
    const Pending pending = take(number);
    if (!result.ok && !result.errorName.isEmpty()) {
        printErr(programPrefix()
            + QStringLiteral("request %1: capture failed: %2").arg(number).arg(result.message));
        sendError(pending.request.message, pending.connection, result.errorName, result.message);
        if (m_options.exitAfterOne)
            quitOnceFlushed(pending.connection);
        return;
    }
    if (result.ok)
        printOut(programPrefix()
            + QStringLiteral("wrote %1 (%2, %3 bytes)")
                  .arg(escaped(path), result.description)
                  .arg(result.bytes));
    else
        printErr(programPrefix()
            + QStringLiteral("cannot write %1: %2; answering FAILED")
                  .arg(quoted(path), result.message));
    QMap<QString, QString> results;
    if (m_options.sendActionReturn)
        results.insert(KivAction::Key::actionReturn(),
            result.ok ? m_options.actionReturn : KivAction::Value::failed());
    if (result.ok && m_options.sendFileLocation)
        results.insert(KivAction::Key::fileLocationReturn(), path);
    answerResults(pending.request, pending.connection, results);
}

void CameraService::answerResults(const CaptureRequest &request, QDBusConnection connection,
    const QMap<QString, QString> &results, const QString &what)
{
    send(request.message, request.message.createReply(QVariant::fromValue(results)), connection);
    QString line = programPrefix() + what + QStringLiteral("answered");
    for (auto it = results.cbegin(); it != results.cend(); ++it)
        line += QStringLiteral(" %1=%2").arg(it.key(), quoted(it.value()));
    if (results.isEmpty())
        line += QStringLiteral(" with no results");
    if (!request.message.isReplyRequired())
        line += QStringLiteral(" (not sent: the caller wants no reply)");
    printOut(line);
    if (m_options.exitAfterOne)
        quitOnceFlushed(connection);
}

// Starts the capture and holds the request until it is done; false when it was not
// started (path then names what a --no-file capture would have written, or is empty).
bool CameraService::startCapture(
    const CaptureRequest &request, QDBusConnection connection, const Take &take, QString *path)
{
    CaptureSettings settings;
    settings.source = m_options.source;
    settings.video = request.video;
    settings.videoQuality = request.videoQuality;
    settings.sizeLimit = request.sizeLimit;
    settings.recordMs = take.recordMs > 0 ? take.recordMs : m_options.recordMs;
    settings.orientationDegrees = m_options.orientation;
    settings.encoder = m_options.encoder;
    settings.frame = take.frame.get();
    if (!request.video && request.hasPhotoResolution
        && request.photoResolution.trimmed().compare(KivAction::Value::max(), Qt::CaseInsensitive)
            != 0) {
        settings.photoSize = parsePhotoResolution(request.photoResolution);
        if (!settings.photoSize.isValid())
            printErr(programPrefix()
                + QStringLiteral("photoResolution %1 not understood, using MAX")
                      .arg(quoted(request.photoResolution)));
    }

    if (!request.fileLocation.isEmpty()) {
        *path = request.targetPath;
        // The same check the window makes before anyone takes a picture.
        const QString problem = targetProblem(request);
        if (!problem.isEmpty()) {
            printErr(programPrefix() + problem + QStringLiteral("; answering FAILED"));
            path->clear();
            return false;
        }
        settings.format = formatForPath(request.video, *path);
    } else {
        settings.format = request.video ? QStringLiteral("mp4") : QStringLiteral("jpeg");
        const QString dir = outputFolder(m_options, request.video);
        if (m_options.writeFile && !QDir().mkpath(dir)) {
            printErr(programPrefix() + QStringLiteral("cannot create output folder %1").arg(dir));
            path->clear();
            return false;
        }
        *path = uniqueCaptureName(dir, suffixForFormat(settings.format));
    }
    if (!m_options.writeFile) {
        printOut(
            programPrefix() + QStringLiteral("not writing %1 (--no-file)").arg(escaped(*path)));
        return false;
    }

    Pending pending;
    pending.request = request;
    pending.connection = connection;
    pending.job = CaptureJob::intoPath(settings, *path, this);
    const int number = request.number;
    const QString target = *path;
    connect(pending.job, &CaptureJob::finished, this,
        [this, number, target](
            const CaptureResult &result) { captureFinished(number, target, result); });
    CaptureJob *job = pending.job;
    hold(pending);
    if (m_pending.contains(number))
        job->start();
    return true;
}

void CameraService::sendError(
    const QDBusMessage &call, QDBusConnection connection, const QString &name, const QString &text)
{
    send(call, call.createErrorReply(name, text), connection);
    printOut(programPrefix() + QStringLiteral("answered error %1: %2").arg(name, text));
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
