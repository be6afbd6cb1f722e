// SPDX-License-Identifier: MIT
// The reference camera's interactive mode, in-process: the service on the test bus, a host
// on its own connection, and the request's window driven with QTest (offscreen platform).

#include "cameraservice.h"
#include "capturewindow.h"
#include "gstcapture.h"
#include "gstsource.h"
#include "kivaction_names_p.h"
#include "testsupport.h"

#include <QColor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

using namespace refcam;
using Results = QMap<QString, QString>;

namespace {

const QString kHost = QStringLiteral("host");

QDBusMessage invoke(const QString &location, const QString &type, const QString &postScreen,
    int durationLimitMs = 0)
{
    QDBusMessage call
        = QDBusMessage::createMethodCall(KivAction::busName(KivAction::cameraAction()),
            KivAction::objectPath(), KivAction::interfaceName(), KivAction::invokeMethod());
    QVariantMap values;
    values.insert(KivAction::Key::cameraType(), type);
    values.insert(KivAction::Key::photoResolution(), QStringLiteral("64x48"));
    values.insert(KivAction::Key::videoQuality(), QStringLiteral("LOWEST"));
    values.insert(KivAction::Key::videoSizeLimitation(), 200000);
    values.insert(KivAction::Key::fileLocation(), location);
    values.insert(KivAction::Key::hasPostCapturedScreen(), postScreen);
    if (durationLimitMs > 0)
        values.insert(KivAction::Key::videoDurationLimit(), durationLimitMs);
    call << KivAction::cameraAction() << values;
    return call;
}

QStringList stepList(const char *steps)
{
    return QString::fromLatin1(steps).split(QLatin1Char(','));
}

void click(CaptureWindow *window, const char *name)
{
    QPushButton *button = window->findChild<QPushButton *>(QLatin1String(name));
    QVERIFY2(button, name);
    // The review screen comes once the camera has delivered the picture.
    QTRY_VERIFY2_WITH_TIMEOUT(button->isVisible(), name, 60000);
    QTest::mouseClick(button, Qt::LeftButton);
}

} // namespace

class ReferenceCameraWindowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void userFlows_data();
    void userFlows();
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
    void windowDurationLimit();
    void probing_data();
    void probing();
    void cleanupTestCase();

private:
    QTemporaryDir m_dir;
    QScopedPointer<CameraService> m_service;
};

void ReferenceCameraWindowTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qDBusRegisterMetaType<Results>();
    Options options;
    options.interactive = true;
    options.source = QStringLiteral("test");
    options.outputDir = m_dir.path();
    QDBusConnection bus = QDBusConnection::sessionBus();
    QVERIFY(bus.isConnected());
    m_service.reset(new CameraService(options, bus));
    QString error;
    QVERIFY2(m_service->registerObject(&error), qPrintable(error));
    QVERIFY(bus.registerService(KivAction::busName(KivAction::cameraAction())));
}

void ReferenceCameraWindowTest::userFlows_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("postScreen");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("answer"); // empty: no answer, the host is gone
    QTest::addColumn<bool>("reviewed");

    const QString photo = QStringLiteral("PHOTO");
    const QString yes = QStringLiteral("YES");
    const QString accepted = QStringLiteral("ACCEPTED");
    const QString rejected = QStringLiteral("REJECTED");
    QTest::newRow("shutter, accept")
        << photo << yes << stepList("space,accept") << accepted << true;
    QTest::newRow("enter, retake, shutter, accept")
        << photo << yes << stepList("enter,retake,shutter,accept") << accepted << true;
    QTest::newRow("shutter, reject")
        << photo << yes << stepList("space,reject") << rejected << true;
    QTest::newRow("esc on the review screen")
        << photo << yes << stepList("space,esc") << rejected << true;
    QTest::newRow("esc in the viewfinder") << photo << yes << stepList("esc") << rejected << false;
    QTest::newRow("cancel button") << photo << yes << stepList("cancel") << rejected << false;
    QTest::newRow("window closed") << photo << yes << stepList("close") << rejected << false;
    QTest::newRow("post screen NO answers at once")
        << photo << QStringLiteral("NO") << stepList("space") << accepted << false;
    QTest::newRow("post screen missing answers at once")
        << photo << QString() << stepList("shutter") << accepted << false;
    QTest::newRow("video record, stop, accept")
        << QStringLiteral("VIDEO") << yes << stepList("space,space,accept") << accepted << true;
    QTest::newRow("host cancels") << photo << yes << stepList("host cancel")
                                  << QStringLiteral("CANCELLED") << false;
    QTest::newRow("host cancels during review")
        << photo << yes << stepList("space,host cancel") << QStringLiteral("CANCELLED") << true;
    QTest::newRow("host dies") << photo << yes << stepList("host dies") << QString() << false;
}

