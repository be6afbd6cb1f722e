// SPDX-License-Identifier: MIT
#include "cameraservice.h"

#include "actionadaptor.h"
#include "capturewindow.h"
#include "console.h"
#include "dbusformat.h"
#include "hostreason.h"
#include "kivaction_names_p.h"
#include "requestvalues.h"
#include "scratch.h"
#include "targetaccess.h"

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

CameraService::CameraService(const Options &options, const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_bus(bus)
{
    registerWireValues();
    new ActionAdaptor(this);
    // What killed cameras left: only a file system without O_TMPFILE leaves anything.
    removeStaleScratch();
    removeStaleParts(outputFolder(m_options, false));
    removeStaleParts(outputFolder(m_options, true));
}

CameraService::~CameraService()
{
    // Windows are top-level widgets, not our children.
    for (const Pending &pending : std::as_const(m_pending))
        delete pending.window.data();
    removeScratchFolder();
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
    const CaptureRequest request = readRequest(action, values, message, connection);
    if (refused(request, connection))
        return {};
    if (m_options.interactive)
        serveInteractive(request, connection);
    else if (m_options.delayMs > 0)
        answerLater(request, connection);
    else
        answer(request, connection);
    return {};
}

CaptureRequest CameraService::readRequest(const QString &action, const WireValues &values,
    const QDBusMessage &message, QDBusConnection connection)
{
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
    return request;
}

// Answers a request that is not served (an error, FAILED, or no answer at all); true then.
bool CameraService::refused(const CaptureRequest &request, QDBusConnection connection)
{
    const QDBusMessage &message = request.message;
    if (!m_options.configProblem.isEmpty()) {
        sendError(message, connection, KivAction::badCameraOptionsError(),
            QStringLiteral("reference-camera cannot serve: %1. Fix the file or remove it; this "
                           "camera quits now, so the next request starts one with the fixed "
                           "file.")
                .arg(m_options.configProblem));
        quitOnceFlushed(connection);
        return true;
    }
    if (request.action != KivAction::cameraAction()) {
        sendError(message, connection, KivAction::unknownActionError(),
            QStringLiteral("reference-camera serves the action %1 only, not %2")
                .arg(quoted(KivAction::cameraAction()), quoted(request.action)));
        return true;
    }
    if (!request.video && request.hasPhotoResolution) {
        const QSize size = parsePhotoResolution(request.photoResolution).size;
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
            return true;
        }
    }
    const QString busy = busyReason(request);
    if (!busy.isEmpty()) {
        sendError(message, connection, KivAction::busyError(), busy);
        return true;
    }
    if (m_options.exitWithoutAnswer) {
        printOut(programPrefix() + QStringLiteral("exiting without an answer"));
        m_quitting = true;
        QCoreApplication::exit(3);
        return true;
    }
    return false;
}

void CameraService::serveInteractive(const CaptureRequest &request, QDBusConnection connection)
{
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
        return;
    }
    bool windowOpen = false;
    for (const Pending &pending : std::as_const(m_pending))
        windowOpen = windowOpen || !pending.queued;
    if (!windowOpen) {
        openWindow(request, connection);
        return;
    }
    // One capture at a time, as on a real camera; it stays cancellable meanwhile.
    printOut(programPrefix()
        + QStringLiteral("request %1: queued until the open window closes").arg(request.number));
    Pending pending;
    pending.request = request;
    pending.connection = connection;
    pending.queued = true;
    hold(pending);
}

void CameraService::answerLater(const CaptureRequest &request, QDBusConnection connection)
{
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
