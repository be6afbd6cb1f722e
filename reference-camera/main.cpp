// Reference camera application: serves capture requests on the session bus and writes
// generated pictures and clips, with switches that simulate users and faulty cameras.

#include "cameraservice.h"
#include "console.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QDir>
#include <QMap>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

using namespace refcam;

namespace {

constexpr int usageError = 2;

int signalPipe[2] = { -1, -1 };

// Only async-signal-safe work here; the event loop picks the byte up.
void onSignal(int signal)
{
    const int savedErrno = errno;
    const char byte = char(signal);
    const ssize_t written = ::write(signalPipe[0], &byte, 1);
    (void)written;
    errno = savedErrno;
}

bool installSignalHandlers(QCoreApplication *app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return false;
    auto *notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [] {
        char byte = 0;
        if (::read(signalPipe[1], &byte, 1) == 1)
            printErr(programPrefix() + QStringLiteral("got signal %1, quitting").arg(int(byte)));
        QCoreApplication::exit(0);
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    // A reader that went away must not kill us halfway through a reply.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

bool isValidErrorName(const QString &name)
{
    static const QRegularExpression pattern(
        QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*(\\.[A-Za-z_][A-Za-z0-9_]*)+$"));
    return name.size() <= 255 && pattern.match(name).hasMatch();
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
        "  reference-camera --name org.example.OtherCamera\n"
        "      Serve another bus name.\n"
        "\nPhotos are PNG test patterns sized by photoResolution (MAX is 1600x1200, or WxH up\n"
        "to 8192 per side); videos (cameraType VIDEO) are YUV4MPEG2 clips of one second,\n"
        "320x240 at 30 fps for HIGHEST and 176x144 at 15 fps for MEDIUM and LOWEST, cut\n"
        "short to fit a positive videoSizeLimitation. A fileLocation that cannot be written\n"
        "is answered with actionReturn FAILED. Exit status: 0 normally, 1 when the bus or\n"
        "the name cannot be had, 2 on bad options, 3 after --exit-without-answer.\n");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("reference-camera"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Reference camera application: answers org.kiv.Action.Invoke capture "
                       "requests on the session bus with generated files."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption nameOption(QStringLiteral("name"),
        QStringLiteral("Bus name to own (default %1), e.g. --name org.example.Camera. Exits "
                       "with status 1 when the name is taken.")
            .arg(defaultBusName()),
        QStringLiteral("NAME"), defaultBusName());
    const QCommandLineOption outputDirOption(QStringLiteral("output-dir"),
        QStringLiteral("Folder for captures without a fileLocation, created when missing "
                       "(default: the Pictures or Movies folder, else the temp folder), "
                       "e.g. --output-dir /tmp/captures."),
        QStringLiteral("DIR"));
    const QCommandLineOption actionReturnOption(QStringLiteral("action-return"),
        QStringLiteral("Answer this actionReturn instead of ACCEPTED (any text), e.g. "
                       "--action-return REJECTED or --action-return 'ACCEPTED '."),
        QStringLiteral("TEXT"));
    const QCommandLineOption noActionReturnOption(QStringLiteral("no-action-return"),
        QStringLiteral("Leave the actionReturn key out of the answer, e.g. --no-action-return."));
    const QCommandLineOption noFileLocationOption(QStringLiteral("no-file-location"),
        QStringLiteral("Leave the fileLocationReturn key out of the answer (the file is still "
                       "written), e.g. --no-file-location."));
    const QCommandLineOption noFileOption(QStringLiteral("no-file"),
        QStringLiteral("Write no file but still answer the path it would have had, e.g. "
                       "--no-file."));
    const QCommandLineOption delayOption(QStringLiteral("delay"),
        QStringLiteral("Wait MS milliseconds before capturing and answering, without blocking, "
                       "e.g. --delay 3000."),
        QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption exitWithoutAnswerOption(QStringLiteral("exit-without-answer"),
        QStringLiteral("Exit with status 3 as soon as a request arrives, without answering "
                       "(the caller gets NoReply), e.g. --exit-without-answer."));
    const QCommandLineOption errorOption(QStringLiteral("error"),
        QStringLiteral("Answer every request with the D-Bus error NAME, e.g. "
                       "--error org.kiv.Action.Error.Busy."),
        QStringLiteral("NAME"));
    const QCommandLineOption exitAfterOneOption(QStringLiteral("exit-after-one"),
        QStringLiteral("Exit with status 0 once the first answer has left, e.g. "
                       "--exit-after-one."));
    parser.addOptions({ nameOption, outputDirOption, actionReturnOption, noActionReturnOption,
        noFileLocationOption, noFileOption, delayOption, exitWithoutAnswerOption, errorOption,
        exitAfterOneOption });

    // parse() rather than process(): --help gets the examples and errors get our exit status.
    if (!parser.parse(QCoreApplication::arguments())) {
        printErr(programPrefix() + parser.errorText());
        printErr(QStringLiteral("Try 'reference-camera --help'."));
        return usageError;
    }
    // --help-all is Qt's own extra switch; treat it like --help.
    if (parser.isSet(helpOption) || parser.optionNames().contains(QStringLiteral("help-all"))) {
        const QByteArray help = (parser.helpText() + examplesText()).toUtf8();
        fputs(help.constData(), stdout);
        return 0;
    }
    if (parser.isSet(versionOption)) {
        printOut(QStringLiteral("reference-camera %1").arg(QCoreApplication::applicationVersion()));
        return 0;
    }

    Options options;
    options.busName = parser.value(nameOption);
    if (parser.isSet(outputDirOption))
        options.outputDir = QDir(parser.value(outputDirOption)).absolutePath();
    if (parser.isSet(actionReturnOption))
        options.actionReturn = parser.value(actionReturnOption);
    options.sendActionReturn = !parser.isSet(noActionReturnOption);
    options.sendFileLocation = !parser.isSet(noFileLocationOption);
    options.writeFile = !parser.isSet(noFileOption);
    options.exitWithoutAnswer = parser.isSet(exitWithoutAnswerOption);
    options.exitAfterOne = parser.isSet(exitAfterOneOption);
    options.errorName = parser.value(errorOption);

    QStringList problems;
    bool delayOk = false;
    options.delayMs = parser.value(delayOption).toInt(&delayOk);
    if (!delayOk || options.delayMs < 0)
        problems << QStringLiteral("--delay wants a number of milliseconds (0 or more), not '%1'")
                        .arg(parser.value(delayOption));
    if (parser.isSet(errorOption) && !isValidErrorName(options.errorName))
        problems << QStringLiteral("--error wants a D-Bus error name like "
                                   "org.kiv.Action.Error.Busy, not '%1'")
                        .arg(options.errorName);
    if (parser.isSet(actionReturnOption) && parser.isSet(noActionReturnOption))
        problems << QStringLiteral("--action-return and --no-action-return contradict each other");
    if (parser.isSet(outputDirOption) && parser.value(outputDirOption).isEmpty())
        problems << QStringLiteral("--output-dir wants a folder");
    if (!parser.positionalArguments().isEmpty())
        problems << QStringLiteral("unexpected argument '%1'")
                        .arg(parser.positionalArguments().constFirst());
    if (!problems.isEmpty()) {
        for (const QString &problem : std::as_const(problems))
            printErr(programPrefix() + problem);
        return usageError;
    }

    if (!installSignalHandlers(&app))
        printErr(programPrefix() + QStringLiteral("cannot watch for signals; kill -9 needed"));

    qDBusRegisterMetaType<QMap<QString, QString>>();

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        printErr(programPrefix()
            + QStringLiteral("cannot connect to the session bus: %1")
                  .arg(bus.lastError().message()));
        return 1;
    }

    auto *service = new CameraService(options, &app);
    // The object must be there before the name is, or early callers would find nothing.
    if (!bus.registerVirtualObject(objectPath(), service)) {
        printErr(programPrefix()
            + QStringLiteral("cannot register %1: %2")
                  .arg(objectPath(), bus.lastError().message()));
        return 1;
    }
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> registered
        = bus.interface()->registerService(options.busName,
            QDBusConnectionInterface::DontQueueService,
            QDBusConnectionInterface::DontAllowReplacement);
    if (!registered.isValid()) {
        printErr(programPrefix()
            + QStringLiteral("cannot own %1: %2")
                  .arg(options.busName, registered.error().message()));
        return 1;
    }
    if (registered.value() != QDBusConnectionInterface::ServiceRegistered) {
        printErr(programPrefix()
            + QStringLiteral("cannot own %1: another program already has it").arg(options.busName));
        return 1;
    }

    // Without this an activated camera would outlive the private bus of a finished test.
    QTimer busWatch;
    QObject::connect(&busWatch, &QTimer::timeout, &app, [] {
        if (!QDBusConnection::sessionBus().isConnected()) {
            printErr(programPrefix() + QStringLiteral("lost the session bus, quitting"));
            QCoreApplication::exit(0);
        }
    });
    busWatch.start(500);

    printOut(
        programPrefix() + QStringLiteral("serving %1 on the session bus").arg(options.busName));
    return app.exec();
}
