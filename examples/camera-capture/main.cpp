// SPDX-License-Identifier: MIT
// A host that drives one capture through the library's C entry points only.

#include <camerauiservice/CameraUIServiceCWrapper.h>

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
                      "  --file PATH                 ask the camera to write PATH (a relative\n"
                      "                              PATH is taken from the current folder)\n"
                      "  --resolution R              photo resolution, e.g. MAX or 640x480\n"
                      "  --quality Q                 video quality: HIGHEST, MEDIUM or LOWEST\n"
                      "  --post-screen VALUE         show a screen after the capture (YES/NO)\n"
                      "  --size-limit N              video size limitation (integer)\n"
                      "  --duration MS               end a video after MS milliseconds\n"
                      "                              (default: the camera decides)\n"
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
                      "Other:\n"
                      "  --quiet                     no library trace, only the summary line\n"
                      "                              (the same as CAMERAUISERVICE_TRACE=0)\n"
                      "  -h, --help                  show this text\n"
                      "  --version                   print the library's version\n"
                      "\n"
                      "SIGINT (Ctrl+C) or SIGTERM during a capture cancels it; the camera is\n"
                      "told. Exit status: 0 accepted (or query answered), 1 not accepted,\n"
                      "cancelled, failed or the bytes could not be written, 2 usage error.\n";

int usageError(const QString &why)
{
    fprintf(stderr, "camera-capture: %s\n\n%s", why.toLocal8Bit().constData(), kUsage);
    return 2;
}

bool parseInt(const QString &text, int *out)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (ok)
        *out = value;
    return ok;
}

// What the command line asks for.
struct Request
{
    int cameraType = -1;
    int sizeLimit = 0;
    int timeoutMs = 0;
    int durationMs = 0;
    bool hasFile = false;
    QByteArray file;
    QByteArray resolution;
    QByteArray quality;
    QByteArray postScreen;
    QByteArray out;
    QByteArray autoPost;
    bool minDataSize = false;
    bool capabilities = false;
    bool json = false;
    bool quiet = false;
};

enum class Parsed
{
    Run,
    Done, // --help or --version printed
    Usage, // the error is printed
};

// The library takes the host's 8-bit strings as they are: hand them over byte for byte.
// Null when not given, so "" stays a value of its own.
QByteArray bytes(const QString &text)
{
    QByteArray local = text.toLocal8Bit();
    if (local.isNull())
        local = QByteArray("");
    return local;
}

