// End to end: the library and camera-capture against the reference camera, a separate
// process, started by bus activation or by hand in one of its modes.

#include "testsupport.h"

#include <AM_ActionData.h>
#include <CameraUIService.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

const QString kName = QStringLiteral("org.kiv.Action.CameraUIService");

QString binary(const char *name)
{
    return QStringLiteral(CAMERA_BIN_DIR "/") + QLatin1String(name);
}

bool nameOwned()
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(kName);
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
    return QTest::qWaitFor([&] { return !bus->isServiceRegistered(kName); }, 30000);
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

using Results = QMap<QString, QString>;

QDBusMessage invokeMessage(const QString &action, const QString &location)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kName, QStringLiteral("/org/kiv/Action"),
        QStringLiteral("org.kiv.Action"), QStringLiteral("Invoke"));
    QVariantMap values;
    values.insert(QStringLiteral("cameraType"), QStringLiteral("PHOTO"));
    values.insert(QStringLiteral("photoResolution"), QStringLiteral("16x16"));
    values.insert(QStringLiteral("fileLocation"), location);
    call << action << values;
    call.setAutoStartService(false);
    return call;
}

// As the library sends it: no reply wanted, never starts a camera.
void sendCancel(QDBusConnection bus, const QString &action)
{
    QDBusMessage cancel = QDBusMessage::createMethodCall(kName, QStringLiteral("/org/kiv/Action"),
        QStringLiteral("org.kiv.Action"), QStringLiteral("Cancel"));
    cancel << action;
    cancel.setAutoStartService(false);
    QVERIFY(bus.send(cancel));
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
    void cleanupTestCase();

private:
    void startCamera(const QStringList &options);
    bool waitForOutput(const QString &text);
    QByteArray m_output;
    QTemporaryDir m_dir;
    QScopedPointer<QProcess> m_camera;
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
    QTest::addColumn<bool>("askLocation");
    QTest::addColumn<QByteArray>("expectedStart");
    QTest::addColumn<QSize>("pngSize");

    QTest::newRow("photo MAX") << 1 << QStringLiteral("MAX") << QStringLiteral("HIGHEST") << 0
                               << false << QByteArray("\x89PNG") << QSize(1600, 1200);
    QTest::newRow("photo 640x480 at a location")
        << 1 << QStringLiteral("640x480") << QStringLiteral("HIGHEST") << 0 << true
        << QByteArray("\x89PNG") << QSize(640, 480);
    QTest::newRow("all is a photo") << 0 << QStringLiteral("320x200") << QStringLiteral("LOWEST")
                                    << 0 << false << QByteArray("\x89PNG") << QSize(320, 200);
    QTest::newRow("video HIGHEST") << 2 << QStringLiteral("MAX") << QStringLiteral("HIGHEST") << 0
                                   << false << QByteArray("YUV4MPEG2 W320 H240 F30:1") << QSize();
    QTest::newRow("video MEDIUM, limited")
        << 2 << QStringLiteral("MAX") << QStringLiteral("MEDIUM") << 200000 << true
        << QByteArray("YUV4MPEG2 W176 H144 F15:1") << QSize();
}

void ReferenceCameraTest::activatedCapture()
{
    QFETCH(int, cameraType);
    QFETCH(QString, resolution);
    QFETCH(QString, quality);
    QFETCH(int, sizeLimit);
    QFETCH(bool, askLocation);
    QFETCH(QByteArray, expectedStart);
    QFETCH(QSize, pngSize);

    CameraUIService service(cameraType, sizeLimit);
    const QString asked = m_dir.filePath(
        QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('_')));
    if (askLocation)
        service.setFileLocation(asked);
    service.setPhotoResolution(resolution);
    service.setVideoQuality(quality);
    QCOMPARE(service.exec(), 1);

    const QString location = service.fileLocation();
    if (askLocation)
        QCOMPARE(location, asked);
    QFile file(location);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(location));
    const QByteArray bytes = file.readAll();
    QVERIFY(bytes.startsWith(expectedStart));
    if (pngSize.isValid())
        QCOMPARE(::pngSize(bytes), pngSize);
    if (sizeLimit > 0)
        QVERIFY(bytes.size() <= sizeLimit);
    if (!pngSize.isValid()) {
        // Whole frames only: a one-second clip, or fewer frames under the limit.
        const int fps = quality == QLatin1String("HIGHEST") ? 30 : 15;
        const int frames = int(bytes.count("FRAME\n"));
        QVERIFY(frames > 0);
        QVERIFY(frames <= fps);
        if (sizeLimit == 0)
            QCOMPARE(frames, fps);
    }
}

