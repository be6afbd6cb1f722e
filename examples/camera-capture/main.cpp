// SPDX-License-Identifier: MIT
// A host that drives one capture through the library's C entry points only.

#include <camerauiservice/CameraUIServiceCWrapper.h>

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

const char kUsage[] = "Usage: camera-capture (--photo | --video | --all) [options]\n"
                      "       camera-capture --auto-post photo|video|all\n"
                      "       camera-capture --capabilities [--json]\n"
                      "\n"
                      "Runs one capture through the platform's camera application and prints\n"
                      "the library's trace, then one summary line.\n"
                      "\n"
                      "Capture:\n"
                      "  --photo | --video | --all   what to capture (camera type 1, 2 or 0)\n"
                      "  --file PATH                 ask the camera to write PATH\n"
                      "  --resolution R              photo resolution, e.g. MAX or 640x480\n"
                      "  --quality Q                 video quality: HIGHEST, MEDIUM or LOWEST\n"
                      "  --post-screen VALUE         show a screen after the capture (YES/NO)\n"
                      "  --size-limit N              video size limitation (integer)\n"
                      "  --timeout MS                give up after MS milliseconds without an\n"
                      "                              answer (default: wait as long as it takes)\n"
                      "  --out DEST                  after an accepted capture, write the\n"
                      "                              captured bytes to DEST\n"
                      "Queries (no capture):\n"
                      "  --min-data-size             print the minimum data size of a video\n"
                      "                              recording for the type and --quality\n"
                      "  --auto-post photo|video|all print whether auto-posting is on\n"
                      "  --capabilities              print what the camera can do (sizes,\n"
                      "                              qualities, formats), without a capture\n"
                      "  --json                      with --capabilities: print the answer\n"
                      "                              as one line of JSON\n"
                      "  -h, --help                  show this text\n"
                      "  --version                   print the library's version\n"
                      "\n"
                      "SIGINT (Ctrl+C) or SIGTERM during a capture cancels it; the camera is\n"
                      "told. Exit status: 0 accepted (or query answered), 1 not accepted,\n"
                      "cancelled, failed or the bytes could not be written, 2 usage error.\n";

int usageError(const char *fmt, const char *arg)
{
    fprintf(stderr, "camera-capture: ");
    fprintf(stderr, fmt, arg);
    fprintf(stderr, "\n\n%s", kUsage);
    return 2;
}

bool parseInt(const char *text, int *out)
{
    char *end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < INT32_MIN || value > INT32_MAX)
        return false;
    *out = static_cast<int>(value);
    return true;
}

// SIGINT and SIGTERM reach the event loop through a pipe: a signal handler may not call
// into the library, the loop may.
int s_signalPipe[2] = { -1, -1 };

void onSignal(int)
{
    const char byte = 1;
    const int saved = errno;
    if (write(s_signalPipe[1], &byte, 1) < 0) { } // full pipe: a cancel is pending anyway
    errno = saved;
}

// The summary line: what happened, in words, and what to do about it.
QByteArray describe(CameraUIService *service, int timeoutMs)
{
    const QByteArray detail = GetCameraErrorMessage(service);
    QByteArray text;
    switch (GetCameraOutcome(service)) {
    case CameraOutcomeAccepted:
        return "accepted";
    case CameraOutcomeRejected:
        return QByteArray("rejected: ") + GetCameraActionReturn(service);
    case CameraOutcomeCancelled:
        return "cancelled";
    case CameraOutcomeTimedOut:
        return "timed out after " + QByteArray::number(timeoutMs) + " ms";
    case CameraOutcomeInterrupted:
        text = "interrupted: the application left its event loop before the camera answered";
        break;
    case CameraOutcomeNoCamera:
        text = "no camera application serves CameraUIService: is one installed?";
        break;
    case CameraOutcomeCameraFailed:
        text = "the camera application failed (it crashed, left, or answered with an error)";
        break;
    case CameraOutcomeForged:
        text = "refused a reply from a program that is not the camera application";
        break;
    case CameraOutcomeNoBus:
        text = "no D-Bus session bus: is DBUS_SESSION_BUS_ADDRESS set?";
        break;
    case CameraOutcomeRefused:
        text = "not started";
        break;
    default:
        text = "aborted";
        break;
    }
    if (!detail.isEmpty())
        text += " (" + detail + ")";
    return text;
}

