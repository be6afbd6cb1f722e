// SPDX-License-Identifier: MIT
// Asking the camera what it can do: the reference camera's answer, older cameras, every way
// the query fails, the JSON the C entry point makes of it, and CameraCapture's refresh.
#include "testsupport.h"

#include <CameraCapture.h>
#include <CameraUIServiceCWrapper.h>
#include <kivaction_names_p.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopedPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

namespace {

const QString kName = KivAction::cameraBusName();

QJsonValue json(const char *text)
{
    return QJsonDocument::fromJson(QByteArray("[") + text + "]").array().at(0);
}

// The D-Bus type of a value as QtDBus demarshals it from a variant.
QString signatureOf(const QVariant &value)
{
    if (value.userType() == qMetaTypeId<QDBusArgument>())
        return value.value<QDBusArgument>().currentSignature();
    switch (value.userType()) {
    case QMetaType::UInt:
        return QStringLiteral("u");
    case QMetaType::Int:
        return QStringLiteral("i");
    case QMetaType::LongLong:
        return QStringLiteral("x");
    case QMetaType::Bool:
        return QStringLiteral("b");
    case QMetaType::QString:
        return QStringLiteral("s");
    case QMetaType::QStringList:
        return QStringLiteral("as");
    default:
        return QString::fromLatin1(value.typeName());
    }
}

// Each key of a raw a{sv} answer with the type of its value.
QMap<QString, QString> wireSignatures(const QDBusMessage &reply)
{
    QMap<QString, QString> signatures;
    const QDBusArgument map = reply.arguments().value(0).value<QDBusArgument>();
    map.beginMap();
    while (!map.atEnd()) {
        QString key;
        QDBusVariant value;
        map.beginMapEntry();
        map >> key >> value;
        map.endMapEntry();
        signatures.insert(key, signatureOf(value.variant()));
    }
    map.endMap();
    return signatures;
}

QDBusMessage capabilitiesCall(const QString &action)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kName, KivAction::objectPath(),
        KivAction::interfaceName(), KivAction::getCapabilitiesMethod());
    call << action;
    call.setAutoStartService(false);
    return call;
}

// What a peer does with the query.
enum Behaviour
{
    OlderCamera,
    NoCamera,
    TimeLimit,
    ForgedReply,
    ForgedError,
    ErrorAnswer,
    WrongSignature,
    CameraLeaves,
    Answers,
};

// Sets a peer up for a behaviour (none for NoCamera).
void arrange(TestPeer *peer, Behaviour behaviour)
{
    peer->servesCapabilities = behaviour != OlderCamera;
    peer->capabilities.insert(KivAction::Key::source(), QStringLiteral("test"));
    peer->capabilities.insert(KivAction::Key::photoResolutions(),
        QStringList { QStringLiteral("MAX"), QStringLiteral("64x48") });
    switch (behaviour) {
    case TimeLimit:
    case CameraLeaves:
        peer->mode = TestPeer::Hold;
        break;
    case ForgedReply:
        peer->mode = TestPeer::Forged;
        break;
    case ForgedError:
        peer->mode = TestPeer::ForgedError;
        break;
    case ErrorAnswer:
        peer->mode = TestPeer::ErrorReply;
        break;
    case WrongSignature:
        peer->mode = TestPeer::WrongSignature;
        break;
    default:
        peer->mode = TestPeer::Reply;
    }
    if (behaviour == CameraLeaves) {
        // On the peer's thread, while the host's call is out.
        QObject::connect(
            peer, &TestPeer::requestReceived, peer, [peer] { peer->disconnectNow(); },
            Qt::DirectConnection);
    }
}

} // namespace

class CapabilitiesTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    void referenceAnswer_data();
    void referenceAnswer();
    void referenceCameraOnlyAnswers();
    void brokenCameraOptions();
    void noCameraDevice();
    void failures_data();
    void failures();
    void jsonStaysValid_data();
    void jsonStaysValid();
    void captureRefresh_data();
    void captureRefresh();
    void cameraCaptureCli_data();
    void cameraCaptureCli();
    void noBus();

