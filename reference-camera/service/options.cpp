// SPDX-License-Identifier: MIT
#include "options.h"

#include "console.h"
#include "dbusformat.h"
#include "gstcapture.h"
#include "kivaction_names_p.h"
#include "safefile_p.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QRegularExpression>

#include <cstring>
#include <functional>
#include <utility>

namespace refcam {

QString defaultBusName()
{
    return KivAction::cameraBusName();
}

QString configFilePath()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/reference-camera.conf");
}

namespace {

constexpr qint64 maxConfigBytes = 64 * 1024;

QList<QCommandLineOption> behaviourOptions()
{
    return {
        QCommandLineOption(QStringLiteral("name"),
            QStringLiteral("Bus name to own (default %1), e.g. --name org.example.Camera. Exits "
                           "with status 1 when the name is taken.")
                .arg(defaultBusName()),
            QStringLiteral("NAME")),
        QCommandLineOption(QStringLiteral("output-dir"),
            QStringLiteral("Folder for captures without a fileLocation, created when missing "
                           "(default: the Pictures or Movies folder, else the temp folder), "
                           "e.g. --output-dir /tmp/captures."),
            QStringLiteral("DIR")),
        QCommandLineOption(QStringLiteral("action-return"),
            QStringLiteral("Answer this actionReturn instead of ACCEPTED (any text), e.g. "
                           "--action-return REJECTED or --action-return 'ACCEPTED '."),
            QStringLiteral("TEXT")),
        QCommandLineOption(QStringLiteral("no-action-return"),
            QStringLiteral(
                "Leave the actionReturn key out of the answer, e.g. --no-action-return.")),
        QCommandLineOption(QStringLiteral("no-file-location"),
            QStringLiteral("Leave the fileLocationReturn key out of the answer (the file is "
                           "still written), e.g. --no-file-location.")),
        QCommandLineOption(QStringLiteral("no-file"),
            QStringLiteral("Write no file but still answer the path it would have had, e.g. "
                           "--no-file.")),
        QCommandLineOption(QStringLiteral("delay"),
            QStringLiteral("Wait MS milliseconds before capturing and answering, without "
                           "blocking, e.g. --delay 3000. The caller's Cancel ends the wait."),
            QStringLiteral("MS")),
        QCommandLineOption(QStringLiteral("exit-without-answer"),
            QStringLiteral("Exit with status 3 as soon as a request arrives, without answering "
                           "(the caller gets NoReply), e.g. --exit-without-answer.")),
        QCommandLineOption(QStringLiteral("error"),
            QStringLiteral("Answer every request with the D-Bus error NAME, e.g. "
                           "--error org.kiv.Action.Error.Busy."),
            QStringLiteral("NAME")),
        QCommandLineOption(QStringLiteral("exit-after-one"),
            QStringLiteral("Exit with status 0 once the first answer has left, e.g. "
                           "--exit-after-one.")),
        QCommandLineOption(QStringLiteral("interactive"),
            QStringLiteral("Show a window per request: viewfinder, shutter or record/stop, and "
                           "the review screen when hasPostCapturedScreen is YES; the user "
                           "decides the answer. Needs a display, e.g. --interactive.")),
        QCommandLineOption(QStringLiteral("source"),
            QStringLiteral("Camera to capture from: auto (default: the first camera GStreamer's "
                           "device monitor finds, PipeWire before libcamera before V4L2), "
                           "v4l2:/dev/videoN, libcamera[:NAME], pipewire[:NAME], "
                           "portal[:NAME] (the Camera portal; what auto uses inside a Flatpak "
                           "sandbox), or test[:PATTERN] for a live test picture (e.g. "
                           "test:ball, test:snow), e.g. --source test."),
            QStringLiteral("SOURCE")),
        QCommandLineOption(QStringLiteral("orientation"),
            QStringLiteral("Degrees a photo must be turned clockwise to show upright (0, 90, "
                           "180 or 270), written as its EXIF Orientation; pixels are never "
                           "turned. Default: a window's photo follows the screen's orientation; "
                           "otherwise the mounting rotation the camera reports "
                           "(api.libcamera.rotation through PipeWire), else 0. E.g. "
                           "--orientation 90."),
            QStringLiteral("DEGREES")),
        QCommandLineOption(QStringLiteral("record-ms"),
            QStringLiteral("Length of a video recording without a window, in milliseconds, "
                           "when the request has no videoDurationLimit (default 3000), e.g. "
                           "--record-ms 500."),
            QStringLiteral("MS")),
        QCommandLineOption(QStringLiteral("encoder"),
            QStringLiteral("H.264 encoder for MP4 and Matroska recordings instead of the best "
                           "installed (hardware first, then by GStreamer rank), e.g. --encoder "
                           "openh264enc."),
            QStringLiteral("ELEMENT")),
        QCommandLineOption(QStringLiteral("window-size"),
            QStringLiteral("Size of the interactive window, also on small screens, which "
                           "otherwise get the whole screen, e.g. --window-size 900x600."),
            QStringLiteral("WxH")),
        QCommandLineOption(QStringLiteral("debug-panel"),
            QStringLiteral("Interactive windows list the request's values from the start (a "
                           "long press on the top right corner shows them too), e.g. "
                           "--debug-panel.")),
    };
}

QString examplesText()
{
    return QStringLiteral(
        "\nExamples:\n"
        "  reference-camera\n"
        "      Serve org.kiv.Action.CameraUIService and accept every request.\n"
        "  reference-camera --output-dir /tmp/captures --exit-after-one\n"
        "      Write into /tmp/captures and quit after the first answer.\n"
        "  reference-camera --action-return REJECTED --no-file --no-file-location\n"
        "      Behave like a user who cancelled the capture.\n"
        "  reference-camera --delay 5000\n"
        "      Answer each request after five seconds (the event loop keeps running).\n"
        "  reference-camera --error org.kiv.Action.Error.Busy\n"
        "      Answer every request with that D-Bus error.\n"
        "  reference-camera --exit-without-answer\n"
        "      Crash-like exit (status 3) on the first request; the caller sees NoReply.\n"
        "  reference-camera --source test:ball --record-ms 1000\n"
        "      Capture from a live test picture instead of a camera; one-second clips.\n"
        "  reference-camera --source v4l2:/dev/video2 --orientation 90\n"
        "      Use that camera; photos are marked to be shown turned a quarter right.\n"
        "  reference-camera --interactive\n"
        "      Let a person take the picture in a window.\n"
        "  reference-camera --name org.example.OtherCamera\n"
        "      Serve another bus name.\n"
        "\nConfiguration file: every start, also one by D-Bus activation, reads options from\n"
        "$XDG_CONFIG_HOME/reference-camera.conf (default ~/.config/reference-camera.conf):\n"
        "one option per line without the dashes, 'delay = 3000' or 'interactive'; '#' starts\n"
        "a comment. The command line wins over the file; --no-config ignores it. A mistake\n"
        "in the file makes the camera answer every request with the D-Bus error\n"
        "org.kiv.Action.Error.BadCameraOptions naming it, then quit.\n"
        "\nPhotos are JPEG with EXIF (PNG for a fileLocation ending in .png), photoResolution\n"
        "WxH exactly (cropped, never stretched) or MAX, the camera's largest mode. Videos are\n"
        "MP4 with H.264 (.webm: VP8 in WebM, .mkv: Matroska, .y4m: raw), recorded for\n"
        "videoDurationLimit milliseconds (at most one hour), else --record-ms; in the window\n"
        "until the user stops or the videoDurationLimit is reached; videoQuality: %1,\n"
        "never above the camera's modes. A positive videoSizeLimitation ends the recording\n"
        "before the limit; a limit too small gives the D-Bus error\n"
        "org.kiv.Action.Error.CameraFailed and no file. No camera gives\n"
        "org.kiv.Action.Error.NoCameraDevice. A fileLocation must be an absolute path\n"
        "to a regular file or to nothing yet (never a link, FIFO, device, socket or folder),\n"
        "in a folder the caller's user may write, reached without links, outside this\n"
        "camera's own configuration and state folders; a request with a fileDescriptor is\n"
        "written through it instead and the path is never opened. Otherwise the answer is\n"
        "actionReturn FAILED. Exit status: 0 normally, 1 when the bus\n"
        "or the name cannot be had, 2 on bad options, 3 after --exit-without-answer.\n")
        .arg(videoProfileTable());
}

bool isValidErrorName(const QString &name)
{
    static const QRegularExpression pattern(
        QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*(\\.[A-Za-z_][A-Za-z0-9_]*)+$"));
    return name.size() <= 255 && pattern.match(name).hasMatch();
}

// Read through the project's safe reader: never blocks on a FIFO or device planted under
// the name, and reads the file that was checked.
bool readSmallFile(const QString &path, QByteArray *data, QString *error)
{
    SafeFile::File file;
    SafeFile::Status status = file.open(QFile::encodeName(path).constData());
    if (status == SafeFile::Status::Ok)
        status = file.readAll(maxConfigBytes, data);
    switch (status) {
    case SafeFile::Status::Ok:
    case SafeFile::Status::Missing:
        return true;
    case SafeFile::Status::NotRegular:
        *error = QStringLiteral("not a regular file");
        return false;
    case SafeFile::Status::TooLarge:
        *error = QStringLiteral("bigger than %1 bytes").arg(maxConfigBytes);
        return false;
    case SafeFile::Status::Failed:
        break;
    }
    *error = QString::fromLocal8Bit(std::strerror(file.error()));
    return false;
}

// The file's lines as command-line arguments; where[name] says which line set it.
bool readConfig(const QString &path, const QList<QCommandLineOption> &known, QStringList *args,
    QHash<QString, QString> *where, QStringList *problems)
{
    QByteArray data;
    QString error;
    if (!readSmallFile(path, &data, &error)) {
        *problems << QStringLiteral("%1: cannot read it: %2").arg(path, error);
        return false;
    }
    QHash<QString, bool> takesValue;
    QStringList names;
    for (const QCommandLineOption &option : known) {
        takesValue.insert(option.names().constFirst(), !option.valueName().isEmpty());
        names << option.names().constFirst();
    }
    bool unknownSeen = false;
    const QList<QByteArray> lines = data.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray &raw = lines.at(i);
        const QString line = QString::fromUtf8(raw.constData(), int(raw.size())).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QString at = QStringLiteral("%1 line %2").arg(path).arg(i + 1);
        // A NUL would cut the value short on its way to the option parser.
        if (raw.contains('\0')) {
            *problems << QStringLiteral("%1: contains a NUL character; remove it").arg(at);
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        QString key = (equals < 0 ? line : line.left(equals)).trimmed();
        if (key.startsWith(QLatin1String("--")))
            key = key.mid(2);
        const QString value = equals < 0 ? QString() : line.mid(equals + 1).trimmed();
        if (!takesValue.contains(key)) {
            *problems << QStringLiteral("%1: unknown option '%2'").arg(at, key.left(80));
            unknownSeen = true;
            continue;
        }
        if (takesValue.value(key) && (equals < 0 || value.isEmpty())) {
            *problems << QStringLiteral("%1: '%2' wants a value, e.g. '%2 = ...'").arg(at, key);
            continue;
        }
        if (!takesValue.value(key) && equals >= 0) {
            *problems << QStringLiteral("%1: '%2' is a switch and takes no value; write '%2' "
                                        "alone or remove the line")
                             .arg(at, key);
            continue;
        }
        if (where->contains(key)) {
            *problems
                << QStringLiteral("%1: '%2' already set on %3").arg(at, key, where->value(key));
            continue;
        }
        where->insert(key, at);
        *args << QStringLiteral("--") + key;
        if (takesValue.value(key))
            *args << value;
    }
    if (unknownSeen)
        *problems << QStringLiteral("known options: %1").arg(names.join(QStringLiteral(", ")));
    return problems->isEmpty();
}

// The command line wins; the file fills in what it leaves open.
class Merged
{
public:
    Merged(const QCommandLineParser &cmd, const QCommandLineParser *cfg,
        const QHash<QString, QString> &where)
        : m_cmd(cmd)
        , m_cfg(cfg)
        , m_where(where)
    { }

    bool fromCommandLine(const QString &name) const { return m_cmd.isSet(name); }
    bool isSet(const QString &name) const
    {
        if (m_cmd.isSet(name))
            return true;
        if (!m_cfg || !m_cfg->isSet(name))
            return false;
        // Either of these on the command line replaces both in the file.
        static const QStringList pair
            = { QStringLiteral("action-return"), QStringLiteral("no-action-return") };
        if (pair.contains(name))
            for (const QString &other : pair)
                if (m_cmd.isSet(other))
                    return false;
        return true;
    }
    QString value(const QString &name) const
    {
        if (m_cmd.isSet(name))
            return m_cmd.value(name);
        return isSet(name) ? m_cfg->value(name) : QString();
    }
    QString where(const QString &name) const
    {
        return m_cmd.isSet(name) ? QStringLiteral("--") + name
                                 : QStringLiteral("'%1' (%2)").arg(name, m_where.value(name));
    }

private:
    const QCommandLineParser &m_cmd;
    const QCommandLineParser *m_cfg;
    QHash<QString, QString> m_where;
};

struct Problem
{
    QString text;
    bool commandLine;
};

using AddProblem = std::function<void(const QStringList &, const QString &)>;

// --delay, --orientation and --record-ms.
void resolveNumbers(const Merged &m, Options *options, const AddProblem &add)
{
    if (m.isSet(QStringLiteral("delay"))) {
        bool ok = false;
        options->delayMs = m.value(QStringLiteral("delay")).toInt(&ok);
        if (!ok || options->delayMs < 0)
            add({ QStringLiteral("delay") },
                QStringLiteral("%1 wants a number of milliseconds (0 or more), not '%2'")
                    .arg(m.where(QStringLiteral("delay")), m.value(QStringLiteral("delay"))));
    }
    if (m.isSet(QStringLiteral("orientation"))) {
        bool ok = false;
        options->orientation = m.value(QStringLiteral("orientation")).toInt(&ok);
        options->orientationGiven = true;
        if (!ok || options->orientation % 90 != 0 || options->orientation < 0
            || options->orientation > 270)
            add({ QStringLiteral("orientation") },
                QStringLiteral("%1 wants 0, 90, 180 or 270, not '%2'")
                    .arg(m.where(QStringLiteral("orientation")),
                        m.value(QStringLiteral("orientation"))));
    }
    if (m.isSet(QStringLiteral("record-ms"))) {
        bool ok = false;
        options->recordMs = m.value(QStringLiteral("record-ms")).toInt(&ok);
        if (!ok || options->recordMs < 1 || options->recordMs > 3600000)
            add({ QStringLiteral("record-ms") },
                QStringLiteral("%1 wants milliseconds from 1 to 3600000, not '%2'")
                    .arg(m.where(QStringLiteral("record-ms")),
                        m.value(QStringLiteral("record-ms"))));
    }
}

// --source, --encoder and --window-size.
void resolveCapture(const Merged &m, Options *options, const AddProblem &add)
{
    if (m.isSet(QStringLiteral("source"))) {
        options->source = m.value(QStringLiteral("source")).trimmed();
        const QString problem = checkSourceSpec(options->source);
        if (!problem.isEmpty())
            add({ QStringLiteral("source") },
                QStringLiteral("%1: %2").arg(m.where(QStringLiteral("source")), problem));
    }
    if (m.isSet(QStringLiteral("encoder"))) {
        options->encoder = m.value(QStringLiteral("encoder")).trimmed();
        QString problem;
        if (pickH264Encoder(options->encoder, &problem).isEmpty())
            add({ QStringLiteral("encoder") },
                QStringLiteral("%1: %2").arg(m.where(QStringLiteral("encoder")), problem));
    }
    if (m.isSet(QStringLiteral("window-size"))) {
        static const QRegularExpression size(QStringLiteral("^(\\d{3,4})x(\\d{3,4})$"));
        const QRegularExpressionMatch match = size.match(m.value(QStringLiteral("window-size")));
        if (match.hasMatch())
            options->windowSize = QSize(match.captured(1).toInt(), match.captured(2).toInt());
        else
            add({ QStringLiteral("window-size") },
                QStringLiteral("%1 wants WIDTHxHEIGHT from 100x100 to 9999x9999, not '%2'")
                    .arg(m.where(QStringLiteral("window-size")),
                        m.value(QStringLiteral("window-size"))));
    }
}

// Options that do not go together.
void resolveConflicts(const Merged &m, const Options *options, const AddProblem &add)
{
    if (m.isSet(QStringLiteral("error")) && !isValidErrorName(options->errorName))
        add({ QStringLiteral("error") },
            QStringLiteral("%1 wants a D-Bus error name like org.kiv.Action.Error.Busy, not '%2'")
                .arg(m.where(QStringLiteral("error")), options->errorName));
    if (m.isSet(QStringLiteral("action-return")) && m.isSet(QStringLiteral("no-action-return")))
        add({ QStringLiteral("action-return"), QStringLiteral("no-action-return") },
            QStringLiteral("%1 and %2 contradict each other")
                .arg(m.where(QStringLiteral("action-return")),
                    m.where(QStringLiteral("no-action-return"))));
    if (options->interactive) {
        // In a window the user decides; these would overrule or bypass that.
        for (const char *name : { "delay", "action-return", "error", "exit-without-answer" }) {
            const QString option = QString::fromLatin1(name);
            if (m.isSet(option))
                add({ option, QStringLiteral("interactive") },
                    QStringLiteral("%1 does not go with %2: in a window the user decides")
                        .arg(m.where(option), m.where(QStringLiteral("interactive"))));
        }
    }
}

QList<Problem> resolve(const Merged &m, Options *options)
{
    QList<Problem> problems;
    auto add = [&](const QStringList &names, const QString &text) {
        bool commandLine = false;
        for (const QString &name : names)
            commandLine = commandLine || m.fromCommandLine(name);
        problems.append(Problem { text, commandLine });
    };

    options->busName
        = m.isSet(QStringLiteral("name")) ? m.value(QStringLiteral("name")) : defaultBusName();
    if (m.isSet(QStringLiteral("output-dir"))) {
        const QString dir = m.value(QStringLiteral("output-dir"));
        if (dir.isEmpty())
            add({ QStringLiteral("output-dir") },
                QStringLiteral("%1 wants a folder").arg(m.where(QStringLiteral("output-dir"))));
        else if (!m.fromCommandLine(QStringLiteral("output-dir")) && !QDir::isAbsolutePath(dir))
            add({ QStringLiteral("output-dir") },
                QStringLiteral("%1 wants an absolute folder, not '%2'")
                    .arg(m.where(QStringLiteral("output-dir")), dir));
        else
            options->outputDir = QDir(dir).absolutePath();
    }
    if (m.isSet(QStringLiteral("action-return")))
        options->actionReturn = m.value(QStringLiteral("action-return"));
    options->sendActionReturn = !m.isSet(QStringLiteral("no-action-return"));
    options->sendFileLocation = !m.isSet(QStringLiteral("no-file-location"));
    options->writeFile = !m.isSet(QStringLiteral("no-file"));
    options->exitWithoutAnswer = m.isSet(QStringLiteral("exit-without-answer"));
    options->exitAfterOne = m.isSet(QStringLiteral("exit-after-one"));
    options->interactive = m.isSet(QStringLiteral("interactive"));
    options->debugPanel = m.isSet(QStringLiteral("debug-panel"));
    options->errorName = m.value(QStringLiteral("error"));

    resolveNumbers(m, options, add);
    resolveCapture(m, options, add);
    resolveConflicts(m, options, add);
    return problems;
}

// The file's problems as one line for the log and the error a host receives: control
// characters escaped as the request log does, the first few problems and how many more,
// never longer than maxProblemChars.
QString summarizeProblems(const QStringList &problems)
{
    constexpr int shownProblems = 5;
    constexpr int maxProblemChars = 4096 - 512; // room for the text around it
    QStringList shown;
    QString known;
    int counted = 0;
    for (const QString &problem : problems) {
        if (problem.startsWith(QLatin1String("known options: "))) {
            known = escaped(problem, 600);
            continue;
        }
        ++counted;
        if (shown.size() < shownProblems)
            shown << escaped(problem, 400);
    }
    if (counted > shown.size())
        shown << QStringLiteral("and %1 more problem(s) in the file").arg(counted - shown.size());
    if (!known.isEmpty())
        shown << known;
    QString text = shown.join(QStringLiteral("; "));
    if (text.size() > maxProblemChars)
        text = text.left(maxProblemChars) + QStringLiteral("... (cut)");
    return text;
}

void addAll(QCommandLineParser &parser, const QList<QCommandLineOption> &options)
{
    for (const QCommandLineOption &option : options)
        parser.addOption(option);
}

} // namespace

bool wantsInteractive(const QStringList &arguments)
{
    if (arguments.contains(QStringLiteral("--interactive")))
        return true;
    if (arguments.contains(QStringLiteral("--no-config")))
        return false;
    QStringList args;
    QHash<QString, QString> where;
    QStringList problems;
    readConfig(configFilePath(), behaviourOptions(), &args, &where, &problems);
    return where.contains(QStringLiteral("interactive"));
}

ParseOutcome parseOptions(const QStringList &arguments, Options *options)
{
    const QList<QCommandLineOption> known = behaviourOptions();
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Reference camera application: answers org.kiv.Action.Invoke capture "
        "requests on the session bus with photos and videos from a camera (GStreamer)."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    addAll(parser, known);
    const QCommandLineOption noConfigOption(QStringLiteral("no-config"),
        QStringLiteral("Ignore the configuration file %1.").arg(configFilePath()));
    parser.addOption(noConfigOption);

    // parse() rather than process(): --help gets the examples and errors get our exit status.
    if (!parser.parse(arguments)) {
        printErr(programPrefix() + parser.errorText());
        printErr(QStringLiteral("Try 'reference-camera --help'."));
        return ParseOutcome::UsageError;
    }
    // --help-all is Qt's own extra switch; treat it like --help.
    if (parser.isSet(helpOption) || parser.optionNames().contains(QStringLiteral("help-all"))) {
        const QByteArray help = (parser.helpText() + examplesText()).toUtf8();
        fputs(help.constData(), stdout);
        return ParseOutcome::Exit;
    }
    if (parser.isSet(versionOption)) {
        printOut(QStringLiteral("reference-camera ") + QCoreApplication::applicationVersion());
        return ParseOutcome::Exit;
    }
    if (!parser.positionalArguments().isEmpty()) {
        printErr(programPrefix()
            + QStringLiteral("unexpected argument '%1'")
                  .arg(parser.positionalArguments().constFirst()));
        return ParseOutcome::UsageError;
    }

    QStringList configProblems;
    QScopedPointer<QCommandLineParser> config;
    QHash<QString, QString> where;
    if (!parser.isSet(noConfigOption)) {
        QStringList args { arguments.value(0) };
        if (readConfig(configFilePath(), known, &args, &where, &configProblems)) {
            config.reset(new QCommandLineParser);
            addAll(*config, known);
            if (!config->parse(args))
                configProblems << QStringLiteral("%1: %2").arg(
                    configFilePath(), config->errorText());
            for (auto it = where.cbegin(); it != where.cend(); ++it)
                options->fromConfig << (config->value(it.key()).isEmpty()
                        ? it.key()
                        : QStringLiteral("%1=%2").arg(it.key(), config->value(it.key())));
            options->fromConfig.sort();
        }
    }

    const QList<Problem> problems = resolve(
        Merged(parser, configProblems.isEmpty() ? config.data() : nullptr, where), options);
    bool usageError = false;
    for (const Problem &problem : problems) {
        if (problem.commandLine) {
            printErr(programPrefix() + problem.text);
            usageError = true;
        } else {
            configProblems << problem.text;
        }
    }
    if (usageError)
        return ParseOutcome::UsageError;
    options->configProblem = summarizeProblems(configProblems);
    return ParseOutcome::Run;
}

} // namespace refcam
