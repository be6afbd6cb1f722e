// SPDX-License-Identifier: MIT
// End to end: the library and camera-capture against the reference camera, a separate
// process, started by bus activation or by hand in one of its modes.

#include "testsupport.h"

#include <AM_ActionData.h>
#include <CameraUIService.h>
#include <camerauiservice.h>
#include <kivaction_names_p.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QXmlStreamReader>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

const QString kName = KivAction::busName(KivAction::cameraAction());

QString binary(const char *name)
{
    return QStringLiteral(CAMERA_BIN_DIR "/") + QLatin1String(name);
}

bool nameOwned()
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(kName);
}

// A capture here is a photo or a clip of at most the camera's default three seconds.
constexpr int kCaptureBound = Bound::camera + 3000;

// exec() with a time limit: a launch whose answer never comes fails its row.
int boundedExec(CameraUIService &service)
{
    SetCameraTimeout(&service, kCaptureBound);
    return service.exec();
}

// Ends whichever camera owns the name, so the next one can take it.
bool stopCamera()
{
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    if (!bus->isServiceRegistered(kName))
        return true;
    // It may be on its way out by itself; then there is nobody left to signal.
    const QDBusReply<uint> pid = bus->servicePid(kName);
    if (pid.isValid())
        ::kill(pid.value(), SIGTERM);
    return QTest::qWaitFor([&] { return !bus->isServiceRegistered(kName); }, Bound::camera);
}

QSize pngSize(const QByteArray &png)
{
    if (png.size() < 24 || !png.startsWith("\x89PNG\r\n\x1a\n"))
        return QSize();
    auto be32 = [&](int at) {
        return (uchar(png[at]) << 24) | (uchar(png[at + 1]) << 16) | (uchar(png[at + 2]) << 8)
            | uchar(png[at + 3]);
    };
    return QSize(be32(16), be32(20));
}

// Width and height from a JPEG's frame header.
QSize jpegSize(const QByteArray &jpeg)
{
    int at = 2;
    while (at + 9 < jpeg.size() && uchar(jpeg[at]) == 0xFF) {
        const int marker = uchar(jpeg[at + 1]);
        const int length = (uchar(jpeg[at + 2]) << 8) | uchar(jpeg[at + 3]);
        if (marker >= 0xC0 && marker <= 0xC3)
            return QSize((uchar(jpeg[at + 7]) << 8) | uchar(jpeg[at + 8]),
                (uchar(jpeg[at + 5]) << 8) | uchar(jpeg[at + 6]));
        at += 2 + length;
    }
    return QSize();
}

// What gst-discoverer-1.0 says of a file: its first video stream and the duration.
struct Discovered
{
    QSize size;
    QString frameRate;
    QString duration;
    QString output;
};

Discovered discover(const QString &path)
{
    Discovered d;
    QProcess tool;
    tool.start(QStringLiteral("gst-discoverer-1.0"), { QStringLiteral("-v"), path });
    if (!tool.waitForFinished(Bound::camera))
        return d;
    d.output = QString::fromUtf8(tool.readAllStandardOutput());
    auto field = [&](const QString &name) {
        const QRegularExpression re(QStringLiteral("\\n\\s*%1: ([^\\n]+)").arg(name));
        return re.match(d.output).captured(1).trimmed();
    };
    d.size = QSize(field(QStringLiteral("Width")).toInt(), field(QStringLiteral("Height")).toInt());
    d.frameRate = field(QStringLiteral("Frame rate"));
    d.duration = field(QStringLiteral("Duration"));
    return d;
}

using Results = QMap<QString, QString>;

QDBusMessage invokeMessage(
    const QString &action, const QString &location, const QVariantMap &extra = QVariantMap())
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        kName, KivAction::objectPath(), KivAction::interfaceName(), KivAction::invokeMethod());
    QVariantMap values = extra;
    if (!values.contains(KivAction::Key::cameraType()))
        values.insert(KivAction::Key::cameraType(), QStringLiteral("PHOTO"));
    if (!values.contains(KivAction::Key::photoResolution()))
        values.insert(KivAction::Key::photoResolution(), QStringLiteral("16x16"));
    values.insert(KivAction::Key::fileLocation(), location);
    call << action << values;
    call.setAutoStartService(false);
    return call;
}

// A photo ("P" 16x16, "M" at MAX) or a one-second LOWEST recording ("V") into location.
QDBusMessage captureMessage(QChar kind, const QString &location, int durationMs = 1000)
{
    QVariantMap values;
    if (kind == QLatin1Char('M'))
        values.insert(KivAction::Key::photoResolution(), QStringLiteral("MAX"));
    if (kind == QLatin1Char('V')) {
        values.insert(KivAction::Key::cameraType(), QStringLiteral("VIDEO"));
        values.insert(KivAction::Key::videoQuality(), QStringLiteral("LOWEST"));
        values.insert(KivAction::Key::videoDurationLimit(), durationMs);
    }
    return invokeMessage(KivAction::cameraAction(), location, values);
}

// As the library sends it: no reply wanted, never starts a camera.
void sendCancel(QDBusConnection bus, const QString &action)
{
    QDBusMessage cancel = QDBusMessage::createMethodCall(
        kName, KivAction::objectPath(), KivAction::interfaceName(), KivAction::cancelMethod());
    cancel << action;
    cancel.setAutoStartService(false);
    QVERIFY(bus.send(cancel));
}

// The org.kiv.Action interface of an introspection document, one line per item, in order.
QStringList interfaceLines(const QString &xml)
{
    QStringList lines;
    QXmlStreamReader reader(xml);
    bool inside = false;
    while (!reader.atEnd()) {
        reader.readNext();
        const QXmlStreamAttributes a = reader.attributes();
        if (reader.isStartElement() && reader.name() == QLatin1String("interface"))
            inside = a.value(QLatin1String("name")) == KivAction::interfaceName();
        else if (reader.isEndElement() && reader.name() == QLatin1String("interface"))
            inside = false;
        // Qt's type hints are the implementation's own, not the wire's.
        else if (inside && reader.isStartElement() && reader.name() == QLatin1String("annotation")
            && a.value(QLatin1String("name")).startsWith(QLatin1String("org.qtproject.")))
            continue;
        else if (inside && reader.isStartElement())
            lines << reader.name().toString() + QLatin1Char(' ')
                    + a.value(QLatin1String("name")).toString() + QLatin1Char(' ')
                    + a.value(QLatin1String("type")).toString() + QLatin1Char(' ')
                    + a.value(QLatin1String("direction")).toString() + QLatin1Char(' ')
                    + a.value(QLatin1String("value")).toString();
    }
    return reader.hasError() ? QStringList { reader.errorString() } : lines;
}

bool updateActivationEnvironment(const QString &name, const QString &value)
{
    QDBusMessage update = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
        QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("org.freedesktop.DBus"),
        QStringLiteral("UpdateActivationEnvironment"));
    QMap<QString, QString> environment;
    environment.insert(name, value);
    update << QVariant::fromValue(environment);
    return QDBusConnection::sessionBus().call(update).type() == QDBusMessage::ReplyMessage;
}

QString fileKind(const QString &path)
{
    struct stat st = {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("none");
    if (S_ISLNK(st.st_mode))
        return QStringLiteral("link");
    if (S_ISFIFO(st.st_mode))
        return QStringLiteral("fifo");
    if (S_ISCHR(st.st_mode))
        return QStringLiteral("device");
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("folder");
    return QStringLiteral("file");
}

} // namespace

class ReferenceCameraTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void activatedCapture_data();
    void activatedCapture();
    void noActivationWhenNotAllowed();
    void cameraModes_data();
    void cameraModes();
    void cameraCaptureCli_data();
    void cameraCaptureCli();
    void cancelAndCallerLeaving_data();
    void cancelAndCallerLeaving();
    void unsafeRequests_data();
    void unsafeRequests();
    void failureReasons_data();
    void failureReasons();
    void replacedSettings_data();
    void replacedSettings();
    void traceSwitch_data();
    void traceSwitch();
    void recordings_data();
    void recordings();
    void durationLimits_data();
    void durationLimits();
    void sizeLimits_data();
    void sizeLimits();
    void cameraFaults_data();
    void cameraFaults();
    void killedMidRecording();
    void interfaceFile();
    void interactiveServesOn();
    void boundsAndQueue();
    void requestBounds_data();
    void requestBounds();
    void photosAndRecordings_data();
    void photosAndRecordings();
    void optionsFile_data();
    void optionsFile();
    void pathOnlyTargets_data();
    void pathOnlyTargets();
    void descriptorTargets_data();
    void descriptorTargets();
    void cleanupTestCase();

private:
    void startCamera(const QStringList &options, const QString &configHome = QString());
    QByteArray runCameraCapture(
        const QStringList &arguments, const QByteArray &traceSwitch, int *exitCode);
    bool waitForOutput(const QString &text, int timeoutMs = Bound::camera);
    QDBusMessage capture(const QVariantMap &values);
    QTemporaryDir m_dir;
    CameraProcess m_camera;
};

void ReferenceCameraTest::initTestCase()
{
    QVERIFY(QDBusConnection::sessionBus().isConnected());
    QVERIFY(m_dir.isValid());
    QVERIFY(stopCamera());
}

void ReferenceCameraTest::activatedCapture_data()
{
    QTest::addColumn<int>("cameraType");
    QTest::addColumn<QString>("resolution");
    QTest::addColumn<QString>("quality");
    QTest::addColumn<int>("sizeLimit");
    QTest::addColumn<QString>("location"); // file name asked for; empty: none
    QTest::addColumn<QByteArray>("expectedStart");
    QTest::addColumn<QSize>("size"); // of a photo

    const QByteArray jpeg("\xff\xd8");
    QTest::newRow("photo MAX is the test source's largest mode")
        << 1 << QStringLiteral("MAX") << QStringLiteral("HIGHEST") << 0 << QString() << jpeg
        << QSize(1920, 1080);
    QTest::newRow("photo 640x480 at a location")
        << 1 << QStringLiteral("640x480") << QStringLiteral("HIGHEST") << 0
        << QStringLiteral("photo.jpg") << jpeg << QSize(640, 480);
    QTest::newRow("all is a photo, other aspect cropped")
        << 0 << QStringLiteral("320x200") << QStringLiteral("LOWEST") << 0 << QString() << jpeg
        << QSize(320, 200);
    QTest::newRow("malformed resolution falls back to MAX")
        << 1 << QStringLiteral("12xx") << QStringLiteral("HIGHEST") << 0 << QString() << jpeg
        << QSize(1920, 1080);
    QTest::newRow("a .png target gets a PNG")
        << 1 << QStringLiteral("96x64") << QStringLiteral("HIGHEST") << 0
        << QStringLiteral("photo.png") << QByteArray("\x89PNG") << QSize(96, 64);
    QTest::newRow("video default is MP4") << 2 << QStringLiteral("MAX") << QStringLiteral("LOWEST")
                                          << 0 << QString() << QByteArray() << QSize();
    QTest::newRow("video MEDIUM, limited")
        << 2 << QStringLiteral("MAX") << QStringLiteral("MEDIUM") << 400000
        << QStringLiteral("clip") << QByteArray() << QSize();
}

