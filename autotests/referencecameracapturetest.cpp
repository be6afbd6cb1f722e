// SPDX-License-Identifier: MIT
// The reference camera's capture core, in-process: jobs into a path or a descriptor, what
// their files hold, cameras that stop, the size limit, a recording that feeds the screen.

#include "gstcapture.h"
#include "gstsource.h"
#include "kivaction_names_p.h"
#include "testsupport.h"
#include "viewbranch.h"

#include <QColor>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace refcam;

// A job here is a photo or a recording of at most three seconds.
constexpr int kCaptureBound = Bound::camera + 3000;

class ReferenceCameraCaptureTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void captureIntoFd_data();
    void captureIntoFd();
    void photoContent_data();
    void photoContent();
    void cameraStops_data();
    void cameraStops();
    void sizeLimit_data();
    void sizeLimit();
    void recordingEnd_data();
    void recordingEnd();
    void recordingFeedsScreen_data();
    void recordingFeedsScreen();
    void probing_data();
    void probing();

private:
    QTemporaryDir m_dir;
};

void ReferenceCameraCaptureTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void ReferenceCameraCaptureTest::captureIntoFd_data()
{
    QTest::addColumn<bool>("video");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QByteArray>("start"); // empty: the capture fails, the file is emptied

    QTest::newRow("JPEG") << false << QStringLiteral("jpeg") << QStringLiteral("test")
                          << QByteArray("\xff\xd8\xff\xe1");
    QTest::newRow("PNG") << false << QStringLiteral("png") << QStringLiteral("test:ball")
                         << QByteArray("\x89PNG");
    QTest::newRow("MP4") << true << QStringLiteral("mp4") << QStringLiteral("test") << QByteArray();
    // Every container of the encoding profiles, recognised by its own magic.
    QTest::newRow("Matroska") << true << QStringLiteral("mkv") << QStringLiteral("test")
                              << QByteArray("\x1a\x45\xdf\xa3");
    QTest::newRow("WebM") << true << QStringLiteral("webm") << QStringLiteral("test")
                          << QByteArray("\x1a\x45\xdf\xa3");
    QTest::newRow("Y4M") << true << QStringLiteral("y4m") << QStringLiteral("test")
                         << QByteArray("YUV4MPEG2 C420 W640 H480");
    QTest::newRow("no camera: emptied")
        << false << QStringLiteral("jpeg") << QStringLiteral("v4l2:/dev/no-such-video")
        << QByteArray();
}

// The descriptor entry point: what a file handed over by the host gets.
void ReferenceCameraCaptureTest::captureIntoFd()
{
    QFETCH(bool, video);
    QFETCH(QString, format);
    QFETCH(QString, source);
    QFETCH(QByteArray, start);

    const QString path
        = m_dir.filePath(QStringLiteral("fd-%1").arg(QLatin1String(QTest::currentDataTag())));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Truncate));
    file.write(QByteArray(300000, 'x')); // old contents, longer than the capture
    file.flush();

    CaptureSettings settings;
    settings.source = source;
    settings.video = video;
    settings.format = format;
    settings.photoSize = QSize(160, 90);
    settings.videoQuality = QStringLiteral("LOWEST");
    settings.recordMs = 300;
    QScopedPointer<CaptureJob> job(CaptureJob::intoFd(settings, file.handle()));
    QSignalSpy done(job.data(), &CaptureJob::finished);
    job->start();
    WAIT_COMPARE(done.count(), 1, kCaptureBound);
    const CaptureResult result = done.at(0).at(0).value<CaptureResult>();
    file.close();
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    if (source.startsWith(QLatin1String("v4l2"))) {
        QVERIFY(!result.ok);
        QCOMPARE(result.errorName, KivAction::noCameraDeviceError());
        QCOMPARE(bytes.size(), 0);
        return;
    }
    QVERIFY2(result.ok, qPrintable(result.message));
    QCOMPARE(qint64(bytes.size()), result.bytes);
    QVERIFY(!bytes.contains("xxxxxxxx"));
    if (video) {
        if (format == QLatin1String("mp4"))
            QCOMPARE(bytes.mid(4, 4), QByteArray("ftyp"));
        else
            QVERIFY2(bytes.startsWith(start), bytes.left(40).constData());
        return;
    }
    QVERIFY(bytes.startsWith(start));
    QImage image;
    QVERIFY(image.loadFromData(bytes));
    QCOMPARE(image.size(), QSize(160, 90));
}

