// SPDX-License-Identifier: MIT
// Photos and a recording through PipeWire against a bare gst-launch-1.0 pipeline of the same
// node, in the same run, on a private PipeWire and WirePlumber started here. Figures only.
//
//   pipewire-bench [--reps N] [--record-ms MS]

#include "gstcapture.h"
#include "gstsource.h"
#include "pipewirefixture.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace refcam;

namespace {

const QString node = QStringLiteral("bench-camera");
const QString nodeCaps = QStringLiteral("video/x-raw,format=YUY2,width=1280,height=720,"
                                        "framerate=30/1");

double cpuSeconds(int who)
{
    struct rusage usage = {};
    ::getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

// Wall time in ms of one capture, -1 when it failed.
double captureMs(const CaptureSettings &settings, const QString &path)
{
    QElapsedTimer clock;
    clock.start();
    CaptureJob *job = CaptureJob::intoPath(settings, path);
    QSignalSpy finished(job, &CaptureJob::finished);
    job->start();
    const bool done = finished.wait(60000) || !finished.isEmpty();
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    const bool ok = done && finished.constFirst().constFirst().value<CaptureResult>().ok;
    if (!ok && done)
        QTextStream(stderr) << "capture failed: "
                            << finished.constFirst().constFirst().value<CaptureResult>().message
                            << "\n";
    delete job;
    return ok ? ms : -1;
}

// Wall time in ms and CPU seconds of a bare pipeline, -1 when it failed.
double bareMs(const QStringList &pipeline, double *cpu = nullptr)
{
    const double before = cpuSeconds(RUSAGE_CHILDREN);
    QElapsedTimer clock;
    clock.start();
    QProcess launch;
    launch.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    launch.start(QStringLiteral("gst-launch-1.0"), QStringList { QStringLiteral("-q") } + pipeline);
    const bool ok = launch.waitForFinished(60000) && launch.exitCode() == 0;
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    if (cpu)
        *cpu = cpuSeconds(RUSAGE_CHILDREN) - before;
    return ok ? ms : -1;
}

QStringList source()
{
    return { QStringLiteral("pipewiresrc"), QStringLiteral("target-object=") + node,
        QStringLiteral("do-timestamp=true") };
}

QString row(
    const QString &what, double camera, double bare, const QString &unit, const QString &goal)
{
    return QStringLiteral("| %1 | %2 %4 | %3 %4 | %5 | %6 |")
        .arg(what)
        .arg(camera, 0, 'f', 2)
        .arg(bare, 0, 'f', 2)
        .arg(unit)
        .arg(bare > 0 ? QString::number(camera / bare, 'f', 2) : QStringLiteral("-"))
        .arg(goal);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("reps"), QStringLiteral("Repetitions (default 5)."),
        QStringLiteral("N"), QStringLiteral("5") });
    parser.addOption(
        { QStringLiteral("record-ms"), QStringLiteral("Length of the recording (default 5000)."),
            QStringLiteral("MS"), QStringLiteral("5000") });
    parser.process(app);
    const int reps = qMax(1, parser.value(QStringLiteral("reps")).toInt());
    const int recordMs = qMax(1000, parser.value(QStringLiteral("record-ms")).toInt());
    QTextStream out(stdout);
    QTextStream err(stderr);

    const QString missing = PipeWireFixture::missingPackages();
    if (!missing.isEmpty()) {
        err << "pipewire-bench: missing " << missing << "\n";
        return 2;
    }
    // The camera's log lines go to stdout; the table alone is printed there.
    const int table = ::dup(1);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(devNull, 1);
    ::close(devNull);
    PipeWireFixture fixture;
    QString why;
    QTemporaryDir dir;
    if (!fixture.start(QString(), &why) || !fixture.addProvider(node, nodeCaps, &why)) {
        err << "pipewire-bench: " << why << "\n";
        return 1;
    }
    const QString sourceName = QStringLiteral("pipewire:") + node;
    CaptureSettings photo;
    photo.source = sourceName;
    photo.photoSize = QSize(1280, 720);