private:
    void startCamera(const QStringList &options = {});

    CameraProcess m_camera;
    QStringList m_cameraOptions;
    QTemporaryDir m_dir;
};

void CapabilitiesTest::cleanup()
{
    if (QTest::currentTestFailed())
        QVERIFY(m_camera.stop());
}

void CapabilitiesTest::startCamera(const QStringList &options)
{
    // The plain camera stays up from one row to the next.
    if (m_camera.isRunning() && options.isEmpty() && m_cameraOptions.isEmpty())
        return;
    m_cameraOptions = options;
    QVERIFY(m_camera.start(m_dir.path(), options));
}

// One row per key: its wire type and its value in the C entry point's JSON.
void CapabilitiesTest::referenceAnswer_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("signature");
    QTest::addColumn<QJsonValue>("value");

    QTest::newRow("interfaceVersion") << KivAction::Key::interfaceVersion() << "u" << json("1");
    QTest::newRow("cameraTypes") << KivAction::Key::cameraTypes() << "as"
                                 << json(R"(["PHOTO", "VIDEO"])");
    QTest::newRow("photoResolutions") << KivAction::Key::photoResolutions() << "as"
                                      << json(R"(["MAX", "1920x1080", "1280x720", "640x480"])");
    QTest::newRow("videoQualities")
        << KivAction::Key::videoQualities() << "as" << json(R"(["HIGHEST", "MEDIUM", "LOWEST"])");
    QTest::newRow("videoFormats")
        << KivAction::Key::videoFormats() << "a{sa{sv}}"
        << json(R"({"HIGHEST": {"width": 1920, "height": 1080, "fps": 30, "bitRate": 5000000,
                                "mime": "video/mp4"},
                    "MEDIUM": {"width": 1280, "height": 720, "fps": 30, "bitRate": 2500000,
                               "mime": "video/mp4"},
                    "LOWEST": {"width": 640, "height": 480, "fps": 15, "bitRate": 600000,
                               "mime": "video/mp4"}})");
    QTest::newRow("photoMime") << KivAction::Key::photoMime() << "s" << json(R"("image/jpeg")");
    // 16384 reserved for the MP4 trailer, 64 for one frame's index, a raw 640x480 I420 frame.
    QTest::newRow("minVideoSizeLimit")
        << KivAction::Key::minVideoSizeLimit() << "x" << json("477293");
    // The longest recording a videoDurationLimit may ask for: one hour.
    QTest::newRow("maxVideoDuration")
        << KivAction::Key::maxVideoDuration() << "x" << json("3600000");
    QTest::newRow("fileDescriptor") << KivAction::Key::fileDescriptor() << "b" << json("true");
    QTest::newRow("source") << KivAction::Key::source() << "s" << json(R"("test")");
}