namespace {

// The test source's SMPTE bars, left to right: grey, yellow, cyan, green, magenta, red, blue.
QString barColour(const QImage &image, int x)
{
    const QColor c = image.pixelColor(x, image.height() / 4);
    const auto high = [](int v) { return v > 120; };
    const QString name = QStringLiteral("%1%2%3")
                             .arg(high(c.red()) ? QLatin1Char('R') : QLatin1Char('-'))
                             .arg(high(c.green()) ? QLatin1Char('G') : QLatin1Char('-'))
                             .arg(high(c.blue()) ? QLatin1Char('B') : QLatin1Char('-'));
    static const QMap<QString, QString> names { { QStringLiteral("RGB"), QStringLiteral("grey") },
        { QStringLiteral("RG-"), QStringLiteral("yellow") },
        { QStringLiteral("-GB"), QStringLiteral("cyan") },
        { QStringLiteral("-G-"), QStringLiteral("green") },
        { QStringLiteral("R-B"), QStringLiteral("magenta") },
        { QStringLiteral("R--"), QStringLiteral("red") },
        { QStringLiteral("--B"), QStringLiteral("blue") } };
    return names.value(name, name);
}

} // namespace

void ReferenceCameraCaptureTest::photoContent_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("degrees"); // the camera's --orientation
    QTest::addColumn<int>("exifOrientation");
    QTest::addColumn<QString>("leftBar"); // at the photo's edges: cropped, not stretched
    QTest::addColumn<QString>("rightBar");

    // The photo comes from the smallest mode that covers it (640x480 or 1280x720 here); a
    // photo of the source's aspect shows all seven bars.
    QTest::newRow("upright, source aspect")
        << QSize(320, 180) << 0 << 1 << QStringLiteral("grey") << QStringLiteral("blue");
    QTest::newRow("turned 90") << QSize(320, 180) << 90 << 6 << QStringLiteral("grey")
                               << QStringLiteral("blue");
    QTest::newRow("turned 180") << QSize(320, 180) << 180 << 3 << QStringLiteral("grey")
                                << QStringLiteral("blue");
    QTest::newRow("turned 270") << QSize(320, 180) << 270 << 8 << QStringLiteral("grey")
                                << QStringLiteral("blue");
    // Square from 1280x720: columns 280 to 1000 of bars 183 wide, yellow to red.
    QTest::newRow("square is cropped")
        << QSize(720, 720) << 0 << 1 << QStringLiteral("yellow") << QStringLiteral("red");
    // 9:16 from 640x480: columns 185 to 455 of bars 91 wide, cyan to magenta.
    QTest::newRow("portrait is cropped")
        << QSize(90, 160) << 0 << 1 << QStringLiteral("cyan") << QStringLiteral("magenta");
}

