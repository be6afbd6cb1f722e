// SPDX-License-Identifier: MIT
#pragma once

#include "capabilities.h"
#include "capture.h"
#include "gstcapture.h"
#include "options.h"
#include "settingsused.h"
#include "targetaccess.h"
#include "wirevalues.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <memory>

class QDBusServiceWatcher;
class QTimer;

namespace refcam {

class CaptureWindow;

// What a request asked for, decoded once from the values in wire order.
struct CaptureRequest
{
    int number = 0;
    QDBusMessage message;
    QString action;
    QString caller; // unique name of the calling connection
    bool hasLaunchId = false; // "launchId" (any unsigned integer type) was sent
    quint64 launchId = 0;
    bool video = false;
    qint64 sizeLimit = 0;
    int durationLimitMs = 0; // "videoDurationLimit"; 0: the camera decides
    QString fileLocation;
    // fileLocation as a local path (a file: URL resolved); empty when none was asked for.
    QString targetPath;
    QDBusUnixFileDescriptor fileDescriptor; // invalid: the caller sent none
    bool callerUidKnown = false;
    uint callerUid = 0; // the caller's user, for a path without a descriptor
    bool hasPhotoResolution = false;
    QString photoResolution;
    bool hasVideoQuality = false;
    QString videoQuality;
    // Answer keys of the settings this camera replaced ("photoResolutionUsed"), to the value.
    QMap<QString, QString> replaced;
    QString postCapturedScreen;
    QStringList shownValues; // "key = value" as logged, for the window
};

// What the user took in the window: the viewfinder's phase for a photo, frames for a video.
struct Take
{
    int phase = 0;
    int frames = -1; // -1: the default one-second clip
    std::shared_ptr<GstSample> frame; // the photo the shutter took
    int recordMs = -1; // how long the user recorded
    QString endedBy; // what ended the clip recorded in the window
    QString recordedFile; // the clip recorded in the window, to be moved into place
    int orientationDegrees = -1; // as the screen was held; -1: unknown
};

// The org.kiv.Action object. Its D-Bus face is the adaptor generated from org.kiv.Action.xml,
// which hands over Invoke's values in wire order.
class CameraService : public QObject, protected QDBusContext
{
    Q_OBJECT
public:
    // The longest recording, also for a larger videoDurationLimit (maxVideoDuration).
    static constexpr int maxVideoDurationMs = 3600000;

    CameraService(const Options &options, const QDBusConnection &bus, QObject *parent = nullptr);
    ~CameraService() override;

    // Puts the object (with its adaptor) on the bus; the caller then owns the name.
    bool registerObject(QString *error);

    // Called by the adaptor.
    QMap<QString, QString> Invoke(const QString &action, const refcam::WireValues &values);
    void Cancel(const QString &action);
    void CancelLaunch(const QString &action, qulonglong launchId);
    QVariantMap GetCapabilities(const QString &action);

Q_SIGNALS:
    // Interactive mode: a request's window is up (tests drive it from here).
    void windowOpened(refcam::CaptureWindow *window);

private:
    // A capture that has been asked for but not answered yet: running or waiting for the
    // camera, held by --delay, or in a window.
    struct Pending
    {
        CaptureRequest request;
        QDBusConnection connection { QString() };
        QTimer *timer = nullptr;
        QPointer<CaptureWindow> window;
        bool queued = false; // interactive: waits for the window of another request
        QPointer<CaptureJob> job;
        // The folder a path-only capture is written through, open until it is done.
        std::shared_ptr<CheckedFolder> folder;
    };

    // Requests under way (captures running or waiting, held, queued or in a window), per
    // caller and in all, in every mode: a caller cannot tie the camera up. Exceeding either
    // is answered with Error.Busy at once.
    static constexpr int maxPendingPerCaller = 8;
    static constexpr int maxPendingTotal = 64;
    // Photos larger than this are refused before any pixel is made.
    static constexpr qint64 maxPhotoPixels = 4096 * 4096;

    CaptureRequest readRequest(const QString &action, const WireValues &values,
        const QDBusMessage &message, QDBusConnection connection);
    bool refused(const CaptureRequest &request, QDBusConnection connection);
    void serveInteractive(const CaptureRequest &request, QDBusConnection connection);
    void answerLater(const CaptureRequest &request, QDBusConnection connection);
    void hold(Pending pending);
    void openWindow(const CaptureRequest &request, QDBusConnection connection);
    // Why a request is not taken now (Busy), or an empty string.
    QString busyReason(const CaptureRequest &request) const;
    // One window at a time: the next queued request gets it when the last one closes.
    void openNextQueued();
    CaptureWindow *makeWindow(const CaptureRequest &request);
    void windowDecided(int number, bool accepted);
    void windowFailed(int number, const QString &errorName, const QString &message);
    Pending take(int number);
    void callerLeft(const QString &caller);
    // Ends the given requests of the caller as CANCELLED; how names what was asked for.
    void cancelRequests(QList<int> numbers, const QString &how);
    void answer(const CaptureRequest &request, QDBusConnection connection, const Take &take = {});
    void answerRecordedClip(
        const CaptureRequest &request, QDBusConnection connection, const Take &take);
    void answerResults(const CaptureRequest &request, QDBusConnection connection,
        const QMap<QString, QString> &results, const QString &what = QString());
    // failure: the reason the host is given when the capture could not start.
    bool startCapture(const CaptureRequest &request, QDBusConnection connection, const Take &take,
        QString *path, QString *failure);
    void captureFinished(int number, const QString &path, const CaptureResult &result);
    void sendError(const QDBusMessage &call, QDBusConnection connection, const QString &name,
        const QString &text);
    void send(const QDBusMessage &call, const QDBusMessage &reply, QDBusConnection connection);
    void quitOnceFlushed(QDBusConnection connection);

    Options m_options;
    QDBusConnection m_bus;
    int m_requestCount = 0;
    bool m_quitting = false;
    QHash<int, Pending> m_pending;
    QHash<QString, uint> m_callerUids; // unique name -> user, from the bus
    QDBusServiceWatcher *m_callers = nullptr;
    // Built at the first GetCapabilities: the source's modes do not change while we run.
    QMap<QString, QVariantMap> m_capabilities; // per source sourceName; failed probes are not kept
};

} // namespace refcam