void ReferenceCameraTest::activatedCapture()
{
    QFETCH(int, cameraType);
    QFETCH(QString, resolution);
    QFETCH(QString, quality);
    QFETCH(int, sizeLimit);
    QFETCH(QString, location);
    QFETCH(QByteArray, expectedStart);
    QFETCH(QSize, size);

    CameraUIService service(cameraType, sizeLimit);
    const QString asked = m_dir.filePath(location);
    if (!location.isEmpty())
        service.setFileLocation(asked);
    service.setPhotoResolution(resolution);
    service.setVideoQuality(quality);
    QCOMPARE(boundedExec(service), 1);

    const QString path = service.fileLocation();
    if (!location.isEmpty())
        QCOMPARE(path, asked);
    else
        QVERIFY2(path.endsWith(cameraType == 2 ? QLatin1String(".mp4") : QLatin1String(".jpg")),
            qPrintable(path));
    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
    const QByteArray bytes = file.readAll();
    if (sizeLimit > 0)
        QVERIFY(bytes.size() <= sizeLimit);
    if (cameraType == 2) {
        QCOMPARE(bytes.mid(4, 4), QByteArray("ftyp"));
        const Discovered found = discover(path);
        const QSize expected
            = quality == QLatin1String("MEDIUM") ? QSize(1280, 720) : QSize(640, 480);
        QCOMPARE(found.size, expected);
        QVERIFY2(!found.duration.isEmpty() && found.duration != QLatin1String("0:00:00.000000000"),
            qPrintable(found.output));
        return;
    }
    QVERIFY(bytes.startsWith(expectedStart));
    if (expectedStart.startsWith("\x89PNG")) {
        QCOMPARE(::pngSize(bytes), size);
        return;
    }
    QCOMPARE(jpegSize(bytes), size);
    const QVariantMap tags = readExif(path);
    QVERIFY2(!tags.isEmpty(), qPrintable(exifError()));
    QCOMPARE(tags.value(QStringLiteral("Make")).toString(), QStringLiteral("libcamerauiservice"));
    QCOMPARE(tags.value(QStringLiteral("Model")).toString(), QStringLiteral("test:smpte"));
    QVERIFY(tags.value(QStringLiteral("Software"))
                .toString()
                .startsWith(QStringLiteral("reference-camera ")));
    QVERIFY(tags.value(QStringLiteral("DateTimeOriginal")).toString().contains(QLatin1Char(':')));
    QCOMPARE(tags.value(QStringLiteral("ImageWidth")).toInt(), size.width());
    QCOMPARE(tags.value(QStringLiteral("ImageHeight")).toInt(), size.height());
    QCOMPARE(tags.value(QStringLiteral("Orientation")).toInt(), 1); // not turned: upright
}

void ReferenceCameraTest::noActivationWhenNotAllowed()
{
    QVERIFY(stopCamera());
    AM_ActionData request;
    request.setAction(QStringLiteral("CameraUIService"));
    request.setValue(KivAction::Key::cameraType(), QStringLiteral("PHOTO"));
    QSignalSpy aborted(&request, &AM_ActionData::signalActionAborted);
    QSignalSpy results(&request, &AM_ActionData::signalResultsAvailable);
    request.invoke(false);
    WAIT_COMPARE(aborted.count() + results.count(), 1, Bound::quick);
    QCOMPARE(aborted.count(), 1);
    QVERIFY(!nameOwned());

    request.setValue(KivAction::Key::cameraType(), QStringLiteral("PHOTO"));
    request.setValue(KivAction::Key::photoResolution(), QStringLiteral("16x16"));
    request.invoke(true);
    WAIT_COMPARE(aborted.count() + results.count(), 2, kCaptureBound);
    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).value<AM_ActionResults>().value(KivAction::Key::actionReturn()),
        QStringLiteral("ACCEPTED"));
}

void ReferenceCameraTest::cameraModes_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("firstLaunch");
    QTest::addColumn<bool>("locationReturned");

    QTest::newRow("user rejects") << QStringList { QStringLiteral("--action-return"),
        QStringLiteral("REJECTED") }
                                  << 0 << true;
    QTest::newRow("lower-case accepted") << QStringList { QStringLiteral("--action-return"),
        QStringLiteral("accepted") } << 0 << true;
    QTest::newRow("no actionReturn key")
        << QStringList { QStringLiteral("--no-action-return") } << 1 << true;
    QTest::newRow("no location key")
        << QStringList { QStringLiteral("--no-file-location") } << 1 << false;
    QTest::newRow("slow user") << QStringList { QStringLiteral("--delay"), QStringLiteral("1500") }
                               << 1 << true;
    QTest::newRow("camera crashes")
        << QStringList { QStringLiteral("--exit-without-answer") } << 0 << false;
    QTest::newRow("D-Bus error") << QStringList { QStringLiteral("--error"),
        KivAction::errorPrefix() + QStringLiteral("Busy") }
                                 << 0 << false;
    QTest::newRow("leaves after answering")
        << QStringList { QStringLiteral("--exit-after-one") } << 1 << true;
}

void ReferenceCameraTest::cameraModes()
{
    QFETCH(QStringList, options);
    QFETCH(int, firstLaunch);
    QFETCH(bool, locationReturned);

    QVERIFY(stopCamera());
    QVERIFY(m_camera.start(m_dir.path(), options));

    CameraUIService service(1, 0);
    service.setPhotoResolution(QStringLiteral("32x32"));
    QCOMPARE(boundedExec(service), firstLaunch);
    QCOMPARE(!service.fileLocation().isEmpty(), locationReturned);
    if (locationReturned)
        QVERIFY(QFile::exists(service.fileLocation()));

    // Whatever this camera did, the next launch gets a fresh, activated one.
    QVERIFY(stopCamera());
    QVERIFY(m_camera.stop());
    service.setFileLocation(QString());
    QCOMPARE(boundedExec(service), 1);
}

void ReferenceCameraTest::cameraCaptureCli_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("lastLine");

    const QString out = m_dir.filePath(QStringLiteral("cli.png"));
    QTest::newRow("photo") << QStringList { QStringLiteral("--photo"), QStringLiteral("--file"),
        out, QStringLiteral("--resolution"), QStringLiteral("64x48") }
                           << 0
                           << QStringLiteral("camera-capture: accepted, file location: ") + out;
    QTest::newRow("no type") << QStringList { QStringLiteral("--file"), out } << 2 << QString();
    QTest::newRow("two types") << QStringList { QStringLiteral("--photo"), QStringLiteral("--all") }
                               << 2 << QString();
    QTest::newRow("bad size limit") << QStringList { QStringLiteral("--video"),
        QStringLiteral("--size-limit"), QStringLiteral("12x") }
                                    << 2 << QString();
    QTest::newRow("missing value")
        << QStringList { QStringLiteral("--photo"), QStringLiteral("--quality") } << 2 << QString();
    QTest::newRow("unknown option")
        << QStringList { QStringLiteral("--photo"), QStringLiteral("--flash") } << 2 << QString();
    QTest::newRow("stray argument")
        << QStringList { QStringLiteral("--photo"), QStringLiteral("shot.png") } << 2 << QString();
    QTest::newRow("value of a switch")
        << QStringList { QStringLiteral("--photo=yes") } << 2 << QString();
}

void ReferenceCameraTest::cameraCaptureCli()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, lastLine);

    QProcess cli;
    cli.start(binary("camera-capture"), arguments);
    QVERIFY(cli.waitForFinished(kCaptureBound));
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QCOMPARE(cli.exitCode(), exitCode);
    const QString out = QString::fromLocal8Bit(cli.readAllStandardOutput());
    if (exitCode == 2) {
        QVERIFY(QString::fromLocal8Bit(cli.readAllStandardError())
                    .contains(QStringLiteral("Usage: camera-capture")));
        QVERIFY(out.isEmpty());
        return;
    }
    const QStringList lines = out.trimmed().split(QLatin1Char('\n'));
    QCOMPARE(lines.constLast(), lastLine);
    QVERIFY(lines.constFirst().startsWith(QStringLiteral("Camera LOG in CameraUIService.cpp:")));
    QVERIFY(out.contains(QStringLiteral(":exec:The user actionReturn is ACCEPTED\n")));
}

void ReferenceCameraTest::startCamera(const QStringList &options, const QString &configHome)
{
    QVERIFY(stopCamera());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!configHome.isEmpty())
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
    // Relative paths must not land here (or anywhere).
    QDir(m_dir.path()).mkpath(QStringLiteral("cwd"));
    QVERIFY(
        m_camera.start(m_dir.path(), options, environment, m_dir.filePath(QStringLiteral("cwd"))));
}

// Waits for the camera to print text (anywhere in what it printed so far).
bool ReferenceCameraTest::waitForOutput(const QString &text, int timeoutMs)
{
    const QByteArray wanted = text.toUtf8();
    return QTest::qWaitFor([&] { return m_camera.log().contains(wanted); }, timeoutMs);
}

void ReferenceCameraTest::cancelAndCallerLeaving_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("fileWritten");
    QTest::addColumn<QString>("answer"); // empty: no answer reaches the caller

    QTest::newRow("caller cancels")
        << QStringLiteral("cancel") << false << QStringLiteral("CANCELLED");
    QTest::newRow("cancel of another action")
        << QStringLiteral("cancel other action") << true << QStringLiteral("ACCEPTED");
    QTest::newRow("another connection cancels")
        << QStringLiteral("cancel from elsewhere") << true << QStringLiteral("ACCEPTED");
    QTest::newRow("library cancels") << QStringLiteral("library") << false << QString();
    QTest::newRow("caller leaves the bus") << QStringLiteral("leave") << false << QString();
}

