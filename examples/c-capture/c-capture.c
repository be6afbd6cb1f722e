// SPDX-License-Identifier: MIT
/* A photo capture from plain C: no Qt headers, no C++ compiler.
 *
 *   cc -std=c99 c-capture.c $(pkg-config --cflags --libs camerauiservice)
 */
#include <camerauiservice/camerauiservice.h>

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char usage[]
    = "Usage: c-capture [--timeout MS] [FILE]\n"
      "\n"
      "Takes one photo through the platform's camera application and prints the\n"
      "location, the number of bytes, the outcome and the library's version after\n"
      "the library's trace. FILE asks the camera to write there; MS bounds the wait.\n"
      "\n"
      "Exit status: 0 accepted, 1 not accepted, 2 usage error.\n";

/* GetCameraOutcomeName() is NULL for a value a newer library may add. */
static const char *outcomeName(int outcome)
{
    const char *name = GetCameraOutcomeName(outcome);
    return name ? name : "unknown";
}

static int usageError(const char *why, const char *arg)
{
    fprintf(stderr, "c-capture: %s \"%s\"\n\n%s", why, arg, usage);
    return 2;
}

int main(int argc, char **argv)
{
    const char *file = NULL;
    int timeoutMs = 0;
    int i;
    for (i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            fputs(usage, stdout);
            return 0;
        } else if (strcmp(argv[i], "--timeout") == 0) {
            char *end = NULL;
            long value;
            if (i + 1 >= argc)
                return usageError("missing value after", argv[i]);
            errno = 0;
            value = strtol(argv[++i], &end, 10);
            if (errno || end == argv[i] || *end || value < 0 || value > INT_MAX)
                return usageError("not a number of milliseconds:", argv[i]);
            timeoutMs = (int)value;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            return usageError("unknown option", argv[i]);
        } else if (!file) {
            file = argv[i];
        } else {
            return usageError("more than one FILE:", argv[i]);
        }
    }

    /* A C host has no Qt application object; the library makes one. */
    const int ownApplication = InitCameraApplication();
    CameraUIService *camera = CreateCameraUIService(CameraTypePhoto, 0);
    if (file)
        SetCameraFileLocation(camera, file);
    SetCameraTimeout(camera, timeoutMs);

    const int accepted = Exec(camera);
    const int outcome = GetCameraOutcome(camera);
    const char *location = GetCameraFileLocationUtf8(camera);
    size_t size = 0;
    if (accepted)
        GetCameraDataBytes(camera, &size);

    printf("c-capture: outcome: %s (%d), action return \"%s\"\n", outcomeName(outcome), outcome,
        GetCameraActionReturn(camera));
    if (*GetCameraErrorMessage(camera))
        printf("c-capture: why: %s\n", GetCameraErrorMessage(camera));
    printf("c-capture: location: %s\n", *location ? location : "(none)");
    printf("c-capture: bytes: %lu\n", (unsigned long)size);
    printf("c-capture: library %s, headers %s\n", GetCameraUIServiceVersion(),
        CAMERAUISERVICE_VERSION_STRING);

    DestroyCameraDlg(camera);
    if (ownApplication)
        ReleaseCameraApplication();
    return accepted ? 0 : 1;
}
