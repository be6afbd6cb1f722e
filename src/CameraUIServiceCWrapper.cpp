// SPDX-License-Identifier: MIT
#include "CameraUIServiceCWrapper.h"
#include "CameraUIService_p.h"
#include "camerauiservice_trace_p.h"

namespace {

// Host strings are Latin-1; a null pointer stays a null string.
QString fromHost(const char *text)
{
    return text ? QString::fromLatin1(text) : QString();
}

// What the reference getters hand out for a null handle: empty again at every call (a
// host may have written into it). Entry points run on the GUI thread, so one will do;
// thread_local would also make the library need the dynamic loader for its TLS.
template<typename T> T &emptyValue()
{
    static T value;
    value = T();
    return value;
}

} // namespace

extern "C" {

CameraUIService *CreateCameraUIService(CameraType cameraType, int videoSizeLimitation)
{
    return new CameraUIService(cameraType, videoSizeLimitation);
}

void DestroyCameraDlg(CameraUIService *service)
{
    delete service;
}

int Exec(CameraUIService *service)
{
    CAMERA_REQUIRE_HANDLE(service, 0);
    return service->exec();
}

void SetCameraFileLocation(CameraUIService *service, const char *fileLocation)
{
    CAMERA_REQUIRE_HANDLE(service, );
    service->setFileLocation(fromHost(fileLocation));
}

void SetCameraPhotoResolution(CameraUIService *service, const char *photoResolution)
{
    CAMERA_REQUIRE_HANDLE(service, );
    service->setPhotoResolution(fromHost(photoResolution));
}

void SetCameraVideoQuality(CameraUIService *service, const char *videoQuality)
{
    CAMERA_REQUIRE_HANDLE(service, );
    service->setVideoQuality(fromHost(videoQuality));
}

void SetCameraHasPostCapturedScreen(CameraUIService *service, const char *hasPostCapturedScreen)
{
    CAMERA_REQUIRE_HANDLE(service, );
    service->setHasPostCapturedScreen(fromHost(hasPostCapturedScreen));
}

QString &GetCameraFileLocation(CameraUIService *service)
{
    CAMERA_REQUIRE_HANDLE(service, emptyValue<QString>());
    QString &fileLocation = service->fileLocation();
    CAMERA_LOG(" the fileLocation in GetCameraFileLocation is %s\n", CAMERA_L1(fileLocation));
    return fileLocation;
}

QByteArray &GetCameraData(CameraUIService *service)
{
    CAMERA_REQUIRE_HANDLE(service, emptyValue<QByteArray>());
    QByteArray &data = service->data();
    CAMERA_LOG("the size for data is:%lld\n", static_cast<long long>(data.size()));
    return data;
}

unsigned int GetMinDataSize(CameraUIService *service)
{
    CAMERA_REQUIRE_HANDLE(service, 0);
    return service->minDataSize();
}

bool GetAutoPostSetting(CameraUIService *service, int cameraType)
{
    CAMERA_REQUIRE_HANDLE(service, false);
    return service->getAutoPostSetting(cameraType);
}

int GetCameraOutcome(CameraUIService *service)
{
    CAMERA_REQUIRE_HANDLE(service, CameraOutcomeNone);
    return CameraUIServicePrivate::get(service)->outcome;
}

const char *GetCameraErrorMessage(CameraUIService *service)
{
    CAMERA_REQUIRE_HANDLE(service, "");
    return CameraUIServicePrivate::get(service)->errorMessage.constData();
}

void CancelCamera(CameraUIService *service)
{
    CAMERA_REQUIRE_HANDLE(service, );
    CameraUIServicePrivate::get(service)->cancel();
}

void SetCameraTimeout(CameraUIService *service, int milliseconds)
{
    CAMERA_REQUIRE_HANDLE(service, );
    CameraUIServicePrivate::get(service)->timeoutMs = milliseconds > 0 ? milliseconds : 0;
}

int StartCamera(CameraUIService *service, CameraFinishedCallback callback, void *userData)
{
    CAMERA_REQUIRE_HANDLE(service, 0);
    const auto launch = CameraUIServicePrivate::get(service)->start(
        [service, callback, userData](bool accepted) {
            if (callback)
                callback(service, accepted ? 1 : 0, userData);
        },
        __func__);
    return launch ? 1 : 0;
}
}