void ReferenceCameraTest::cancelAndCallerLeaving()
{
    QFETCH(QString, how);
    QFETCH(bool, fileWritten);
    QFETCH(QString, answer);

    qDBusRegisterMetaType<Results>();
    startCamera({ QStringLiteral("--delay"), QStringLiteral("1500") });
    const QString action = QStringLiteral("CameraUIService");
    const QString location = m_dir.filePath(
        QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('_'))
        + QStringLiteral(".png"));
    QFile::remove(location);
    const QString address = QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS"));
    const QString callerName
        = QStringLiteral("caller-") + QString::fromLatin1(QTest::currentDataTag());
    QDBusConnection caller = QDBusConnection::connectToBus(address, callerName);
    QVERIFY(caller.isConnected());

    QScopedPointer<AM_ActionData> library;
    QDBusPendingCall first = QDBusPendingCall::fromError(QDBusError());
    if (how == QLatin1String("library")) {
        library.reset(new AM_ActionData);
        library->setAction(action);
        library->setValue(KivAction::Key::cameraType(), QStringLiteral("PHOTO"));
        library->setValue(KivAction::Key::photoResolution(), QStringLiteral("16x16"));
        library->setValue(KivAction::Key::fileLocation(), location);
        QVERIFY(library->invoke(false));
    } else {
        first = caller.asyncCall(invokeMessage(action, location), 120000);
    }
    QVERIFY(waitForOutput(QStringLiteral("answering request 1 in")));

    if (how == QLatin1String("cancel"))
        sendCancel(caller, action);
    else if (how == QLatin1String("cancel other action"))
        sendCancel(caller, QStringLiteral("OtherAction"));
    else if (how == QLatin1String("cancel from elsewhere"))
        sendCancel(QDBusConnection::sessionBus(), action);
    else if (how == QLatin1String("library"))
        library->cancel();
    if (how == QLatin1String("leave")) {
        // The connection closes with its last handle.
        caller = QDBusConnection(QStringLiteral("no-such-connection"));
        first = QDBusPendingCall::fromError(QDBusError());
        QDBusConnection::disconnectFromBus(callerName);
        QVERIFY(waitForOutput(QStringLiteral("left the bus: dropped request 1, no file written")));
    } else {
        QVERIFY(waitForOutput(QStringLiteral("cancel from ")));
    }

    // A later request with the same delay is answered after the first one would have been.
    QDBusPendingCall second = QDBusConnection::sessionBus().asyncCall(
        invokeMessage(action, m_dir.filePath(QStringLiteral("second.png"))), 120000);
    WAIT_VERIFY(second.isFinished(), kCaptureBound);
    QVERIFY2(!second.isError(), qPrintable(second.error().message()));
    QCOMPARE(QFile::exists(location), fileWritten);
    if (!answer.isEmpty()) {
        WAIT_VERIFY(first.isFinished(), kCaptureBound);
        const QDBusPendingReply<Results> reply = first;
        QVERIFY2(reply.isValid(), qPrintable(reply.error().message()));
        QCOMPARE(reply.value().value(KivAction::Key::actionReturn()), answer);
        QCOMPARE(reply.value().contains(KivAction::Key::fileLocationReturn()), fileWritten);
    }
    QDBusConnection::disconnectFromBus(callerName);
}

void ReferenceCameraTest::unsafeRequests_data()
{
    QTest::addColumn<QString>("target"); // what stands at the fileLocation
    QTest::addColumn<QString>("location"); // empty: the prepared one
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("key"); // an extra value's key
    QTest::addColumn<QString>("answer"); // actionReturn, or the D-Bus error name

    const QString camera = QStringLiteral("CameraUIService");
    const QString failed = QStringLiteral("FAILED");
    QTest::newRow("planted symlink")
        << QStringLiteral("link") << QString() << camera << QString() << failed;
    QTest::newRow("FIFO in an unwritable folder, second client served")
        << QStringLiteral("fifo") << QString() << camera << QString() << failed;
    QTest::newRow("device node") << QStringLiteral("device") << QStringLiteral("/dev/null")
                                 << camera << QString() << failed;
    QTest::newRow("folder") << QStringLiteral("folder") << QString() << camera << QString()
                            << failed;
    QTest::newRow("relative path") << QStringLiteral("none") << QStringLiteral("relative.png")
                                   << camera << QString() << failed;
    QTest::newRow("NUL in a file: URL")
        << QStringLiteral("nul-url") << QString() << camera << QString() << failed;
    QTest::newRow("%00 in a file: URL's name")
        << QStringLiteral("nul-name") << QString() << camera << QString() << failed;
    QTest::newRow("existing file is replaced")
        << QStringLiteral("file") << QString() << camera << QString() << QStringLiteral("ACCEPTED");
    QTest::newRow("unknown action")
        << QStringLiteral("none") << QString() << QStringLiteral("Gallery") << QString()
        << KivAction::unknownActionError();
    QTest::newRow("control characters in a key")
        << QStringLiteral("none") << QString() << camera
        << QStringLiteral("x\nreference-camera: forged line\r\x1b[2J")
        << QStringLiteral("ACCEPTED");
    QTest::newRow("4 MiB key") << QStringLiteral("none") << QString() << camera
                               << QString(4 * 1024 * 1024, QLatin1Char('k'))
                               << QStringLiteral("ACCEPTED");
}

void ReferenceCameraTest::unsafeRequests()
{
    QFETCH(QString, target);
    QFETCH(QString, location);
    QFETCH(QString, action);
    QFETCH(QString, key);
    QFETCH(QString, answer);

    qDBusRegisterMetaType<Results>();
    startCamera({});
    const QString tag = QString::fromLatin1(QTest::currentDataTag())
                            .left(12)
                            .replace(QLatin1Char(' '), QLatin1Char('_'));
    QDir(m_dir.path()).mkpath(tag);
    const QString folder = m_dir.filePath(tag);
    const QString victim = m_dir.filePath(tag + QStringLiteral("-victim.txt"));
    if (location.isEmpty())
        location = folder + QStringLiteral("/photo.png");
    if (target == QLatin1String("nul-url")) {
        // The system would stop at the NUL: b/x.png, with fileLocationReturn the folder.
        QVERIFY(QDir(folder).mkpath(QStringLiteral("b")));
        location = QStringLiteral("file://") + folder + QStringLiteral("/b%00zz/x.png");
    } else if (target == QLatin1String("nul-name")) {
        // A D-Bus string cannot carry a NUL itself; a URL can.
        location = QStringLiteral("file://") + folder + QStringLiteral("/b%00zz.png");
    }
    const QString before = fileKind(location);
    if (target == QLatin1String("link")) {
        QFile v(victim);
        QVERIFY(v.open(QIODevice::WriteOnly));
        v.write("precious");
        v.close();
        QVERIFY(QFile::link(victim, location));
    } else if (target == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(location).constData(), 0600), 0);
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    } else if (target == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(location));
    } else if (target == QLatin1String("file")) {
        QFile old(location);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old contents");
    }
    const QString kindBefore = target == QLatin1String("device") ? before : fileKind(location);

    QVariantMap extra;
    if (!key.isEmpty())
        extra.insert(key, QStringLiteral("value\nreference-camera: forged too"));
    QDBusPendingCall call
        = QDBusConnection::sessionBus().asyncCall(invokeMessage(action, location, extra), 120000);
    // Whatever the first request is stuck on, another client is served.
    const QString address = QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS"));
    QDBusConnection other = QDBusConnection::connectToBus(address, QStringLiteral("other"));
    const QString otherLocation = m_dir.filePath(tag + QStringLiteral("-other.png"));
    QDBusPendingCall second
        = other.asyncCall(invokeMessage(QStringLiteral("CameraUIService"), otherLocation), 120000);
    WAIT_VERIFY(call.isFinished() && second.isFinished(), kCaptureBound);
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QDBusPendingReply<Results> secondReply = second;
    QCOMPARE(secondReply.value().value(KivAction::Key::actionReturn()), QStringLiteral("ACCEPTED"));
    QVERIFY(QFile::exists(otherLocation));

    const QDBusPendingReply<Results> reply = call;
    if (answer.startsWith(QLatin1String("org."))) {
        QVERIFY(reply.isError());
        QCOMPARE(reply.error().name(), answer);
        QVERIFY(reply.error().message().contains(QStringLiteral("Gallery")));
    } else {
        QVERIFY2(reply.isValid(), qPrintable(reply.error().message()));
        QCOMPARE(reply.value().value(KivAction::Key::actionReturn()), answer);
        QCOMPARE(reply.value().contains(KivAction::Key::fileLocationReturn()),
            answer == QLatin1String("ACCEPTED"));
    }
    // What was there is still there, untouched.
    if (answer == QLatin1String("FAILED")) {
        QCOMPARE(fileKind(location), kindBefore);
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("cwd/relative.png"))));
    }
    if (target == QLatin1String("link")) {
        QFile v(victim);
        QVERIFY(v.open(QIODevice::ReadOnly));
        QCOMPARE(v.readAll(), QByteArray("precious"));
    }
    if (target.startsWith(QLatin1String("nul-"))) {
        // Nothing written anywhere under the folder.
        const QStringList everything = QDir(folder).entryList(
            QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        QCOMPARE(everything,
            target == QLatin1String("nul-url") ? QStringList { QStringLiteral("b") }
                                               : QStringList());
        QCOMPARE(QDir(folder + QStringLiteral("/b"))
                     .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList());
    }
    if (answer == QLatin1String("ACCEPTED")) {
        QFile written(location);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QVERIFY(written.read(4) == "\x89PNG");
    }
    QCOMPARE(QDir(folder).entryList(QStringList { QStringLiteral(".*.part") },
                 QDir::Files | QDir::Hidden | QDir::System),
        QStringList());

    // The log shows every key, escaped and cut, and nothing a caller wrote starts a line.
    // Both answers logged (the line follows the reply).
    WAIT_VERIFY(m_camera.log().count("reference-camera: answered") >= 2, kCaptureBound);
    for (const QByteArray &line : m_camera.log().split('\n')) {
        QVERIFY2(!line.contains("forged") || !line.startsWith("reference-camera: forged"),
            line.constData());
        QVERIFY2(line.size() < 4096, line.left(200).constData());
    }
    if (key.size() > 4096)
        QVERIFY(
            m_camera.log().contains(QByteArray("... (cut ") + QByteArray::number(key.size() - 200)
                + " of " + QByteArray::number(key.size()) + " chars)"));
    QDBusConnection::disconnectFromBus(QStringLiteral("other"));
}

// The reason the camera could not write reaches the host in plain words that name the
// file; which user asked and what to send instead stay in the camera's log.
void ReferenceCameraTest::failureReasons_data()
{
    QTest::addColumn<QString>("location"); // "@" stands for the test's folder
    QTest::addColumn<QStringList>("reasons"); // the message contains one of these

    QTest::newRow("missing folder")
        << QStringLiteral("@/no-such-folder/photo.png")
        << QStringList { QStringLiteral("cannot save @/no-such-folder/photo.png: the folder "
                                        "@/no-such-folder does not exist") };
    QTest::newRow("folder is a file")
        << QStringLiteral("@/plain-file/photo.png")
        << QStringList { QStringLiteral(
               "cannot save @/plain-file/photo.png: @/plain-file is not a folder") };
    // Root may write everywhere else; sysfs refuses new files even to root.
    QTest::newRow("read-only folder")
        << QStringLiteral("/sys/photo.png")
        << QStringList { QStringLiteral(
                             "cannot save /sys/photo.png: the folder /sys is on a read-only disk"),
               QStringLiteral("cannot save /sys/photo.png: there is no permission to write in the "
                              "folder /sys"),
               QStringLiteral("cannot save /sys/photo.png: the camera could not write it") };
    QTest::newRow("relative path")
        << QStringLiteral("photo.png")
        << QStringList { QStringLiteral("fileLocation \"photo.png\" is not an absolute path") };
}

