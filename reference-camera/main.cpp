// SPDX-License-Identifier: MIT
// Reference camera application: serves capture requests on the session bus and writes
// generated pictures and clips, with switches that simulate users and faulty cameras.

#include "cameraservice.h"
#include "capturewindow.h"
#include "console.h"
#include "kivaction_names_p.h"
#include "options.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QMap>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
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
    // A file size limit makes a write fail with EFBIG, answered FAILED, instead of killing us.
    std::signal(SIGXFSZ, SIG_IGN);
    return true;
}

// A frame is megabytes. glibc raises its mmap threshold to the size of the first such block
// freed, so later frames come from the streaming threads' arenas, which keep the pages once
// a pipeline is gone: 230 MB after 80 captures in mixed sizes instead of 50 MB. A fixed
// threshold (this also fixes the trim threshold) maps every frame and unmaps it when freed.
void keepFramesOutOfArenas()
{
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
}

} // namespace

// Puts the service on the bus, object first: early callers must find it once the name is ours.
bool publish(CameraService *service, QDBusConnection bus, const QString &busName)
{
    // The object must be there before the name is, or early callers would find nothing.
    QString error;
    if (!service->registerObject(&error)) {
        printErr(programPrefix()
            + QStringLiteral("cannot register %1: %2").arg(KivAction::objectPath(), error));
        return false;
    }
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> registered
        = bus.interface()->registerService(busName, QDBusConnectionInterface::DontQueueService,
            QDBusConnectionInterface::DontAllowReplacement);
    if (!registered.isValid()) {
        printErr(programPrefix()
            + QStringLiteral("cannot own %1: %2").arg(busName, registered.error().message()));
        return false;
    }
    if (registered.value() != QDBusConnectionInterface::ServiceRegistered) {
        printErr(programPrefix()
            + QStringLiteral("cannot own %1: another program already has it").arg(busName));
        return false;
    }
    return true;
}

int main(int argc, char **argv)
{
    keepFramesOutOfArenas();
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // Only a camera with a window needs a display; the default runs anywhere.
    const bool interactive = wantsInteractive(arguments);
    // Without a display QApplication would abort; an activated camera would then look crashed.
    const bool displayKnown = qEnvironmentVariableIsSet("DISPLAY")
        || qEnvironmentVariableIsSet("WAYLAND_DISPLAY")
        || qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
    QScopedPointer<QCoreApplication> app(interactive && displayKnown
            ? new QApplication(argc, argv)
            : new QCoreApplication(argc, argv));
    if (interactive && displayKnown)
        // Serving goes on after a request's window closes.
        QApplication::setQuitOnLastWindowClosed(false);
    QCoreApplication::setApplicationName(QStringLiteral("reference-camera"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CAMERAUISERVICE_PROJECT_VERSION));

    Options options;
    switch (parseOptions(QCoreApplication::arguments(), &options)) {
    case ParseOutcome::Exit:
        return 0;
    case ParseOutcome::UsageError:
        return usageError;
    case ParseOutcome::Run:
        break;
    }
    if (options.interactive && !displayKnown && options.configProblem.isEmpty())
        options.configProblem = QStringLiteral(
            "interactive mode needs a display, but neither DISPLAY nor WAYLAND_DISPLAY is set; "
            "for launches by the bus run 'dbus-update-activation-environment DISPLAY "
            "WAYLAND_DISPLAY XAUTHORITY' in the desktop session");
    if (!options.windowSize.isEmpty())
        CaptureWindow::setDefaultSize(options.windowSize);

    if (!installSignalHandlers(app.data()))
        printErr(programPrefix() + QStringLiteral("cannot watch for signals; kill -9 needed"));

    qDBusRegisterMetaType<QMap<QString, QString>>();

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        printErr(programPrefix()
            + QStringLiteral("cannot connect to the session bus: %1")
                  .arg(bus.lastError().message()));
        return 1;
    }

    auto *service = new CameraService(options, bus, app.data());
    if (!publish(service, bus, options.busName))
        return 1;

    // Without this an activated camera would outlive the private bus of a finished test.
    QTimer busWatch;
    QObject::connect(&busWatch, &QTimer::timeout, app.data(), [] {
        if (!QDBusConnection::sessionBus().isConnected()) {
            printErr(programPrefix() + QStringLiteral("lost the session bus, quitting"));
            QCoreApplication::exit(0);
        }
    });
    busWatch.start(500);

    if (!options.fromConfig.isEmpty() && options.configProblem.isEmpty())
        printOut(programPrefix()
            + QStringLiteral("options from %1: %2")
                  .arg(configFilePath(), options.fromConfig.join(QStringLiteral(", "))));
    if (!options.configProblem.isEmpty())
        printErr(programPrefix()
            + QStringLiteral("%1; answering every request with "
                             "org.kiv.Action.Error.BadCameraOptions until it is fixed")
                  .arg(options.configProblem));
    printOut(programPrefix()
        + QStringLiteral("serving %1 on the session bus%2")
              .arg(options.busName,
                  options.interactive ? QStringLiteral(" (interactive)") : QString()));
    return app->exec();
}
