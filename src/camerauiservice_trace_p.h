#ifndef CAMERAUISERVICE_TRACE_P_H
#define CAMERAUISERVICE_TRACE_P_H

#include <QByteArray>
#include <QString>

#include <cstdio>

namespace CameraTrace {

// The trace names the source file, never the path it was built from.
constexpr const char *baseName(const char *path)
{
    const char *base = path;
    for (const char *p = path; *p; ++p) {
        if (*p == '/' || *p == '\\')
            base = p + 1;
    }
    return base;
}

} // namespace CameraTrace

// Lines are flushed at once: the host may sit in the nested loop for minutes, and a
// trace that is stuck in a pipe buffer tells nobody anything.
#define CAMERA_LOG(fmt, ...)                                                                       \
    do {                                                                                           \
        printf("Camera LOG in %s:%d:%s:" fmt, CameraTrace::baseName(__FILE__), __LINE__, __func__, \
            ##__VA_ARGS__);                                                                        \
        fflush(stdout);                                                                            \
    } while (0)

// The same, in the name of the operation a helper works for.
#define CAMERA_LOG_AS(func, fmt, ...)                                                              \
    do {                                                                                           \
        printf("Camera LOG in %s:%d:%s:" fmt, CameraTrace::baseName(__FILE__), __LINE__, func,     \
            ##__VA_ARGS__);                                                                        \
        fflush(stdout);                                                                            \
    } while (0)

#define CAMERA_LOG_ENTER() CAMERA_LOG("enter\n")
#define CAMERA_LOG_EXIT() CAMERA_LOG("exit\n")

// C entry points: a null handle is a host's mistake, never a crash.
#define CAMERA_REQUIRE_HANDLE(service, result)                                                     \
    do {                                                                                           \
        if (!(service)) {                                                                          \
            CAMERA_LOG("error: the service handle is null\n");                                     \
            return result;                                                                         \
        }                                                                                          \
    } while (0)

// Strings are traced in their Latin-1 form.
#define CAMERA_L1(str) (str).toLatin1().constData()

#endif