void ReferenceCameraTest::failureReasons()
{
    QFETCH(QString, location);
    QFETCH(QStringList, reasons);

    location.replace(QLatin1Char('@'), m_dir.path());
    for (QString &reason : reasons)
        reason.replace(QLatin1Char('@'), m_dir.path());
    QFile plain(m_dir.filePath(QStringLiteral("plain-file")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    QVERIFY(stopCamera());

    CameraUIService service(1, 0);
    service.setFileLocation(location);
    service.setPhotoResolution(QStringLiteral("16x16"));
    QCOMPARE(boundedExec(service), 0);
    const QString message = service.errorMessage();
    bool named = false;
    for (const QString &reason : std::as_const(reasons))
        named |= message.contains(reason);
    QVERIFY2(named, qPrintable(message));
    QVERIFY2(
        !message.contains(QLatin1String("user ")) && !message.contains(QLatin1String("descriptor")),
        qPrintable(message));
    QCOMPARE(GetCameraOutcome(&service), int(CameraOutcomeFailed));
    QCOMPARE(service.fileLocation(), location);

    int exitCode = -1;
    const QByteArray out = runCameraCapture(
        { QStringLiteral("--photo"), QStringLiteral("--resolution"), QStringLiteral("16x16"),
            QStringLiteral("--file"), location, QStringLiteral("--quiet") },
        "", &exitCode);
    if (QDir::isRelativePath(location)) {
        // camera-capture sends it from its own folder (the test's), where it is written.
        QCOMPARE(exitCode, 0);
        QCOMPARE(out,
            "camera-capture: accepted, file location: " + m_dir.filePath(location).toLocal8Bit()
                + "\n");
        return;
    }
    QCOMPARE(exitCode, 1);
    QCOMPARE(out, QByteArray("camera-capture: failed (") + message.toLocal8Bit() + ")\n");
}

// Settings this camera cannot honour are replaced, logged, and named in the answer.
void ReferenceCameraTest::replacedSettings_data()
{
    QTest::addColumn<int>("cameraType");
    QTest::addColumn<QString>("resolution");
    QTest::addColumn<QString>("quality");
    QTest::addColumn<QVariantMap>("used");
    QTest::addColumn<QString>("logged"); // empty: no line about a replaced setting
    QTest::addColumn<QByteArray>("fileStart");

    const QVariantMap none;
    const QVariantMap max { { QStringLiteral("photoResolution"), QStringLiteral("MAX") } };
    const QByteArray png("\x89PNG");
    QTest::newRow("honoured") << 1 << QStringLiteral("64x48") << QStringLiteral("LOWEST") << none
                              << QString() << png;
    QTest::newRow("not a resolution")
        << 1 << QStringLiteral("12xabc") << QStringLiteral("HIGHEST") << max
        << QStringLiteral("photoResolution \"12xabc\" not understood, using MAX") << png;
    QTest::newRow("zero size") << 1 << QStringLiteral("0x0") << QStringLiteral("HIGHEST") << max
                               << QStringLiteral("photoResolution \"0x0\" not understood") << png;
    QTest::newRow("larger than the camera")
        << 1 << QStringLiteral("99999x99999") << QStringLiteral("HIGHEST") << max
        << QStringLiteral("photoResolution \"99999x99999\" is larger than this camera takes "
                          "(at most 8192x8192), using MAX")
        << png;
    QTest::newRow("unknown quality")
        << 2 << QStringLiteral("MAX") << QStringLiteral("FOO")
        << QVariantMap { { QStringLiteral("videoQuality"), QStringLiteral("HIGHEST") } }
        << QStringLiteral("videoQuality \"FOO\" not known (HIGHEST, MEDIUM or LOWEST), using "
                          "HIGHEST")
        << QByteArray("YUV4MPEG2 W320 H240 F30:1");
    QTest::newRow("a photo does not use the quality")
        << 1 << QStringLiteral("16x16") << QStringLiteral("FOO") << none << QString() << png;
    QTest::newRow("a video does not use the resolution")
        << 2 << QStringLiteral("12xabc") << QStringLiteral("MEDIUM") << none << QString()
        << QByteArray("YUV4MPEG2 W176 H144 F15:1");
}

void ReferenceCameraTest::replacedSettings()
{
    QFETCH(int, cameraType);
    QFETCH(QString, resolution);
    QFETCH(QString, quality);
    QFETCH(QVariantMap, used);
    QFETCH(QString, logged);
    QFETCH(QByteArray, fileStart);

    startCamera({});
    CameraUIService service(cameraType, 0);
    service.setPhotoResolution(resolution);
    service.setVideoQuality(quality);
    QCOMPARE(boundedExec(service), 1);
    QCOMPARE(service.settingsUsed(), used);
    QFile file(service.fileLocation());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.size() > 0);
    Q_UNUSED(fileStart) // the format follows the file name, not the replaced setting
    QVERIFY(waitForOutput(QStringLiteral("reference-camera: answered")));
    const QByteArray log = m_camera.log();
    if (logged.isEmpty()) {
        QVERIFY2(!log.contains(" using "), log.constData());
    } else {
        QVERIFY2(log.contains("reference-camera: " + logged.toUtf8()), log.constData());
        QVERIFY(log.contains("Used=\"" + used.first().toString().toUtf8() + "\""));
    }
}

// Run camera-capture against the activated camera; traceSwitch: the value of
// CAMERAUISERVICE_TRACE, or null to leave it unset.
QByteArray ReferenceCameraTest::runCameraCapture(
    const QStringList &arguments, const QByteArray &traceSwitch, int *exitCode)
{
    QProcess cli;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("CAMERAUISERVICE_TRACE"));
    if (!traceSwitch.isNull())
        environment.insert(
            QStringLiteral("CAMERAUISERVICE_TRACE"), QString::fromLatin1(traceSwitch));
    cli.setProcessEnvironment(environment);
    cli.setWorkingDirectory(m_dir.path());
    cli.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    cli.start(binary("camera-capture"), arguments);
    if (!cli.waitForFinished(kCaptureBound) || cli.exitStatus() != QProcess::NormalExit)
        return QByteArray("camera-capture did not finish");
    *exitCode = cli.exitCode();
    return cli.readAllStandardOutput();
}

// CAMERAUISERVICE_TRACE=0 (or --quiet) leaves only the program's own lines on standard
// output; any other value, and none, gives the trace exactly as it is without it.
void ReferenceCameraTest::traceSwitch_data()
{
    QTest::addColumn<QByteArray>("value"); // null: unset
    QTest::addColumn<bool>("quiet");
    QTest::addColumn<bool>("traced");

    QTest::newRow("0 silences") << QByteArray("0") << false << false;
    QTest::newRow("--quiet") << QByteArray() << true << false;
    QTest::newRow("1") << QByteArray("1") << false << true;
    QTest::newRow("empty") << QByteArray("") << false << true;
    QTest::newRow("00 is not 0") << QByteArray("00") << false << true;
    QTest::newRow("unset") << QByteArray() << false << true;
}

void ReferenceCameraTest::traceSwitch()
{
    QFETCH(QByteArray, value);
    QFETCH(bool, quiet);
    QFETCH(bool, traced);

    const QString target = m_dir.filePath(QStringLiteral("trace.png"));
    QStringList arguments { QStringLiteral("--photo"), QStringLiteral("--resolution"),
        QStringLiteral("16x16"), QStringLiteral("--file"), target, QStringLiteral("--out"),
        m_dir.filePath(QStringLiteral("trace-copy.png")) };
    int baselineCode = -1;
    const QByteArray baseline = runCameraCapture(arguments, QByteArray(), &baselineCode);
    QCOMPARE(baselineCode, 0);
    QVERIFY(baseline.startsWith("Camera LOG in "));
    if (quiet)
        arguments << QStringLiteral("--quiet");
    int exitCode = -1;
    const QByteArray out = runCameraCapture(arguments, value, &exitCode);
    QCOMPARE(exitCode, 0);
    // Each capture's bytes differ a little (a live test source): sizes are not compared.
    static const QRegularExpression number(QStringLiteral("\\d+"));
    const auto shape = [](const QByteArray &text) {
        return QString::fromLatin1(text).replace(number, QStringLiteral("N"));
    };
    if (traced) {
        QCOMPARE(shape(out), shape(baseline));
        return;
    }
    QVERIFY2(!out.contains("Camera LOG"), out.constData());
    QCOMPARE(shape(out), shape(baseline.mid(baseline.indexOf("\ncamera-capture: wrote ") + 1)));
}

QDBusMessage ReferenceCameraTest::capture(const QVariantMap &values)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        kName, KivAction::objectPath(), KivAction::interfaceName(), KivAction::invokeMethod());
    call << KivAction::cameraAction() << values;
    call.setAutoStartService(false);
    return QDBusConnection::sessionBus().call(call, QDBus::Block, kCaptureBound);
}

void ReferenceCameraTest::recordings_data()
{
    QTest::addColumn<QString>("encoder"); // empty: not H.264
    QTest::addColumn<QString>("quality");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("frameRate");

    QProcess inspect;
    for (const char *encoder : { "openh264enc", "x264enc" }) {
        inspect.start(QStringLiteral("gst-inspect-1.0"), { QLatin1String(encoder) });
        if (!inspect.waitForFinished(Bound::camera) || inspect.exitCode() != 0)
            continue;
        const QString e = QLatin1String(encoder);
        QTest::addRow("%s HIGHEST", encoder)
            << e << QStringLiteral("HIGHEST") << QStringLiteral("h.mp4") << QSize(1920, 1080)
            << QStringLiteral("30/1");
        QTest::addRow("%s MEDIUM", encoder)
            << e << QStringLiteral("MEDIUM") << QStringLiteral("m.mp4") << QSize(1280, 720)
            << QStringLiteral("30/1");
        QTest::addRow("%s LOWEST in Matroska", encoder)
            << e << QStringLiteral("LOWEST") << QStringLiteral("l.mkv") << QSize(640, 480)
            << QStringLiteral("15/1");
    }
    QTest::newRow("VP8 WebM LOWEST")
        << QString() << QStringLiteral("LOWEST") << QStringLiteral("l.webm") << QSize(640, 480)
        << QStringLiteral("15/1");
    QTest::newRow("raw y4m LOWEST")
        << QString() << QStringLiteral("LOWEST") << QStringLiteral("l.y4m") << QSize(640, 480)
        << QStringLiteral("15/1");
}