void ReferenceCameraTest::noActivationWhenNotAllowed()
{
    QVERIFY(stopCamera());
    AM_ActionData request;
    request.setAction(QStringLiteral("CameraUIService"));
    request.setValue(QStringLiteral("cameraType"), QStringLiteral("PHOTO"));
    QSignalSpy aborted(&request, &AM_ActionData::signalActionAborted);
    QSignalSpy results(&request, &AM_ActionData::signalResultsAvailable);
    request.invoke(false);
    QTRY_COMPARE_WITH_TIMEOUT(aborted.count() + results.count(), 1, 30000);
    QCOMPARE(aborted.count(), 1);
    QVERIFY(!nameOwned());

    request.setValue(QStringLiteral("cameraType"), QStringLiteral("PHOTO"));
    request.setValue(QStringLiteral("photoResolution"), QStringLiteral("16x16"));
    request.invoke(true);
    QTRY_COMPARE_WITH_TIMEOUT(aborted.count() + results.count(), 2, 60000);
    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).value<AM_ActionResults>().value(QStringLiteral("actionReturn")),
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
        QStringLiteral("org.kiv.Action.Error.Busy") }
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
    m_camera.reset(new QProcess);
    m_camera->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_camera->start(binary("reference-camera"),
        QStringList { QStringLiteral("--output-dir"), m_dir.path() } + options);
    QVERIFY(m_camera->waitForStarted(30000));
    QTRY_VERIFY_WITH_TIMEOUT(nameOwned(), 30000);

    CameraUIService service(1, 0);
    service.setPhotoResolution(QStringLiteral("32x32"));
    QCOMPARE(service.exec(), firstLaunch);
    QCOMPARE(!service.fileLocation().isEmpty(), locationReturned);
    if (locationReturned)
        QVERIFY(QFile::exists(service.fileLocation()));

    // Whatever this camera did, the next launch gets a fresh, activated one.
    QVERIFY(stopCamera());
    m_camera->waitForFinished(30000);
    service.setFileLocation(QString());
    QCOMPARE(service.exec(), 1);
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
}

void ReferenceCameraTest::cameraCaptureCli()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, lastLine);

    QProcess cli;
    cli.start(binary("camera-capture"), arguments);
    QVERIFY(cli.waitForFinished(60000));
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

void ReferenceCameraTest::startCamera(const QStringList &options)
{
    QVERIFY(stopCamera());
    m_output.clear();
    m_camera.reset(new QProcess);
    m_camera->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_camera->start(binary("reference-camera"),
        QStringList { QStringLiteral("--output-dir"), m_dir.path() } + options);
    QVERIFY(m_camera->waitForStarted(30000));
    QTRY_VERIFY_WITH_TIMEOUT(nameOwned(), 30000);
}

// Waits for the camera to print text (anywhere in what it printed so far).
bool ReferenceCameraTest::waitForOutput(const QString &text)
{
    const QByteArray wanted = text.toUtf8();
    return QTest::qWaitFor(
        [&] {
            m_output += m_camera->readAllStandardOutput();
            return m_output.contains(wanted);
        },
        60000);
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
        library->setValue(QStringLiteral("cameraType"), QStringLiteral("PHOTO"));
        library->setValue(QStringLiteral("photoResolution"), QStringLiteral("16x16"));
        library->setValue(QStringLiteral("fileLocation"), location);
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
    QTRY_VERIFY_WITH_TIMEOUT(second.isFinished(), 60000);
    QVERIFY2(!second.isError(), qPrintable(second.error().message()));
    QCOMPARE(QFile::exists(location), fileWritten);
    if (!answer.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(first.isFinished(), 60000);
        const QDBusPendingReply<Results> reply = first;
        QVERIFY2(reply.isValid(), qPrintable(reply.error().message()));
        QCOMPARE(reply.value().value(QStringLiteral("actionReturn")), answer);
        QCOMPARE(reply.value().contains(QStringLiteral("fileLocationReturn")), fileWritten);
    }
    QDBusConnection::disconnectFromBus(callerName);
}

void ReferenceCameraTest::cleanupTestCase()
{
    stopCamera();
}

QTEST_GUILESS_MAIN(ReferenceCameraTest)
#include "referencecameratest.moc"