void ReferenceCameraWindowTest::userFlows()
{
    QFETCH(QString, type);
    QFETCH(QString, postScreen);
    QFETCH(QStringList, steps);
    QFETCH(QString, answer);
    QFETCH(bool, reviewed);

    const QString location = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag())
                                                .replace(QLatin1Char(' '), QLatin1Char('_')))
        + (type == QLatin1String("VIDEO") ? QStringLiteral(".mp4") : QStringLiteral(".jpg"));
    const QString address = QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS"));
    QPointer<CaptureWindow> window;
    const QMetaObject::Connection opened = connect(m_service.data(), &CameraService::windowOpened,
        this, [&window](CaptureWindow *w) { window = w; });
    QDBusPendingCall call = QDBusPendingCall::fromError(QDBusError());
    {
        QDBusConnection host = QDBusConnection::connectToBus(address, kHost);
        call = host.asyncCall(invoke(location, type, postScreen), 120000);
    }
    QTRY_VERIFY_WITH_TIMEOUT(window, 30000);
    disconnect(opened);
    QVERIFY(window->isVisible());
    QVERIFY(!window->isReviewing());

    bool sawReview = false;
    for (const QString &step : std::as_const(steps)) {
        QVERIFY2(window, qPrintable(step));
        if (step == QLatin1String("space"))
            QTest::keyClick(window, Qt::Key_Space);
        else if (step == QLatin1String("enter"))
            QTest::keyClick(window, Qt::Key_Return);
        else if (step == QLatin1String("esc"))
            QTest::keyClick(window, Qt::Key_Escape);
        else if (step == QLatin1String("close"))
            window->close();
        else if (step == QLatin1String("host cancel")) {
            QDBusMessage cancel
                = QDBusMessage::createMethodCall(KivAction::busName(KivAction::cameraAction()),
                    KivAction::objectPath(), KivAction::interfaceName(), KivAction::cancelMethod());
            cancel << KivAction::cameraAction();
            QVERIFY(QDBusConnection(kHost).send(cancel));
        } else if (step == QLatin1String("host dies")) {
            call = QDBusPendingCall::fromError(QDBusError());
            QDBusConnection::disconnectFromBus(kHost);
        } else
            click(window, qPrintable(step));
        // A photo is taken once the camera has settled: wait for its review screen.
        const bool shot = step == QLatin1String("space") || step == QLatin1String("enter")
            || step == QLatin1String("shutter");
        if (window && shot && type == QLatin1String("PHOTO") && postScreen == QLatin1String("YES"))
            QTRY_VERIFY_WITH_TIMEOUT(!window || window->isReviewing(), 60000);
        if (window)
            sawReview = sawReview || window->isReviewing();
    }
    // Whatever ended it, the window goes away.
    QTRY_VERIFY_WITH_TIMEOUT(!window, 30000);
    QCOMPARE(sawReview, reviewed);

    if (!answer.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(call.isFinished(), 30000);
        const QDBusPendingReply<Results> reply = call;
        QVERIFY2(reply.isValid(), qPrintable(reply.error().message()));
        QCOMPARE(reply.value().value(KivAction::Key::actionReturn()), answer);
        const bool kept = answer == QLatin1String("ACCEPTED");
        QCOMPARE(
            reply.value().value(KivAction::Key::fileLocationReturn()), kept ? location : QString());
    }
    const bool kept = answer == QLatin1String("ACCEPTED");
    QCOMPARE(QFile::exists(location), kept);
    if (kept) {
        QFile file(location);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray head = file.read(32);
        QVERIFY(type == QLatin1String("VIDEO") ? head.mid(4, 4) == "ftyp"
                                               : head.startsWith("\xff\xd8"));
    }
    // No leftovers of the safe writing either.
    QCOMPARE(QDir(m_dir.path())
                 .entryList(QStringList { QStringLiteral(".*.part") }, QDir::Files | QDir::Hidden),
        QStringList());
    QDBusConnection::disconnectFromBus(kHost);
}

void ReferenceCameraWindowTest::captureIntoFd_data()
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
void ReferenceCameraWindowTest::captureIntoFd()
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
    QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 60000);
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

void ReferenceCameraWindowTest::photoContent_data()
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
void ReferenceCameraWindowTest::photoContent()
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
    QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 30000);
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

void ReferenceCameraWindowTest::cameraStops_data()
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
void ReferenceCameraWindowTest::cameraStops()
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
    QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 9000);
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
    QTRY_COMPARE_WITH_TIMEOUT(nextDone.count(), 1, 30000);
    const CaptureResult nextResult = nextDone.at(0).at(0).value<CaptureResult>();
    QVERIFY2(nextResult.ok, qPrintable(nextResult.message));
    QVERIFY(QFileInfo(path).size() > 0);
}