void CapabilitiesTest::referenceAnswer()
{
    QFETCH(QString, key);
    QFETCH(QString, signature);
    QFETCH(QJsonValue, value);
    startCamera();

    CameraUIService *service = CreateCameraUIService(0, 0);
    const char *text = GetCameraCapabilities(service);
    QVERIFY2(text, GetCameraErrorMessage(service));
    QJsonParseError error;
    const QJsonObject answer = QJsonDocument::fromJson(text, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(answer.size(), 10);
    QCOMPARE(answer.value(key), value);
    QCOMPARE(GetCameraOutcome(service), int(CameraOutcomeNone));
    // The C++ form holds the same.
    QCOMPARE(QJsonObject::fromVariantMap(service->capabilities()), answer);
    DestroyCameraDlg(service);

    const QDBusMessage reply = QDBusConnection::sessionBus().call(
        capabilitiesCall(KivAction::cameraAction()), QDBus::Block, Bound::camera);
    QCOMPARE(reply.signature(), QStringLiteral("a{sv}"));
    QCOMPARE(wireSignatures(reply).value(key), signature);
}

// A query is only answered: no window (even in interactive mode), no capture, no file.
void CapabilitiesTest::referenceCameraOnlyAnswers()
{
    startCamera({ QStringLiteral("--interactive") });
    CameraUIService *service = CreateCameraUIService(2, 0);
    QVERIFY(GetCameraCapabilities(service));
    QVERIFY(!service->capabilities().isEmpty());
    DestroyCameraDlg(service);
    CameraCapture capture;
    QSignalSpy changed(&capture, &CameraCapture::capabilitiesChanged);
    capture.refreshCapabilities();
    WAIT_COMPARE(changed.count(), 1, Bound::camera);

    // Another action is refused as Invoke refuses it.
    const QDBusMessage wrong = QDBusConnection::sessionBus().call(
        capabilitiesCall(QStringLiteral("Gallery")), QDBus::Block, Bound::camera);
    QCOMPARE(wrong.errorName(), KivAction::unknownActionError());

    WAIT_COMPARE(m_camera.log().count("capabilities for "), 3, Bound::camera);
    const QByteArray log = m_camera.log();
    QVERIFY2(!log.contains("window open"), log.constData());
    QVERIFY2(!log.contains("request "), log.constData());
    QVERIFY2(!log.contains("wrote "), log.constData());
    QVERIFY(QDir(m_dir.path()).entryList(QDir::Files).isEmpty());
    QVERIFY(m_camera.isRunning());
    QVERIFY(m_camera.stop());
}

// No camera device: the query gets the error a capture would, and no answer.
void CapabilitiesTest::noCameraDevice()
{
    startCamera({ QStringLiteral("--source"), QStringLiteral("auto") });
    CameraUIService *service = CreateCameraUIService(1, 0);
    SetCameraTimeout(service, Bound::camera);
    QVERIFY(!GetCameraCapabilities(service));
    QCOMPARE(GetCameraOutcome(service), int(CameraOutcomeCameraFailed));
    const QByteArray error = GetCameraErrorMessage(service);
    QVERIFY2(error.startsWith(KivAction::noCameraDeviceError().toUtf8()), error.constData());
    DestroyCameraDlg(service);
    QVERIFY(m_camera.stop());
}

// A camera that could not capture cannot tell what it can do either: it answers the same
// error as a launch would get.
void CapabilitiesTest::brokenCameraOptions()
{
    QTemporaryDir configHome;
    QFile config(configHome.filePath(QStringLiteral("reference-camera.conf")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("flash = always\n");
    config.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome.path());
    m_cameraOptions = QStringList { QStringLiteral("(broken options)") };
    QVERIFY(m_camera.start(m_dir.path(), {}, environment));

    CameraUIService *service = CreateCameraUIService(1, 0);
    SetCameraTimeout(service, Bound::camera);
    QVERIFY(!GetCameraCapabilities(service));
    QCOMPARE(GetCameraOutcome(service), int(CameraOutcomeCameraFailed));
    const QByteArray error = GetCameraErrorMessage(service);
    QVERIFY2(error.startsWith(KivAction::badCameraOptionsError().toUtf8()), error.constData());
    DestroyCameraDlg(service);
    QVERIFY(m_camera.stop());
}

void CapabilitiesTest::failures_data()
{
    QTest::addColumn<int>("behaviour");
    QTest::addColumn<QByteArray>("text"); // null: GetCameraCapabilities returns NULL
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("message");

    QTest::newRow("older camera") << int(OlderCamera) << QByteArray("{}") << int(CameraOutcomeNone)
                                  << QString();
    QTest::newRow("no camera") << int(NoCamera) << QByteArray() << int(CameraOutcomeNoCamera)
                               << QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown");
    QTest::newRow("time limit") << int(TimeLimit) << QByteArray() << int(CameraOutcomeTimedOut)
                                << QStringLiteral("no answer from");
    QTest::newRow("forged reply") << int(ForgedReply) << QByteArray() << int(CameraOutcomeForged)
                                  << QStringLiteral("does not own");
    QTest::newRow("forged error") << int(ForgedError) << QByteArray() << int(CameraOutcomeForged)
                                  << QStringLiteral("error org.kiv.Action.Error.Forged from");
    QTest::newRow("camera error") << int(ErrorAnswer) << QByteArray()
                                  << int(CameraOutcomeCameraFailed)
                                  << QStringLiteral("org.kiv.Action.Error.Busy");
    QTest::newRow("wrong signature")
        << int(WrongSignature) << QByteArray() << int(CameraOutcomeCameraFailed)
        << QStringLiteral("expected \"a{sv}\"");
    QTest::newRow("camera leaves")
        << int(CameraLeaves) << QByteArray() << int(CameraOutcomeCameraFailed)
        << QStringLiteral("org.freedesktop.DBus.Error.NoReply");
}

// The blocking C entry point; the peer answers from its own thread.
void CapabilitiesTest::failures()
{
    QFETCH(int, behaviour);
    QFETCH(QByteArray, text);
    QFETCH(int, outcome);
    QFETCH(QString, message);

    QScopedPointer<ThreadedPeer> peer;
    if (behaviour != NoCamera) {
        peer.reset(new ThreadedPeer);
        QVERIFY(peer->peer()->isRegistered());
        arrange(peer->peer(), Behaviour(behaviour));
    }
    CameraUIService *service = CreateCameraUIService(1, 0);
    // Long enough for a loaded machine; only the time-limit row waits it out.
    SetCameraTimeout(service, behaviour == TimeLimit ? 1500 : Bound::camera);
    // No event of the host's is delivered while the query waits: no nested event loop.
    bool delivered = false;
    QTimer due;
    due.setSingleShot(true);
    connect(&due, &QTimer::timeout, this, [&delivered] { delivered = true; });
    due.start(0);
    const char *answer = GetCameraCapabilities(service);
    QVERIFY(!delivered);
    QCOMPARE(QByteArray(answer), text);
    QCOMPARE(answer == nullptr, text.isNull());
    QCOMPARE(GetCameraOutcome(service), outcome);
    const QString error = QString::fromUtf8(GetCameraErrorMessage(service));
    QVERIFY2(message.isEmpty() ? error.isEmpty() : error.contains(message), qPrintable(error));
    if (peer) {
        // One query, never a launch.
        QCOMPARE(peer->peer()->requests.size(), 1);
        QCOMPARE(peer->peer()->requests.constFirst().member(), KivAction::getCapabilitiesMethod());
        QCOMPARE(peer->peer()->requests.constFirst().arguments().value(0).toString(),
            KivAction::cameraAction());
    }
    // The C++ form: an empty map either way, with the same outcome (a camera that left is
    // no camera at all the second time).
    QVERIFY(service->capabilities().isEmpty());
    QCOMPARE(GetCameraOutcome(service),
        behaviour == CameraLeaves ? int(CameraOutcomeNoCamera) : outcome);
    DestroyCameraDlg(service);
}

void CapabilitiesTest::jsonStaysValid_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("value");

    const QString control = QStringLiteral("a\x01"
                                           "b\x1f"
                                           "c\n\r\t\x7f"
                                           "d")
        + QChar(0x85);
    QTest::newRow("quotes and backslashes")
        << QStringLiteral("photoMime") << QVariant(QStringLiteral("say \"hi\" \\ C:\\\\x \\u0041"));
    QTest::newRow("control characters") << QStringLiteral("source") << QVariant(control);
    QTest::newRow("non-ASCII") << QStringLiteral("source")
                               << QVariant(QStringLiteral("Kamera \u00e9\u00fc \u65e5\u672c ")
                                      + QString::fromUtf8("\xf0\x9f\x93\xb7"));
    QTest::newRow("nasty key") << QStringLiteral("k\"\\\x02\u00e9\n}") << QVariant(true);
    QTest::newRow("in a list") << KivAction::Key::photoResolutions()
                               << QVariant(QStringList {
                                      QStringLiteral("\"]"), control, QStringLiteral("\u00fc\\") });
    QVariantMap nested;
    nested.insert(QStringLiteral("\x1b[31m\"}"), QStringLiteral("\\\"\u2028"));
    QTest::newRow("in a nested map") << KivAction::Key::videoFormats() << QVariant(nested);
    QVariantMap numbers;
    numbers.insert(QStringLiteral("fps"), 29.97);
    numbers.insert(QStringLiteral("negative"), qlonglong(-5));
    numbers.insert(QStringLiteral("unsigned"), 4000000000u);
    numbers.insert(QStringLiteral("large"), qlonglong(1) << 40);
    numbers.insert(QStringLiteral("off"), false);
    numbers.insert(QStringLiteral("empty"), QStringList());
    QTest::newRow("numbers and empty lists") << QStringLiteral("numbers") << QVariant(numbers);
}

void CapabilitiesTest::jsonStaysValid()
{
    QFETCH(QString, key);
    QFETCH(QVariant, value);

    ThreadedPeer peer;
    QVERIFY(peer->isRegistered());
    peer->servesCapabilities = true;
    peer->capabilities.insert(key, value);
    peer->capabilities.insert(KivAction::Key::interfaceVersion(), 1u);

    CameraUIService *service = CreateCameraUIService(1, 0);
    SetCameraTimeout(service, Bound::camera);
    const QByteArray text = GetCameraCapabilities(service);
    QVERIFY2(!text.isNull(), GetCameraErrorMessage(service));
    // Valid UTF-8, every control character escaped, and the same values back.
    QCOMPARE(QString::fromUtf8(text).toUtf8(), text);
    for (const char c : text)
        QVERIFY2(static_cast<unsigned char>(c) >= 0x20, text.constData());
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(document.object(), QJsonObject::fromVariantMap(peer->capabilities));
    DestroyCameraDlg(service);
}

void CapabilitiesTest::captureRefresh_data()
{
    QTest::addColumn<int>("behaviour");
    QTest::addColumn<int>("outcome");

    QTest::newRow("answers") << int(Answers) << int(CameraCapture::NoOutcome);
    QTest::newRow("no camera") << int(NoCamera) << int(CameraCapture::NoCamera);
    QTest::newRow("time limit") << int(TimeLimit) << int(CameraCapture::TimedOut);
    QTest::newRow("forged reply") << int(ForgedReply) << int(CameraCapture::Forged);
    QTest::newRow("camera error") << int(ErrorAnswer) << int(CameraCapture::CameraFailed);
}

// The asynchronous form never blocks: this peer shares the test's thread, so it can only
// answer while refreshCapabilities() has returned and the event loop runs.
void CapabilitiesTest::captureRefresh()
{
    QFETCH(int, behaviour);
    QFETCH(int, outcome);

    QScopedPointer<TestPeer> peer;
    if (behaviour != NoCamera) {
        peer.reset(new TestPeer);
        QVERIFY(peer->isRegistered());
        arrange(peer.data(), Behaviour(behaviour));
    }
    CameraCapture capture;
    capture.setTimeout(behaviour == TimeLimit ? 1500 : Bound::camera);
    QSignalSpy changed(&capture, &CameraCapture::capabilitiesChanged);
    QSignalSpy outcomeChanged(&capture, &CameraCapture::outcomeChanged);
    capture.refreshCapabilities();
    QCOMPARE(changed.count(), 0);
    if (behaviour == Answers) {
        WAIT_COMPARE(changed.count(), 1, Bound::camera);
        QCOMPARE(capture.capabilities(), peer->capabilities);
        // The same answer again is no change.
        capture.refreshCapabilities();
        WAIT_COMPARE(peer->requests.size(), 2, Bound::camera);
        QCOMPARE(changed.count(), 1);
    } else {
        WAIT_COMPARE(outcomeChanged.count(), 1, Bound::camera);
        QVERIFY(capture.capabilities().isEmpty());
        QVERIFY(!capture.errorMessage().isEmpty());
    }
    QCOMPARE(int(capture.outcome()), outcome);
}

void CapabilitiesTest::cameraCaptureCli_data()
{
    QTest::addColumn<bool>("camera");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("lastLine"); // a regular expression

    QTest::newRow("readable") << true << QStringList { QStringLiteral("--capabilities") } << 0
                              << QStringLiteral("^  videoQualities: HIGHEST, MEDIUM, LOWEST$");
    QTest::newRow("json") << true
                          << QStringList { QStringLiteral("--capabilities"),
                                 QStringLiteral("--json") }
                          << 0
                          << QStringLiteral("^\\{\"cameraTypes\":\\[\"PHOTO\",\"VIDEO\"\\],.*\\}$");
    QTest::newRow("no camera") << false << QStringList { QStringLiteral("--capabilities") } << 1
                               << QStringLiteral("^camera-capture: cannot ask the camera: no "
                                                 "camera application serves CameraUIService");
    QTest::newRow("json alone") << true << QStringList { QStringLiteral("--json") } << 2
                                << QString();
    QTest::newRow("with a capture") << true
                                    << QStringList { QStringLiteral("--capabilities"),
                                           QStringLiteral("--out"), QStringLiteral("x") }
                                    << 2 << QString();
}

void CapabilitiesTest::cameraCaptureCli()
{
    QFETCH(bool, camera);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, lastLine);
    if (camera)
        startCamera();
    else
        QVERIFY(m_camera.stop());

    QProcess cli;
    cli.start(QStringLiteral(CAMERA_BIN_DIR "/camera-capture"), arguments);
    QVERIFY(cli.waitForFinished(Bound::camera));
    QCOMPARE(cli.exitCode(), exitCode);
    const QString out = QString::fromUtf8(cli.readAllStandardOutput()).trimmed();
    if (exitCode == 2) {
        QVERIFY(out.isEmpty());
        QVERIFY(cli.readAllStandardError().contains("Usage: camera-capture"));
        return;
    }
    const QString last = out.split(QLatin1Char('\n')).constLast();
    QVERIFY2(QRegularExpression(lastLine).match(last).hasMatch(), qPrintable(out));
    if (arguments.contains(QStringLiteral("--json"))) {
        QJsonParseError error;
        const QJsonObject printed = QJsonDocument::fromJson(last.toUtf8(), &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(printed.value(KivAction::Key::minVideoSizeLimit()).toInt(), 477293);
    }
}

void CapabilitiesTest::noBus()
{
    if (QDBusConnection::sessionBus().isConnected())
        QSKIP("a session bus is reachable; capabilitiestest-nobus runs this row");
    CameraUIService *service = CreateCameraUIService(1, 0);
    QVERIFY(!GetCameraCapabilities(service));
    QCOMPARE(GetCameraOutcome(service), int(CameraOutcomeNoBus));
    QVERIFY(QByteArray(GetCameraErrorMessage(service)).contains("no session bus"));
    DestroyCameraDlg(service);

    CameraCapture capture;
    QSignalSpy outcomeChanged(&capture, &CameraCapture::outcomeChanged);
    capture.refreshCapabilities();
    WAIT_COMPARE(outcomeChanged.count(), 1, Bound::camera);
    QCOMPARE(capture.outcome(), CameraCapture::NoBus);
}

QTEST_GUILESS_MAIN(CapabilitiesTest)
#include "capabilitiestest.moc"
