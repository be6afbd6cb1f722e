// SPDX-License-Identifier: MIT
#ifndef CAMERACAPTURE_H
#define CAMERACAPTURE_H

#include "camerauiservice_export.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVariantMap>

class CameraCapturePrivate;

// A capture for Qt and Qt Quick hosts: set the properties, start(), and learn the
// outcome from finished() without a nested event loop. Owns a CameraUIService.
class CAMERAUISERVICE_EXPORT CameraCapture : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int cameraType READ cameraType WRITE setCameraType NOTIFY cameraTypeChanged)
    Q_PROPERTY(int videoSizeLimitation READ videoSizeLimitation WRITE setVideoSizeLimitation NOTIFY
            videoSizeLimitationChanged)
    Q_PROPERTY(
        QString fileLocation READ fileLocation WRITE setFileLocation NOTIFY fileLocationChanged)
    Q_PROPERTY(QString photoResolution READ photoResolution WRITE setPhotoResolution NOTIFY
            photoResolutionChanged)
    Q_PROPERTY(
        QString videoQuality READ videoQuality WRITE setVideoQuality NOTIFY videoQualityChanged)
    Q_PROPERTY(QString hasPostCapturedScreen READ hasPostCapturedScreen WRITE
            setHasPostCapturedScreen NOTIFY hasPostCapturedScreenChanged)
    Q_PROPERTY(int timeout READ timeout WRITE setTimeout NOTIFY timeoutChanged)
    Q_PROPERTY(bool waiting READ isWaiting NOTIFY waitingChanged)
    Q_PROPERTY(Outcome outcome READ outcome NOTIFY outcomeChanged)
    Q_PROPERTY(QString actionReturn READ actionReturn NOTIFY actionReturnChanged)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY errorMessageChanged)
    Q_PROPERTY(QVariantMap settingsUsed READ settingsUsed NOTIFY settingsUsedChanged)

public:
    // The values of CameraOutcome in camerauiservice.h.
    enum Outcome
    {
        NoOutcome,
        Accepted,
        Rejected,
        Cancelled,
        TimedOut,
        Interrupted,
        NoCamera,
        CameraFailed,
        Forged,
        NoBus,
        Refused,
        Aborted
    };
    Q_ENUM(Outcome)

    explicit CameraCapture(QObject *parent = nullptr);
    ~CameraCapture() override;

    // Camera type and size limitation take effect at the next start().
    int cameraType() const;
    void setCameraType(int cameraType);
    int videoSizeLimitation() const;
    void setVideoSizeLimitation(int videoSizeLimitation);

    // The current location: the one set, or the one the camera returned.
    QString fileLocation() const;
    void setFileLocation(const QString &fileLocation);
    QString photoResolution() const;
    void setPhotoResolution(const QString &photoResolution);
    QString videoQuality() const;
    void setVideoQuality(const QString &videoQuality);
    QString hasPostCapturedScreen() const;
    void setHasPostCapturedScreen(const QString &hasPostCapturedScreen);
    // Milliseconds for later launches; 0 or less waits as long as the user likes.
    int timeout() const;
    void setTimeout(int milliseconds);

    bool isWaiting() const;
    Outcome outcome() const;
    QString actionReturn() const;
    // The camera's "failureReason" after an answer other than ACCEPTED ("" when it gave
    // none), or what ended the launch without an answer; "" after an acceptance.
    QString errorMessage() const;
    // Settings the camera replaced in its last answer, by request key ("photoResolution",
    // "videoQuality") to the value it used; empty when it used what was asked.
    QVariantMap settingsUsed() const;

    // Sends the request and returns at once; false when a launch still waits or no Qt
    // application object exists. finished() follows exactly once for a started launch.
    Q_INVOKABLE bool start();
    // Ends the waiting launch as Cancelled; finished(false) follows from the event loop.
    Q_INVOKABLE void cancel();
    // The captured file's bytes, read now.
    Q_INVOKABLE QByteArray data();
    Q_INVOKABLE unsigned int minDataSize();
    Q_INVOKABLE bool autoPostSetting(int cameraType);

Q_SIGNALS:
    void finished(bool accepted);
    void cameraTypeChanged();
    void videoSizeLimitationChanged();
    void fileLocationChanged();
    void photoResolutionChanged();
    void videoQualityChanged();
    void hasPostCapturedScreenChanged();
    void timeoutChanged();
    void waitingChanged();
    void outcomeChanged();
    void actionReturnChanged();
    void errorMessageChanged();
    void settingsUsedChanged();

private:
    friend class CameraCapturePrivate;
    CameraCapturePrivate *const d;
};

#endif
