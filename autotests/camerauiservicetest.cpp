// SPDX-License-Identifier: MIT
// The service against a camera played in-process on its own bus connection.

#include "kivaction_names_p.h"
#include "testsupport.h"

#include <AM_ActionResults.h>
#include <CameraUIService.h>
#include <CameraUIServiceCWrapper.h>

#include <QDBusConnection>
#include <QEventLoop>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace {

using Results = QMap<QString, QString>;

QString describe(const QList<WireValue> &values)
{
    QStringList parts;
    for (const WireValue &v : values) {
        // A launch's identity differs from run to run; that it is there, last, is checked.
        const bool id = v.key == QLatin1String("launchId") && v.value.toULongLong() > 0;
        parts << QStringLiteral("%1(%2)=%3")
                     .arg(v.key, v.signature, id ? QStringLiteral("#") : v.value.toString());
    }
    return parts.join(QLatin1Char(' '));
}

} // namespace

class CameraUIServiceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void metaObject();
    void request_data();
    void request();
    void returnedLocationTravelsNext();
    void results_data();
    void results();
    void rejectedStandsWithoutActionReturn();
    void faults_data();
    void faults();
    void reentrantExecSendsNothing();
    void strayAnswerLeavesHostLoopAlone();
    void traceOfWholeLaunch();
    void traceOfConstructionAndDestruction();

private:
    // Runs exec() against peer and returns its result; a peer that never answers fails the
    // row at the launch's time limit.
    int launch(CameraUIService &service)
    {
        SetCameraTimeout(&service, Bound::quick);
        return service.exec();
    }
};

void CameraUIServiceTest::initTestCase()
{
    QVERIFY2(QDBusConnection::sessionBus().isConnected(),
        "run under dbus-run-session with the test bus configuration");
}

void CameraUIServiceTest::metaObject()
{
    CameraUIService service(1, 0);
    const QMetaObject *mo = service.metaObject();
    QCOMPARE(mo->className(), "CameraUIService");
    QCOMPARE(service.className(), "CameraUIService");
    QCOMPARE(mo->superClass(), &QObject::staticMetaObject);
    QCOMPARE(mo->classInfoCount() - mo->classInfoOffset(), 0);
    QCOMPARE(service.parent(), nullptr);
    QVERIFY(service.objectName().isEmpty());

    QStringList own;
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
        const QMetaMethod m = mo->method(i);
        QCOMPARE(m.methodType(), QMetaMethod::Slot);
        QCOMPARE(m.access(), QMetaMethod::Private);
        own << QString::fromLatin1(m.methodSignature());
    }
    QCOMPARE(own,
        QStringList({ QStringLiteral("handleResults(AM_ActionResults)"),
            QStringLiteral("handleAbortLaunch()") }));
}

void CameraUIServiceTest::request_data()
{
    QTest::addColumn<int>("cameraType");
    QTest::addColumn<QString>("fileLocation");
    QTest::addColumn<QString>("expected");

    const QString tail = QStringLiteral(
        "photoResolution(s)=MAX videoQuality(s)=HIGHEST hasPostCapturedScreen(s)=YES "
        "launchId(t)=#");
    const struct
    {
        int type;
        const char *sent;
    } types[] = { { 1, "PHOTO" }, { 2, "VIDEO" }, { 0, "ALL" }, { 3, "ALL" }, { -1, "ALL" } };
    for (const auto &t : types) {
        const QString head = QStringLiteral("cameraType(s)=%1 videoSizeLimitation(i)=%2 ")
                                 .arg(QLatin1String(t.sent))
                                 .arg(t.type * 1000);
        QTest::addRow("type %d, no location", t.type) << t.type << QString() << head + tail;
        // The camera answers ACCEPTED without naming a file: the one asked for is there.
        const QString location = capturedFile(QStringLiteral("My Pictures é.png"));
        QTest::addRow("type %d, location", t.type)
            << t.type << location
            << head + QStringLiteral("fileLocation(s)=%1 ").arg(location) + tail
                + QStringLiteral(" fileDescriptor(QDBusUnixFileDescriptor)=");
    }
}

