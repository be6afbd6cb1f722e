// SPDX-License-Identifier: MIT
#include "cameraservice.h"

#include "actionadaptor.h"
#include "capturewindow.h"
#include "console.h"
#include "dbusformat.h"
#include "hostreason.h"
#include "kivaction_names_p.h"
#include "targetaccess.h"
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
#include <cerrno>
#include <cmath>
#include <cstring>
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
    } else if (key == KivAction::Key::videoDurationLimit()) {
        qint64 limit = 0;
        if (!toInteger(value, &limit)) {
            warnType(key, value, QStringLiteral("letting the camera decide"));
            limit = 0;
        }
        request.durationLimitMs
            = int(qBound(qint64(0), limit, qint64(CameraService::maxVideoDurationMs)));
    } else if (key == KivAction::Key::fileLocation()) {
        if (!isString(value))
            warnType(key, value, QStringLiteral("choosing a file name"));
        request.fileLocation = isString(value) ? value.toString() : QString();
    } else if (key == KivAction::Key::fileDescriptor()) {
        const bool isDescriptor = value.userType() == qMetaTypeId<QDBusUnixFileDescriptor>();
        if (!isDescriptor)
            warnType(key, value, QStringLiteral("writing the path"));
        request.fileDescriptor
            = isDescriptor ? value.value<QDBusUnixFileDescriptor>() : QDBusUnixFileDescriptor();
    } else if (key == KivAction::Key::photoResolution()) {
        request.hasPhotoResolution = true;
        request.photoResolution = isString(value) ? value.toString() : formatDBusValue(value);
    } else if (key == KivAction::Key::hasPostCapturedScreen()) {
        request.postCapturedScreen = isString(value) ? value.toString() : QString();
    } else if (key == KivAction::Key::launchId()) {
        const int type = value.userType();
        request.hasLaunchId = type == QMetaType::ULongLong || type == QMetaType::UInt;
        if (!request.hasLaunchId)
            warnType(key, value, QStringLiteral("ending this request only with Cancel"));
        request.launchId = request.hasLaunchId ? value.toULongLong() : 0;
    } else if (key == KivAction::Key::videoQuality()) {
        request.hasVideoQuality = true;
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

QString rejectedByUser()
{
    return QStringLiteral("rejected by the user");
}

// How long a video is and what ended it, for the answer.
struct VideoEnd
{
    qint64 durationMs = 0;
    QString endedBy;
};

// The answer to a capture that was tried: ok, or failed for the reason given.
QMap<QString, QString> capturedResults(const Options &options, const CaptureRequest &request,
    bool ok, const QString &path, QString failure, bool descriptorUsed = false,
    const VideoEnd &video = {})
{
    QMap<QString, QString> results;
    if (options.sendActionReturn) {
        const QString actionReturn = ok ? options.actionReturn : KivAction::Value::failed();
        results.insert(KivAction::Key::actionReturn(), actionReturn);
        // The simulated user's answer gets the words a real camera would give.
        if (ok && actionReturn == KivAction::Value::rejected())
            failure = rejectedByUser();
        else if (ok && actionReturn == KivAction::Value::failed())
            failure = QStringLiteral("reference-camera was told to answer FAILED "
                                     "(--action-return FAILED)");
        else if (ok)
            failure.clear();
        else // the technical detail is in our log; the host gets words for its user
            failure = hostReason(path.isEmpty() ? request.targetPath : path, failure,
                request.fileDescriptor.isValid());
        if (!failure.isEmpty())
            results.insert(KivAction::Key::failureReason(), failure);
    }
    if (ok && options.sendFileLocation && !path.isEmpty())
        results.insert(KivAction::Key::fileLocationReturn(), path);
    if (ok && descriptorUsed)
        results.insert(KivAction::Key::fileDescriptorUsed(), KivAction::Value::yes());
    if (ok && request.video && video.durationMs > 0) {
        results.insert(KivAction::Key::videoDurationMs(), QString::number(video.durationMs));
        if (!video.endedBy.isEmpty())
            results.insert(KivAction::Key::videoEndedBy(), video.endedBy);
    }
    if (ok) {
        for (auto it = request.replaced.cbegin(); it != request.replaced.cend(); ++it)
            results.insert(it.key(), it.value());
    }
    return results;
}

// Why the request's capture cannot be written for its caller, or an empty string. A path
// alone is written only where the caller could write it (targetaccess.h); folder is then
// the checked folder to write through. probe: also try a file there now (the window does,
// before anyone takes a picture; a capture finds out when it writes).
QString targetProblem(const CaptureRequest &request, CheckedFolder *folder, bool probe)
{
    if (request.fileDescriptor.isValid()) {
        const QString problem = descriptorProblem(request.fileDescriptor.fileDescriptor());
        return problem.isEmpty()
            ? QString()
            : QStringLiteral("cannot write through the caller's descriptor: %1").arg(problem);
    }
    if (request.fileLocation.isEmpty())
        return QString();
    const QString &path = request.targetPath;
    // Raw or as %00 in a file: URL, a NUL names another file than the one asked for.
    if (request.fileLocation.contains(QChar(0)) || path.contains(QChar(0)))
        return QStringLiteral("fileLocation %1 contains a NUL character")
            .arg(quoted(request.fileLocation));
    // Relative to what? Our working folder is not the host's.
    if (!QDir::isAbsolutePath(path))
        return QStringLiteral("fileLocation %1 is not an absolute path").arg(quoted(path));
    if (!request.callerUidKnown)
        return QStringLiteral("cannot write %1: the bus did not say which user asks")
            .arg(quoted(path));
    QString problem = pathTargetProblem(path, request.callerUid, OwnPlaces::ofThisCamera(), folder);
    if (!problem.isEmpty())
        return QStringLiteral("refusing to write %1 for user %2: %3; send a file descriptor "
                              "or name a folder that user may write")
            .arg(quoted(path))
            .arg(request.callerUid)
            .arg(problem);
    problem = probe ? describeUnsafeTarget(folder->pinnedPath()) : QString();
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
    if (!request.fileLocation.isEmpty() && !request.fileDescriptor.isValid()) {
        // A connection's user never changes: asked once per caller.
        auto known = m_callerUids.constFind(request.caller);
        if (known == m_callerUids.cend()) {
            const QDBusReply<uint> uid = connection.interface()->serviceUid(request.caller);
            if (uid.isValid()) {
                if (m_callerUids.size() >= 256)
                    m_callerUids.clear();
                known = m_callerUids.insert(request.caller, uid.value());
            }
        }
        request.callerUidKnown = known != m_callerUids.cend();
        request.callerUid = request.callerUidKnown ? known.value() : 0;
    }

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
    if (!request.video && request.hasPhotoResolution) {
        const QSize size = parsePhotoResolution(request.photoResolution);
        if (size.isValid() && qint64(size.width()) * size.height() > maxPhotoPixels) {
            printErr(programPrefix()
                + QStringLiteral("photoResolution %1 is more than %2 pixels; answering FAILED")
                      .arg(quoted(request.photoResolution))
                      .arg(maxPhotoPixels));
            QMap<QString, QString> results;
            results.insert(KivAction::Key::actionReturn(), KivAction::Value::failed());
            results.insert(KivAction::Key::failureReason(),
                QStringLiteral("cannot take a photo of %1: this camera takes photos of at "
                               "most %2 pixels; ask for MAX or a size it lists")
                    .arg(request.photoResolution)
                    .arg(maxPhotoPixels));
            answerResults(request, connection, results);
            return {};
        }
    }
    if (m_options.interactive || m_options.delayMs > 0) {
        const QString busy = busyReason(request);
        if (!busy.isEmpty()) {
            sendError(message, connection, KivAction::busyError(), busy);
            return {};
        }
    }
    if (m_options.exitWithoutAnswer) {
        printOut(programPrefix() + QStringLiteral("exiting without an answer"));
        m_quitting = true;
        QCoreApplication::exit(3);
        return {};
    }
    if (m_options.interactive) {
        // A target that cannot be written is answered before anyone takes a picture.
        CheckedFolder folder;
        const QString problem = targetProblem(request, &folder, true);
        if (!problem.isEmpty()) {
            printErr(programPrefix() + problem + QStringLiteral("; answering FAILED"));
            QMap<QString, QString> results;
            results.insert(KivAction::Key::actionReturn(), KivAction::Value::failed());
            results.insert(KivAction::Key::failureReason(),
                hostReason(request.targetPath, problem, request.fileDescriptor.isValid()));
            answerResults(request, connection, results);
            return {};
        }
        bool windowOpen = false;
        for (const Pending &pending : std::as_const(m_pending))
            windowOpen = windowOpen || !pending.queued;
        if (windowOpen) {
            // One capture at a time, as on a real camera; it stays cancellable meanwhile.
            printOut(programPrefix()
                + QStringLiteral("request %1: queued until the open window closes")
                      .arg(request.number));
            Pending pending;
            pending.request = request;
            pending.connection = connection;
            pending.queued = true;
            hold(pending);
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

CaptureWindow *CameraService::makeWindow(const CaptureRequest &request)
{
    WindowSettings settings;
    settings.number = request.number;
    settings.caller = request.caller;
    settings.video = request.video;
    const SettingsUsed used = settingsUsed(request.video, request.hasPhotoResolution,
        request.photoResolution, request.hasVideoQuality, request.videoQuality);
    settings.format = used.videoFormat;
    settings.sizeLimit = request.sizeLimit;
    settings.durationLimitMs = request.durationLimitMs;
    // Invalid: the camera's largest mode (MAX, or a value not understood).
    settings.photoSize
        = request.hasPhotoResolution ? parsePhotoResolution(request.photoResolution) : QSize();
    settings.review = request.postCapturedScreen == KivAction::Value::yes();
    settings.values = request.shownValues;
    settings.source = m_options.source;
    settings.encoder = m_options.encoder;
    settings.videoQuality = request.replaced.contains(KivAction::Key::videoQualityUsed())
        ? KivAction::Value::highest()
        : request.videoQuality;
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
    auto *window = new CaptureWindow(settings);
    const int number = request.number;
    connect(window, &CaptureWindow::decided, this,
        [this, number](bool accepted) { windowDecided(number, accepted); });
    connect(window, &CaptureWindow::failed, this,
        [this, number](
            const QString &name, const QString &text) { windowFailed(number, name, text); });
    return window;
}

void CameraService::openWindow(const CaptureRequest &request, QDBusConnection connection)
{
    Pending pending;
    pending.request = request;
    pending.connection = connection;
    pending.window = makeWindow(request);
    const int number = request.number;
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

QString CameraService::busyReason(const CaptureRequest &request) const
{
    int mine = 0;
    for (const Pending &pending : std::as_const(m_pending))
        mine += pending.request.caller == request.caller ? 1 : 0;
    if (mine >= maxPendingPerCaller)
        return QStringLiteral("reference-camera already has %1 requests of yours waiting (at "
                              "most %2 per caller): wait for one to end, or cancel it, before "
                              "asking again")
            .arg(mine)
            .arg(maxPendingPerCaller);
    if (m_pending.size() >= maxPendingTotal)
        return QStringLiteral("reference-camera already has %1 requests waiting (at most %2 in "
                              "all): try again once one has ended")
            .arg(m_pending.size())
            .arg(maxPendingTotal);
    return QString();
}

void CameraService::openNextQueued()
{
    int next = 0;
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it) {
        if (!it->queued)
            return; // a window (or a held capture) is still up
        if (next == 0 || it.key() < next)
            next = it.key();
    }
    if (next == 0)
        return;
    Pending &pending = m_pending[next];
    pending.queued = false;
    pending.window = makeWindow(pending.request);
    CaptureWindow *window = pending.window;
    printOut(programPrefix() + QStringLiteral("request %1: window open").arg(next));
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
    results.insert(KivAction::Key::failureReason(), rejectedByUser());
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
        // The next queued request gets the window once this one's answer is out.
        QMetaObject::invokeMethod(this, &CameraService::openNextQueued, Qt::QueuedConnection);
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
    cancelRequests(
        numbers, QStringLiteral("cancel from %1: action %2").arg(caller, quoted(action)));
}

void CameraService::CancelLaunch(const QString &action, qulonglong launchId)
{
    const QString caller = message().service();
    QList<int> numbers;
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it)
        if (it->request.caller == caller && it->request.action == action && it->request.hasLaunchId
            && it->request.launchId == launchId)
            numbers << it.key();
    cancelRequests(numbers,
        QStringLiteral("cancel from %1: action %2, launch %3")
            .arg(caller, quoted(action))
            .arg(launchId));
}

void CameraService::cancelRequests(QList<int> numbers, const QString &how)
{
    std::sort(numbers.begin(), numbers.end());
    printOut(programPrefix() + how + QStringLiteral(", %1 pending capture(s)").arg(numbers.size()));
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
        input.maxVideoDurationMs = maxVideoDurationMs;
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
    const SettingsUsed used = settingsUsed(request.video, request.hasPhotoResolution,
        request.photoResolution, request.hasVideoQuality, request.videoQuality);
    // Not an error: the capture goes on with what this camera has.
    for (const QString &note : used.notes)
        printOut(programPrefix() + note);
    CaptureRequest replacing = request;
    replacing.replaced = used.replaced;
    QString path;
    if (!take.recordedFile.isEmpty()) {
        // The caller's rights decide here too: through its descriptor, or into a folder
        // it may write (targetaccess.h).
        const bool descriptor = request.fileDescriptor.isValid();
        CheckedFolder folder;
        QString problem;
        QString into;
        if (descriptor || !request.fileLocation.isEmpty()) {
            problem = targetProblem(request, &folder, false);
            path = descriptor ? request.fileLocation : request.targetPath;
            into = descriptor ? QString() : folder.pinnedPath();
        } else {
            path = uniqueCaptureName(outputFolder(m_options, true), QStringLiteral(".mp4"));
            into = path;
        }
        if (!problem.isEmpty())
            printErr(programPrefix() + problem + QStringLiteral("; answering FAILED"));
        bool moved = false;
        if (problem.isEmpty() && descriptor) {
            QFile recorded(take.recordedFile);
            DescriptorTarget out;
            moved = recorded.open(QIODevice::ReadOnly)
                && out.open(request.fileDescriptor.fileDescriptor())
                && out.device()->write(recorded.readAll()) == recorded.size() && out.commit();
        } else if (problem.isEmpty()) {
            const QString unsafe = QFileInfo::exists(into) ? describeUnsafeTarget(into) : QString();
            moved = unsafe.isEmpty()
                && ::rename(QFile::encodeName(take.recordedFile).constData(),
                       QFile::encodeName(into).constData())
                    == 0;
        }
        if (descriptor)
            ::unlink(QFile::encodeName(take.recordedFile).constData());
        QString failure = problem;
        if (!moved && failure.isEmpty()) {
            failure = QString::fromLocal8Bit(std::strerror(errno));
            printErr(programPrefix()
                + QStringLiteral("cannot write %1: %2; answering FAILED")
                      .arg(quoted(path), failure));
        }
        if (moved)
            printOut(programPrefix()
                + QStringLiteral("wrote %1 (recorded in the window, %2 ms, %3 bytes)")
                      .arg(escaped(path))
                      .arg(take.recordMs)
                      .arg(QFileInfo(path).size()));
        else
            ::unlink(QFile::encodeName(take.recordedFile).constData());
        answerResults(request, connection,
            capturedResults(m_options, replacing, moved, path,
                QStringLiteral("cannot write %1: %2").arg(quoted(path), failure),
                moved && descriptor,
                { take.recordMs,
                    take.endedBy.isEmpty() ? KivAction::Value::user() : take.endedBy }));
        return;
    }
    QString failure;
    if (startCapture(replacing, connection, take, &path, &failure))
        return; // answered when the capture is done
    const bool ok = !path.isEmpty() && !m_options.writeFile;
    answerResults(request, connection, capturedResults(m_options, replacing, ok, path, failure));
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
    const bool descriptor = pending.request.fileDescriptor.isValid();
    if (result.ok)
        printOut(programPrefix()
            + QStringLiteral("wrote %1 (%2, %3 bytes)%4")
                  .arg(escaped(path), result.description)
                  .arg(result.bytes)
                  .arg(descriptor ? QStringLiteral(" through the caller's file descriptor")
                                  : QString()));
    else
        printErr(programPrefix()
            + QStringLiteral("cannot write %1: %2; answering FAILED")
                  .arg(quoted(path), result.message));
    answerResults(pending.request, pending.connection,
        capturedResults(m_options, pending.request, result.ok, path,
            QStringLiteral("cannot write %1: %2").arg(quoted(path), result.message),
            result.ok && descriptor, { result.durationMs, result.endedBy }));
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
bool CameraService::startCapture(const CaptureRequest &request, QDBusConnection connection,
    const Take &take, QString *path, QString *failure)
{
    CaptureSettings settings;
    settings.source = m_options.source;
    settings.video = request.video;
    settings.videoQuality = request.replaced.contains(KivAction::Key::videoQualityUsed())
        ? KivAction::Value::highest()
        : request.videoQuality;
    settings.sizeLimit = request.sizeLimit;
    settings.recordMs = take.recordMs > 0 ? take.recordMs
        : request.durationLimitMs > 0     ? request.durationLimitMs
                                          : m_options.recordMs;
    settings.orientationDegrees = m_options.orientation;
    settings.encoder = m_options.encoder;
    settings.frame = take.frame.get();
    if (!request.video && request.hasPhotoResolution
        && request.photoResolution.trimmed().compare(KivAction::Value::max(), Qt::CaseInsensitive)
            != 0) {
        // Invalid: MAX (answer() logged the replacement).
        settings.photoSize = parsePhotoResolution(request.photoResolution);
    }

    const bool descriptor = request.fileDescriptor.isValid();
    auto folder = std::make_shared<CheckedFolder>();
    QString writePath; // a path-only capture is written through the checked folder
    if (descriptor || !request.fileLocation.isEmpty()) {
        // The same check the window makes before anyone takes a picture.
        *failure = targetProblem(request, folder.get(), false);
        if (!failure->isEmpty()) {
            printErr(programPrefix() + *failure + QStringLiteral("; answering FAILED"));
            path->clear();
            return false;
        }
        // With a descriptor the answer names the location as given: the host renames its
        // file onto what it asked for.
        *path = descriptor ? request.fileLocation : request.targetPath;
        writePath = descriptor ? QString() : folder->pinnedPath();
        settings.format = formatForPath(request.video, request.targetPath);
        if (descriptor && m_options.writeFile)
            printOut(programPrefix()
                + QStringLiteral("request %1: writing through the caller's file descriptor, "
                                 "the path %2 is not opened")
                      .arg(request.number)
                      .arg(escaped(request.fileLocation)));
    } else {
        settings.format = request.video ? QStringLiteral("mp4") : QStringLiteral("jpeg");
        const QString dir = outputFolder(m_options, request.video);
        if (m_options.writeFile && !QDir().mkpath(dir)) {
            *failure = QStringLiteral("cannot create the output folder %1").arg(quoted(dir));
            printErr(programPrefix() + *failure);
            path->clear();
            return false;
        }
        *path = uniqueCaptureName(dir, suffixForFormat(settings.format));
        writePath = *path;
    }
    if (!m_options.writeFile) {
        printOut(
            programPrefix() + QStringLiteral("not writing %1 (--no-file)").arg(escaped(*path)));
        return false;
    }

    Pending pending;
    pending.request = request;
    pending.connection = connection;
    pending.job = descriptor
        ? CaptureJob::intoFd(settings, request.fileDescriptor.fileDescriptor(), this)
        : CaptureJob::intoPath(settings, writePath, this);
    pending.folder = folder;
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
