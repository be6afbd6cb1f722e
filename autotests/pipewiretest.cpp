// SPDX-License-Identifier: MIT
// The reference camera's capture against a real PipeWire and WirePlumber that the test starts
// itself: camera nodes fed by GStreamer (fixed caps, a fresh one per row) and PipeWire's own
// SPA test node (size and rate ranges).

#include "capabilities.h"
#include "gstcapture.h"
#include "gstsource.h"
#include "kivaction_names_p.h"
#include "pipewirefixture.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <csignal>

using namespace refcam;

namespace {

// A node with size and rate ranges (width=[1,2147483647]), mounted turned by 90 degrees.
const char rangeNodeConf[] = R"(
context.spa-libs = { videotestsrc = videotestsrc/libspa-videotestsrc }
context.objects = [
    { factory = adapter
      args = { factory.name = videotestsrc node.name = test-range-camera
               node.description = "Range camera" media.class = Video/Source
               media.role = Camera api.libcamera.rotation = 90 } }
]
)";
const char rangeSource[] = "pipewire:test-range-camera";
const char fixedCaps[] = "video/x-raw,format=YUY2,width=1280,height=720,framerate=30/1";
// One frame a second: a photo waits about 4 s for its picture to settle.
const char slowCaps[] = "video/x-raw,format=YUY2,width=1280,height=720,framerate=1/1";

bool liveSourceHasFrame()
{
    GstSample *sample = LiveSource::instance()->newestFrame();
    if (sample)
        gst_sample_unref(sample);
    return sample != nullptr;
}

qint64 sizeOf(const QString &path)
{
    return QFileInfo(path).size();
}

qint64 framesOf(const CaptureResult &result)
{
    const QRegularExpressionMatch match
        = QRegularExpression(QStringLiteral(", (\\d+) frames")).match(result.description);
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

QString describe(const CaptureResult &result)
{
    return result.ok ? result.description
                     : result.errorName + QStringLiteral(": ") + result.message;
}

} // namespace

class PipeWireTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();
    void photo_data();
    void photo();
    void recording_data();
    void recording();
    void rangeCapabilities();
    void cameraThatStops_data();
    void cameraThatStops();
    void hotPlug();

private:
    QString newNode() { return QStringLiteral("test-camera-%1").arg(++m_nodes); }
    QProcess *provider(const QString &node, const QString &caps = QLatin1String(fixedCaps),
        const QString &extra = QString());
    CaptureResult capture(const CaptureSettings &settings, const QString &path, int timeoutMs);

    PipeWireFixture m_fixture;
    QTemporaryDir m_out;
    int m_nodes = 0;
    QList<QProcess *> m_providers;
};

void PipeWireTest::initTestCase()
{
    const QString missing = PipeWireFixture::missingPackages();
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("missing: %1").arg(missing)));
    QString why;
    QVERIFY2(m_fixture.start(QLatin1String(rangeNodeConf), &why), qPrintable(why));
    QVERIFY(m_out.isValid());
    WAIT_VERIFY(m_fixture.hasNode(QStringLiteral("test-range-camera")), Bound::camera);
}

// One provider per row: a provider used by many consumers in a row may stall for good.
void PipeWireTest::cleanup()
{
    LiveSource::instance()->release(true);
    for (QProcess *process : std::as_const(m_providers))
        m_fixture.removeProvider(process);
    m_providers.clear();
}

void PipeWireTest::cleanupTestCase()
{
    m_fixture.stop();
}

QProcess *PipeWireTest::provider(const QString &node, const QString &caps, const QString &extra)
{
    QString why;
    QProcess *process = m_fixture.addProvider(node, caps, &why, extra);
    if (process)
        m_providers << process;
    else
        qWarning("%s", qPrintable(why));
    return process;
}

CaptureResult PipeWireTest::capture(
    const CaptureSettings &settings, const QString &path, int timeoutMs)
{
    CaptureJob *job = CaptureJob::intoPath(settings, path);
    QSignalSpy finished(job, &CaptureJob::finished);
    job->start();
    CaptureResult result;
    if (finished.wait(timeoutMs) || !finished.isEmpty())
        result = finished.constFirst().constFirst().value<CaptureResult>();
    else
        result.message = QStringLiteral("no answer within %1 ms").arg(timeoutMs);
    delete job;
    return result;
}

