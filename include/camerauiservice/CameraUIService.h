// SPDX-License-Identifier: MIT
#ifndef CAMERAUISERVICE_H
#define CAMERAUISERVICE_H

#include "camerauiservice.h"
#include "camerauiservice_export.h"

#include <QByteArray>
#include <QObject>
#include <QString>

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
        printf("Camera LOG in %s:%d:%s:enter\n", "CameraUIService.h", __LINE__, "fileLocation");
        printf("Camera LOG in %s:%d:%s:exit\n", "CameraUIService.h", __LINE__, "fileLocation");
        fflush(stdout);
        return mFileLocation;
    }

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