void ReferenceCameraTest::recordings()
{
    QFETCH(QString, encoder);
    QFETCH(QString, quality);
    QFETCH(QString, name);
    QFETCH(QSize, size);
    QFETCH(QString, frameRate);

    QStringList options { QStringLiteral("--record-ms"), QStringLiteral("500") };
    if (!encoder.isEmpty())
        options << QStringLiteral("--encoder") << encoder;
    startCamera(options);
    const QString path = m_dir.filePath(name);
    QFile::remove(path);
    QVariantMap values;
    values.insert(QStringLiteral("cameraType"), QStringLiteral("VIDEO"));
    values.insert(QStringLiteral("videoQuality"), quality);
    values.insert(QStringLiteral("fileLocation"), path);
    const QDBusMessage reply = capture(values);
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
    const Discovered found = discover(path);
    QCOMPARE(found.size, size);
    QCOMPARE(found.frameRate, frameRate);
    QVERIFY2(!found.duration.isEmpty() && found.duration != QLatin1String("0:00:00.000000000"),
        qPrintable(found.output));
    // The encoder asked for is the one used, and the log shows the quality table.
    QVERIFY(waitForOutput(QStringLiteral("qualities: HIGHEST 1920x1080@30")));
    if (!encoder.isEmpty())
        QVERIFY(m_camera.log().contains(QStringLiteral("(%1)").arg(encoder).toUtf8()));
}

// A host's videoDurationLimit outlasts --record-ms; the answer says how long the video is
// and what ended it.
void ReferenceCameraTest::durationLimits_data()
{
    QTest::addColumn<int>("limit"); // 0: not sent
    QTest::addColumn<int>("shortest"); // bounds for videoDurationMs
    QTest::addColumn<int>("longest");

    // A length is a limit: never over it, however late the camera stops.
    QTest::newRow("limit of 1500 ms") << 1500 << 1200 << 1500;
    QTest::newRow("no limit: --record-ms") << 0 << 300 << 500;
}

void ReferenceCameraTest::durationLimits()
{
    QFETCH(int, limit);
    QFETCH(int, shortest);
    QFETCH(int, longest);

    startCamera({ QStringLiteral("--record-ms"), QStringLiteral("500") });
    const QString path = m_dir.filePath(QStringLiteral("duration-%1.mp4").arg(limit));
    QFile::remove(path);
    QVariantMap values;
    values.insert(QStringLiteral("cameraType"), QStringLiteral("VIDEO"));
    values.insert(QStringLiteral("videoQuality"), QStringLiteral("LOWEST"));
    values.insert(QStringLiteral("fileLocation"), path);
    if (limit > 0)
        values.insert(KivAction::Key::videoDurationLimit(), limit);
    const QDBusMessage reply = capture(values);
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
    const Results results = qdbus_cast<Results>(reply.arguments().value(0));
    const int duration = results.value(KivAction::Key::videoDurationMs()).toInt();
    QVERIFY2(duration >= shortest && duration <= longest, qPrintable(QString::number(duration)));
    QCOMPARE(results.value(KivAction::Key::videoEndedBy()), KivAction::Value::durationLimit());
    QVERIFY(QFileInfo(path).size() > 0);
}

void ReferenceCameraTest::sizeLimits_data()
{
    QTest::addColumn<int>("limit"); // 0: the camera's minVideoSizeLimit
    QTest::addColumn<bool>("mayFail");
    QTest::addColumn<QString>("suffix");

    const QString mp4 = QStringLiteral("mp4");
    QTest::newRow("below one key frame") << 20000 << true << mp4;
    QTest::newRow("100 kB") << 100000 << true << mp4;
    QTest::newRow("500 kB") << 500000 << false << mp4;
    QTest::newRow("2 MB") << 2000000 << false << mp4;
    // The advertised least limit holds for every container, headers and all.
    for (const char *suffix : { "mp4", "mkv", "webm", "y4m" })
        QTest::addRow("minVideoSizeLimit, %s", suffix) << 0 << false << QString::fromLatin1(suffix);
}

// Noise is the worst case for an encoder; the limit holds or the answer says why not.
void ReferenceCameraTest::sizeLimits()
{
    QFETCH(int, limit);
    QFETCH(bool, mayFail);
    QFETCH(QString, suffix);

    startCamera({ QStringLiteral("--source"), QStringLiteral("test:snow"),
        QStringLiteral("--record-ms"), QStringLiteral("2000") });
    if (limit == 0) {
        QDBusMessage query = QDBusMessage::createMethodCall(kName, KivAction::objectPath(),
            KivAction::interfaceName(), KivAction::getCapabilitiesMethod());
        query << KivAction::cameraAction();
        query.setAutoStartService(false);
        const QDBusMessage answer
            = QDBusConnection::sessionBus().call(query, QDBus::Block, Bound::quick);
        QCOMPARE(answer.type(), QDBusMessage::ReplyMessage);
        const QVariantMap capabilities = qdbus_cast<QVariantMap>(answer.arguments().value(0));
        limit = int(capabilities.value(KivAction::Key::minVideoSizeLimit()).toLongLong());
        QVERIFY(limit > 0);
    }
    const QString path = m_dir.filePath(QStringLiteral("limit-%1.%2").arg(limit).arg(suffix));
    QVariantMap values;
    values.insert(QStringLiteral("cameraType"), QStringLiteral("VIDEO"));
    values.insert(QStringLiteral("videoQuality"), QStringLiteral("LOWEST"));
    values.insert(QStringLiteral("videoSizeLimitation"), limit);
    values.insert(QStringLiteral("fileLocation"), path);
    const QDBusMessage reply = capture(values);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        QVERIFY2(mayFail, qPrintable(reply.errorMessage()));
        QCOMPARE(reply.errorName(), KivAction::cameraFailedError());
        QVERIFY2(reply.errorMessage().contains(QString::number(limit)),
            qPrintable(reply.errorMessage()));
        // Already LOWEST: nothing lower to advise.
        QVERIFY2(!reply.errorMessage().contains(QLatin1String("lower videoQuality")),
            qPrintable(reply.errorMessage()));
        QVERIFY(!QFile::exists(path));
        return;
    }
    QVERIFY(limit > 20000);
    QVERIFY(QFileInfo(path).size() <= limit);
    if (suffix == QLatin1String("y4m")) {
        QVERIFY(fileBytes(path).startsWith("YUV4MPEG2 C420 W640 H480 "));
        return;
    }
    const Discovered found = discover(path);
    QCOMPARE(found.size, QSize(640, 480));
    QVERIFY2(!found.duration.isEmpty() && found.duration != QLatin1String("0:00:00.000000000"),
        qPrintable(found.output));
}

void ReferenceCameraTest::cameraFaults_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("how"); // "host", "dbus" or "cancel"
    QTest::addColumn<QString>("errorName"); // empty: answered CANCELLED
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("cameraType");

    QTest::newRow("no device, as the host sees it")
        << QStringList { QStringLiteral("--source"), QStringLiteral("auto") }
        << QStringLiteral("host") << KivAction::noCameraDeviceError()
        << QStringLiteral("no camera device found; connect a camera or run with --source test")
        << QStringLiteral("VIDEO");
    QTest::newRow("named device missing")
        << QStringList { QStringLiteral("--source"), QStringLiteral("v4l2:/dev/no-such-video") }
        << QStringLiteral("dbus") << KivAction::noCameraDeviceError()
        << QStringLiteral("/dev/no-such-video") << QStringLiteral("VIDEO");
    QTest::newRow("source stalls mid-recording")
        << QStringList { QStringLiteral("--source"), QStringLiteral("test:ball,stop-after=10"),
               QStringLiteral("--record-ms"), QStringLiteral("60000") }
        << QStringLiteral("dbus") << KivAction::cameraFailedError()
        << QStringLiteral("stopped while recording") << QStringLiteral("VIDEO");
    // Stops before the picture settles: the live source fails from its own watchdog.
    QTest::newRow("source stops during a photo")
        << QStringList { QStringLiteral("--source"), QStringLiteral("test:ball,stop-after=2") }
        << QStringLiteral("dbus") << KivAction::cameraFailedError()
        << QStringLiteral("camera test:ball") << QStringLiteral("PHOTO");
    QTest::newRow("cancel mid-recording")
        << QStringList { QStringLiteral("--record-ms"), QStringLiteral("60000") }
        << QStringLiteral("cancel") << QString() << QString() << QStringLiteral("VIDEO");
}

void ReferenceCameraTest::cameraFaults()
{
    QFETCH(QStringList, options);
    QFETCH(QString, how);
    QFETCH(QString, errorName);
    QFETCH(QString, message);
    QFETCH(QString, cameraType);

    if (how == QLatin1String("host")
        && !QDir(QStringLiteral("/dev"))
                .entryList({ QStringLiteral("video*") }, QDir::System)
                .isEmpty())
        QSKIP("this machine has a camera");
    qDBusRegisterMetaType<Results>();
    startCamera(options);
    const QString path
        = m_dir.filePath(cameraType == QLatin1String("PHOTO") ? QStringLiteral("fault.jpg")
                                                              : QStringLiteral("fault.mp4"));
    QFile::remove(path);
    if (how == QLatin1String("host")) {
        CameraUIService service(2, 0);
        service.setFileLocation(path);
        QCOMPARE(boundedExec(service), 0);
        const QString seen = QString::fromUtf8(GetCameraErrorMessage(&service));
        QVERIFY2(seen.contains(message), qPrintable(seen));
        QVERIFY2(seen.contains(errorName), qPrintable(seen));
        QVERIFY(!QFile::exists(path));
        return;
    }
    QVariantMap values;
    values.insert(QStringLiteral("cameraType"), cameraType);
    values.insert(QStringLiteral("videoQuality"), QStringLiteral("LOWEST"));
    values.insert(QStringLiteral("fileLocation"), path);
    QDBusMessage call = QDBusMessage::createMethodCall(
        kName, KivAction::objectPath(), KivAction::interfaceName(), KivAction::invokeMethod());
    call << KivAction::cameraAction() << values;
    call.setAutoStartService(false);
    QDBusPendingCall pending = QDBusConnection::sessionBus().asyncCall(call, 120000);
    if (how == QLatin1String("cancel")) {
        QVERIFY(waitForOutput(QStringLiteral("recording LOWEST")));
        sendCancel(QDBusConnection::sessionBus(), KivAction::cameraAction());
    }
    WAIT_VERIFY(pending.isFinished(), kCaptureBound);
    const QDBusPendingReply<Results> reply = pending;
    if (errorName.isEmpty()) {
        QVERIFY2(reply.isValid(), qPrintable(reply.error().message()));
        QCOMPARE(reply.value().value(QStringLiteral("actionReturn")), QStringLiteral("CANCELLED"));
    } else {
        QCOMPARE(reply.error().name(), errorName);
        QVERIFY2(reply.error().message().contains(message), qPrintable(reply.error().message()));
        // The camera lives on and answers the next request the same way.
        QVERIFY2(m_camera.isRunning(), m_camera.errors().constData());
        QDBusPendingCall again = QDBusConnection::sessionBus().asyncCall(call, 120000);
        WAIT_VERIFY(again.isFinished(), kCaptureBound);
        QCOMPARE(again.reply().errorName(), errorName);
    }
    QVERIFY(!QFile::exists(path));
    QCOMPARE(
        QDir(m_dir.path())
            .entryList({ QStringLiteral(".*.part") }, QDir::Files | QDir::Hidden | QDir::System),
        QStringList());
}

