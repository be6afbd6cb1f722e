#ifndef CAMERAUISERVICECWRAPPER_H
#define CAMERAUISERVICECWRAPPER_H

#include "CameraUIService.h"
#include "camerauiservice_export.h"

#include <QByteArray>
#include <QString>

// Flat entry points for hosts. Every function but CreateCameraUIService takes the handle
// that CreateCameraUIService returned; strings are NUL-terminated Latin-1.
extern "C" {

CAMERAUISERVICE_EXPORT CameraUIService *CreateCameraUIService(
    CameraType cameraType, int videoSizeLimitation);
CAMERAUISERVICE_EXPORT void DestroyCameraDlg(CameraUIService *service);
CAMERAUISERVICE_EXPORT int Exec(CameraUIService *service);

CAMERAUISERVICE_EXPORT void SetCameraFileLocation(
    CameraUIService *service, const char *fileLocation);
CAMERAUISERVICE_EXPORT void SetCameraPhotoResolution(
    CameraUIService *service, const char *photoResolution);
CAMERAUISERVICE_EXPORT void SetCameraVideoQuality(
    CameraUIService *service, const char *videoQuality);
CAMERAUISERVICE_EXPORT void SetCameraHasPostCapturedScreen(
    CameraUIService *service, const char *hasPostCapturedScreen);

// These refer to the service's own members: valid until DestroyCameraDlg, and they show
// later changes.
CAMERAUISERVICE_EXPORT QString &GetCameraFileLocation(CameraUIService *service);
CAMERAUISERVICE_EXPORT QByteArray &GetCameraData(CameraUIService *service);

CAMERAUISERVICE_EXPORT unsigned int GetMinDataSize(CameraUIService *service);
CAMERAUISERVICE_EXPORT bool GetAutoPostSetting(CameraUIService *service, int cameraType);
}

#endif