// JPEG at the asked size from a fixed-caps node and from the range node, and the EXIF
// Orientation from the node's mounting rotation unless the camera is told otherwise.
void PipeWireTest::photo_data()
{
    QTest::addColumn<QString>("source"); // "NODE": a fresh fixed-caps node
    QTest::addColumn<QSize>("asked");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<QSize>("expected");
    QTest::addColumn<QString>("madeAt"); // the size the source delivered
    QTest::addColumn<int>("exif"); // -1: whichever node auto takes
    QTest::newRow("fixed node by name, smaller size")
        << QStringLiteral("NODE") << QSize(640, 480) << -1 << QSize(640, 480)
        << QStringLiteral("1280x720") << 1;
    QTest::newRow("fixed node through auto, largest")
        << QStringLiteral("auto-NODE") << QSize() << -1 << QSize(1280, 720)
        << QStringLiteral("1280x720") << -1;
    QTest::newRow("range node, size made by the source")
        << QString::fromLatin1(rangeSource) << QSize(800, 600) << -1 << QSize(800, 600)
        << QStringLiteral("800x600") << 6;
    QTest::newRow("range node, largest is the quality table's")
        << QString::fromLatin1(rangeSource) << QSize() << -1 << QSize(1920, 1080)
        << QStringLiteral("1920x1080") << 6;
    QTest::newRow("range node, --orientation 0 wins")
        << QString::fromLatin1(rangeSource) << QSize(640, 480) << 0 << QSize(640, 480)
        << QStringLiteral("640x480") << 1;
    QTest::newRow("range node, --orientation 180 wins")
        << QString::fromLatin1(rangeSource) << QSize(640, 480) << 180 << QSize(640, 480)
        << QStringLiteral("640x480") << 3;
}

void PipeWireTest::photo()
{
    QFETCH(QString, source);
    QFETCH(QSize, asked);
    QFETCH(int, orientation);
    QFETCH(QSize, expected);
    QFETCH(QString, madeAt);
    QFETCH(int, exif);
    if (source.endsWith(QLatin1String("NODE"))) {
        const QString node = newNode();
        QVERIFY(provider(node));
        source = source.startsWith(QLatin1String("auto")) ? QStringLiteral("auto")
                                                          : QStringLiteral("pipewire:") + node;
        if (source == QLatin1String("auto")) // auto takes the first; ours must be there
            WAIT_VERIFY(probeSource(QStringLiteral("auto")).ok(), Bound::camera);
    }
    CaptureSettings settings;
    settings.source = source;
    settings.photoSize = asked;
    settings.orientationDegrees = orientation;
    const QString path = m_out.filePath(
        QStringLiteral("photo-%1.jpg").arg(QString::fromUtf8(QTest::currentDataTag())));
    const CaptureResult result = capture(settings, path, Bound::camera);
    QVERIFY2(result.ok, qPrintable(describe(result)));
    QImage image;
    QVERIFY(image.load(path, "JPEG"));
    if (source != QLatin1String("auto")) {
        QCOMPARE(image.size(), expected);
        QVERIFY2(result.description.contains(QStringLiteral(" at ") + madeAt),
            qPrintable(result.description));
    }
    if (exif >= 0) {
        const QVariantMap tags = readExif(path);
        QVERIFY2(!tags.isEmpty(), qPrintable(exifError()));
        QCOMPARE(tags.value(QStringLiteral("Orientation")).toInt(), exif);
    }
}

// A recording holds (nearly) every frame its length and rate call for, or fails naming the
// counts; it never keeps a still picture as a recording.
void PipeWireTest::recording_data()
{
    QTest::addColumn<QString>("source"); // empty: a fresh fixed-caps node
    QTest::addColumn<QString>("extra"); // what the node does to its own frames
    QTest::addColumn<QString>("quality");
    // 80 % of what 3 s give, less a start of up to 250 ms; 0: it must fail
    QTest::addColumn<int>("minFrames");
    QTest::newRow("fixed node, MEDIUM 3 s")
        << QString() << QString() << QStringLiteral("MEDIUM") << 66;
    QTest::newRow("range node, LOWEST 3 s")
        << QString::fromLatin1(rangeSource) << QString() << QStringLiteral("LOWEST") << 33;
    QTest::newRow("node that drops most frames")
        << QString() << QStringLiteral("identity drop-probability=0.85") << QStringLiteral("MEDIUM")
        << 0;
}

void PipeWireTest::recording()
{
    QFETCH(QString, source);
    QFETCH(QString, extra);
    QFETCH(QString, quality);
    QFETCH(int, minFrames);
    if (source.isEmpty()) {
        const QString node = newNode();
        QVERIFY(provider(node, QLatin1String(fixedCaps), extra));
        source = QStringLiteral("pipewire:") + node;
    }
    CaptureSettings settings;
    settings.source = source;
    settings.video = true;
    settings.videoQuality = quality;
    settings.recordMs = 3000;
    const QString path = m_out.filePath(
        QStringLiteral("clip-%1.mkv").arg(QString::fromUtf8(QTest::currentDataTag())));
    settings.format = QStringLiteral("mkv");
    const CaptureResult result = capture(settings, path, Bound::camera + settings.recordMs);
    if (minFrames == 0) {
        QVERIFY2(!result.ok, qPrintable(result.description));
        QCOMPARE(result.errorName, KivAction::cameraFailedError());
        QVERIFY2(
            result.message.contains(QLatin1String("fewer than 80 %")), qPrintable(result.message));
        QVERIFY2(result.message.contains(source), qPrintable(result.message));
        QVERIFY(!QFile::exists(path));
        return;
    }
    QVERIFY2(result.ok, qPrintable(describe(result)));
    QVERIFY2(framesOf(result) >= minFrames, qPrintable(result.description));
    QVERIFY(QFileInfo(path).size() > 0);
}

