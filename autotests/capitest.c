// SPDX-License-Identifier: MIT
/* The C entry points from a host written in C99: no Qt on the include path, the library
 * makes the application object, and every result comes back as plain bytes.
 * Runs on a private bus where the reference camera is activatable. */
#define _POSIX_C_SOURCE 200809L

#include <camerauiservice/camerauiservice.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int failures;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "FAIL %s:%d: %s (%s)\n", __FILE__, __LINE__, #cond, row);              \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

#define CHECK_STR(got, want)                                                                       \
    do {                                                                                           \
        const char *got_ = (got);                                                                  \
        const char *want_ = (want);                                                                \
        if (!got_ || strcmp(got_, want_) != 0) {                                                   \
            fprintf(stderr, "FAIL %s:%d: %s is \"%s\", expected \"%s\" (%s)\n", __FILE__,          \
                __LINE__, #got, got_ ? got_ : "(null)", want_, row);                               \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

static char dir[] = "/tmp/camerauiservice-capitest.XXXXXX";

/* An activated camera's photo on a loaded machine; a launch that never ends fails by it. */
enum
{
    launchBoundMs = 20000
};

/* The whole file, or NULL; *size gets its length. */
static unsigned char *readFile(const char *path, size_t *size)
{
    FILE *f = fopen(path, "rb");
    unsigned char *bytes = NULL;
    long length;
    *size = 0;
    if (!f)
        return NULL;
    if (fseek(f, 0, SEEK_END) == 0 && (length = ftell(f)) >= 0 && fseek(f, 0, SEEK_SET) == 0) {
        bytes = malloc((size_t)length + 1);
        if (bytes && fread(bytes, 1, (size_t)length, f) == (size_t)length) {
            *size = (size_t)length;
        } else {
            free(bytes);
            bytes = NULL;
        }
    }
    fclose(f);
    return bytes;
}

static void version(void)
{
    const char *row = "version";
    char fromParts[64];
    snprintf(fromParts, sizeof fromParts, "%d.%d.%d", CAMERAUISERVICE_VERSION_MAJOR,
        CAMERAUISERVICE_VERSION_MINOR, CAMERAUISERVICE_VERSION_PATCH);
    CHECK_STR(GetCameraUIServiceVersion(), CAMERAUISERVICE_VERSION_STRING);
    CHECK_STR(CAMERAUISERVICE_VERSION_STRING, fromParts);
}

static void finished(CameraUIService *service, int accepted, void *userData)
{
    (void)service;
    (void)accepted;
    ++*(int *)userData;
}

/* A null handle is a host's mistake: nothing happens, and the results are empty. */
static void nullHandle(void)
{
    const char *row = "null handle";
    size_t size = 99;
    int calls = 0;
    const void *bytes = GetCameraDataBytes(NULL, &size);
    CHECK(bytes != NULL);
    CHECK(size == 0);
    CHECK(GetCameraDataBytes(NULL, NULL) != NULL);
    CHECK_STR(GetCameraFileLocationUtf8(NULL), "");
    CHECK_STR(GetCameraActionReturn(NULL), "");
    CHECK_STR(GetCameraErrorMessage(NULL), "");
    CHECK(GetCameraOutcome(NULL) == CameraOutcomeNone);
    CHECK(StartCamera(NULL, finished, &calls) == 0);
    CHECK(WaitCamera(NULL, 10) == 1);
    CHECK_STR(GetCameraSettingUsed(NULL, "photoResolution"), "");
    CancelCamera(NULL);
    SetCameraTimeout(NULL, 10);
    DestroyCameraDlg(NULL);
    CHECK(calls == 0);
}

/* Before InitCameraApplication nothing can wait for the camera: a clean refusal. */
static void withoutApplication(void)
{
    const char *row = "without application";
    CameraUIService *camera = CreateCameraUIService(CameraTypePhoto, 0);
    int calls = 0;
    CHECK(StartCamera(camera, finished, &calls) == 0);
    CHECK(Exec(camera) == 0);
    CHECK(GetCameraOutcome(camera) == CameraOutcomeRefused);
    CHECK(strstr(GetCameraErrorMessage(camera), "InitCameraApplication") != NULL);
    CHECK(calls == 0);
    DestroyCameraDlg(camera);
}

struct CaptureRow
{
    const char *name;
    const char *fileName; /* Latin-1, as the host hands it over */
    const char *utf8Name; /* as the location comes back */
};

static const struct CaptureRow captureRows[] = {
    { "ascii name", "shot.png", "shot.png" },
    /* Settings go in as Latin-1; the location comes back as UTF-8. */
    { "latin-1 name", "caf\xe9 1.png", "caf\xc3\xa9 1.png" },
};

static void capture(const struct CaptureRow *r)
{
    const char *row = r->name;
    char request[512], expected[512];
    CameraUIService *camera = CreateCameraUIService(CameraTypePhoto, 0);
    const char *location;
    const char *actionReturn;
    const void *bytes;
    size_t size = 0, fileSize = 0;
    unsigned char *file;

    snprintf(request, sizeof request, "%s/%s", dir, r->fileName);
    snprintf(expected, sizeof expected, "%s/%s", dir, r->utf8Name);
    SetCameraFileLocation(camera, request);
    SetCameraPhotoResolution(camera, "64x48");
    SetCameraTimeout(camera, launchBoundMs);

    CHECK(Exec(camera) == 1);
    CHECK(GetCameraOutcome(camera) == CameraOutcomeAccepted);
    CHECK_STR(GetCameraErrorMessage(camera), "");

    location = GetCameraFileLocationUtf8(camera);
    actionReturn = GetCameraActionReturn(camera);
    bytes = GetCameraDataBytes(camera, &size);
    CHECK_STR(location, expected);
    CHECK_STR(actionReturn, "ACCEPTED");

    file = readFile(expected, &fileSize);
    CHECK(file != NULL);
    CHECK(size > 0);
    CHECK(size == fileSize);
    CHECK(file && size == fileSize && memcmp(bytes, file, size) == 0);

    /* Each getter has its own buffer: the others, and a new read, leave it alone. */
    GetCameraErrorMessage(camera);
    GetCameraOutcome(camera);
    bytes = GetCameraDataBytes(camera, &size);
    CHECK_STR(location, expected);
    CHECK_STR(actionReturn, "ACCEPTED");
    CHECK(file && size == fileSize && memcmp(bytes, file, size) == 0);

    free(file);
    DestroyCameraDlg(camera);
    unlink(expected);
}

/* What the camera says about a capture: the setting it replaced, and why it could not
 * write; started and waited for in slices, as a host with its own loop would. */
static void cameraSays(void)
{
    const char *row = "camera says";
    char request[512];
    int calls = 0, slices = 0;
    CameraUIService *camera = CreateCameraUIService(CameraTypePhoto, 0);

    SetCameraPhotoResolution(camera, "12xabc");
    /* Also ends the slices below should the camera never answer. */
    SetCameraTimeout(camera, launchBoundMs);
    CHECK(StartCamera(camera, finished, &calls) == 1);
    while (!WaitCamera(camera, 50))
        ++slices; /* between slices a host would look at its own things */
    CHECK(calls == 1);
    CHECK(GetCameraOutcome(camera) == CameraOutcomeAccepted);
    CHECK_STR(GetCameraSettingUsed(camera, "photoResolution"), "MAX");
    CHECK_STR(GetCameraSettingUsed(camera, "videoQuality"), "");
    CHECK_STR(GetCameraSettingUsed(camera, "MAX"), "");
    unlink(GetCameraFileLocationUtf8(camera));

    snprintf(request, sizeof request, "%s/missing/x.png", dir);
    SetCameraFileLocation(camera, request);
    SetCameraPhotoResolution(camera, "16x16");
    CHECK(Exec(camera) == 0);
    /* The camera's failure, not the user's no, in words a host can show. */
    CHECK(GetCameraOutcome(camera) == CameraOutcomeFailed);
    CHECK_STR(GetCameraOutcomeName(GetCameraOutcome(camera)), "Failed");
    CHECK_STR(GetCameraActionReturn(camera), "FAILED");
    CHECK(strstr(GetCameraErrorMessage(camera), "/missing does not exist") != NULL);
    CHECK_STR(GetCameraSettingUsed(camera, "photoResolution"), "");
    CHECK(slices >= 0);
    DestroyCameraDlg(camera);
}

/* One application object at a time; after a release the next one works as well. */
static void application(int round)
{
    const char *row = "application";
    CHECK(InitCameraApplication() == 1);
    CHECK(InitCameraApplication() == 0);
    if (round > 0)
        capture(&captureRows[0]);
}

int main(void)
{
    size_t i;
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return 1;
    }
    version();
    nullHandle();
    withoutApplication();
    application(0);
    for (i = 0; i < sizeof captureRows / sizeof captureRows[0]; ++i)
        capture(&captureRows[i]);
    cameraSays();
    ReleaseCameraApplication();
    application(1);
    ReleaseCameraApplication();
    ReleaseCameraApplication(); /* nothing left of ours: no effect */
    rmdir(dir);

    fprintf(stderr, "capitest: %d failure(s)\n", failures);
    return failures ? 1 : 0;
}