void CameraUIServiceTest::request()
{
    QFETCH(int, cameraType);
    QFETCH(QString, fileLocation);
    QFETCH(QString, expected);

    TestPeer peer;
    QVERIFY(peer.isRegistered());
    peer.results = { { KivAction::Key::actionReturn(), QStringLiteral("ACCEPTED") } };

    CameraUIService service(cameraType, cameraType * 1000);
    service.setFileLocation(fileLocation);
    QCOMPARE(launch(service), 1);

    QCOMPARE(peer.requests.size(), 1);
    const QDBusMessage &msg = peer.requests.constFirst();
    QCOMPARE(msg.path(), QStringLiteral("/org/kiv/Action"));
    QCOMPARE(msg.interface(), KivAction::interfaceName());
    QCOMPARE(msg.member(), QStringLiteral("Invoke"));
    QCOMPARE(msg.signature(), QStringLiteral("sa{sv}"));
    QCOMPARE(msg.arguments().at(0).toString(), QStringLiteral("CameraUIService"));
    QCOMPARE(describe(wireValues(msg)), expected);
}

void CameraUIServiceTest::returnedLocationTravelsNext()
{
    TestPeer peer;
    QVERIFY(peer.isRegistered());
    const QString returned = capturedFile(QStringLiteral("cap.png"));
    peer.results = { { KivAction::Key::actionReturn(), QStringLiteral("ACCEPTED") },
        { KivAction::Key::fileLocationReturn(), returned } };

    CameraUIService service(2, 5);
    QCOMPARE(launch(service), 1);
    QCOMPARE(service.fileLocation(), returned);
    service.setVideoQuality(QStringLiteral("LOWEST"));
    QCOMPARE(launch(service), 1);

    QCOMPARE(peer.requests.size(), 2);
    // The first launch had no location; the second one carries the returned one, in
    // its place, and nothing of the first request leaks into it.
    QCOMPARE(describe(wireValues(peer.requests.at(0))),
        QStringLiteral("cameraType(s)=VIDEO videoSizeLimitation(i)=5 photoResolution(s)=MAX "
                       "videoQuality(s)=HIGHEST hasPostCapturedScreen(s)=YES launchId(t)=#"));
    QCOMPARE(describe(wireValues(peer.requests.at(1))),
        QStringLiteral("cameraType(s)=VIDEO videoSizeLimitation(i)=5 "
                       "fileLocation(s)=%1 photoResolution(s)=MAX "
                       "videoQuality(s)=LOWEST hasPostCapturedScreen(s)=YES launchId(t)=# "
                       "fileDescriptor(QDBusUnixFileDescriptor)=")
            .arg(returned));
    QVERIFY(launchIdOf(peer.requests.at(1)) > launchIdOf(peer.requests.at(0)));
}

void CameraUIServiceTest::results_data()
{
    QTest::addColumn<Results>("results");
    QTest::addColumn<int>("accepted");
    QTest::addColumn<QString>("location");

    const QString ar = KivAction::Key::actionReturn();
    const QString fl = KivAction::Key::fileLocationReturn();
    // Files that are there: an ACCEPTED that names a missing one is a failure.
    const QString asked = capturedFile(QStringLiteral("asked.png"));
    const QString got = capturedFile(QStringLiteral("got.png"));

    QTest::newRow("both keys") << Results { { ar, QStringLiteral("ACCEPTED") }, { fl, got } } << 1
                               << got;
    QTest::newRow("only location keeps fresh ACCEPTED") << Results { { fl, got } } << 1 << got;
    QTest::newRow("only rejected") << Results { { ar, QStringLiteral("REJECTED") } } << 0 << asked;
    QTest::newRow("empty results") << Results() << 1 << asked;
    QTest::newRow("lower case") << Results { { ar, QStringLiteral("accepted") } } << 0 << asked;
    QTest::newRow("trailing blank")
        << Results { { ar, QStringLiteral("ACCEPTED ") } } << 0 << asked;
    QTest::newRow("keys match case-sensitively")
        << Results { { QStringLiteral("ActionReturn"), QStringLiteral("REJECTED") },
               { QStringLiteral("filelocationreturn"), got } }
        << 1 << asked;
    QTest::newRow("empty location returned") << Results { { fl, QString() } } << 1 << QString();
    QTest::newRow("other keys ignored") << Results { { QStringLiteral("zzz"), QStringLiteral("x") },
        { ar, QStringLiteral("ACCEPTED") } }
                                        << 1 << asked;
}