void ReferenceCameraWindowTest::sizeLimit_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<qint64>("limit");

    // The bars: a key frame of about 15 kB, 3 s at LOWEST come to well over 200 kB.
    QTest::newRow("MP4") << QStringLiteral("mp4") << qint64(100000);
    QTest::newRow("WebM") << QStringLiteral("webm") << qint64(100000);
}

// The limit ends the recording: accepted, within the limit, and said to be ended by it.
void ReferenceCameraWindowTest::sizeLimit()
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
    QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 30000);
    const CaptureResult result = done.at(0).at(0).value<CaptureResult>();
    QVERIFY2(result.ok, qPrintable(result.message));
    QVERIFY2(result.description.contains(QStringLiteral("ended early at the size limit")),
        qPrintable(result.description));
    QCOMPARE(result.endedBy, KivAction::Value::sizeLimit());
    QVERIFY2(QFileInfo(path).size() <= limit, qPrintable(QString::number(QFileInfo(path).size())));
    QCOMPARE(QFileInfo(path).size(), result.bytes);
}

void ReferenceCameraWindowTest::recordingEnd_data()
{
    QTest::addColumn<int>("recordMs");
    QTest::addColumn<bool>("stopAtOnce");
    QTest::addColumn<QString>("endedBy");

    QTest::newRow("its length reached") << 400 << false << KivAction::Value::durationLimit();
    // stop() waits for the first frame on the same timer; that is still the user's stop.
    QTest::newRow("stopped before the first frame") << 0 << true << KivAction::Value::user();
    QTest::newRow("stopped before its length") << 60000 << true << KivAction::Value::user();
}

// What ended a recording, and how long it is (videoEndedBy, videoDurationMs).
void ReferenceCameraWindowTest::recordingEnd()
{
    QFETCH(int, recordMs);
    QFETCH(bool, stopAtOnce);
    QFETCH(QString, endedBy);

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
    QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 30000);
    const CaptureResult result = done.at(0).at(0).value<CaptureResult>();
    QVERIFY2(result.ok, qPrintable(result.message));
    QCOMPARE(result.endedBy, endedBy);
    QVERIFY2(result.durationMs > 0, qPrintable(result.description));
    // Frames over frame rate, about the length asked (a busy machine stops late).
    if (recordMs > 0 && !stopAtOnce)
        QVERIFY2(result.durationMs <= recordMs + 2000, qPrintable(result.description));
}

// In the window a videoDurationLimit stops the recording without the user.
void ReferenceCameraWindowTest::windowDurationLimit()
{
    const QString location = m_dir.filePath(QStringLiteral("window-limit.mp4"));
    const QString address = QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS"));
    QPointer<CaptureWindow> window;
    const QMetaObject::Connection opened = connect(m_service.data(), &CameraService::windowOpened,
        this, [&window](CaptureWindow *w) { window = w; });
    QDBusPendingCall call = QDBusPendingCall::fromError(QDBusError());
    {
        QDBusConnection host = QDBusConnection::connectToBus(address, kHost);
        call = host.asyncCall(
            invoke(location, QStringLiteral("VIDEO"), QStringLiteral("YES"), 500), 120000);
    }
    QTRY_VERIFY_WITH_TIMEOUT(window, 30000);
    disconnect(opened);
    QTest::keyClick(window, Qt::Key_Space); // record; no second press
    QTRY_VERIFY_WITH_TIMEOUT(!window || window->isReviewing(), 60000);
    click(window, "accept");
    QTRY_VERIFY_WITH_TIMEOUT(call.isFinished(), 30000);
    const QDBusPendingReply<Results> reply = call;
    QVERIFY2(reply.isValid(), qPrintable(reply.error().message()));
    const Results results = reply.value();
    QCOMPARE(results.value(KivAction::Key::actionReturn()), KivAction::Value::accepted());
    QCOMPARE(results.value(KivAction::Key::videoEndedBy()), KivAction::Value::durationLimit());
    QVERIFY2(results.value(KivAction::Key::videoDurationMs()).toInt() > 0,
        qPrintable(results.value(KivAction::Key::videoDurationMs())));
    QVERIFY(QFileInfo(location).size() > 0);
    QDBusConnection::disconnectFromBus(kHost);
}

void ReferenceCameraWindowTest::probing_data()
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

void ReferenceCameraWindowTest::probing()
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

void ReferenceCameraWindowTest::cleanupTestCase()
{
    m_service.reset();
}

QTEST_MAIN(ReferenceCameraWindowTest)
#include "referencecamerawindowtest.moc"
