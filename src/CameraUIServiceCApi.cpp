// Entry points for hosts written in C: results without Qt types, an application object,
// the version.
#include "CameraUIServiceCWrapper.h"
#include "CameraUIService_p.h"
#include "camerauiservice_trace_p.h"

#include <QCoreApplication>

extern "C" {

const char *GetCameraFileLocationUtf8(CameraUIService *service)
{
    CAMERA_REQUIRE_HANDLE(service, "");
    CameraUIServicePrivate *d = CameraUIServicePrivate::get(service);
    d->locationUtf8 = GetCameraFileLocation(service).toUtf8();
    return d->locationUtf8.constData();
}

const void *GetCameraDataBytes(CameraUIService *service, size_t *size)
{
    if (size)
        *size = 0;
    CAMERA_REQUIRE_HANDLE(service, nullptr);
    const QByteArray &data = GetCameraData(service);
    if (size)
        *size = static_cast<size_t>(data.size());
    return data.constData();
}

const char *GetCameraActionReturn(CameraUIService *service)
{
    CAMERA_REQUIRE_HANDLE(service, "");
    CameraUIServicePrivate *d = CameraUIServicePrivate::get(service);
    d->actionReturnUtf8 = d->actionReturn().toUtf8();
    return d->actionReturnUtf8.constData();
}

int InitCameraApplication(void)
{
    // TODO(C API): create a QCoreApplication when none exists.
    return 0;
}

void ReleaseCameraApplication(void) { }

const char *GetCameraUIServiceVersion(void)
{
    return CAMERAUISERVICE_VERSION_STRING;
}
}