void CameraUIServiceTest::results()
{
    QFETCH(Results, results);
    QFETCH(int, accepted);
    QFETCH(QString, location);

    TestPeer peer;
    QVERIFY(peer.isRegistered());
    peer.results = results;
    CameraUIService service(1, 0);
    service.setFileLocation(capturedFile(QStringLiteral("asked.png")));
    QCOMPARE(launch(service), accepted);
    QCOMPARE(service.fileLocation(), location);
}

void CameraUIServiceTest::rejectedStandsWithoutActionReturn()
{
    TestPeer peer;
    QVERIFY(peer.isRegistered());
    CameraUIService service(1, 0);
    peer.results = { { KivAction::Key::actionReturn(), QStringLiteral("REJECTED") } };
    QCOMPARE(launch(service), 0);
    peer.results = { { KivAction::Key::fileLocationReturn(), QStringLiteral("/x.png") } };
    QCOMPARE(launch(service), 0);
    QCOMPARE(service.fileLocation(), QStringLiteral("/x.png"));
}

void CameraUIServiceTest::faults_data()
{
    QTest::addColumn<int>("fault");
    QTest::newRow("no handler") << -1;
    QTest::newRow("error reply") << int(TestPeer::ErrorReply);
    QTest::newRow("wrong signature") << int(TestPeer::WrongSignature);
    QTest::newRow("handler leaves the bus") << int(TestPeer::Hold);
    QTest::newRow("third party forges the reply") << int(TestPeer::Forged);
}

void CameraUIServiceTest::faults()
{
    QFETCH(int, fault);

    QScopedPointer<TestPeer> peer;
    if (fault >= 0) {
        peer.reset(new TestPeer);
        QVERIFY(peer->isRegistered());
        peer->mode = TestPeer::Mode(fault);
        peer->results = { { KivAction::Key::actionReturn(), QStringLiteral("ACCEPTED") } };
        peer->forgedResults = { { KivAction::Key::actionReturn(), QStringLiteral("ACCEPTED") },
            { KivAction::Key::fileLocationReturn(), QStringLiteral("/forged") } };
        if (peer->mode == TestPeer::Hold) {
            TestPeer *p = peer.data();
            connect(
                p, &TestPeer::requestReceived, p, [p] { p->disconnectNow(); },
                Qt::QueuedConnection);
        }
    }

    const QString asked = capturedFile(QStringLiteral("asked.png"));
    CameraUIService service(1, 0);
    service.setFileLocation(asked);
    QCOMPARE(launch(service), 0);
    QCOMPARE(service.fileLocation(), asked);
    if (peer)
        QCOMPARE(peer->requests.size(), 1);

    // The service is usable again afterwards.
    if (!peer || !peer->isRegistered())
        peer.reset(new TestPeer);
    QVERIFY(peer->isRegistered());
    peer->mode = TestPeer::Reply;
    peer->results = { { KivAction::Key::actionReturn(), QStringLiteral("ACCEPTED") } };
    QCOMPARE(launch(service), 1);
}

void CameraUIServiceTest::reentrantExecSendsNothing()
{
    TestPeer peer;
    QVERIFY(peer.isRegistered());
    peer.mode = TestPeer::Hold;
    peer.results = { { KivAction::Key::actionReturn(), QStringLiteral("ACCEPTED") } };

    CameraUIService service(1, 0);
    int innerResult = -1;
    // A host event handler that runs while exec() waits and launches again.
    connect(
        &peer, &TestPeer::requestReceived, this,
        [&] {
            innerResult = service.exec();
            peer.release();
        },
        Qt::QueuedConnection);

    StdoutCapture trace;
    QCOMPARE(launch(service), 1);
    QCOMPARE(innerResult, 0);
    QCOMPARE(peer.requests.size(), 1);
    const QStringList lines = trace.takeLines();
    QVERIFY2(lines.contains(QStringLiteral(
                 "Camera LOG in CameraUIService.cpp:#:exec:error: a launch is already waiting, "
                 "nothing sent")),
        qPrintable(lines.join(QLatin1Char('\n'))));
}

