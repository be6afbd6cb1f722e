// SPDX-License-Identifier: MIT
#ifndef CAMERAUISERVICE_H
#define CAMERAUISERVICE_H

#include "camerauiservice.h"
#include "camerauiservice_export.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <cstdio>

class AM_ActionData;
class AM_ActionResults;
class CameraUIServicePrivate;

/**
 * \file CameraUIService.h
 * \brief The service class behind the C entry points, for C++ hosts.
 */

/** One row of a phone model's video table: what a quality means on that model. */
struct VideoQualityInfo
{
    unsigned int quality; /**< 0 "HIGHEST", 1 "MEDIUM", 2 "LOWEST". */
    unsigned int bitRate; /**< Bits per second. */
    unsigned int fps; /**< Frames per second. */
    unsigned int width; /**< Frame width in pixels. */
    unsigned int height; /**< Frame height in pixels. */
};

/**
 * One capture job handed to the platform's camera application.
 *
 * \headerfile CameraUIService.h <camerauiservice/CameraUIService.h>
 *
 * The class behind the C entry points of camerauiservice.h, which take a pointer to it
 * as their handle (in C an opaque `struct CameraUIService`): the same operations as
 * methods. Set what to capture, run exec(), then read fileLocation() and data(). The
 * launch outcome, cancel, time limit and non-blocking start are reached through the C
 * entry points with `this` as the handle (GetCameraOutcome(), CancelCamera(),
 * SetCameraTimeout(), StartCamera()); CameraCapture offers all of it as a `QObject` with
 * properties and signals instead of a nested event loop.
 *
 * The object has no parent; whoever creates it owns it (DestroyCameraDlg() for one made
 * by CreateCameraUIService()). It owns its request to the camera, its settings, its
 * results and its byte buffer.
 *
 * \guithread
 */
class CAMERAUISERVICE_EXPORT CameraUIService : public QObject
{
    Q_OBJECT
public:
    /**
     * Creates a service with the default settings (see CreateCameraUIService()).
     *
     * \param type 1 photo, 2 video, any other value both.
     * \param videoSizeLimitation sent to the camera as it is: the largest video file in
     *        bytes, 0 or less for no limit.
     */
    CameraUIService(CameraType type, int videoSizeLimitation);
    /** Destroys the service; a launch still out ends as DestroyCameraDlg() describes. */
    virtual ~CameraUIService();

    /** Sets the file the camera should write; empty lets it pick (SetCameraFileLocation()). */
    void setFileLocation(QString fileLocation);
    /** Sets the photo resolution, "MAX" or "WxH" (SetCameraPhotoResolution()). */
    void setPhotoResolution(QString photoResolution);
    /** Sets the video quality, "HIGHEST", "MEDIUM" or "LOWEST" (SetCameraVideoQuality()). */
    void setVideoQuality(QString videoQuality);
    /** Sets whether a review screen follows, "YES" or not (SetCameraHasPostCapturedScreen()). */
    void setHasPostCapturedScreen(QString hasPostCapturedScreen);

    /**
     * The file location: the one set, or the one the camera returned after a launch.
     *
     * \return \transfernone a reference to the service's own member: valid until the
     *         service is destroyed, and it shows later changes.
     */
    QString &fileLocation()
    {
        if (isTraceOn()) {
            printf("Camera LOG in %s:%d:%s:enter\n", "CameraUIService.h", __LINE__, "fileLocation");
            printf("Camera LOG in %s:%d:%s:exit\n", "CameraUIService.h", __LINE__, "fileLocation");
            fflush(stdout);
        }
        return mFileLocation;
    }

    /**
     * Why the last launch was not accepted, as GetCameraErrorMessage() gives it: the
     * camera's "failureReason" after an answer other than "ACCEPTED" ("" when it gave
     * none), or what ended a launch without an answer; "" after an acceptance.
     */
    QString errorMessage() const;
    /**
     * The settings the camera used instead of the ones asked for, from its last answer
     * (GetCameraSettingUsed()).
     *
     * \return by request key, "photoResolution" and "videoQuality", the value used as a
     *         string, e.g. "MAX" or "HIGHEST"; empty when the camera used what was asked
     *         (or did not say).
     */
    QVariantMap settingsUsed() const;

    /**
     * Launches the camera application and waits, running the event loop nested, until
     * the launch ends; Exec() describes every case.
     *
     * \return 1 when the action returned "ACCEPTED" (CameraOutcomeAccepted), else 0.
     */
    int exec();
    /**
     * Fills \a request from the settings (action "CameraUIService", values by
     * setupSettingValues()) and invokes it. exec() calls it; hosts have no need to.
     */
    void callUIService(AM_ActionData &request);
    /**
     * Writes the settings into \a request in wire order: "cameraType",
     * "videoSizeLimitation", "fileLocation" (only when not empty), "photoResolution",
     * "videoQuality", "hasPostCapturedScreen".
     */
    void setupSettingValues(AM_ActionData &request);

    /**
     * Reads the file at fileLocation() into the service's buffer, as GetCameraDataBytes()
     * describes.
     *
     * \return \transfernone a reference to the service's own buffer: valid until the
     *         service is destroyed, and it shows later reads.
     */
    QByteArray &data();
    /** The minimum data size of a video recording, as GetMinDataSize() describes. */
    unsigned int minDataSize();
    /** Whether auto-posting is on for \a cameraType, as GetAutoPostSetting() describes. */
    bool getAutoPostSetting(int cameraType);

    /**
     * Asks the camera application what it can do, without launching it: photo sizes,
     * video qualities and formats, and more (the keys are in doc/capabilities.md).
     *
     * Blocks the calling thread without an event loop, so nothing else is delivered
     * meanwhile, for at most the launch time limit (SetCameraTimeout(); 25 s when there
     * is none). Call it on the service's thread.
     *
     * \return the answer as plain Qt values (QStringList, nested QVariantMap, numbers,
     *         bool); empty when the camera does not tell (an older one), and also when
     *         the query failed: GetCameraOutcome() and GetCameraErrorMessage() then say
     *         why, as after a failed launch. GetCameraCapabilities() tells the two apart.
     */
    QVariantMap capabilities();

    /** The class's name, "CameraUIService". */
    const char *className() const { return "CameraUIService"; }

    /** The video table of TJ72 and Bexi phones, indexed by VideoQualityInfo::quality. */
    static const VideoQualityInfo m_VideoQualityList_TJ72[3];
    /** The video table of KR41 and Tarvo phones, and the fallback for other models. */
    static const VideoQualityInfo m_VideoQualityList_KR41[3];

private Q_SLOTS:
    void handleResults(const AM_ActionResults &results);
    void handleAbortLaunch();

private:
    friend class CameraUIServicePrivate;
    /// Whether the trace is written (CAMERAUISERVICE_TRACE=0 silences it).
    static bool isTraceOn();

    AM_ActionData *mActionData;
    CameraType mCameraType;
    int mVideoSizeLimitation;
    QString mFileLocation;
    QString mPhotoResolution;
    QString mVideoQuality;
    QString mHasPostCapturedScreen;
    QString mActionReturn;
    QByteArray mData;

    // Launch state, outcome and time limit: kept out of the class so it can grow
    // without changing the class's size for hosts.
    CameraUIServicePrivate *const d;
};

#endif