Parsed parse(const QStringList &arguments, Request *request, int *status)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const auto flag = [](const char *name) { return QCommandLineOption(QLatin1String(name)); };
    const auto valued = [](const char *name) {
        return QCommandLineOption(QLatin1String(name), QString(), QStringLiteral("value"));
    };
    const QCommandLineOption help(QStringList { QStringLiteral("h"), QStringLiteral("help") });
    const QCommandLineOption version = flag("version");
    const QCommandLineOption photo = flag("photo"), video = flag("video"), all = flag("all");
    const QCommandLineOption file = valued("file"), resolution = valued("resolution"),
                             quality = valued("quality"), postScreen = valued("post-screen"),
                             sizeLimit = valued("size-limit"), timeout = valued("timeout"),
                             duration = valued("duration"), out = valued("out"),
                             autoPost = valued("auto-post");
    const QCommandLineOption minDataSize = flag("min-data-size");
    const QCommandLineOption capabilities = flag("capabilities"), json = flag("json");
    const QCommandLineOption quiet = flag("quiet");
    parser.addOptions({ help, version, photo, video, all, file, resolution, quality, postScreen,
        sizeLimit, timeout, duration, out, autoPost, minDataSize, capabilities, json, quiet });

    const auto fail = [status](const QString &why) {
        *status = usageError(why);
        return Parsed::Usage;
    };
    if (!parser.parse(arguments))
        return fail(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unknown argument \"%1\"")
                        .arg(parser.positionalArguments().constFirst()));
    if (parser.isSet(help)) {
        fputs(kUsage, stdout);
        return Parsed::Done;
    }
    if (parser.isSet(version)) {
        printf("camera-capture %s\n", GetCameraUIServiceVersion());
        return Parsed::Done;
    }

    int types = 0;
    for (const QString &name : parser.optionNames()) {
        if (name == QLatin1String("photo") || name == QLatin1String("video")
            || name == QLatin1String("all"))
            ++types;
    }
    if (types > 1)
        return fail(QStringLiteral("choose only one of --photo, --video and --all"));
    if (types == 1)
        request->cameraType = parser.isSet(photo) ? 1 : parser.isSet(video) ? 2 : 0;
    if (parser.isSet(timeout)
        && (!parseInt(parser.value(timeout), &request->timeoutMs) || request->timeoutMs < 0))
        return fail(
            QStringLiteral("--timeout needs a number of milliseconds (0 or more), not \"%1\"")
                .arg(parser.value(timeout)));
    if (parser.isSet(duration)
        && (!parseInt(parser.value(duration), &request->durationMs) || request->durationMs < 1))
        return fail(QStringLiteral("--duration needs a number of milliseconds (1 or more), not "
                                   "\"%1\"")
                        .arg(parser.value(duration)));
    if (parser.isSet(sizeLimit) && !parseInt(parser.value(sizeLimit), &request->sizeLimit))
        return fail(QStringLiteral("--size-limit needs an integer, not \"%1\"")
                        .arg(parser.value(sizeLimit)));
    if (parser.isSet(autoPost)) {
        request->autoPost = bytes(parser.value(autoPost));
        if (request->autoPost != "photo" && request->autoPost != "video"
            && request->autoPost != "all")
            return fail(QStringLiteral("--auto-post takes photo, video or all, not \"%1\"")
                            .arg(parser.value(autoPost)));
    }
    const auto given = [&](const QCommandLineOption &option) {
        return parser.isSet(option) ? bytes(parser.value(option)) : QByteArray();
    };
    request->hasFile = parser.isSet(file);
    request->file = given(file);
    request->resolution = given(resolution);
    request->quality = given(quality);
    request->postScreen = given(postScreen);
    request->out = given(out);
    request->minDataSize = parser.isSet(minDataSize);
    request->capabilities = parser.isSet(capabilities);
    request->json = parser.isSet(json);
    request->quiet = parser.isSet(quiet);
    if (request->json && !request->capabilities)
        return fail(QStringLiteral("--json belongs to --capabilities"));
    if (request->capabilities
        && (request->minDataSize || !request->autoPost.isEmpty() || parser.isSet(out)))
        return fail(QStringLiteral("--capabilities is a query of its own, without a capture"));
    if (request->cameraType == -1 && request->autoPost.isEmpty() && !request->capabilities)
        return fail(QStringLiteral("choose one of --photo, --video and --all"));
    if (request->minDataSize && !request->autoPost.isEmpty())
        return fail(QStringLiteral("--min-data-size and --auto-post are separate queries"));
    if ((request->minDataSize || !request->autoPost.isEmpty()) && parser.isSet(out))
        return fail(QStringLiteral("--out belongs to a capture, not to a query"));
    // Relative to our folder, not the camera's: it runs elsewhere.
    if (!request->file.isEmpty() && !request->file.startsWith('/')
        && !request->file.startsWith("file:"))
        request->file
            = QFile::encodeName(QDir::current().absoluteFilePath(QFile::decodeName(request->file)));
    return Parsed::Run;
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
        text = QByteArray("rejected: ") + GetCameraActionReturn(service);
        break;
    case CameraOutcomeFailed:
        text = "failed";
        break;
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
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    Request request;
    int status = 0;
    if (parse(arguments, &request, &status) != Parsed::Run)
        return status;
    // Before the library's first trace line, which is when it reads the switch.
    if (request.quiet)
        qputenv("CAMERAUISERVICE_TRACE", "0");

    // The library waits for the camera in a nested Qt event loop.
    QCoreApplication app(argc, argv);

    CameraUIService *service = CreateCameraUIService(
        request.cameraType == -1 ? 0 : request.cameraType, request.sizeLimit);
    if (request.hasFile)
        SetCameraFileLocation(service, request.file.constData());
    if (!request.resolution.isNull())
        SetCameraPhotoResolution(service, request.resolution.constData());
    if (!request.quality.isNull())
        SetCameraVideoQuality(service, request.quality.constData());
    if (!request.postScreen.isNull())
        SetCameraHasPostCapturedScreen(service, request.postScreen.constData());
    SetCameraTimeout(service, request.timeoutMs);
    SetCameraVideoDurationLimit(service, request.durationMs);

    // The library's trace comes first; our own lines follow once the service is gone.
    QByteArray report;
    if (request.minDataSize) {
        const unsigned int size = GetMinDataSize(service);
        report = "camera-capture: minimum data size: " + QByteArray::number(size) + " bytes\n";
    } else if (request.capabilities) {
        const char *answer = GetCameraCapabilities(service);
        if (!answer) {
            // Without a limit of its own the query waits for the bus default, 25 s.
            report = "camera-capture: cannot ask the camera: "
                + describe(service, request.timeoutMs > 0 ? request.timeoutMs : 25000) + "\n";
            status = 1;
        } else if (request.json) {
            report = QByteArray(answer) + "\n";
        } else {
            report = readableCapabilities(answer);
        }
    } else if (!request.autoPost.isEmpty()) {
        const int type = request.autoPost == "photo" ? 1 : request.autoPost == "video" ? 2 : 0;
        const bool on = GetAutoPostSetting(service, type);
        report = "camera-capture: auto-post for " + request.autoPost + ": " + (on ? "on" : "off")
            + "\n";
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
        status = accepted ? 0 : 1;
        // What the camera could not honour, in its own words.
        for (const char *key : { "photoResolution", "videoQuality" }) {
            const QByteArray used = GetCameraSettingUsed(service, key);
            if (!used.isEmpty())
                report += QByteArray("camera-capture: the camera used ") + key + " " + used
                    + " instead of the one asked for\n";
        }
        if (accepted && !request.out.isNull()) {
            const QByteArray &data = GetCameraData(service);
            QFile dest(QFile::decodeName(request.out));
            if (dest.open(QIODevice::WriteOnly) && dest.write(data) == data.size()
                && dest.flush()) {
                report += "camera-capture: wrote " + QByteArray::number(data.size()) + " bytes to "
                    + request.out + "\n";
            } else {
                fprintf(stderr, "camera-capture: cannot write %s: %s\n", request.out.constData(),
                    dest.errorString().toLocal8Bit().constData());
                status = 1;
            }
        }
        if (accepted && GetCameraVideoDuration(service) > 0) {
            const QByteArray endedBy = GetCameraVideoEndedBy(service);
            report += "camera-capture: video of "
                + QByteArray::number(GetCameraVideoDuration(service)) + " ms"
                + (endedBy.isEmpty() ? QByteArray() : ", ended by " + endedBy) + "\n";
        }
        report += "camera-capture: " + describe(service, request.timeoutMs);
        // Only an accepted capture left a file; after anything else, naming one misleads.
        if (accepted) {
            const QByteArray location = GetCameraFileLocation(service).toLocal8Bit();
            report += ", file location: " + (location.isEmpty() ? QByteArray("(none)") : location);
        }
        report += "\n";
    }
    DestroyCameraDlg(service);
    fputs(report.constData(), stdout);
    fflush(stdout);
    return status;
}