// What a photo holds, read back by tools that share nothing with the writer.
void ReferenceCameraCaptureTest::photoContent()
{
    QFETCH(QSize, size);
    QFETCH(int, degrees);
    QFETCH(int, exifOrientation);
    QFETCH(QString, leftBar);
    QFETCH(QString, rightBar);

    CaptureSettings settings;
    settings.source = QStringLiteral("test:smpte");
    settings.photoSize = size;
    settings.orientationDegrees = degrees;
    const QString path = m_dir.filePath(QStringLiteral("content-%1.jpg").arg(degrees));
    QScopedPointer<CaptureJob> job(CaptureJob::intoPath(settings, path));
    QSignalSpy done(job.data(), &CaptureJob::finished);
    job->start();
    WAIT_COMPARE(done.count(), 1, kCaptureBound);
    const CaptureResult result = done.at(0).at(0).value<CaptureResult>();
    QVERIFY2(result.ok, qPrintable(result.message));

    const QVariantMap exif = readExif(path);
    QVERIFY2(!exif.isEmpty(), qPrintable(exifError()));
    QCOMPARE(exif.value(QStringLiteral("Orientation")).toInt(), exifOrientation);
    QCOMPARE(exif.value(QStringLiteral("Make")).toString(), QStringLiteral("libcamerauiservice"));
    QCOMPARE(exif.value(QStringLiteral("Model")).toString(), QStringLiteral("test:smpte"));
    QImage image;
    QVERIFY(image.load(path));
    QCOMPARE(image.size(), size);
    QCOMPARE(barColour(image, 3), leftBar);
    QCOMPARE(barColour(image, image.width() - 4), rightBar);
}

void ReferenceCameraCaptureTest::cameraStops_data()
{
    QTest::addColumn<bool>("video");
    QTest::addColumn<QString>("source");

    // Stops before the picture settles: the live source fails from its own watchdog.
    QTest::newRow("photo, stops after 2 frames")
        << false << QStringLiteral("test:ball,stop-after=2");
    QTest::newRow("recording, stops after 20 frames")
        << true << QStringLiteral("test:ball,stop-after=20");
}

// A camera that stops mid-capture is answered with CameraFailed naming it, within a few
// seconds of its last frame, and the next capture works.
void ReferenceCameraCaptureTest::cameraStops()
{
    QFETCH(bool, video);
    QFETCH(QString, source);

    CaptureSettings settings;
    settings.source = source;
    settings.video = video;
    settings.photoSize = QSize(160, 90);
    settings.videoQuality = QStringLiteral("LOWEST");
    settings.recordMs = 0; // until stopped: only the stall ends it
    const QString path
        = m_dir.filePath(video ? QStringLiteral("stopped.mp4") : QStringLiteral("stopped.jpg"));
    QElapsedTimer clock;
    clock.start();
    QScopedPointer<CaptureJob> job(CaptureJob::intoPath(settings, path));
    QSignalSpy done(job.data(), &CaptureJob::finished);
    job->start();
    // Frames stop within a second of the start; the stall is seen 3 s later.
    WAIT_COMPARE(done.count(), 1, 9000);
    const CaptureResult result = done.at(0).at(0).value<CaptureResult>();
    QVERIFY(!result.ok);
    QCOMPARE(result.errorName, KivAction::cameraFailedError());
    QVERIFY2(
        result.message.contains(QStringLiteral("camera test:ball")), qPrintable(result.message));
    QVERIFY2(clock.elapsed() < 9000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!QFile::exists(path));

    settings.source = QStringLiteral("test:ball");
    settings.recordMs = 500;
    QScopedPointer<CaptureJob> next(CaptureJob::intoPath(settings, path));
    QSignalSpy nextDone(next.data(), &CaptureJob::finished);
    next->start();
    WAIT_COMPARE(nextDone.count(), 1, kCaptureBound);
    const CaptureResult nextResult = nextDone.at(0).at(0).value<CaptureResult>();
    QVERIFY2(nextResult.ok, qPrintable(nextResult.message));
    QVERIFY(QFileInfo(path).size() > 0);
}

void ReferenceCameraCaptureTest::sizeLimit_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<qint64>("limit");

    // The bars: a key frame of about 15 kB, 3 s at LOWEST come to well over 200 kB.
    QTest::newRow("MP4") << QStringLiteral("mp4") << qint64(100000);
    QTest::newRow("WebM") << QStringLiteral("webm") << qint64(100000);
}