// A camera killed while it records leaves no partial file; one a killed camera left on a
// file system without nameless files is removed by the next camera.
void ReferenceCameraTest::killedMidRecording()
{
    qDBusRegisterMetaType<Results>();
    startCamera({ QStringLiteral("--record-ms"), QStringLiteral("60000") });
    const QString path = m_dir.filePath(QStringLiteral("killed.mp4"));
    QVariantMap values;
    values.insert(QStringLiteral("cameraType"), QStringLiteral("VIDEO"));
    values.insert(QStringLiteral("videoQuality"), QStringLiteral("LOWEST"));
    values.insert(QStringLiteral("fileLocation"), path);
    QDBusMessage call = QDBusMessage::createMethodCall(
        kName, KivAction::objectPath(), KivAction::interfaceName(), KivAction::invokeMethod());
    call << KivAction::cameraAction() << values;
    call.setAutoStartService(false);
    QDBusPendingCall pending = QDBusConnection::sessionBus().asyncCall(call, 120000);
    QVERIFY(waitForOutput(QStringLiteral("recording LOWEST")));
    const qint64 killed = m_camera.process()->processId();
    m_camera.process()->kill();
    QVERIFY(m_camera.process()->waitForFinished(Bound::quick));
    WAIT_VERIFY(pending.isFinished(), Bound::quick);
    const QStringList parts { QStringLiteral(".*.part") };
    const QDir::Filters hidden = QDir::Files | QDir::Hidden | QDir::System;
    QCOMPARE(QDir(m_dir.path()).entryList(parts, hidden), QStringList());
    QVERIFY(!QFile::exists(path));

    // As the named fallback would have left it, and one that is not the camera's.
    const QString stale = m_dir.filePath(QStringLiteral(".killed.mp4.%1-x1.part").arg(killed));
    const QString foreign = m_dir.filePath(QStringLiteral(".notes.part"));
    QVERIFY(putFile(stale, "partial"));
    QVERIFY(putFile(foreign, "keep"));
    startCamera({});
    QCOMPARE(
        QDir(m_dir.path()).entryList(parts, hidden), QStringList { QStringLiteral(".notes.part") });
    QVERIFY(QFile::remove(foreign));
}