// The camera's answer as indented "key: value" lines; lists joined with commas.
QByteArray readableCapabilities(const QByteArray &json)
{
    const QJsonObject answer = QJsonDocument::fromJson(json).object();
    if (answer.isEmpty())
        return "camera-capture: the camera does not tell what it can do (it predates the "
               "question)\n";
    const auto scalar = [](const QJsonValue &value) -> QByteArray {
        if (value.isString())
            return value.toString().toUtf8();
        if (value.isArray()) {
            QStringList items;
            for (const QJsonValue &item : value.toArray())
                items << (item.isString() ? item.toString()
                                          : QString::fromUtf8(QJsonDocument(QJsonArray { item })
                                                                  .toJson(QJsonDocument::Compact)
                                                                  .mid(1)
                                                                  .chopped(1)));
            return items.join(QStringLiteral(", ")).toUtf8();
        }
        return QJsonDocument(QJsonArray { value }).toJson(QJsonDocument::Compact).mid(1).chopped(1);
    };
    QByteArray text = "camera-capture: the camera can do this:\n";
    for (auto it = answer.begin(); it != answer.end(); ++it) {
        text += "  " + it.key().toUtf8() + ":";
        if (!it.value().isObject()) {
            text += " " + scalar(it.value()) + "\n";
            continue;
        }
        text += "\n";
        const QJsonObject inner = it.value().toObject();
        // Entries in the order of a list beside them that names them all (formats per
        // quality, best quality first), else alphabetically.
        QStringList order = inner.keys();
        for (const QJsonValue &sibling : answer) {
            QStringList names;
            for (const QJsonValue &name : sibling.toArray())
                names << name.toString();
            bool namesAll = !names.isEmpty();
            for (const QString &key : inner.keys())
                namesAll = namesAll && names.contains(key);
            if (namesAll) {
                order = names;
                break;
            }
        }
        for (const QString &key : std::as_const(order)) {
            const QJsonValue entry = inner.value(key);
            if (entry.isUndefined())
                continue;
            text += "    " + key.toUtf8() + ":";
            if (!entry.isObject()) {
                text += " " + scalar(entry) + "\n";
                continue;
            }
            QByteArrayList fields;
            const QJsonObject leaf = entry.toObject();
            for (auto field = leaf.begin(); field != leaf.end(); ++field)
                fields << field.key().toUtf8() + " " + scalar(field.value());
            text += " " + fields.join(", ") + "\n";
        }
    }
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    int cameraType = -1;
    int sizeLimit = 0;
    int timeoutMs = 0;
    const char *file = nullptr;
    const char *resolution = nullptr;
    const char *quality = nullptr;
    const char *postScreen = nullptr;
    const char *out = nullptr;
    const char *autoPost = nullptr;
    bool minDataSize = false;
    bool capabilities = false;
    bool json = false;

    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        auto value = [&](const char **target) {
            if (i + 1 >= argc)
                return false;
            *target = argv[++i];
            return true;
        };
        if (!strcmp(arg, "-h") || !strcmp(arg, "--help")) {
            fputs(kUsage, stdout);
            return 0;
        } else if (!strcmp(arg, "--version")) {
            printf("camera-capture %s\n", GetCameraUIServiceVersion());
            return 0;
        } else if (!strcmp(arg, "--timeout")) {
            const char *text = nullptr;
            if (!value(&text))
                return usageError("%s needs a value", arg);
            if (!parseInt(text, &timeoutMs) || timeoutMs < 0)
                return usageError(
                    "--timeout needs a number of milliseconds (0 or more), not \"%s\"", text);
        } else if (!strcmp(arg, "--photo") || !strcmp(arg, "--video") || !strcmp(arg, "--all")) {
            if (cameraType != -1)
                return usageError("choose only one of --photo, --video and --all", "");
            cameraType = !strcmp(arg, "--photo") ? 1 : !strcmp(arg, "--video") ? 2 : 0;
        } else if (!strcmp(arg, "--file")) {
            if (!value(&file))
                return usageError("%s needs a value", arg);
        } else if (!strcmp(arg, "--resolution")) {
            if (!value(&resolution))
                return usageError("%s needs a value", arg);
        } else if (!strcmp(arg, "--quality")) {
            if (!value(&quality))
                return usageError("%s needs a value", arg);
        } else if (!strcmp(arg, "--post-screen")) {
            if (!value(&postScreen))
                return usageError("%s needs a value", arg);
        } else if (!strcmp(arg, "--out")) {
            if (!value(&out))
                return usageError("%s needs a value", arg);
        } else if (!strcmp(arg, "--size-limit")) {
            const char *text = nullptr;
            if (!value(&text))
                return usageError("%s needs a value", arg);
            if (!parseInt(text, &sizeLimit))
                return usageError("--size-limit needs an integer, not \"%s\"", text);
        } else if (!strcmp(arg, "--min-data-size")) {
            minDataSize = true;
        } else if (!strcmp(arg, "--capabilities")) {
            capabilities = true;
        } else if (!strcmp(arg, "--json")) {
            json = true;
        } else if (!strcmp(arg, "--auto-post")) {
            if (!value(&autoPost))
                return usageError("%s needs a value", arg);
            if (strcmp(autoPost, "photo") && strcmp(autoPost, "video") && strcmp(autoPost, "all"))
                return usageError("--auto-post takes photo, video or all, not \"%s\"", autoPost);
        } else {
            return usageError("unknown argument \"%s\"", arg);
        }
    }
    if (json && !capabilities)
        return usageError("--json belongs to --capabilities%s", "");
    if (capabilities && (minDataSize || autoPost || out))
        return usageError("--capabilities is a query of its own, without a capture%s", "");
    if (cameraType == -1 && !autoPost && !capabilities)
        return usageError("choose one of --photo, --video and --all%s", "");
    if (minDataSize && autoPost)
        return usageError("--min-data-size and --auto-post are separate queries%s", "");
    if ((minDataSize || autoPost) && out)
        return usageError("--out belongs to a capture, not to a query%s", "");

    // The library waits for the camera in a nested Qt event loop.
    QCoreApplication app(argc, argv);

    CameraUIService *service = CreateCameraUIService(cameraType == -1 ? 0 : cameraType, sizeLimit);
    if (file)
        SetCameraFileLocation(service, file);
    if (resolution)
        SetCameraPhotoResolution(service, resolution);
    if (quality)
        SetCameraVideoQuality(service, quality);
    if (postScreen)
        SetCameraHasPostCapturedScreen(service, postScreen);
    SetCameraTimeout(service, timeoutMs);

    // The library's trace comes first; our own lines follow once the service is gone.
    int status = 0;
    QByteArray report;
    if (minDataSize) {
        const unsigned int size = GetMinDataSize(service);
        report = "camera-capture: minimum data size: " + QByteArray::number(size) + " bytes\n";
    } else if (capabilities) {
        const char *answer = GetCameraCapabilities(service);
        if (!answer) {
            // Without a limit of its own the query waits for the bus default, 25 s.
            report = "camera-capture: cannot ask the camera: "
                + describe(service, timeoutMs > 0 ? timeoutMs : 25000) + "\n";
            status = 1;
        } else if (json) {
            report = QByteArray(answer) + "\n";
        } else {
            report = readableCapabilities(answer);
        }
    } else if (autoPost) {
        const int type = !strcmp(autoPost, "photo") ? 1 : !strcmp(autoPost, "video") ? 2 : 0;
        const bool on = GetAutoPostSetting(service, type);
        report = "camera-capture: auto-post for " + QByteArray(autoPost) + ": "
            + (on ? "on" : "off") + "\n";
    } else {
        // A signal while the camera runs cancels the capture; the camera is told.
        QScopedPointer<QSocketNotifier> notifier;
        if (pipe2(s_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
            notifier.reset(new QSocketNotifier(s_signalPipe[0], QSocketNotifier::Read));
            QObject::connect(notifier.data(), &QSocketNotifier::activated, [&] {
                char byte;
                while (read(s_signalPipe[0], &byte, 1) > 0) { }
                CancelCamera(service);
            });
            struct sigaction action = {};
            action.sa_handler = onSignal;
            sigemptyset(&action.sa_mask);
            sigaction(SIGINT, &action, nullptr);
            sigaction(SIGTERM, &action, nullptr);
        }
        const bool accepted = Exec(service) == 1;
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        const QByteArray location = GetCameraFileLocation(service).toLocal8Bit();
        status = accepted ? 0 : 1;
        if (accepted && out) {
            const QByteArray &bytes = GetCameraData(service);
            QFile dest(QString::fromLocal8Bit(out));
            if (dest.open(QIODevice::WriteOnly) && dest.write(bytes) == bytes.size()
                && dest.flush()) {
                report += "camera-capture: wrote " + QByteArray::number(bytes.size()) + " bytes to "
                    + out + "\n";
            } else {
                fprintf(stderr, "camera-capture: cannot write %s: %s\n", out,
                    dest.errorString().toLocal8Bit().constData());
                status = 1;
            }
        }
        report += "camera-capture: " + describe(service, timeoutMs)
            + ", file location: " + (location.isEmpty() ? QByteArray("(none)") : location) + "\n";
    }
    DestroyCameraDlg(service);
    fputs(report.constData(), stdout);
    fflush(stdout);
    return status;
}
