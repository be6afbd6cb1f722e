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

struct VideoQualityInfo
{
    unsigned int quality; // 0 HIGHEST, 1 MEDIUM, 2 LOWEST
    unsigned int bitRate; // bits per second
    unsigned int fps;
    unsigned int width;
    unsigned int height;
};

// One capture job handed to the platform's camera application.
// Lives on the thread that runs the Qt application's event loop.
class CAMERAUISERVICE_EXPORT CameraUIService : public QObject
{
    Q_OBJECT
public:
    CameraUIService(CameraType type, int videoSizeLimitation);
    virtual ~CameraUIService();

    void setFileLocation(QString fileLocation);
    void setPhotoResolution(QString photoResolution);
    void setVideoQuality(QString videoQuality);
    void setHasPostCapturedScreen(QString hasPostCapturedScreen);

    QString &fileLocation()
    {
        if (isTraceOn()) {
            printf("Camera LOG in %s:%d:%s:enter\n", "CameraUIService.h", __LINE__, "fileLocation");
            printf("Camera LOG in %s:%d:%s:exit\n", "CameraUIService.h", __LINE__, "fileLocation");
            fflush(stdout);
        }
        return mFileLocation;
    }

    // Why the last launch was not accepted: the camera's "failureReason" after an answer
    // other than ACCEPTED ("" when it gave none), or what ended the launch without an
    // answer (cancelled, timed out, no camera, ...). "" after an acceptance.
    QString errorMessage() const;
    // The settings the camera used instead of the ones asked for in the last answer, by
    // request key: "photoResolution" and "videoQuality", each a string such as "MAX" or
    // "HIGHEST". Empty when the camera used what was asked (or said nothing).
    QVariantMap settingsUsed() const;

    // Launches the camera application and waits, running the event loop nested, until
    // it answers. Returns 1 when the action returned "ACCEPTED", else 0.
    int exec();
    void callUIService(AM_ActionData &request);
    void setupSettingValues(AM_ActionData &request);

    QByteArray &data();
    unsigned int minDataSize();
    bool getAutoPostSetting(int cameraType);

    const char *className() const { return "CameraUIService"; }

    static const VideoQualityInfo m_VideoQualityList_TJ72[3];
    static const VideoQualityInfo m_VideoQualityList_KR41[3];

private Q_SLOTS:
    void handleResults(const AM_ActionResults &results);
    void handleAbortLaunch();

private:
    friend class CameraUIServicePrivate;
    // Whether the trace is written (CAMERAUISERVICE_TRACE=0 silences it).
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