// The limit ends the recording: accepted, within the limit, and said to be ended by it.
void ReferenceCameraCaptureTest::sizeLimit()
{
    QFETCH(QString, format);
    QFETCH(qint64, limit);

    CaptureSettings settings;
    settings.source = QStringLiteral("test:smpte");
    settings.video = true;
    settings.format = format;
    settings.videoQuality = QStringLiteral("LOWEST");
    settings.recordMs = 3000;
    settings.sizeLimit = limit;
    const QString path = m_dir.filePath(QStringLiteral("limited.") + format);
    QScopedPointer<CaptureJob> job(CaptureJob::intoPath(settings, path));
    QSignalSpy done(job.data(), &CaptureJob::finished);
    job->start();
    WAIT_COMPARE(done.count(), 1, kCaptureBound);
    const CaptureResult result = done.at(0).at(0).value<CaptureResult>();
    QVERIFY2(result.ok, qPrintable(result.message));
    QVERIFY2(result.description.contains(QStringLiteral("ended early at the size limit")),
        qPrintable(result.description));
    QCOMPARE(result.endedBy, KivAction::Value::sizeLimit());
    QVERIFY2(QFileInfo(path).size() <= limit, qPrintable(QString::number(QFileInfo(path).size())));
    QCOMPARE(QFileInfo(path).size(), result.bytes);
}

void ReferenceCameraCaptureTest::recordingEnd_data()
{
    QTest::addColumn<int>("recordMs");
    QTest::addColumn<bool>("stopAtOnce");
    QTest::addColumn<QString>("endedBy");
    QTest::addColumn<int>("holdMs"); // the camera's thread held up this long after the start

    QTest::newRow("its length reached") << 400 << false << KivAction::Value::durationLimit() << 0;
    // 2 s at 15 fps is 30 frames: the frames queued while it stops are not kept.
    QTest::newRow("2 s reached") << 2000 << false << KivAction::Value::durationLimit() << 0;
    // stop() waits for the first frame on the same timer; that is still the user's stop.
    QTest::newRow("stopped before the first frame") << 0 << true << KivAction::Value::user() << 0;
    QTest::newRow("stopped before its length") << 60000 << true << KivAction::Value::user() << 0;
    // A machine too busy to end it on time: every frame of the length is there, and that is
    // a whole recording, not a camera giving too few.
    QTest::newRow("its length reached, ended late")
        << 400 << false << KivAction::Value::durationLimit() << 1500;
}

// What ended a recording, and how long it is (videoEndedBy, videoDurationMs).
void ReferenceCameraCaptureTest::recordingEnd()
{
    QFETCH(int, recordMs);
    QFETCH(bool, stopAtOnce);
    QFETCH(QString, endedBy);
    QFETCH(int, holdMs);

    CaptureSettings settings;
    settings.source = QStringLiteral("test");
    settings.video = true;
    settings.videoQuality = QStringLiteral("LOWEST");
    settings.recordMs = recordMs;
    const QString path = m_dir.filePath(QStringLiteral("ended.mp4"));
    QScopedPointer<CaptureJob> job(CaptureJob::intoPath(settings, path));
    QSignalSpy done(job.data(), &CaptureJob::finished);
    job->start();
    if (stopAtOnce)
        job->stop();
    // Not a wait: the event loop is kept from running, as a loaded machine keeps it.
    if (holdMs > 0)
        QTest::qSleep(holdMs);
    WAIT_COMPARE(done.count(), 1, kCaptureBound);
    const CaptureResult result = done.at(0).at(0).value<CaptureResult>();
    QVERIFY2(result.ok, qPrintable(result.message));
    QCOMPARE(result.endedBy, endedBy);
    QVERIFY2(result.durationMs > 0, qPrintable(result.description));
    // Frames over frame rate, about the length asked (a busy machine stops late).
    if (recordMs > 0 && !stopAtOnce)
        QVERIFY2(result.durationMs <= recordMs + 2000, qPrintable(result.description));
    // The length is a limit: never over it.
    if (endedBy == KivAction::Value::durationLimit())
        QVERIFY2(result.durationMs <= recordMs,
            qPrintable(
                QStringLiteral("%1 ms for %2 ms asked").arg(result.durationMs).arg(recordMs)));
}