    // Cold: nothing open, nothing probed; warm: the camera still open from the last photo.
    QList<double> cold, warm, bare;
    for (int i = 0; i < reps; ++i) {
        LiveSource::instance()->release(true);
        forgetSource(sourceName);
        cold << captureMs(photo, dir.filePath(QStringLiteral("cold.jpg")));
        warm << captureMs(photo, dir.filePath(QStringLiteral("warm.jpg")));
        // The same work: start, the settle frames a photo waits for, one JPEG with JFIF.
        bare << bareMs(source()
            + QStringList { QStringLiteral("num-buffers=%1").arg(settleFrames), QStringLiteral("!"),
                QStringLiteral("videoconvert"), QStringLiteral("!"), QStringLiteral("jpegenc"),
                QStringLiteral("quality=92"), QStringLiteral("!"), QStringLiteral("jifmux"),
                QStringLiteral("!"), QStringLiteral("multifilesink"), QStringLiteral("max-files=1"),
                QStringLiteral("location=") + dir.filePath(QStringLiteral("bare%d.jpg")) });
    }
    LiveSource::instance()->release(true);

    // A 720p30 recording (MEDIUM) against the same encoder in a bare pipeline.
    QString error;
    const QString encoder = pickH264Encoder(QString(), &error);
    CaptureSettings clip = photo;
    clip.video = true;
    clip.videoQuality = QStringLiteral("MEDIUM");
    clip.recordMs = recordMs;
    clip.format = QStringLiteral("mp4");
    QList<double> cameraCpu, bareCpu;
    for (int i = 0; i < reps && !encoder.isEmpty(); ++i) {
        const double before = cpuSeconds(RUSAGE_SELF);
        if (captureMs(clip, dir.filePath(QStringLiteral("clip.mp4"))) > 0)
            cameraCpu << cpuSeconds(RUSAGE_SELF) - before;
        double cpu = 0;
        const int frames = recordMs * 30 / 1000;
        if (bareMs(source()
                    + QStringList { QStringLiteral("num-buffers=%1").arg(frames),
                        QStringLiteral("!"), QStringLiteral("videoconvert"), QStringLiteral("!"),
                        QStringLiteral("video/x-raw,format=I420"), QStringLiteral("!"), encoder,
                        QStringLiteral("!"), QStringLiteral("h264parse"), QStringLiteral("!"),
                        QStringLiteral("mp4mux"), QStringLiteral("!"), QStringLiteral("filesink"),
                        QStringLiteral("location=") + dir.filePath(QStringLiteral("bare.mp4")) },
                &cpu)
            > 0)
            bareCpu << cpu;
    }
    fixture.stop();
    ::fflush(stdout);
    ::dup2(table, 1);
    ::close(table);

    out << "| figure (median of " << reps << ") | camera | bare gst-launch-1.0 | ratio | goal |\n"
        << "|---|---|---|---|---|\n"
        << row(QStringLiteral("photo, cold (camera started → JPEG on disk)"), median(cold),
               median(bare), QStringLiteral("ms"), QStringLiteral("≤ 1.2"))
        << "\n"
        << row(QStringLiteral("photo, warm (camera open)"), median(warm), median(bare),
               QStringLiteral("ms"), QStringLiteral("≤ 1.2"))
        << "\n"
        << row(QStringLiteral("CPU of a %1 ms 720p30 recording (%2)").arg(recordMs).arg(encoder),
               median(cameraCpu), median(bareCpu), QStringLiteral("s"), QStringLiteral("≤ 1.1"))
        << "\n";
    const bool failed = cold.contains(-1) || warm.contains(-1) || bare.contains(-1);
    if (failed)
        err << "pipewire-bench: some captures failed (figures use the failed ones as -1)\n";
    if (encoder.isEmpty())
        err << "pipewire-bench: no recording: " << error << "\n";
    return failed ? 1 : 0;
}
