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
/* Why the last launch was not accepted, UTF-8: after an answer other than ACCEPTED the
   camera's "failureReason" ("" when it gave none), otherwise what ended the launch (no
   camera, timed out, ...). "" after an acceptance and before any launch. Valid until the
   next launch or DestroyCameraDlg. */
CAMERAUISERVICE_EXPORT const char *GetCameraErrorMessage(CameraUIService *service);
CAMERAUISERVICE_EXPORT void CancelCamera(CameraUIService *service);
CAMERAUISERVICE_EXPORT void SetCameraTimeout(CameraUIService *service, int milliseconds);
CAMERAUISERVICE_EXPORT int StartCamera(
    CameraUIService *service, CameraFinishedCallback callback, void *userData);
/* Runs the event loop until the launch started by StartCamera ends, or milliseconds pass
   (a negative value: no limit). Returns 1 when no launch waits any more (the outcome is
   final and the callback has run), 0 when the time ran out first. Waiting in short slices
   lets a host react to other things, e.g. a signal, between them and CancelCamera. */
CAMERAUISERVICE_EXPORT int WaitCamera(CameraUIService *service, int milliseconds);

/* The value the camera used instead of the setting asked for, after the last answer:
   key is a request key, "photoResolution" or "videoQuality"; the result is UTF-8, e.g.
   "MAX" or "HIGHEST", or "" when the camera used what was asked (or did not say), for any
   other key, and before an answer. Never NULL. The pointer is valid until the next call
   of this function for the service, or DestroyCameraDlg. */
CAMERAUISERVICE_EXPORT const char *GetCameraSettingUsed(CameraUIService *service, const char *key);

/* Results without Qt types. */
CAMERAUISERVICE_EXPORT const char *GetCameraFileLocationUtf8(CameraUIService *service);
CAMERAUISERVICE_EXPORT const void *GetCameraDataBytes(CameraUIService *service, size_t *size);
CAMERAUISERVICE_EXPORT const char *GetCameraActionReturn(CameraUIService *service);

/* A Qt application object for hosts that have none. */
CAMERAUISERVICE_EXPORT int InitCameraApplication(void);
CAMERAUISERVICE_EXPORT void ReleaseCameraApplication(void);

CAMERAUISERVICE_EXPORT const char *GetCameraUIServiceVersion(void);

#ifdef __cplusplus
}
#endif

#endif