void ReferenceCameraCaptureTest::recordingFeedsScreen_data()
{
    QTest::addColumn<bool>("viewfinder");

    QTest::newRow("with the screen") << true;
    QTest::newRow("without") << false;
}

// A recording asked to feed the screen hands out live pictures of the screen's size while
// it records, and its file is as good as one without.
void ReferenceCameraCaptureTest::recordingFeedsScreen()
{
    QFETCH(bool, viewfinder);

    CaptureSettings settings;
    settings.source = QStringLiteral("test:smpte");
    settings.video = true;
    settings.videoQuality = QStringLiteral("LOWEST");
    settings.recordMs = 1000;
    settings.viewfinder = viewfinder;
    const QString path = m_dir.filePath(QStringLiteral("screen-%1.mp4").arg(viewfinder));
    QScopedPointer<CaptureJob> job(CaptureJob::intoPath(settings, path));
    QImage picture;
    qint64 usedWhileRecording = -1;
    connect(job.data(), &CaptureJob::viewFrame, this, [&] {
        picture = job->viewImage();
        usedWhileRecording = job->bytesWritten();
    });
    QSignalSpy pictures(job.data(), &CaptureJob::viewFrame);
    QSignalSpy done(job.data(), &CaptureJob::finished);
    job->start();
    WAIT_COMPARE(done.count(), 1, kCaptureBound);
    const CaptureResult result = done.at(0).at(0).value<CaptureResult>();
    QVERIFY2(result.ok, qPrintable(result.message));
    QCOMPARE(QFileInfo(path).size(), result.bytes);
    if (!viewfinder) {
        QCOMPARE(pictures.count(), 0);
        return;
    }
    QVERIFY(pictures.count() > 0);
    // LOWEST records from the 640x480 mode: the screen gets all of it, bars and all.
    QCOMPARE(picture.size(), viewSize(QSize(640, 480)));
    QCOMPARE(barColour(picture, 3), QStringLiteral("grey"));
    QVERIFY(usedWhileRecording >= 0 && usedWhileRecording <= result.bytes);
}

void ReferenceCameraCaptureTest::probing_data()
{
    QTest::addColumn<QString>("sourceName");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("errorName");

    QTest::newRow("test") << QStringLiteral("test") << QStringLiteral("test:smpte") << QString();
    QTest::newRow("pattern") << QStringLiteral("test:snow") << QStringLiteral("test:snow")
                             << QString();
    QTest::newRow("unknown pattern") << QStringLiteral("test:plaid") << QStringLiteral("test:plaid")
                                     << KivAction::noCameraDeviceError();
    QTest::newRow("unknown kind") << QStringLiteral("firewire") << QStringLiteral("firewire")
                                  << KivAction::noCameraDeviceError();
    QTest::newRow("missing V4L2 node")
        << QStringLiteral("v4l2:/dev/no-such-video") << QStringLiteral("v4l2:/dev/no-such-video")
        << KivAction::noCameraDeviceError();
}

void ReferenceCameraCaptureTest::probing()
{
    QFETCH(QString, sourceName);
    QFETCH(QString, name);
    QFETCH(QString, errorName);

    const SourceModes modes = probeSource(sourceName);
    QCOMPARE(modes.name, name);
    QCOMPARE(modes.errorName, errorName);
    if (!errorName.isEmpty()) {
        QVERIFY(modes.modes.isEmpty());
        QVERIFY2(modes.errorMessage.contains(QStringLiteral("test")),
            qPrintable(modes.errorMessage)); // names the way out
        return;
    }
    QCOMPARE(modes.modes.size(), 3);
    QCOMPARE(modes.modes.at(0).size, QSize(1920, 1080));
    QCOMPARE(modes.modes.at(2).size, QSize(640, 480));
    QCOMPARE(pickMode(modes.modes, QSize(800, 600)).size, QSize(1280, 720));
    QCOMPARE(pickMode(modes.modes, QSize(4000, 3000)).size, QSize(1920, 1080));
}

QTEST_MAIN(ReferenceCameraCaptureTest)
#include "referencecameracapturetest.moc"
