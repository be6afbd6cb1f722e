// SPDX-License-Identifier: MIT
#ifndef CAMERACAPTURE_H
#define CAMERACAPTURE_H

#include "camerauiservice_export.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVariantMap>

class CameraCapturePrivate;

/**
 * \file CameraCapture.h
 * \brief CameraCapture, a capture for Qt and Qt Quick hosts.
 */

/**
 * A capture for Qt and Qt Quick hosts: set the properties, start(), and learn the outcome
 * from finished() without a nested event loop.
 *
 * \headerfile CameraCapture.h <camerauiservice/CameraCapture.h>
 *
 * \code
 * auto *capture = new CameraCapture(this);   // a photo, no size limit
 * capture->setPhotoResolution(QStringLiteral("640x480"));
 * capture->setTimeout(120000);
 * connect(capture, &CameraCapture::finished, this, [capture](bool accepted) {
 *     if (accepted)
 *         showPhoto(capture->fileLocation(), capture->data());
 *     else
 *         showError(capture->outcome(), capture->errorMessage());
 * });
 * capture->start();                          // false when refused; cancel() ends it
 * \endcode
 *
 * It owns a CameraUIService, made by the constructor and destroyed with it. Every
 * property has a NOTIFY signal, emitted only when the value really changes. The changes a
 * launch brings (waiting, outcome, fileLocation, actionReturn, errorMessage) are
 * announced when it ends, just before finished(). Use it on the thread that runs the Qt
 * application's event loop; finished() comes from that loop.
 *
 * **From QML** `import CameraUIService` gives this class as the type `CameraCapture`, with
 * the same properties, invokable methods, signals and the #Outcome values
 * (`CameraCapture.Accepted`, …) and camera types (`CameraCapture.Photo`, …). data() arrives in QML
 * as an `ArrayBuffer`
 * (`byteLength`, `new Uint8Array(...)`). The module is a separate plugin (the library
 * itself links only QtCore), built with Qt 6 when Qt Qml is found, and installed to
 * `<libdir>/qt6/qml/CameraUIService/` (the cache variable
 * `CAMERAUISERVICE_QML_INSTALL_DIR` moves it). With the prefix `/usr` that is where
 * Debian's Qt looks; for any other prefix set `QML_IMPORT_PATH`, call
 * `QQmlEngine::addImportPath()` or pass `qml -I`. In a build tree the module is in
 * `build/qml`.
 */
class CAMERAUISERVICE_EXPORT CameraCapture : public QObject
{
    Q_OBJECT
    /** The camera mode for the next start(): 1 photo (the default), 2 video, any other
        value both. minDataSize() answers for the value set now. */
    Q_PROPERTY(int cameraType READ cameraType WRITE setCameraType NOTIFY cameraTypeChanged)
    /** The largest video file in bytes for the next start(); 0 (the default) or less: no
        limit. Sent to the camera as it is. */
    Q_PROPERTY(int videoSizeLimitation READ videoSizeLimitation WRITE setVideoSizeLimitation NOTIFY
            videoSizeLimitationChanged)
    /** The file location: the one set ("" lets the camera pick, the default), or the one
        the camera returned after a launch. */
    Q_PROPERTY(
        QString fileLocation READ fileLocation WRITE setFileLocation NOTIFY fileLocationChanged)
    /** The photo resolution: "MAX" (the default) or "WxH" in pixels. */
    Q_PROPERTY(QString photoResolution READ photoResolution WRITE setPhotoResolution NOTIFY
            photoResolutionChanged)
    /** The video quality: "HIGHEST" (the default), "MEDIUM" or "LOWEST". */
    Q_PROPERTY(
        QString videoQuality READ videoQuality WRITE setVideoQuality NOTIFY videoQualityChanged)
    /** "YES" (the default) shows a review screen after the capture; anything else skips
        it. */
    Q_PROPERTY(QString hasPostCapturedScreen READ hasPostCapturedScreen WRITE
            setHasPostCapturedScreen NOTIFY hasPostCapturedScreenChanged)
    /** The longest video in milliseconds the camera should record, for the next start();
        0 (the default) or less lets the camera decide (SetCameraVideoDurationLimit()). A
        negative value is stored as 0. */
    Q_PROPERTY(int videoDurationLimit READ videoDurationLimit WRITE setVideoDurationLimit NOTIFY
            videoDurationLimitChanged)
    /** The length in milliseconds of the last accepted video, as the camera reported it; 0
        when it did not (GetCameraVideoDuration()). */
    Q_PROPERTY(int videoDuration READ videoDuration NOTIFY videoDurationChanged)
    /** What ended the last accepted video: "USER", "DURATION_LIMIT", "SIZE_LIMIT",
        "CAMERA_STOPPED", or "" when unknown (GetCameraVideoEndedBy()). */
    Q_PROPERTY(QString videoEndedBy READ videoEndedBy NOTIFY videoEndedByChanged)
    /** The limit in milliseconds for later launches; 0 (the default) is none. A negative
        value is stored as 0. When it runs out the launch ends as #TimedOut. */
    Q_PROPERTY(int timeout READ timeout WRITE setTimeout NOTIFY timeoutChanged)
    /** Whether a launch waits for the camera. Already false when finished() is emitted. */
    Q_PROPERTY(bool waiting READ isWaiting NOTIFY waitingChanged)
    /** How the last launch ended; #NoOutcome before any and while one waits. */
    Q_PROPERTY(Outcome outcome READ outcome NOTIFY outcomeChanged)
    /** The camera's action return: "ACCEPTED" before any launch, then what it answered,
        "REJECTED" after a launch that ended without an answer. */
    Q_PROPERTY(QString actionReturn READ actionReturn NOTIFY actionReturnChanged)
    /** Why the last launch was not accepted: the camera's "failureReason" after an answer
        other than "ACCEPTED" ("" when it gave none), or what ended a launch without an
        answer; "" after an acceptance (see GetCameraErrorMessage()). */
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY errorMessageChanged)
    /** The settings the camera replaced in its last answer, by request key
        ("photoResolution", "videoQuality") to the value it used instead, e.g.
        `{ "photoResolution": "MAX" }`; empty when it used what was asked (see
        GetCameraSettingUsed()). */
    Q_PROPERTY(QVariantMap settingsUsed READ settingsUsed NOTIFY settingsUsedChanged)
    /** What the camera can do, as its last answer to refreshCapabilities() gave it (keys
        in doc/capabilities.md). Empty before an answer, when the camera does not tell,
        and after a failed query (#outcome and #errorMessage then say why). In QML a
        JavaScript object. */
    Q_PROPERTY(QVariantMap capabilities READ capabilities NOTIFY capabilitiesChanged)

