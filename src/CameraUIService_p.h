// SPDX-License-Identifier: MIT
#ifndef CAMERAUISERVICE_P_H
#define CAMERAUISERVICE_P_H

#include "CameraUIService.h"
#include "FileHandoff_p.h"
#include "safefile_p.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>

#include <functional>
#include <memory>

class QEventLoop;

// One launch: ends exactly once, with one outcome. Shared with a queued callback so a
// launch that ended is still whole when its callback runs.
struct CameraLaunch
{
    quint64 id = 0; // "launchId" on the wire: unique within the process
    bool ended = false;
    bool accepted = false;
    CameraOutcome outcome = CameraOutcomeNone;
    QString actionReturn;
    std::function<void(bool accepted)> finished; // StartCamera; empty for exec()
    QEventLoop *loop = nullptr; // exec()'s nested loop while it runs
    QEventLoop *waitLoop = nullptr; // WaitCamera's loop while it runs
};

class CameraUIServicePrivate : public QObject
{
    Q_OBJECT
public:
    explicit CameraUIServicePrivate(CameraUIService *service);
    ~CameraUIServicePrivate() override;

    static CameraUIServicePrivate *get(CameraUIService *service) { return service->d; }

    // Sends the request. Null when refused (outcome and trace say why).
    std::shared_ptr<CameraLaunch> start(std::function<void(bool)> finished, const char *caller);
    bool isWaiting() const { return bool(current); }
    void cancel();
    // exec()'s loop ended without an answer for this launch.
    void interrupt();
    // The answer of the request object for the launch that waits.
    void answered(CameraOutcome outcome, const QString &message);
    // The request object is told to forget what is in flight, and the camera to stop.
    void abandon(CameraOutcome outcome, const QString &message);
    // Runs the event loop until no launch waits (true) or milliseconds pass (false; a
    // negative value: no limit). A loop left by someone else interrupts the launch.
    bool wait(int milliseconds);

    // For CameraCapture, which sets these after construction.
    void setCameraType(CameraType type) { q->mCameraType = type; }
    void setVideoSizeLimitation(int limit) { q->mVideoSizeLimitation = limit; }
    CameraType cameraType() const { return q->mCameraType; }
    int videoSizeLimitation() const { return q->mVideoSizeLimitation; }
    const QString &fileLocation() const { return q->mFileLocation; }
    const QString &actionReturn() const { return q->mActionReturn; }
    const QString &photoResolution() const { return q->mPhotoResolution; }
    const QString &videoQuality() const { return q->mVideoQuality; }
    const QString &hasPostCapturedScreen() const { return q->mHasPostCapturedScreen; }

    CameraUIService *const q;
    std::shared_ptr<CameraLaunch> current;
    CameraOutcome outcome = CameraOutcomeNone;
    QByteArray errorMessage; // UTF-8
    // Settings the camera replaced, by request key, from the last answer.
    QVariantMap settingsUsed;
    int timeoutMs = 0;
    QTimer timer;

    // "videoDurationLimit" for later launches (0: not sent), and what the camera's last
    // answer said of its video.
    int videoDurationLimit = 0;
    int videoDurationMs = 0;
    QString videoEndedBy;
    QByteArray videoEndedByUtf8;

    // The file the launch that waits offered the camera as a descriptor, and whether the
    // camera's answer said it wrote through it.
    std::unique_ptr<FileHandoff> handoff;
    bool descriptorUsed = false;
    bool saidAccepted = false; // the answer itself carried "ACCEPTED"
    // The file the last accepted launch put at the target, kept open until the next launch
    // starts: what data() reads while the location still names the target.
    std::unique_ptr<FileHandoff> committed;
    // Opens the captured file for data(): the file at the location, unless that is no
    // longer the file committed there.
    SafeFile::Status openCapture(SafeFile::File *file);

    // Buffers behind the C getters that hand out char pointers.
    QByteArray locationUtf8;
    QByteArray actionReturnUtf8;
    QByteArray settingUsedUtf8;

    // The request object's two signals to the service's slots.
    void connectRequest();
    // The video keys of an answer to the launch that waits.
    void readVideoAnswer(const QMap<QString, QString> &results);

    // capabilities(): false when the query failed (outcome and message are set then).
    bool queryCapabilities(QVariantMap *answer, const char *caller);
    // A failed query, the way a failed launch reports it (AM_ActionData::AbortReason).
    void capabilitiesFailed(int reason, const QString &message, const char *caller);
    bool capabilitiesAnswered = false; // the last capabilities() call got an answer
    QByteArray capabilitiesJson; // GetCameraCapabilities' text
    // UTF-8 JSON object text of an answer.
    static QByteArray toJson(const QVariantMap &capabilities);

private:
    void finish(CameraOutcome outcome, const QString &message);
    // An accepted answer's capture, put where the host asked for it: renamed from the
    // descriptor's file, or checked to be there. False with why when there is none.
    bool placeCapture(QString *why);
};

#endif
