// SPDX-License-Identifier: MIT
#ifndef CAMERAUISERVICE_C_API_H
#define CAMERAUISERVICE_C_API_H

/* The flat entry points, usable from C (C99) and C++. Nothing here needs Qt. */

#include "camerauiservice_export.h"
#include "camerauiservice_version.h"

#include <stddef.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
class CameraUIService;
extern "C" {
#else
typedef struct CameraUIService CameraUIService;
#endif

/* Camera mode: 1 photo, 2 video, every other value both. */
typedef int CameraType;
enum CameraTypeValue
{
    CameraTypeAll = 0,
    CameraTypePhoto = 1,
    CameraTypeVideo = 2
};

/* How the last launch of a service ended (GetCameraOutcome). */
typedef enum CameraOutcome
{
    CameraOutcomeNone = 0,
    CameraOutcomeAccepted = 1,
    CameraOutcomeRejected = 2,
    CameraOutcomeCancelled = 3,
    CameraOutcomeTimedOut = 4,
    CameraOutcomeInterrupted = 5,
    CameraOutcomeNoCamera = 6,
    CameraOutcomeCameraFailed = 7,
    CameraOutcomeForged = 8,
    CameraOutcomeNoBus = 9,
    CameraOutcomeRefused = 10,
    CameraOutcomeAborted = 11
} CameraOutcome;

/* Called once per launch started by StartCamera, from the event loop of the thread that
   started it. accepted is 1 exactly when the outcome is CameraOutcomeAccepted. */
typedef void (*CameraFinishedCallback)(CameraUIService *service, int accepted, void *userData);

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

CAMERAUISERVICE_EXPORT unsigned int GetMinDataSize(CameraUIService *service);
CAMERAUISERVICE_EXPORT bool GetAutoPostSetting(CameraUIService *service, int cameraType);

/* Launch outcomes, cancel, time limit and the non-blocking start. */
CAMERAUISERVICE_EXPORT int GetCameraOutcome(CameraUIService *service);
CAMERAUISERVICE_EXPORT const char *GetCameraErrorMessage(CameraUIService *service);
CAMERAUISERVICE_EXPORT void CancelCamera(CameraUIService *service);
CAMERAUISERVICE_EXPORT void SetCameraTimeout(CameraUIService *service, int milliseconds);
CAMERAUISERVICE_EXPORT int StartCamera(
    CameraUIService *service, CameraFinishedCallback callback, void *userData);

/* Results without Qt types. */
CAMERAUISERVICE_EXPORT const char *GetCameraFileLocationUtf8(CameraUIService *service);
CAMERAUISERVICE_EXPORT const void *GetCameraDataBytes(CameraUIService *service, size_t *size);
CAMERAUISERVICE_EXPORT const char *GetCameraActionReturn(CameraUIService *service);

/* A Qt application object for hosts that have none. It belongs to the thread that calls
   InitCameraApplication; ReleaseCameraApplication destroys it only when called on that
   thread (on any other it traces an error and keeps it). */
CAMERAUISERVICE_EXPORT int InitCameraApplication(void);
CAMERAUISERVICE_EXPORT void ReleaseCameraApplication(void);

CAMERAUISERVICE_EXPORT const char *GetCameraUIServiceVersion(void);

#ifdef __cplusplus
}
#endif

#endif