public:
    /** How a launch ended: the values of CameraOutcome in camerauiservice.h, which
        describes each. */
    enum Outcome
    {
        NoOutcome, /**< #CameraOutcomeNone: no launch yet, or one is still waiting. */
        Accepted, /**< #CameraOutcomeAccepted: the camera answered "ACCEPTED". */
        Rejected, /**< #CameraOutcomeRejected: the camera answered anything else. */
        Cancelled, /**< #CameraOutcomeCancelled: cancel() ended it. */
        TimedOut, /**< #CameraOutcomeTimedOut: the timeout ran out. */
        Interrupted, /**< #CameraOutcomeInterrupted: the event loop was left first. */
        NoCamera, /**< #CameraOutcomeNoCamera: no camera application serves the action. */
        CameraFailed, /**< #CameraOutcomeCameraFailed: the camera left, crashed or failed. */
        Forged, /**< #CameraOutcomeForged: a reply came from another connection. */
        NoBus, /**< #CameraOutcomeNoBus: no session bus, or it was lost. */
        Refused, /**< #CameraOutcomeRefused: not started, no Qt application object. */
        Aborted, /**< #CameraOutcomeAborted: the platform aborted without a reason. */
        Failed /**< #CameraOutcomeFailed: the camera could not make or place the capture. */
    };
    Q_ENUM(Outcome)

    /** Names for #cameraType (CameraTypeValue in camerauiservice.h); in QML
        `CameraCapture.Photo`. */
    enum CameraTypeValue
    {
        All = 0, /**< Photo or video, the user chooses. */
        Photo = 1, /**< A photo. */
        Video = 2 /**< A video. */
    };
    Q_ENUM(CameraTypeValue)

    /** The name of \a outcome, "Accepted", "Failed", …, as GetCameraOutcomeName() spells
        it; "" for a value outside the enum. In QML call it on a capture:
        `photo.outcomeName(photo.outcome)`. */
    Q_INVOKABLE static QString outcomeName(int outcome);

    /** Creates a capture with the default settings; \a parent owns it, if given. */
    explicit CameraCapture(QObject *parent = nullptr);
    /** Destroys the capture; a launch still out ends without finished() (as
        DestroyCameraDlg() describes). */
    ~CameraCapture() override;

    /** \copydoc cameraType */
    int cameraType() const;
    /** Sets #cameraType; it takes effect at the next start(). */
    void setCameraType(int cameraType);
    /** \copydoc videoSizeLimitation */
    int videoSizeLimitation() const;
    /** Sets #videoSizeLimitation; it takes effect at the next start(). */
    void setVideoSizeLimitation(int videoSizeLimitation);

    /** \copydoc fileLocation */
    QString fileLocation() const;
    /** Sets #fileLocation for the next launches. */
    void setFileLocation(const QString &fileLocation);
    /** \copydoc photoResolution */
    QString photoResolution() const;
    /** Sets #photoResolution for the next launches. */
    void setPhotoResolution(const QString &photoResolution);
    /** \copydoc videoQuality */
    QString videoQuality() const;
    /** Sets #videoQuality for the next launches and minDataSize(). */
    void setVideoQuality(const QString &videoQuality);
    /** \copydoc hasPostCapturedScreen */
    QString hasPostCapturedScreen() const;
    /** Sets #hasPostCapturedScreen for the next launches. */
    void setHasPostCapturedScreen(const QString &hasPostCapturedScreen);
    /** \copydoc videoDurationLimit */
    int videoDurationLimit() const;
    /** Sets #videoDurationLimit; it takes effect at the next start(). */
    void setVideoDurationLimit(int milliseconds);
    /** \copydoc videoDuration */
    int videoDuration() const;
    /** \copydoc videoEndedBy */
    QString videoEndedBy() const;
    /** \copydoc timeout */
    int timeout() const;
    /** Sets #timeout in milliseconds for later launches; 0 or less waits as long as the
        user likes. */
    void setTimeout(int milliseconds);

    /** \copydoc waiting */
    bool isWaiting() const;
    /** \copydoc outcome */
    Outcome outcome() const;
    /** \copydoc actionReturn */
    QString actionReturn() const;
    /** \copydoc errorMessage */
    QString errorMessage() const;
    /** \copydoc settingsUsed */
    QVariantMap settingsUsed() const;
    /** \copydoc capabilities */
    QVariantMap capabilities() const;

    /**
     * Sends the request and returns at once.
     *
     * finished() follows exactly once for a started launch, from the event loop.
     *
     * \return true when the launch started; false when a launch still waits (that one is
     *         left alone) or no Qt application object exists (outcome #Refused), and then
     *         finished() does not follow.
     *
     * The capture may be deleted from any of its signals' handlers. Called from a handler
     * of a change signal that a launch's end emits, the new request is sent right after
     * that launch's finished(), which so reports the launch that finished (true is
     * returned then, and isWaiting() turns true only after that finished()).
     */
    Q_INVOKABLE bool start();
    /**
     * Ends the waiting launch as #Cancelled (see CancelCamera()); finished(false) follows
     * from the event loop. Does nothing when no launch waits.
     */
    Q_INVOKABLE void cancel();
    /**
     * The captured file's bytes, read now from #fileLocation (a copy that shares the
     * service's buffer until either changes). The rules of GetCameraDataBytes() apply.
     */
    Q_INVOKABLE QByteArray data();
    /** The minimum data size of a video recording for #cameraType and #videoQuality as
        set now, as GetMinDataSize() describes. */
    Q_INVOKABLE unsigned int minDataSize();
    /** Whether auto-posting is on for \a cameraType (1 photos, any other value videos), as
        GetAutoPostSetting() describes. */
    Q_INVOKABLE bool autoPostSetting(int cameraType);
    /**
     * Asks the camera what it can do and returns at once, without blocking.
     *
     * The answer comes through the event loop within #timeout (25 s when it is 0);
     * #capabilities changes, with capabilitiesChanged(), when it differs from the one
     * held. A failed query empties #capabilities and sets #outcome and #errorMessage as a
     * failed launch would. A refresh replaces one still out; a waiting launch goes on.
     */
    Q_INVOKABLE void refreshCapabilities();

