// SPDX-License-Identifier: MIT
// Every C entry point of camerauiservice.h and CameraUIServiceCWrapper.h: thin adapters
// around CameraUIService, plus the application object and the version for hosts in C.
#include "CameraUIServiceCWrapper.h"
#include "CameraUIService_p.h"
#include "camerauiservice_trace_p.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QThread>

#include <cerrno>
#include <cstring>

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

const char *GetCameraOutcomeName(int outcome)
{
    static const char *const names[]
        = { "None", "Accepted", "Rejected", "Cancelled", "TimedOut", "Interrupted", "NoCamera",
              "CameraFailed", "Forged", "NoBus", "Refused", "Aborted", "Failed" };
    static_assert(
        sizeof names / sizeof *names == CameraOutcomeFailed + 1, "a name for every CameraOutcome");
    if (outcome < 0 || outcome > CameraOutcomeFailed)
        return nullptr;
    return names[outcome];
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

int WaitCamera(CameraUIService *service, int milliseconds)
{
    CAMERA_REQUIRE_HANDLE(service, 1);
    CameraUIServicePrivate *d = CameraUIServicePrivate::get(service);
    // A handler may destroy the service while the loop runs.
    const QPointer<CameraUIService> guard(service);
    if (!d->wait(milliseconds))
        return 0;
    // The StartCamera callback of the launch that ended, if any, runs before we return;
    // it may destroy the service, so nothing of it is touched after this.
    if (guard)
        QCoreApplication::sendPostedEvents(d, QEvent::MetaCall);
    return 1;
}

void SetCameraVideoDurationLimit(CameraUIService *service, int milliseconds)
{
    CAMERA_REQUIRE_HANDLE(service, );
    CameraUIServicePrivate::get(service)->videoDurationLimit = milliseconds > 0 ? milliseconds : 0;
}

int GetCameraVideoDuration(CameraUIService *service)
{
    CAMERA_REQUIRE_HANDLE(service, 0);
    return CameraUIServicePrivate::get(service)->videoDurationMs;
}

const char *GetCameraVideoEndedBy(CameraUIService *service)
{
    CAMERA_REQUIRE_HANDLE(service, "");
    CameraUIServicePrivate *d = CameraUIServicePrivate::get(service);
    d->videoEndedByUtf8 = d->videoEndedBy.toUtf8();
    return d->videoEndedByUtf8.constData();
}

const char *GetCameraSettingUsed(CameraUIService *service, const char *key)
{
    CAMERA_REQUIRE_HANDLE(service, "");
    CameraUIServicePrivate *d = CameraUIServicePrivate::get(service);
    if (!key)
        return "";
    d->settingUsedUtf8 = d->settingsUsed.value(QString::fromUtf8(key)).toString().toUtf8();
    return d->settingUsedUtf8.constData();
}

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

const char *GetCameraCapabilities(CameraUIService *service)
{
    CAMERA_REQUIRE_HANDLE(service, nullptr);
    CameraUIServicePrivate *d = CameraUIServicePrivate::get(service);
    const QVariantMap answer = service->capabilities();
    if (!d->capabilitiesAnswered)
        return nullptr;
    d->capabilitiesJson = CameraUIServicePrivate::toJson(answer);
    return d->capabilitiesJson.constData();
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
    if (QCoreApplication::instance() == s_ownApplication) {
        // Qt objects are destroyed on their own thread only; from any other, the process
        // would crash now or at exit. The application stays, still usable.
        if (s_ownApplication->thread() != QThread::currentThread()) {
            CAMERA_LOG("error: ReleaseCameraApplication on a thread other than the one of "
                       "InitCameraApplication; the application is kept. Call it on that "
                       "thread.\n");
            return;
        }
        // A C host runs no event loop of its own: what the last launch handed to
        // deleteLater() would otherwise outlive the application.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        delete s_ownApplication;
    }
    s_ownApplication = nullptr;
}

const char *GetCameraUIServiceVersion(void)
{
    return CAMERAUISERVICE_VERSION_STRING;
}
}
