// SPDX-License-Identifier: MIT
#ifndef CAMERAUISERVICE_TRACE_P_H
#define CAMERAUISERVICE_TRACE_P_H

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace CameraTrace {

// CAMERAUISERVICE_TRACE=0 silences the trace, so a host can keep standard output for its
// own data. Read once, at the first trace line: the trace of a process is all or nothing.
inline bool enabled()
{
    static const bool on = [] {
        const char *value = getenv("CAMERAUISERVICE_TRACE");
        return !(value && value[0] == '0' && value[1] == '\0');
    }();
    return on;
}

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

// Bytes as they go into a trace line: control characters (C0, DEL and, the trace being
// Latin-1, C1) become escapes, so a value can neither end the line nor send a terminal
// sequence, and every line starts with the prefix. Anything else is left as it is.
inline QByteArray printable(const char *text, qsizetype size)
{
    using ByteSize = decltype(QByteArray().size()); // int in Qt 5
    qsizetype i = 0;
    const auto isControl = [](unsigned char c) { return c < 0x20 || (c >= 0x7f && c < 0xa0); };
    while (i < size && !isControl(static_cast<unsigned char>(text[i])))
        ++i;
    if (i == size)
        return QByteArray(text, ByteSize(size));
    QByteArray out(text, ByteSize(i));
    static const char hex[] = "0123456789abcdef";
    for (; i < size; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!isControl(c)) {
            out += char(c);
            continue;
        }
        switch (c) {
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xf];
        }
    }
    return out;
}

inline QByteArray printable(const QString &text)
{
    const QByteArray latin1 = text.toLatin1();
    return printable(latin1.constData(), latin1.size());
}

inline QByteArray printable(const std::string &text)
{
    return printable(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace CameraTrace

namespace CameraTrace {

// Lines are flushed when the operation that printed them returns (and before exec()
// waits): a trace stuck in a pipe buffer while the host waits tells nobody anything, and
// one write per operation instead of one per line keeps a launch cheap.
struct FlushAtReturn
{
    FlushAtReturn() = default;
    FlushAtReturn(const FlushAtReturn &) = delete;
    FlushAtReturn &operator=(const FlushAtReturn &) = delete;
    ~FlushAtReturn()
    {
        if (enabled())
            fflush(stdout);
    }
};

} // namespace CameraTrace

#define CAMERA_LOG(fmt, ...)                                                                       \
    (CameraTrace::enabled() ? printf("Camera LOG in %s:%d:%s:" fmt,                                \
         CameraTrace::baseName(__FILE__), __LINE__, __func__, ##__VA_ARGS__)                       \
                            : 0)

// The same, in the name of the operation a helper works for.
#define CAMERA_LOG_AS(func, fmt, ...)                                                              \
    do {                                                                                           \
        if (!CameraTrace::enabled())                                                               \
            break;                                                                                 \
        printf("Camera LOG in %s:%d:%s:" fmt, CameraTrace::baseName(__FILE__), __LINE__, func,     \
            ##__VA_ARGS__);                                                                        \
        fflush(stdout);                                                                            \
    } while (0)

#define CAMERA_LOG_ENTER()                                                                         \
    const CameraTrace::FlushAtReturn cameraTraceFlush_;                                            \
    CAMERA_LOG("enter\n")
#define CAMERA_LOG_EXIT() CAMERA_LOG("exit\n")

// C entry points: a null handle is a host's mistake, never a crash.
// Every entry point starts with it, so its lines are flushed when it returns.
#define CAMERA_REQUIRE_HANDLE(service, result)                                                     \
    const CameraTrace::FlushAtReturn cameraTraceFlush_;                                            \
    if (!(service)) {                                                                              \
        CAMERA_LOG("error: the service handle is null\n");                                         \
        return result;                                                                             \
    }                                                                                              \
    static_assert(true, "")

// Strings are traced in their Latin-1 form, control characters escaped.
#define CAMERA_L1(str) CameraTrace::printable(QString(str)).constData()
// Bytes of a std::string (from a configuration file), the same way.
#define CAMERA_STD(str) CameraTrace::printable(str).constData()

#endif