// What GetCapabilities says of a node with ranges: the quality table's sizes, honest rates.
void PipeWireTest::rangeCapabilities()
{
    const SourceModes modes = probeSource(QLatin1String(rangeSource));
    QVERIFY2(modes.ok(), qPrintable(modes.errorMessage));
    const CapabilityInput input = sourceInput(modes);
    QCOMPARE(
        input.photoSizes, (QList<QSize> { QSize(1920, 1080), QSize(1280, 720), QSize(640, 480) }));
    for (const SourceMode &mode : modes.modes) {
        QVERIFY(mode.size.width() <= 4096 && mode.size.height() <= 4096);
        QCOMPARE(mode.maxFps, 30);
    }
    QCOMPARE(input.videoModes.value(QStringLiteral("HIGHEST")).width, 1920);
    QCOMPARE(input.videoModes.value(QStringLiteral("LOWEST")).fps, 15);
    QCOMPARE(modes.rotation, 90);
}

// A camera that stops (stalled node, node gone) during a recording or while a photo waits
// for its picture fails the capture with its name and leaves the file empty; the camera
// lives on, and the next request works once the node is back.
void PipeWireTest::cameraThatStops_data()
{
    QTest::addColumn<bool>("video");
    QTest::addColumn<int>("how");
    QTest::newRow("recording, node stalls (SIGSTOP)") << true << int(SIGSTOP);
    QTest::newRow("recording, node goes away (SIGKILL)") << true << int(SIGKILL);
    QTest::newRow("photo, node stalls (SIGSTOP)") << false << int(SIGSTOP);
}

void PipeWireTest::cameraThatStops()
{
    QFETCH(bool, video);
    QFETCH(int, how);
    const QString node = newNode();
    QProcess *process = provider(node, QLatin1String(video ? fixedCaps : slowCaps));
    QVERIFY(process);
    CaptureSettings settings;
    settings.source = QStringLiteral("pipewire:") + node;
    settings.video = video;
    settings.videoQuality = QStringLiteral("LOWEST");
    settings.recordMs = 15000;
    settings.format = video ? QStringLiteral("mkv") : QStringLiteral("jpeg");
    settings.photoSize = QSize(640, 480);
    // Into a file the test holds: a recording under way is seen growing.
    QTemporaryFile file(m_out.filePath(QStringLiteral("stops-XXXXXX")));
    QVERIFY(file.open());
    CaptureJob *job = CaptureJob::intoFd(settings, int(file.handle()));
    QSignalSpy finished(job, &CaptureJob::finished);
    job->start();
    if (video) {
        WAIT_VERIFY(sizeOf(file.fileName()) > 0, Bound::camera);
    } else {
        // The node has given its first frame, not yet the five a photo waits for.
        WAIT_VERIFY(liveSourceHasFrame(), Bound::camera);
        QVERIFY(!LiveSource::instance()->isSettled());
    }
    ::kill(pid_t(process->processId()), how);
    QVERIFY(finished.wait(stallTimeoutMs + 12000) || !finished.isEmpty());
    const CaptureResult result = finished.constFirst().constFirst().value<CaptureResult>();
    delete job;
    QVERIFY2(!result.ok, qPrintable(result.description));
    QCOMPARE(result.errorName, KivAction::cameraFailedError());
    QVERIFY2(result.message.contains(node), qPrintable(result.message));
    QCOMPARE(sizeOf(file.fileName()), qint64(0));

    m_providers.removeAll(process);
    m_fixture.removeProvider(process);
    QVERIFY(provider(node));
    settings.video = false;
    CaptureResult again;
    // The node is back under its old name once PipeWire and the monitor see it.
    WAIT_VERIFY2(
        (again = capture(settings, m_out.filePath(QStringLiteral("again.jpg")), Bound::camera)).ok,
        qPrintable(describe(again)), Bound::camera);
}

// One device monitor for the camera's life: a node added after the start is found, a node
// that went away is no longer offered, without restarting the camera.
void PipeWireTest::hotPlug()
{
    const QString node = newNode();
    const QString source = QStringLiteral("pipewire:") + node;
    QVERIFY(!probeSource(source).ok());
    QProcess *process = provider(node);
    QVERIFY(process);
    WAIT_VERIFY(probeSource(source).ok(), Bound::camera);
    QCOMPARE(probeSource(source).name, source);

    m_providers.removeAll(process);
    m_fixture.removeProvider(process);
    WAIT_VERIFY(!probeSource(source).ok(), Bound::camera);
    QVERIFY2(probeSource(source).errorMessage.contains(node),
        qPrintable(probeSource(source).errorMessage));
}

QTEST_GUILESS_MAIN(PipeWireTest)

#include "pipewiretest.moc"