void ReferenceCameraTest::interfaceFile()
{
#ifndef KIV_ACTION_INTERFACE_FILE
    QSKIP("built without the reference camera");
#else
    startCamera({});
    QFile file(QStringLiteral(KIV_ACTION_INTERFACE_FILE));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList expected = interfaceLines(QString::fromUtf8(file.readAll()));
    QVERIFY(expected.contains(QStringLiteral("method Cancel   ")));

    const QDBusMessage introspect = QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall(kName, KivAction::objectPath(),
            QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect")));
    QCOMPARE(introspect.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(interfaceLines(introspect.arguments().value(0).toString()), expected);

    // Qt answers what the interface does not have.
    const QDBusMessage unknown = QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
        kName, KivAction::objectPath(), KivAction::interfaceName(), QStringLiteral("Shoot")));
    QCOMPARE(unknown.errorName(), QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"));
#endif
}

// The window classes are driven in referencecamerawindowtest; here the program: it keeps
// serving after a window closes, and refuses an unwritable target before any window.
void ReferenceCameraTest::interactiveServesOn()
{
    qDBusRegisterMetaType<Results>();
    startCamera({ QStringLiteral("--interactive") });
    const QString location = m_dir.filePath(QStringLiteral("interactive.png"));
    QDBusConnection bus = QDBusConnection::sessionBus();
    for (int number = 1; number <= 2; ++number) {
        QDBusPendingCall call
            = bus.asyncCall(invokeMessage(KivAction::cameraAction(), location), 120000);
        QVERIFY(waitForOutput(QStringLiteral("request %1: window open").arg(number)));
        sendCancel(bus, KivAction::cameraAction());
        WAIT_VERIFY(call.isFinished(), kCaptureBound);
        const QDBusPendingReply<Results> reply = call;
        QCOMPARE(reply.value().value(KivAction::Key::actionReturn()), QStringLiteral("CANCELLED"));
    }
    QVERIFY(!QFile::exists(location));

    QDBusPendingCall relative
        = bus.asyncCall(invokeMessage(KivAction::cameraAction(), QStringLiteral("x.png")), 120000);
    WAIT_VERIFY(relative.isFinished(), Bound::quick);
    const QDBusPendingReply<Results> reply = relative;
    QCOMPARE(reply.value().value(KivAction::Key::actionReturn()), QStringLiteral("FAILED"));
    QCOMPARE(reply.value().value(KivAction::Key::failureReason()),
        QStringLiteral("fileLocation \"x.png\" is not an absolute path"));
    QCOMPARE(reply.value().size(), 2);
    QVERIFY(!m_camera.log().contains("request 3: window open"));
    QCOMPARE(m_camera.process()->state(), QProcess::Running);
}

// A caller cannot tie the camera up: its waiting requests are bounded, absurd photos are
// refused at once, and interactive requests wait for the one window, each cancellable.
void ReferenceCameraTest::boundsAndQueue()
{
    qDBusRegisterMetaType<Results>();
    const QString address = QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS"));
    QDBusConnection bus = QDBusConnection::sessionBus();
    auto location
        = [this](int n) { return m_dir.filePath(QStringLiteral("bounded-%1.png").arg(n)); };

    startCamera({ QStringLiteral("--delay"), QStringLiteral("600000") });
    QList<QDBusPendingCall> mine;
    for (int n = 1; n <= 9; ++n)
        mine << bus.asyncCall(invokeMessage(KivAction::cameraAction(), location(n)), 120000);
    WAIT_VERIFY(mine.constLast().isFinished(), Bound::quick);
    QCOMPARE(mine.constLast().error().name(), KivAction::busyError());
    QVERIFY2(mine.constLast().error().message().contains(QStringLiteral("at most 8 per caller")),
        qPrintable(mine.constLast().error().message()));
    for (int n = 0; n < 8; ++n)
        QVERIFY(!mine.at(n).isFinished());
    // Another caller is still taken, and a huge photo is refused before any pixel.
    QDBusConnection other = QDBusConnection::connectToBus(address, QStringLiteral("bounds-other"));
    QDBusPendingCall theirs
        = other.asyncCall(invokeMessage(KivAction::cameraAction(), location(10)), 120000);
    QVariantMap huge;
    huge.insert(QStringLiteral("photoResolution"), QStringLiteral("8192x8192"));
    QDBusMessage hugeCall = invokeMessage(KivAction::cameraAction(), location(11));
    QVariantMap values = qdbus_cast<QVariantMap>(hugeCall.arguments().at(1));
    values.insert(QStringLiteral("photoResolution"), QStringLiteral("8192x8192"));
    hugeCall.setArguments({ KivAction::cameraAction(), values });
    const QDBusMessage hugeReply = other.call(hugeCall, QDBus::Block, Bound::quick);
    // Every FAILED says why, in words a host can show.
    QCOMPARE(qdbus_cast<Results>(hugeReply.arguments().value(0)),
        Results({ { QStringLiteral("actionReturn"), QStringLiteral("FAILED") },
            { QStringLiteral("failureReason"),
                QStringLiteral("cannot take a photo of 8192x8192: this camera takes photos of at "
                               "most 16777216 pixels; ask for MAX or a size it lists") } }));
    QVERIFY(waitForOutput(QStringLiteral("answering request 10 in"), 10000));
    QVERIFY(!theirs.isFinished());
    QVERIFY(!QFile::exists(location(11)));
    QDBusConnection::disconnectFromBus(QStringLiteral("bounds-other"));

    // Interactive: one window; the second request waits, and is cancelled alone.
    startCamera({ QStringLiteral("--interactive") });
    auto withId = [&](int n, quint64 id) {
        QDBusMessage call = invokeMessage(KivAction::cameraAction(), location(n));
        QVariantMap v = qdbus_cast<QVariantMap>(call.arguments().at(1));
        v.insert(KivAction::Key::launchId(), QVariant::fromValue(qulonglong(id)));
        call.setArguments({ KivAction::cameraAction(), v });
        return bus.asyncCall(call, 120000);
    };
    QDBusPendingCall first = withId(1, 41);
    QDBusPendingCall second = withId(2, 42);
    QVERIFY(waitForOutput(QStringLiteral("request 2: queued until the open window closes"), 20000));
    QVERIFY(m_camera.log().contains("request 1: window open"));
    QDBusMessage cancelSecond = QDBusMessage::createMethodCall(kName, KivAction::objectPath(),
        KivAction::interfaceName(), KivAction::cancelLaunchMethod());
    cancelSecond << KivAction::cameraAction() << QVariant::fromValue(qulonglong(42));
    QCOMPARE(bus.call(cancelSecond, QDBus::Block, Bound::quick).type(), QDBusMessage::ReplyMessage);
    WAIT_VERIFY(second.isFinished(), Bound::quick);
    QCOMPARE(QDBusPendingReply<Results>(second).value().value(QStringLiteral("actionReturn")),
        QStringLiteral("CANCELLED"));
    QVERIFY(!first.isFinished());
    sendCancel(bus, KivAction::cameraAction());
    WAIT_VERIFY(first.isFinished(), Bound::quick);
    QVERIFY(!m_camera.log().contains("request 2: window open"));
    // The next one gets the window; one queued behind it goes with its caller.
    QDBusPendingCall third = withId(3, 43);
    QVERIFY(waitForOutput(QStringLiteral("request 3: window open"), 20000));
    {
        QDBusConnection leaving = QDBusConnection::connectToBus(address, QStringLiteral("leaving"));
        leaving.asyncCall(invokeMessage(KivAction::cameraAction(), location(4)), 120000);
    }
    QVERIFY(waitForOutput(QStringLiteral("request 4: queued"), 10000));
    // The connection closes with its last handle.
    QDBusConnection::disconnectFromBus(QStringLiteral("leaving"));
    QVERIFY(waitForOutput(QStringLiteral("left the bus: dropped request 4"), 10000));
    sendCancel(bus, KivAction::cameraAction());
    WAIT_VERIFY(third.isFinished(), Bound::quick);
    QVERIFY(!m_camera.log().contains("request 4: window open"));
}

void ReferenceCameraTest::requestBounds_data()
{
    QTest::addColumn<int>("callers");
    QTest::addColumn<int>("each"); // requests per caller, sent at once
    QTest::addColumn<QString>("kind"); // P or V, as captureMessage() takes it
    QTest::addColumn<int>("taken");
    QTest::addColumn<QString>("bound"); // words of the Busy message

    const QString perCaller = QStringLiteral("at most 8 per caller");
    QTest::newRow("one caller, 12 photos") << 1 << 12 << QStringLiteral("P") << 8 << perCaller;
    // Recordings wait for the device one after another: all but one hold nothing yet.
    QTest::newRow("one caller, 12 recordings") << 1 << 12 << QStringLiteral("V") << 8 << perCaller;
    QTest::newRow("nine callers, 8 recordings each")
        << 9 << 8 << QStringLiteral("V") << 64 << QStringLiteral("at most 64 in all");
}

// In the default mode too a burst is bounded: running and waiting captures count alike, the
// rest are refused at once, and every request gets one answer.
void ReferenceCameraTest::requestBounds()
{
    QFETCH(int, callers);
    QFETCH(int, each);
    QFETCH(QString, kind);
    QFETCH(int, taken);
    QFETCH(QString, bound);

    const bool video = kind == QLatin1String("V");
    const QString suffix = video ? QStringLiteral("mp4") : QStringLiteral("jpg");
    startCamera({});
    const QString address = QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS"));
    QList<QDBusConnection> buses;
    const auto closeAll = qScopeGuard([callers] {
        for (int c = 0; c < callers; ++c)
            QDBusConnection::disconnectFromBus(QStringLiteral("bounds-%1").arg(c));
    });
    AnswerLog log;
    for (int c = 0; c < callers; ++c) {
        const QString name = QStringLiteral("bounds-%1").arg(c);
        buses << QDBusConnection::connectToBus(address, name);
        QVERIFY(buses.last().isConnected());
        // The last caller comes once all before it are in: their order is then known.
        if (c > 0 && c == callers - 1)
            QVERIFY(waitForOutput(QStringLiteral("request %1 from").arg(c * each), 20000));
        for (int n = 0; n < each; ++n)
            log.send(buses.last(),
                captureMessage(kind.at(0),
                    m_dir.filePath(QStringLiteral("burst-%1-%2.%3").arg(c).arg(n).arg(suffix)),
                    30000),
                20000);
    }
    const int refused = callers * each - taken;
    WAIT_COMPARE(log.count(KivAction::busyError()), refused, 15000);
    // Refused at once: before any taken request has its answer.
    for (int i = 0; i < refused; ++i)
        QVERIFY(log.order().at(i) >= taken);
    for (int n = taken; n < log.size(); ++n)
        QVERIFY2(log.errorMessage(n).contains(bound), qPrintable(log.errorMessage(n)));
    const QString wanted = video ? QStringLiteral("CANCELLED") : QStringLiteral("ACCEPTED");
    if (video) {
        QVERIFY(waitForOutput(QStringLiteral("waits its turn for the camera"), 10000));
        for (const QDBusConnection &bus : std::as_const(buses))
            sendCancel(bus, KivAction::cameraAction());
    }
    WAIT_VERIFY(log.allAnswered(), 20000);
    QCOMPARE(log.count(wanted), taken);
    // Cancelled recordings leave nothing; neither do refused requests.
    const QStringList files = QDir(m_dir.path()).entryList({ QStringLiteral("burst-*.") + suffix });
    QCOMPARE(files.size(), video ? 0 : taken);
}

void ReferenceCameraTest::photosAndRecordings_data()
{
    // What each host asks for, gapMs apart: P a photo, M one at MAX, V a one-second recording.
    QTest::addColumn<QStringList>("hosts");
    QTest::addColumn<int>("gapMs");

    const QStringList photosFirst { QStringLiteral("PPPPPPPV") };
    // Asked before the source has settled: the photos still wait for their pictures.
    QTest::newRow("7 photos then a recording, at once") << photosFirst << 0;
    QTest::newRow("7 photos then a recording, 50 ms apart") << photosFirst << 50;
    QTest::newRow("a recording then 3 photos, 50 ms apart")
        << QStringList { QStringLiteral("VPPP") } << 50;
    QTest::newRow("two hosts, 7 photos then a recording each, at once")
        << QStringList { QStringLiteral("PPPPPPPV"), QStringLiteral("PPPPPPPV") } << 0;
    // Another size needs another mode: it waits rather than restart the source under the
    // photo before it, which would then be scaled up from the smaller mode.
    QTest::newRow("a photo at MAX and one at 16x16, at once")
        << QStringList { QStringLiteral("MP") } << 0;
}

// A recording takes the device only once the photos asked before it have their pictures,
// and photos asked during a recording wait for its end: each gets its file.
void ReferenceCameraTest::photosAndRecordings()
{
    QFETCH(QStringList, hosts);
    QFETCH(int, gapMs);

    startCamera({});
    const QString address = QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS"));
    QList<QDBusConnection> buses;
    const auto closeAll = qScopeGuard([&hosts] {
        for (int h = 0; h < hosts.size(); ++h)
            QDBusConnection::disconnectFromBus(QStringLiteral("host-%1").arg(h));
    });
    AnswerLog log;
    QObject pacing; // destroyed before the log: no send outlives it
    QStringList paths;
    QStringList largest; // photos at MAX
    for (int h = 0; h < hosts.size(); ++h) {
        buses << QDBusConnection::connectToBus(address, QStringLiteral("host-%1").arg(h));
        const QString sequence = hosts.at(h);
        for (int n = 0; n < sequence.size(); ++n) {
            const QChar kind = sequence.at(n);
            const QString path = m_dir.filePath(
                QStringLiteral("shared-%1-%2.%3")
                    .arg(h)
                    .arg(n)
                    .arg(kind == QLatin1Char('V') ? QStringLiteral("mp4") : QStringLiteral("jpg")));
            QFile::remove(path);
            paths << path;
            if (kind == QLatin1Char('M'))
                largest << path;
            QDBusConnection bus = buses.last();
            QTimer::singleShot(gapMs * n, &pacing,
                [&log, bus, kind, path] { log.send(bus, captureMessage(kind, path), 25000); });
        }
    }
    WAIT_COMPARE(log.size(), paths.size(), 5000);
    WAIT_VERIFY(log.allAnswered(), 25000);
    QStringList written;
    for (int n = 0; n < log.size(); ++n) {
        const QString path = log.results(n).value(KivAction::Key::fileLocationReturn());
        QVERIFY2(log.answer(n) == QLatin1String("ACCEPTED"),
            qPrintable(QStringLiteral("%1: %2 %3").arg(n).arg(log.answer(n), log.errorMessage(n))));
        const QByteArray bytes = fileBytes(path);
        QVERIFY2(path.endsWith(QLatin1String(".mp4")) ? bytes.mid(4, 4) == "ftyp"
                                                      : bytes.startsWith("\xff\xd8"),
            qPrintable(path));
        written << path;
    }
    written.sort();
    paths.sort();
    QCOMPARE(written, paths);
    for (const QString &path : std::as_const(largest))
        QVERIFY(waitForOutput(
            QStringLiteral("wrote %1 (1920x1080 JPEG from test:smpte at 1920x1080").arg(path),
            5000));
}

void ReferenceCameraTest::optionsFile_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QStringList>("commandLine"); // started by hand when not empty
    QTest::addColumn<QString>("answer"); // actionReturn, or words of the error message
    QTest::addColumn<bool>("locationReturned");

    QTest::newRow("activated, rejects")
        << QByteArray("# the user says no\naction-return = REJECTED\n") << QStringList()
        << QStringLiteral("REJECTED") << true;
    QTest::newRow("activated, switch and delay")
        << QByteArray("no-file-location\n  --delay=10  \n") << QStringList()
        << QStringLiteral("ACCEPTED") << false;
    QTest::newRow("command line wins")
        << QByteArray("action-return = REJECTED\n")
        << QStringList { QStringLiteral("--action-return"), QStringLiteral("MAYBE") }
        << QStringLiteral("MAYBE") << true;
    QTest::newRow("activated, unknown option")
        << QByteArray("dealy = 100\n") << QStringList()
        << QStringLiteral("reference-camera.conf line 1: unknown option 'dealy'") << false;
    QTest::newRow("activated, bad value")
        << QByteArray("\ndelay = soon\n") << QStringList() << QStringLiteral("'delay' (") << false;
    QTest::newRow("activated, switch with a value")
        << QByteArray("interactive = yes\n") << QStringList()
        << QStringLiteral("line 1: 'interactive' is a switch") << false;
    QTest::newRow("activated, encoder not installed")
        << QByteArray("encoder = nosuchenc\n") << QStringList()
        << QStringLiteral("the H.264 encoder nosuchenc is not installed") << false;
    QTest::newRow("hand-started, orientation out of range")
        << QByteArray("orientation = 45\n") << QStringList { QStringLiteral("--no-file") }
        << QStringLiteral("wants 0, 90, 180 or 270, not '45'") << false;
    QTest::newRow("hand-started, unknown option")
        << QByteArray("exit-after-none\n") << QStringList { QStringLiteral("--no-file") }
        << QStringLiteral("unknown option 'exit-after-none'") << false;
}

