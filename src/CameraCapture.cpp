// SPDX-License-Identifier: MIT
#include "CameraCapture.h"
#include "CameraUIService_p.h"
#include "kivaction_names_p.h"

#include <AM_ActionData.h>

#include <QPointer>

#include <utility>

// CameraCapture::Outcome (and so the QML enum) is CameraOutcome under other names;
// outcome() converts by value.
#define CAMERA_SAME_OUTCOME(cxx, c)                                                                \
    static_assert(int(CameraCapture::cxx) == int(c), #cxx " must equal " #c)
CAMERA_SAME_OUTCOME(NoOutcome, CameraOutcomeNone);
CAMERA_SAME_OUTCOME(Accepted, CameraOutcomeAccepted);
CAMERA_SAME_OUTCOME(Rejected, CameraOutcomeRejected);
CAMERA_SAME_OUTCOME(Cancelled, CameraOutcomeCancelled);
CAMERA_SAME_OUTCOME(TimedOut, CameraOutcomeTimedOut);
CAMERA_SAME_OUTCOME(Interrupted, CameraOutcomeInterrupted);
CAMERA_SAME_OUTCOME(NoCamera, CameraOutcomeNoCamera);
CAMERA_SAME_OUTCOME(CameraFailed, CameraOutcomeCameraFailed);
CAMERA_SAME_OUTCOME(Forged, CameraOutcomeForged);
CAMERA_SAME_OUTCOME(NoBus, CameraOutcomeNoBus);
CAMERA_SAME_OUTCOME(Refused, CameraOutcomeRefused);
CAMERA_SAME_OUTCOME(Aborted, CameraOutcomeAborted);
CAMERA_SAME_OUTCOME(Failed, CameraOutcomeFailed);
CAMERA_SAME_OUTCOME(All, CameraTypeAll);
CAMERA_SAME_OUTCOME(Photo, CameraTypePhoto);
CAMERA_SAME_OUTCOME(Video, CameraTypeVideo);
#undef CAMERA_SAME_OUTCOME

class CameraCapturePrivate
{
public:
    explicit CameraCapturePrivate(CameraCapture *capture)
        : q(capture)
        , service(1, 0)
        , sd(CameraUIServicePrivate::get(&service))
    {
#ifdef AM_ACTIONDATA_HAS_CAPABILITIES
        // A request object of its own: the launch's one keeps its answers to itself.
        capabilitiesRequest.setAction(KivAction::cameraAction());
        QObject::connect(&capabilitiesRequest, &AM_ActionData::signalCapabilitiesAvailable, q,
            [this](const QVariantMap &answer) { capabilitiesKnown(answer); });
        QObject::connect(&capabilitiesRequest, &AM_ActionData::signalCapabilitiesFailed, q, [this] {
            sd->capabilitiesFailed(capabilitiesRequest.capabilitiesFailure(),
                capabilitiesRequest.capabilitiesMessage(), "refreshCapabilities");
            capabilitiesKnown(QVariantMap());
            notifyChanges();
        });
#endif
    }

    void capabilitiesKnown(const QVariantMap &answer)
    {
        if (answer == capabilities)
            return;
        capabilities = answer;
        Q_EMIT q->capabilitiesChanged();
    }

    // Announces what a launch changed, then finished(): waiting is already false then, and
    // the outcome is the one of the launch that finished. A start() from one of the change
    // handlers is held until finished() is out, so finished() never reports the next one.
    void launchEnded(bool accepted)
    {
        const QPointer<CameraCapture> guard = q;
        ending = true;
        const bool alive = notifyChanges();
        if (!alive)
            return;
        ending = false;
        Q_EMIT q->finished(accepted);
        if (!guard || !startHeld)
            return;
        startHeld = false;
        const bool cancelNow = std::exchange(cancelHeld, false);
        if (q->start() && cancelNow)
            sd->cancel();
    }

    // Emits a change signal for each property that changed. False when a handler destroyed
    // the capture: the caller must not touch it (or this object) again.
    bool notifyChanges()
    {
        const QPointer<CameraCapture> guard = q;
        auto changed = [&](auto &seen, const auto &now, void (CameraCapture::*signal)()) {
            if (!guard)
                return false;
            if (seen == now)
                return true;
            seen = now;
            Q_EMIT(q->*signal)();
            return bool(guard);
        };
        return changed(seenWaiting, sd->isWaiting(), &CameraCapture::waitingChanged)
            && changed(seenOutcome, int(sd->outcome), &CameraCapture::outcomeChanged)
            && changed(seenLocation, sd->fileLocation(), &CameraCapture::fileLocationChanged)
            && changed(seenActionReturn, sd->actionReturn(), &CameraCapture::actionReturnChanged)
            && changed(seenError, sd->errorMessage, &CameraCapture::errorMessageChanged)
            && changed(seenSettingsUsed, sd->settingsUsed, &CameraCapture::settingsUsedChanged)
            && changed(seenDuration, sd->videoDurationMs, &CameraCapture::videoDurationChanged)
            && changed(seenEndedBy, sd->videoEndedBy, &CameraCapture::videoEndedByChanged);
    }

    CameraCapture *const q;
    CameraUIService service;
    CameraUIServicePrivate *const sd;
    int cameraType = 1;
    int videoSizeLimitation = 0;
    // Between a launch's end and its finished(): a start() then is held (startHeld).
    bool ending = false;
    bool startHeld = false;
    bool cancelHeld = false; // cancel() of the held start: it is sent and cancelled at once
    AM_ActionData capabilitiesRequest;
    QVariantMap capabilities;

    // What the properties showed last, so only real changes are announced.
    bool seenWaiting = false;
    int seenOutcome = CameraOutcomeNone;
    QString seenLocation = QLatin1String("");
    QString seenActionReturn = KivAction::Value::accepted();
    QByteArray seenError = QByteArray("");
    QVariantMap seenSettingsUsed;
    int seenDuration = 0;
    QString seenEndedBy;
};

CameraCapture::CameraCapture(QObject *parent)
    : QObject(parent)
    , d(new CameraCapturePrivate(this))
{ }

CameraCapture::~CameraCapture()
{
    delete d;
}

int CameraCapture::cameraType() const
{
    return d->cameraType;
}

void CameraCapture::setCameraType(int cameraType)
{
    if (d->cameraType == cameraType)
        return;
    d->cameraType = cameraType;
    Q_EMIT cameraTypeChanged();
}

int CameraCapture::videoSizeLimitation() const
{
    return d->videoSizeLimitation;
}

void CameraCapture::setVideoSizeLimitation(int videoSizeLimitation)
{
    if (d->videoSizeLimitation == videoSizeLimitation)
        return;
    d->videoSizeLimitation = videoSizeLimitation;
    Q_EMIT videoSizeLimitationChanged();
}

QString CameraCapture::fileLocation() const
{
    return d->sd->fileLocation();
}

void CameraCapture::setFileLocation(const QString &fileLocation)
{
    if (d->sd->fileLocation() == fileLocation)
        return;
    d->service.setFileLocation(fileLocation);
    d->notifyChanges();
}

QString CameraCapture::photoResolution() const
{
    return d->sd->photoResolution();
}

void CameraCapture::setPhotoResolution(const QString &photoResolution)
{
    if (d->sd->photoResolution() == photoResolution)
        return;
    d->service.setPhotoResolution(photoResolution);
    Q_EMIT photoResolutionChanged();
}

QString CameraCapture::videoQuality() const
{
    return d->sd->videoQuality();
}

void CameraCapture::setVideoQuality(const QString &videoQuality)
{
    if (d->sd->videoQuality() == videoQuality)
        return;
    d->service.setVideoQuality(videoQuality);
    Q_EMIT videoQualityChanged();
}

QString CameraCapture::hasPostCapturedScreen() const
{
    return d->sd->hasPostCapturedScreen();
}

void CameraCapture::setHasPostCapturedScreen(const QString &hasPostCapturedScreen)
{
    if (d->sd->hasPostCapturedScreen() == hasPostCapturedScreen)
        return;
    d->service.setHasPostCapturedScreen(hasPostCapturedScreen);
    Q_EMIT hasPostCapturedScreenChanged();
}

QString CameraCapture::outcomeName(int outcome)
{
    return QString::fromLatin1(GetCameraOutcomeName(outcome));
}

int CameraCapture::videoDurationLimit() const
{
    return d->sd->videoDurationLimit;
}

void CameraCapture::setVideoDurationLimit(int milliseconds)
{
    milliseconds = qMax(milliseconds, 0);
    if (d->sd->videoDurationLimit == milliseconds)
        return;
    d->sd->videoDurationLimit = milliseconds;
    Q_EMIT videoDurationLimitChanged();
}

int CameraCapture::videoDuration() const
{
    return d->sd->videoDurationMs;
}

QString CameraCapture::videoEndedBy() const
{
    return d->sd->videoEndedBy;
}

int CameraCapture::timeout() const
{
    return d->sd->timeoutMs;
}

void CameraCapture::setTimeout(int milliseconds)
{
    milliseconds = qMax(milliseconds, 0);
    if (d->sd->timeoutMs == milliseconds)
        return;
    d->sd->timeoutMs = milliseconds;
    Q_EMIT timeoutChanged();
}

bool CameraCapture::isWaiting() const
{
    return d->sd->isWaiting();
}

CameraCapture::Outcome CameraCapture::outcome() const
{
    return Outcome(d->sd->outcome);
}

QString CameraCapture::actionReturn() const
{
    return d->sd->actionReturn();
}

QString CameraCapture::errorMessage() const
{
    return QString::fromUtf8(d->sd->errorMessage);
}

QVariantMap CameraCapture::settingsUsed() const
{
    return d->sd->settingsUsed;
}

bool CameraCapture::start()
{
    if (d->sd->isWaiting() || d->startHeld)
        return false;
    if (d->ending) {
        // Sent once finished() of the launch that just ended is out.
        d->startHeld = true;
        return true;
    }
    d->sd->setCameraType(d->cameraType);
    d->sd->setVideoSizeLimitation(d->videoSizeLimitation);
    CameraCapturePrivate *priv = d;
    const bool started
        = bool(d->sd->start([priv](bool accepted) { priv->launchEnded(accepted); }, "start"));
    d->notifyChanges();
    return started;
}

void CameraCapture::cancel()
{
    // A held start ends as any cancelled launch does, with its own finished(false).
    if (d->startHeld) {
        d->cancelHeld = true;
        return;
    }
    // finished(false) and the property changes follow from the event loop.
    d->sd->cancel();
}

QByteArray CameraCapture::data()
{
    return d->service.data();
}

unsigned int CameraCapture::minDataSize()
{
    // The estimate is for the type set now, not the one of the last start().
    d->sd->setCameraType(d->cameraType);
    return d->service.minDataSize();
}

bool CameraCapture::autoPostSetting(int cameraType)
{
    return d->service.getAutoPostSetting(cameraType);
}

QVariantMap CameraCapture::capabilities() const
{
    return d->capabilities;
}

void CameraCapture::refreshCapabilities()
{
#ifdef AM_ACTIONDATA_HAS_CAPABILITIES
    d->capabilitiesRequest.requestCapabilities(d->sd->timeoutMs);
#else
    // Not known on this platform: the held answer stays empty.
#endif
}
