// SPDX-License-Identifier: MIT
// Entry points for hosts written in C: results without Qt types, an application object,
// the version.
#include "CameraUIServiceCWrapper.h"
#include "CameraUIService_p.h"
#include "camerauiservice_trace_p.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstring>

namespace {

// The application made by InitCameraApplication, and the argc/argv it keeps referring to
// for as long as it lives.
QCoreApplication *s_ownApplication = nullptr;
int s_argc = 1;
char s_argv0[256];
char *s_argv[] = { s_argv0, nullptr };

void fillProgramName()
{
    // The host's own name, so applicationName() and Qt's messages name the program.
    const char *name = program_invocation_name;
    if (!name || !*name)
        name = "camerauiservice";
    std::strncpy(s_argv0, name, sizeof s_argv0 - 1);
    s_argv0[sizeof s_argv0 - 1] = '\0';
    s_argc = 1;
    s_argv[0] = s_argv0;
    s_argv[1] = nullptr;
}

} // namespace

extern "C" {

const char *GetCameraFileLocationUtf8(CameraUIService *service)
{
    CAMERA_REQUIRE_HANDLE(service, "");
    CameraUIServicePrivate *d = CameraUIServicePrivate::get(service);
    // A buffer of its own: the other getters never move what this one handed out.
    d->locationUtf8 = GetCameraFileLocation(service).toUtf8();
    return d->locationUtf8.constData();
}

const void *GetCameraDataBytes(CameraUIService *service, size_t *size)
{
    if (size)
        *size = 0;
    // Never null: a host may hand the pointer to memcpy or fwrite with a size of 0.
    CAMERA_REQUIRE_HANDLE(service, "");
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
    if (QCoreApplication::instance())
        return 0;
    fillProgramName();
    s_ownApplication = new QCoreApplication(s_argc, s_argv);
    return 1;
}

void ReleaseCameraApplication(void)
{
    // Only ours, and only while it is still the application: a host that made its own
    // after releasing ours keeps it.
    if (!s_ownApplication)
        return;
    if (QCoreApplication::instance() == s_ownApplication)
        delete s_ownApplication;
    s_ownApplication = nullptr;
}

const char *GetCameraUIServiceVersion(void)
{
    return CAMERAUISERVICE_VERSION_STRING;
}
}
