// SPDX-License-Identifier: MIT
// Requests under way: the bounds on them; interactive ones get one window at a time, the
// others queued, each cancellable.
#include "cameraservice.h"

#include "capturewindow.h"
#include "console.h"
#include "dbusformat.h"
#include "kivaction_names_p.h"
#include "requestvalues.h"
#include "scratch.h"
#include "targetaccess.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

namespace refcam {

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
    settings.sizeLimit = request.sizeLimit;
    settings.durationLimitMs = request.durationLimitMs;
    settings.photoSize = photoSizeFor(request.hasPhotoResolution, request.photoResolution);
    settings.review = request.postCapturedScreen == KivAction::Value::yes();
    settings.values = request.shownValues;
    settings.debugPanel = m_options.debugPanel;
    settings.source = m_options.source;
    settings.encoder = m_options.encoder;
    settings.videoQuality = request.replaced.contains(KivAction::Key::videoQualityUsed())
        ? KivAction::Value::highest()
        : request.videoQuality;
    // A clip waits for the user's decision in the camera's own folder, never in one the
    // host named; on Accept it goes through the same writer as any capture.
    const QString target = request.fileLocation.isEmpty()
        ? outputFolder(m_options, true) + QStringLiteral("/capture.mp4")
        : localPath(request.fileLocation);
    QString problem;
    const QString scratch = scratchFolder(&problem);
    if (scratch.isEmpty())
        printErr(programPrefix() + problem);
    settings.recordingPath = (scratch.isEmpty() ? QDir::tempPath() : scratch)
        + QStringLiteral("/clip-%1.%2").arg(request.number).arg(formatForPath(true, target));
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
        return QStringLiteral("reference-camera already has %1 requests of yours under way (at "
                              "most %2 per caller, capturing or waiting): wait for one to end, or "
                              "cancel it, before asking again")
            .arg(mine)
            .arg(maxPendingPerCaller);
    if (m_pending.size() >= maxPendingTotal)
        return QStringLiteral("reference-camera already has %1 requests under way (at most %2 "
                              "in all, capturing or waiting): try again once one has ended")
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
    if (!shot.recordedFile.isEmpty())
        QFile::remove(shot.recordedFile);
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

} // namespace refcam