void ReferenceCameraTest::optionsFile()
{
    QFETCH(QByteArray, config);
    QFETCH(QStringList, commandLine);
    QFETCH(QString, answer);
    QFETCH(bool, locationReturned);

    qDBusRegisterMetaType<Results>();
    const QString home = m_dir.filePath(QStringLiteral("config-home"));
    QVERIFY(QDir().mkpath(home));
    QFile file(home + QStringLiteral("/reference-camera.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(config);
    file.close();
    QVERIFY(updateActivationEnvironment(QStringLiteral("XDG_CONFIG_HOME"), home));
    if (commandLine.isEmpty())
        QVERIFY(stopCamera()); // the next request activates one
    else
        startCamera(commandLine, home);

    QDBusMessage call
        = invokeMessage(KivAction::cameraAction(), m_dir.filePath(QStringLiteral("options.png")));
    call.setAutoStartService(true);
    const QDBusMessage reply
        = QDBusConnection::sessionBus().call(call, QDBus::Block, kCaptureBound);
    // Leave later tests the defaults again.
    QVERIFY(QFile::remove(file.fileName()));
    const bool isError = !answer.startsWith(QLatin1Char('A'))
        && !answer.startsWith(QLatin1Char('R')) && answer != QLatin1String("MAYBE");
    if (isError) {
        QCOMPARE(reply.errorName(), KivAction::badCameraOptionsError());
        QVERIFY2(reply.errorMessage().contains(answer), qPrintable(reply.errorMessage()));
        QVERIFY2(reply.errorMessage().contains(file.fileName()), qPrintable(reply.errorMessage()));
        // It quits, so the fixed file is read by the next one.
        WAIT_VERIFY(!nameOwned(), Bound::quick);
        return;
    }
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    const Results results = qdbus_cast<Results>(reply.arguments().value(0));
    QCOMPARE(results.value(KivAction::Key::actionReturn()), answer);
    QCOMPARE(results.contains(KivAction::Key::fileLocationReturn()), locationReturned);
}

namespace {

Results invokeAndWait(const QDBusMessage &call, QString *error)
{
    const QDBusMessage reply
        = QDBusConnection::sessionBus().call(call, QDBus::Block, kCaptureBound);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        *error = reply.errorName() + QLatin1Char(' ') + reply.errorMessage();
        return Results();
    }
    return qdbus_cast<Results>(reply.arguments().value(0));
}

} // namespace

// Without a descriptor the camera writes only where its caller could have; its own files
// and folders are never a target, whatever path leads there.
void ReferenceCameraTest::pathOnlyTargets_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("why"); // in the camera's log; empty: accepted

    QTest::newRow("the options file") << QStringLiteral("options") << QStringLiteral("own folder");
    QTest::newRow("a file in the configuration folder")
        << QStringLiteral("config/other.conf") << QStringLiteral("own folder");
    QTest::newRow("below the configuration folder")
        << QStringLiteral("config/sub/x.png") << QStringLiteral("own folder");
    QTest::newRow("a hard link to the options file")
        << QStringLiteral("hardlink") << QStringLiteral("the camera's own file");
    QTest::newRow("through a symlinked folder")
        << QStringLiteral("link/x.png") << QStringLiteral("is a symbolic link");
    QTest::newRow("another user's folder")
        << QStringLiteral("foreign/x.png") << QStringLiteral("may not write in the folder");
    QTest::newRow("the caller's own folder") << QStringLiteral("mine/x.png") << QString();
}

void ReferenceCameraTest::pathOnlyTargets()
{
    QFETCH(QString, target);
    QFETCH(QString, why);

    qDBusRegisterMetaType<Results>();
    QTemporaryDir dir(m_dir.filePath(QStringLiteral("pathonly-XXXXXX")));
    QVERIFY(dir.isValid());
    const QString home = dir.filePath(QStringLiteral("config"));
    QVERIFY(QDir().mkpath(home + QStringLiteral("/sub")));
    const QString options = home + QStringLiteral("/reference-camera.conf");
    const QByteArray optionsText = "# kept as it is\n";
    QVERIFY(putFile(options, optionsText));
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("real"))));
    QVERIFY(
        QFile::link(dir.filePath(QStringLiteral("real")), dir.filePath(QStringLiteral("link"))));
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("mine"))));
    const QString foreign = dir.filePath(QStringLiteral("foreign"));
    QVERIFY(QDir().mkpath(foreign));
    // Root would pass any mode bits, but the camera goes by them: a folder of nobody's.
    if (::geteuid() == 0)
        QCOMPARE(::chown(QFile::encodeName(foreign).constData(), 65534, 65534), 0);
    // Anyone else: a folder of their own they may not write in.
    QCOMPARE(::chmod(QFile::encodeName(foreign).constData(), ::geteuid() == 0 ? 0755 : 0555), 0);
    const QString hardlink = dir.filePath(QStringLiteral("mine/hardlink.png"));
    QCOMPARE(
        ::link(QFile::encodeName(options).constData(), QFile::encodeName(hardlink).constData()), 0);

    const QString location = target == QLatin1String("options") ? options
        : target == QLatin1String("hardlink")                   ? hardlink
                                                                : dir.filePath(target);
    const QString written = target.startsWith(QLatin1String("link/"))
        ? dir.filePath(QStringLiteral("real/x.png"))
        : location;
    const QByteArray before = fileBytes(written);
    startCamera({}, home);

    QString error;
    const Results results
        = invokeAndWait(invokeMessage(KivAction::cameraAction(), location), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    if (why.isEmpty()) {
        QCOMPARE(results.value(KivAction::Key::actionReturn()), KivAction::Value::accepted());
        QVERIFY(fileBytes(written).startsWith("\x89PNG"));
        QVERIFY(!results.contains(KivAction::Key::fileDescriptorUsed()));
        return;
    }
    QCOMPARE(results.value(KivAction::Key::actionReturn()), KivAction::Value::failed());
    QCOMPARE(fileBytes(written), before);
    QCOMPARE(fileBytes(options), optionsText);
    WAIT_VERIFY2(
        m_camera.errors().contains(why.toUtf8()), m_camera.errors().constData(), Bound::camera);
    // Nothing was left behind by a refused capture.
    QCOMPARE(QDir(written.left(written.lastIndexOf(QLatin1Char('/'))))
                 .entryList(QStringList { QStringLiteral(".*.part") }, QDir::Files | QDir::Hidden),
        QStringList());
}

// A descriptor must be a regular file open for writing; the path beside it is never opened.
void ReferenceCameraTest::descriptorTargets_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("why"); // in the camera's log; empty: written
    QTest::addColumn<int>("rounds"); // captures against the same camera

    QTest::newRow("a file open for writing") << QStringLiteral("file") << QString() << 1;
    QTest::newRow("a file open for reading only")
        << QStringLiteral("read-only") << QStringLiteral("not open for writing") << 1;
    QTest::newRow("a FIFO") << QStringLiteral("fifo") << QStringLiteral("is a FIFO") << 1;
    QTest::newRow("a folder") << QStringLiteral("folder") << QStringLiteral("is a folder") << 1;
    // Appended writes cannot put a container's header back at the start: refused for all.
    QTest::newRow("a photo to a file opened with O_APPEND")
        << QStringLiteral("append") << QStringLiteral("opened with O_APPEND") << 1;
    // The file's fault, not the camera's: FAILED with the system's words, not CameraFailed.
    QTest::newRow("a recording to a memfd sealed against growth")
        << QStringLiteral("sealed-video") << QString::fromLocal8Bit(std::strerror(EPERM)) << 1;
    QTest::newRow("a recording to a file opened with O_APPEND")
        << QStringLiteral("append-video") << QStringLiteral("open it without O_APPEND") << 1;
    // Every capture must give back what it opened: descriptors, pipelines, threads.
    QTest::newRow("many captures keep no descriptors") << QStringLiteral("file") << QString() << 15;
}

void ReferenceCameraTest::descriptorTargets()
{
    QFETCH(QString, kind);
    QFETCH(QString, why);

    QFETCH(int, rounds);

    qDBusRegisterMetaType<Results>();
    QTemporaryDir dir(m_dir.filePath(QStringLiteral("descriptor-XXXXXX")));
    QVERIFY(dir.isValid());
    // The path the request names, and the file behind the descriptor: never the same.
    const QString named = dir.filePath(QStringLiteral("named.png"));
    const QString behind = dir.filePath(QStringLiteral("behind"));
    const QByteArray old = "old contents that are longer than nothing";
    int fd = -1;
    if (kind == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(behind).constData(), 0600), 0);
        fd = ::open(QFile::encodeName(behind).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    } else if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(behind));
        fd = ::open(QFile::encodeName(behind).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } else if (kind.startsWith(QLatin1String("sealed"))) {
        fd = ::memfd_create("sealed", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        QVERIFY(fd >= 0);
        QCOMPARE(::fcntl(fd, F_ADD_SEALS, F_SEAL_GROW), 0);
    } else {
        QVERIFY(putFile(behind, old));
        const int mode = kind == QLatin1String("file") ? O_WRONLY
            : kind.startsWith(QLatin1String("append")) ? O_WRONLY | O_APPEND
                                                       : O_RDONLY;
        fd = ::open(QFile::encodeName(behind).constData(), mode | O_CLOEXEC);
    }
    QVERIFY(fd >= 0);
    const QDBusUnixFileDescriptor descriptor(fd);
    ::close(fd);
    startCamera({});

    QVariantMap extra;
    extra.insert(KivAction::Key::fileDescriptor(), QVariant::fromValue(descriptor));
    if (kind.endsWith(QLatin1String("video")))
        extra.insert(KivAction::Key::cameraType(), QStringLiteral("VIDEO"));
    const QDir openFiles(QStringLiteral("/proc/%1/fd").arg(m_camera.process()->processId()));
    int openAfterThird = 0;
    QString error;
    Results results;
    for (int round = 1; round <= rounds; ++round) {
        results = invokeAndWait(invokeMessage(KivAction::cameraAction(), named, extra), &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        const int open = int(openFiles.entryList(QDir::AllEntries | QDir::System).size());
        if (round == 3)
            openAfterThird = open;
        else if (round == rounds && rounds > 3)
            QVERIFY2(open <= openAfterThird + 4,
                qPrintable(QStringLiteral("%1 descriptors open after %2 captures, %3 after 3")
                               .arg(open)
                               .arg(rounds)
                               .arg(openAfterThird)));
    }
    QVERIFY(!QFile::exists(named));
    if (why.isEmpty()) {
        QCOMPARE(results.value(KivAction::Key::actionReturn()), KivAction::Value::accepted());
        QCOMPARE(results.value(KivAction::Key::fileDescriptorUsed()), KivAction::Value::yes());
        QCOMPARE(results.value(KivAction::Key::fileLocationReturn()), named);
        const QByteArray png = fileBytes(behind);
        QCOMPARE(pngSize(png), QSize(16, 16)); // truncated first: nothing of the old bytes
        QVERIFY(waitForOutput(QStringLiteral("through the caller's file descriptor")));
        return;
    }
    QCOMPARE(results.value(KivAction::Key::actionReturn()), KivAction::Value::failed());
    QVERIFY(!results.contains(KivAction::Key::fileDescriptorUsed()));
    QVERIFY2(results.value(KivAction::Key::failureReason()).contains(why),
        qPrintable(results.value(KivAction::Key::failureReason())));
    if (kind == QLatin1String("read-only") || kind.startsWith(QLatin1String("append")))
        QCOMPARE(fileBytes(behind), old);
    WAIT_VERIFY2(
        m_camera.errors().contains(why.toUtf8()), m_camera.errors().constData(), Bound::camera);
}

void ReferenceCameraTest::cleanupTestCase()
{
    stopCamera();
}

QTEST_GUILESS_MAIN(ReferenceCameraTest)
#include "referencecameratest.moc"