void CameraUIServiceTest::strayAnswerLeavesHostLoopAlone()
{
    CameraUIService service(1, 0);
    QEventLoop hostLoop;
    bool strayDelivered = false;
    QTimer::singleShot(0, &service, [&] {
        QVERIFY(QMetaObject::invokeMethod(&service, "handleAbortLaunch"));
        QVERIFY(QMetaObject::invokeMethod(
            &service, "handleResults", Q_ARG(AM_ActionResults, AM_ActionResults())));
        strayDelivered = true;
        QTimer::singleShot(0, &hostLoop, [&] { hostLoop.exit(42); });
    });
    QTimer::singleShot(Bound::quick, &hostLoop, [&] { hostLoop.exit(1); });
    QCOMPARE(hostLoop.exec(), 42);
    QVERIFY(strayDelivered);

    // And the service still launches normally afterwards.
    TestPeer peer;
    QVERIFY(peer.isRegistered());
    peer.results = { { KivAction::Key::actionReturn(), QStringLiteral("ACCEPTED") } };
    QCOMPARE(launch(service), 1);
}

void CameraUIServiceTest::traceOfWholeLaunch()
{
    TestPeer peer;
    QVERIFY(peer.isRegistered());
    // A file that is there: the camera's ACCEPTED counts only then.
    const QString returned = capturedFile(QStringLiteral("r\xe9.mp4"));
    peer.results = { { KivAction::Key::actionReturn(), QStringLiteral("ACCEPTED") },
        { KivAction::Key::fileLocationReturn(), returned } };
    CameraUIService service(2, 100);

    StdoutCapture trace;
    QCOMPARE(launch(service), 1);
    const QString prefix = QStringLiteral("Camera LOG in CameraUIService.cpp:#:");
    QStringList expected;
    for (const char *line : { "exec:enter", "callUIService:enter", "setupSettingValues:enter",
             "setupSettingValues:exit", "callUIService:The actionCmd is invoked",
             "callUIService:exit", "handleResults:enter", "handleResults:actionReturn = ACCEPTED ",
             "", "handleResults:fileLocationReturn = @ ", "", "handleResults:exit",
             "exec:The user actionReturn is ACCEPTED", "", "exec:exit", "" }) {
        expected << (*line ? prefix + QString::fromLatin1(line) : QString());
    }
    expected.replaceInStrings(QStringLiteral("= @ "), QStringLiteral("= %1 ").arg(returned));
    QCOMPARE(trace.takeLines(), expected);
}

void CameraUIServiceTest::traceOfConstructionAndDestruction()
{
    StdoutCapture trace;
    auto *service = new CameraUIService(1, 0);
    service->setPhotoResolution(QStringLiteral("640x480"));
    const QString location = service->fileLocation();
    delete service;
    QVERIFY(location.isEmpty());
    const QStringList expected {
        QStringLiteral("Camera LOG in CameraUIService.cpp:#:CameraUIService:enter"),
        QStringLiteral("Camera LOG in CameraUIService.cpp:#:CameraUIService:exit"),
        QStringLiteral("Camera LOG in CameraUIService.cpp:#:setPhotoResolution:enter"),
        QStringLiteral("Camera LOG in CameraUIService.cpp:#:setPhotoResolution:exit"),
        QStringLiteral("Camera LOG in CameraUIService.h:#:fileLocation:enter"),
        QStringLiteral("Camera LOG in CameraUIService.h:#:fileLocation:exit"),
        QStringLiteral("Camera LOG in CameraUIService.cpp:#:~CameraUIService:enter"),
        QStringLiteral("Camera LOG in CameraUIService.cpp:#:~CameraUIService:exit"),
        QString(),
    };
    QCOMPARE(trace.takeLines(), expected);
}

QTEST_GUILESS_MAIN(CameraUIServiceTest)
#include "camerauiservicetest.moc"
