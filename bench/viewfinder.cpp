// SPDX-License-Identifier: MIT
// The reference camera's viewfinder at 720p30: frames shown per second and the CPU the
// camera spends on them, against the same camera running without a viewfinder. Figures
// only: prints one markdown table.
//
//   camera-viewfinder-bench [SECONDS] [SOURCE]    default 10 s of "test"

#include "capturewindow.h"
#include "frameitem.h"
#include "gstcapture.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QQuickView>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>

using namespace refcam;

namespace {

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A loop of its own: quitting the application's would close the window.
void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

struct Figures
{
    double cpu = 0; // share of one core
    double shown = 0; // frames per second
    double rendered = 0;
};

// The live source alone, as a photo without a window keeps it: what any camera costs.
Figures baseline(const QString &source, int seconds)
{
    const SourceModes modes = probeSource(source);
    QString errorName;
    QString error;
    if (!modes.ok()
        || !LiveSource::instance()->use(
            source, pickMode(modes.modes, QSize(1280, 720)), false, &errorName, &error)) {
        std::fprintf(stderr, "camera-viewfinder-bench: %s\n",
            qPrintable(error.isEmpty() ? modes.errorMessage : error));
        std::exit(1);
    }
    runFor(2000); // settle
    const double cpu = cpuSeconds();
    runFor(seconds * 1000);
    Figures f;
    f.cpu = (cpuSeconds() - cpu) / seconds;
    LiveSource::instance()->release(true);
    return f;
}

Figures viewfinder(const QString &source, int seconds)
{
    WindowSettings settings;
    settings.video = true;
    settings.videoQuality = QStringLiteral("MEDIUM"); // 1280x720 at 30 fps
    settings.source = source;
    settings.recordingPath = QStringLiteral("/nonexistent/never-recorded.mp4");
    CaptureWindow window(settings);
    window.view()->resize(1280, 720);
    window.view()->show();
    int rendered = 0;
    QObject::connect(window.view(), &QQuickWindow::frameSwapped, [&rendered] { ++rendered; });
    auto *item = qobject_cast<FrameItem *>(window.item(QStringLiteral("viewfinder")));
    runFor(2000);
    const int shown = item ? item->frames() : 0;
    const int swapped = rendered;
    const double cpu = cpuSeconds();
    runFor(seconds * 1000);
    Figures f;
    f.cpu = (cpuSeconds() - cpu) / seconds;
    f.shown = double((item ? item->frames() : 0) - shown) / seconds;
    f.rendered = double(rendered - swapped) / seconds;
    window.dismiss();
    return f;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int seconds = args.size() > 1 ? qMax(1, args.at(1).toInt()) : 10;
    const QString source = args.size() > 2 ? args.at(2) : QStringLiteral("test");

    const Figures base = baseline(source, seconds);
    const Figures view = viewfinder(source, seconds);
    std::printf("| %s, 1280x720 at 30 fps, %d s, Qt Quick on %s | frames/s on screen | CPU "
                "(share of one core) |\n|---|---|---|\n",
        qPrintable(source), seconds, qPrintable(QGuiApplication::platformName()));
    std::printf("| camera alone | - | %.2f |\n", base.cpu);
    std::printf("| camera with viewfinder | %.1f shown, %.1f rendered | %.2f |\n", view.shown,
        view.rendered, view.cpu);
    std::printf("| the viewfinder's share | | %.2f |\n", view.cpu - base.cpu);
    return 0;
}