Q_SIGNALS:
    /**
     * A launch started by start() ended; emitted exactly once per started launch, also
     * after cancel(), from the event loop. #waiting is already false and the other
     * properties are announced. A handler may delete the capture or start again.
     *
     * \param accepted true exactly when #outcome is #Accepted.
     */
    void finished(bool accepted);
    /** #cameraType changed. */
    void cameraTypeChanged();
    /** #videoSizeLimitation changed. */
    void videoSizeLimitationChanged();
    /** #fileLocation changed: set, or returned by the camera. */
    void fileLocationChanged();
    /** #photoResolution changed. */
    void photoResolutionChanged();
    /** #videoQuality changed. */
    void videoQualityChanged();
    /** #hasPostCapturedScreen changed. */
    void hasPostCapturedScreenChanged();
    /** #videoDurationLimit changed. */
    void videoDurationLimitChanged();
    /** #videoDuration changed. */
    void videoDurationChanged();
    /** #videoEndedBy changed. */
    void videoEndedByChanged();
    /** #timeout changed. */
    void timeoutChanged();
    /** #waiting changed. */
    void waitingChanged();
    /** #outcome changed. */
    void outcomeChanged();
    /** #actionReturn changed. */
    void actionReturnChanged();
    /** #errorMessage changed. */
    void errorMessageChanged();
    /** #settingsUsed changed. */
    void settingsUsedChanged();
    /** #capabilities changed: a refreshCapabilities() answer differs from the one held. */
    void capabilitiesChanged();

private:
    friend class CameraCapturePrivate;
    CameraCapturePrivate *const d;
};

#endif
