// SPDX-License-Identifier: MIT
// How a launch ends: one true outcome per launch, cancel, time limit, the non-blocking
// start and its callback, through the C entry points and through CameraCapture.
#include "kivaction_names_p.h"
#include "testsupport.h"

#include <CameraCapture.h>
#include <CameraUIServiceCWrapper.h>
#include <kivaction_names_p.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScopedPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <csignal>
#include <functional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kActionReturn = KivAction::Key::actionReturn();
const QString kLocationReturn = KivAction::Key::fileLocationReturn();
const QString kAccepted = QStringLiteral("ACCEPTED");
const QString kCameraName = KivAction::cameraBusName();

bool nameOwned()
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(kCameraName);
}

// What a camera (or a third party) does with the request.
enum Behaviour
{
    AnswerAccepted,
    AnswerRejected,
    CancelWhileWaiting,
    TimeLimit,
    QuitWhileWaiting,
    NoHandler,
    ErrorAnswer,
    WrongSignature,
    CameraLeaves,
    ForgedReply,
    ForgedError,
};

// One launch as the host sees it.
struct Ended
{
    int result = -1;
    int outcome = -1;
    QString message;
    QString actionReturn;
    QString location;
};

// A running StartCamera callback count, and what it may do to the service.
struct CallbackLog
{
    int calls = 0;
    int accepted = -1;
    CameraUIService *service = nullptr;
    std::function<void(CameraUIService *)> then;
};

void countCallback(CameraUIService *service, int accepted, void *userData)
{
    auto *log = static_cast<CallbackLog *>(userData);
    ++log->calls;
    log->accepted = accepted;
    log->service = service;
    if (log->then)
        log->then(service);
}

// Slots for string-based connections to any of CameraCapture's signals.
class SenderDeleter : public QObject
{
    Q_OBJECT
public:
    bool restart = false;
    bool cancelToo = false;
    int restarts = 0;

public Q_SLOTS:
    void deleteSender() { delete sender(); }
    void restartSender()
    {
        auto *capture = qobject_cast<CameraCapture *>(sender());
        if (!capture || capture->isWaiting() || restarts > 0)
            return;
        ++restarts;
        QVERIFY(capture->start());
        if (cancelToo)
            capture->cancel();
    }
};

} // namespace

class LaunchOutcomeTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void outcomes_data();
    void outcomes();
    void captureOutcomes_data();
    void captureOutcomes();
    void lateAnswerAfterAbandonedLaunch_data();
    void lateAnswerAfterAbandonedLaunch();
    void callbackRunsOnceFromTheEventLoop_data();
    void callbackRunsOnceFromTheEventLoop();
    void callbackMayDestroyOrRestart();
    void destroyWhileStartedLaunchWaits();
    void refusedLaunchLeavesWaitingOneAlone();
    void cancelAndTimeoutReachTheCamera_data();
    void cancelAndTimeoutReachTheCamera();
    void killedHostsCaptureIsDropped();
    void cameraCaptureCancelsOnSignal();
    void captureNotifiesWhileWaiting();
    void descriptorHandoff_data();
    void descriptorHandoff();
    void handoffWithScriptedCamera_data();
    void handoffWithScriptedCamera();
    void noDescriptorWhereHostCannotCreate_data();
    void noDescriptorWhereHostCannotCreate();
    void descriptorsDoNotLeak();
    void givenUpLaunchTellsTheCamera_data();
    void givenUpLaunchTellsTheCamera();
    void cancelFallsBackForAnOlderCamera();
    void neighbourServicesKeepTheirLaunches_data();
    void neighbourServicesKeepTheirLaunches();
    void newLaunchClearsTheError();
    void activation_data();
    void activation();
    void cleanupTestCase();
    void captureDeletedFromAChangeSignal_data();
    void captureDeletedFromAChangeSignal();
    void captureRestartedFromAChangeSignal_data();
    void captureRestartedFromAChangeSignal();
    void answerExtras_data();
    void answerExtras();
    void waitCameraSlices();
    void noBus();

private:
    // Sets up the camera side for a behaviour; the peer answers or holds.
    void arrange(Behaviour behaviour);
    // Makes the behaviour's host-side move once the request is held by the camera.
    void act(Behaviour behaviour, const std::function<void()> &cancel);
    Ended launchWithExec(CameraUIService *service);
    void startCamera(const QStringList &options);
    void stopCamera();

    QScopedPointer<TestPeer> m_peer;
    CameraProcess m_camera;
    QScopedPointer<QProcess> m_ownBus; // activation(): a bus whose service files it writes
    QTemporaryDir m_dir;
};

void LaunchOutcomeTest::init()
{
    QVERIFY(m_dir.isValid());
}

void LaunchOutcomeTest::cleanup()
{
    m_peer.reset();
    stopCamera();
    WAIT_VERIFY(!nameOwned(), Bound::quick);
}

void LaunchOutcomeTest::startCamera(const QStringList &options)
{
    QVERIFY2(m_camera.start(m_dir.path(), options), m_camera.log().constData());
}

void LaunchOutcomeTest::stopCamera()
{
    m_camera.stop();
}

void LaunchOutcomeTest::arrange(Behaviour behaviour)
{
    if (behaviour == NoHandler)
        return;
    m_peer.reset(new TestPeer);
    QVERIFY(m_peer->isRegistered());
    m_peer->results
        = { { kActionReturn, kAccepted }, { kLocationReturn, capturedFile(QStringLiteral("q1")) } };
    switch (behaviour) {
    case AnswerAccepted:
        break;
    case AnswerRejected:
        m_peer->results[kActionReturn] = QStringLiteral("REJECTED");
        break;
    case ErrorAnswer:
        m_peer->mode = TestPeer::ErrorReply;
        break;
    case WrongSignature:
        m_peer->mode = TestPeer::WrongSignature;
        break;
    case ForgedReply:
        m_peer->mode = TestPeer::Forged;
        m_peer->forgedResults = { { kActionReturn, kAccepted } };
        break;
    default:
        m_peer->mode = TestPeer::Hold;
        break;
    }
}

void LaunchOutcomeTest::act(Behaviour behaviour, const std::function<void()> &cancel)
{
    if (!m_peer)
        return;
    connect(m_peer.data(), &TestPeer::requestReceived, m_peer.data(), [this, behaviour, cancel] {
        switch (behaviour) {
        case CancelWhileWaiting:
            cancel();
            break;
        case QuitWhileWaiting:
            QCoreApplication::quit();
            break;
        case CameraLeaves:
            m_peer->disconnectNow();
            break;
        case ForgedError: {
            // A third connection answers for the camera with an error and a guessed serial.
            const QString address = QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS"));
            QDBusConnection forger
                = QDBusConnection::connectToBus(address, QStringLiteral("forger"));
            forger.send(m_peer->requests.constLast().createErrorReply(
                KivAction::errorPrefix() + QStringLiteral("Busy"), QStringLiteral("forged")));
            QDBusConnection::disconnectFromBus(QStringLiteral("forger"));
            break;
        }
        default:
            break;
        }
    });
}

Ended LaunchOutcomeTest::launchWithExec(CameraUIService *service)
{
    Ended ended;
    // Exec runs inside the application's own loop, as it does in a host; that loop is
    // what a quit ends.
    QTimer::singleShot(0, qApp, [&] {
        ended.result = Exec(service);
        QCoreApplication::exit(0);
    });
    // A launch that never ends fails the row within the test's own bound: leaving every
    // loop ends it as Interrupted, which no row expects after this long.
    QTimer bound;
    bound.setSingleShot(true);
    connect(&bound, &QTimer::timeout, qApp, [] {
        qWarning("the launch did not end within %d ms", Bound::camera);
        QCoreApplication::exit(1);
    });
    bound.start(Bound::camera);
    QCoreApplication::exec();
    ended.outcome = GetCameraOutcome(service);
    ended.message = QString::fromUtf8(GetCameraErrorMessage(service));
    ended.actionReturn = QString::fromUtf8(GetCameraActionReturn(service));
    ended.location = GetCameraFileLocation(service);
    return ended;
}

void LaunchOutcomeTest::outcomes_data()
{
    QTest::addColumn<int>("behaviour");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("actionReturn");
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("message"); // a part of it; empty: exactly ""

    const QString asked = QStringLiteral("/asked.png");
    QTest::newRow("accepted") << int(AnswerAccepted) << int(CameraOutcomeAccepted) << kAccepted
                              << capturedFile(QStringLiteral("q1")) << QString();
    QTest::newRow("rejected") << int(AnswerRejected) << int(CameraOutcomeRejected)
                              << QStringLiteral("REJECTED") << capturedFile(QStringLiteral("q1"))
                              << QString();
    QTest::newRow("cancelled") << int(CancelWhileWaiting) << int(CameraOutcomeCancelled)
                               << QStringLiteral("REJECTED") << asked
                               << QStringLiteral("cancelled by the host");
    QTest::newRow("timed out") << int(TimeLimit) << int(CameraOutcomeTimedOut)
                               << QStringLiteral("REJECTED") << asked
                               << QStringLiteral("no answer within 50 ms");
    QTest::newRow("host quits while waiting")
        << int(QuitWhileWaiting) << int(CameraOutcomeInterrupted) << QStringLiteral("REJECTED")
        << asked << QStringLiteral("event loop was left");
    QTest::newRow("no camera") << int(NoHandler) << int(CameraOutcomeNoCamera)
                               << QStringLiteral("REJECTED") << asked
                               << QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown");
    QTest::newRow("error answer") << int(ErrorAnswer) << int(CameraOutcomeCameraFailed)
                                  << QStringLiteral("REJECTED") << asked
                                  << KivAction::errorPrefix() + QStringLiteral("Busy");
    QTest::newRow("wrong signature")
        << int(WrongSignature) << int(CameraOutcomeCameraFailed) << QStringLiteral("REJECTED")
        << asked << QStringLiteral("signature \"s\"");
    QTest::newRow("camera leaves")
        << int(CameraLeaves) << int(CameraOutcomeCameraFailed) << QStringLiteral("REJECTED")
        << asked << QStringLiteral("org.freedesktop.DBus.Error.NoReply");
    QTest::newRow("forged reply") << int(ForgedReply) << int(CameraOutcomeForged)
                                  << QStringLiteral("REJECTED") << asked
                                  << QStringLiteral("which does not own");
    QTest::newRow("forged error") << int(ForgedError) << int(CameraOutcomeForged)
                                  << QStringLiteral("REJECTED") << asked
                                  << QStringLiteral("error org.kiv.Action.Error.Busy from :");
}

void LaunchOutcomeTest::outcomes()
{
    QFETCH(int, behaviour);
    QFETCH(int, outcome);
    QFETCH(QString, actionReturn);
    QFETCH(QString, location);
    QFETCH(QString, message);

    arrange(Behaviour(behaviour));
    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    SetCameraFileLocation(service, "/asked.png");
    QCOMPARE(GetCameraOutcome(service), int(CameraOutcomeNone));
    QCOMPARE(GetCameraErrorMessage(service), "");
    if (behaviour == TimeLimit)
        SetCameraTimeout(service, 50);
    act(Behaviour(behaviour), [service] { CancelCamera(service); });
    if (outcome >= CameraOutcomeNoCamera)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".*")));

    const Ended ended = launchWithExec(service);
    QCOMPARE(ended.result, outcome == CameraOutcomeAccepted ? 1 : 0);
    QCOMPARE(ended.outcome, outcome);
    QCOMPARE(ended.actionReturn, actionReturn);
    QCOMPARE(ended.location, location);
    if (message.isEmpty())
        QCOMPARE(ended.message, QString());
    else
        QVERIFY2(ended.message.contains(message), qPrintable(ended.message));
    // A launch given up early may end before the camera has even read the request.
    if (m_peer && m_peer->isRegistered())
        WAIT_COMPARE(m_peer->requests.size(), 1, Bound::quick);
}

void LaunchOutcomeTest::captureOutcomes_data()
{
    QTest::addColumn<int>("behaviour");
    QTest::addColumn<int>("outcome");

    QTest::newRow("accepted") << int(AnswerAccepted) << int(CameraCapture::Accepted);
    QTest::newRow("rejected") << int(AnswerRejected) << int(CameraCapture::Rejected);
    QTest::newRow("cancelled") << int(CancelWhileWaiting) << int(CameraCapture::Cancelled);
    QTest::newRow("timed out") << int(TimeLimit) << int(CameraCapture::TimedOut);
    QTest::newRow("no camera") << int(NoHandler) << int(CameraCapture::NoCamera);
    QTest::newRow("camera leaves") << int(CameraLeaves) << int(CameraCapture::CameraFailed);
    QTest::newRow("forged error") << int(ForgedError) << int(CameraCapture::Forged);
}

void LaunchOutcomeTest::captureOutcomes()
{
    QFETCH(int, behaviour);
    QFETCH(int, outcome);

    arrange(Behaviour(behaviour));
    CameraCapture capture;
    capture.setFileLocation(QStringLiteral("/asked.png"));
    if (behaviour == TimeLimit)
        capture.setTimeout(50);
    act(Behaviour(behaviour), [&capture] { capture.cancel(); });
    if (outcome >= CameraCapture::NoCamera)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".*")));
    QSignalSpy finished(&capture, &CameraCapture::finished);
    bool waitingAtFinish = true;
    connect(
        &capture, &CameraCapture::finished, this, [&] { waitingAtFinish = capture.isWaiting(); });

    QVERIFY(capture.start());
    QVERIFY(capture.isWaiting());
    QCOMPARE(finished.count(), 0);
    WAIT_COMPARE(finished.count(), 1, Bound::camera);
    QCOMPARE(finished.constFirst().constFirst().toBool(), outcome == CameraCapture::Accepted);
    QVERIFY(!waitingAtFinish);
    QCOMPARE(int(capture.outcome()), outcome);
    QCOMPARE(capture.errorMessage().isEmpty(), outcome <= CameraCapture::Rejected);
    if (outcome == CameraCapture::Accepted)
        QCOMPARE(capture.fileLocation(), capturedFile(QStringLiteral("q1")));
    QCoreApplication::processEvents();
    QCOMPARE(finished.count(), 1);
}

// A launch given up (interrupted, cancelled, timed out) must not be completed by its own
// late answer, nor let that answer change a later launch or the location.
void LaunchOutcomeTest::lateAnswerAfterAbandonedLaunch_data()
{
    QTest::addColumn<int>("behaviour");
    QTest::newRow("interrupted") << int(QuitWhileWaiting);
    QTest::newRow("cancelled") << int(CancelWhileWaiting);
    QTest::newRow("timed out") << int(TimeLimit);
}

void LaunchOutcomeTest::lateAnswerAfterAbandonedLaunch()
{
    QFETCH(int, behaviour);

    arrange(Behaviour(behaviour));
    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    SetCameraFileLocation(service, "/q1.png");
    if (behaviour == TimeLimit)
        SetCameraTimeout(service, 50);
    act(Behaviour(behaviour), [service] { CancelCamera(service); });
    const Ended first = launchWithExec(service);
    QCOMPARE(first.result, 0);
    QCOMPARE(first.location, QStringLiteral("/q1.png"));

    // The first launch's answer goes out now, then the second launch's; one connection
    // keeps them in that order, so the late one is heard first, wherever it lands.
    disconnect(m_peer.data(), &TestPeer::requestReceived, nullptr, nullptr);
    m_peer->results
        = { { kActionReturn, kAccepted }, { kLocationReturn, QStringLiteral("/q1-late") } };
    m_peer->release();
    SetCameraTimeout(service, 0);
    SetCameraFileLocation(service, "/q3.png");
    m_peer->mode = TestPeer::Reply;
    m_peer->results = { { kActionReturn, QStringLiteral("REJECTED") },
        { kLocationReturn, QStringLiteral("/q3-answer") } };
    const Ended second = launchWithExec(service);
    QCOMPARE(second.result, 0);
    QCOMPARE(second.outcome, int(CameraOutcomeRejected));
    QCOMPARE(second.location, QStringLiteral("/q3-answer"));
    QCOMPARE(m_peer->requests.size(), 2);
    bool askedForQ3 = false;
    for (const WireValue &value : wireValues(m_peer->requests.constLast()))
        askedForQ3 |= value.key == QLatin1String("fileLocation")
            && value.value == QStringLiteral("/q3.png");
    QVERIFY(askedForQ3);
}

void LaunchOutcomeTest::callbackRunsOnceFromTheEventLoop_data()
{
    QTest::addColumn<int>("behaviour");
    QTest::addColumn<int>("outcome");
    QTest::newRow("accepted") << int(AnswerAccepted) << int(CameraOutcomeAccepted);
    QTest::newRow("no camera") << int(NoHandler) << int(CameraOutcomeNoCamera);
    QTest::newRow("cancelled") << int(CancelWhileWaiting) << int(CameraOutcomeCancelled);
    QTest::newRow("timed out") << int(TimeLimit) << int(CameraOutcomeTimedOut);
}

void LaunchOutcomeTest::callbackRunsOnceFromTheEventLoop()
{
    QFETCH(int, behaviour);
    QFETCH(int, outcome);

    arrange(Behaviour(behaviour));
    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    if (behaviour == TimeLimit)
        SetCameraTimeout(service, 50);
    CallbackLog log;
    int callsAfterCancel = -1;
    act(Behaviour(behaviour), [&] {
        CancelCamera(service);
        callsAfterCancel = log.calls;
        // Over the moment it returns: nothing waits, a new start would be taken.
        QCOMPARE(GetCameraOutcome(service), int(CameraOutcomeCancelled));
    });
    if (outcome >= CameraOutcomeNoCamera)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".*")));

    QCOMPARE(StartCamera(service, countCallback, &log), 1);
    QCOMPARE(log.calls, 0);
    QCOMPARE(GetCameraOutcome(service), int(CameraOutcomeNone));
    WAIT_COMPARE(log.calls, 1, Bound::camera);
    QCOMPARE(log.service, service);
    QCOMPARE(log.accepted, outcome == CameraOutcomeAccepted ? 1 : 0);
    QCOMPARE(GetCameraOutcome(service), outcome);
    if (behaviour == CancelWhileWaiting)
        QCOMPARE(callsAfterCancel, 0);
    QCoreApplication::processEvents();
    QCOMPARE(log.calls, 1);
}

void LaunchOutcomeTest::callbackMayDestroyOrRestart()
{
    arrange(AnswerAccepted);
    CameraUIService *service = CreateCameraUIService(1, 0);
    CallbackLog second;
    // The callback of the restarted launch destroys the service it was given.
    second.then = [](CameraUIService *s) { DestroyCameraDlg(s); };
    CallbackLog first;
    first.then
        = [&second](CameraUIService *s) { QCOMPARE(StartCamera(s, countCallback, &second), 1); };
    QCOMPARE(StartCamera(service, countCallback, &first), 1);
    WAIT_COMPARE(first.calls, 1, Bound::camera);
    WAIT_COMPARE(second.calls, 1, Bound::camera);
    QCOMPARE(second.accepted, 1);
    QCOMPARE(m_peer->requests.size(), 2);
}

void LaunchOutcomeTest::destroyWhileStartedLaunchWaits()
{
    arrange(CancelWhileWaiting); // held
    CameraUIService *service = CreateCameraUIService(1, 0);
    CallbackLog log;
    QCOMPARE(StartCamera(service, countCallback, &log), 1);
    WAIT_COMPARE(m_peer->requests.size(), 1, Bound::quick);
    DestroyCameraDlg(service);
    m_peer->release(); // the late answer goes nowhere
    // A launch on a new service is answered after it, on the same connection.
    m_peer->mode = TestPeer::Reply;
    CameraUIService *next = CreateCameraUIService(1, 0);
    CallbackLog nextLog;
    QCOMPARE(StartCamera(next, countCallback, &nextLog), 1);
    WAIT_COMPARE(nextLog.calls, 1, Bound::camera);
    DestroyCameraDlg(next);
    QCOMPARE(log.calls, 0);
}

void LaunchOutcomeTest::refusedLaunchLeavesWaitingOneAlone()
{
    arrange(CancelWhileWaiting); // held until released
    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    CallbackLog log;
    CallbackLog refused;
    QCOMPARE(StartCamera(service, countCallback, &log), 1);
    WAIT_COMPARE(m_peer->requests.size(), 1, Bound::quick);
    {
        StdoutCapture trace;
        QCOMPARE(StartCamera(service, countCallback, &refused), 0);
        QCOMPARE(Exec(service), 0);
        const QStringList lines = trace.takeLines();
        QVERIFY(lines.contains(QStringLiteral(
            "Camera LOG in CameraUIService.cpp:#:exec:error: a launch is already waiting, "
            "nothing sent")));
    }
    QCOMPARE(GetCameraOutcome(service), int(CameraOutcomeNone));
    m_peer->release();
    WAIT_COMPARE(log.calls, 1, Bound::camera);
    QCOMPARE(log.accepted, 1);
    QCOMPARE(GetCameraOutcome(service), int(CameraOutcomeAccepted));
    QCOMPARE(refused.calls, 0);
    QCOMPARE(m_peer->requests.size(), 1);
}

void LaunchOutcomeTest::cancelAndTimeoutReachTheCamera_data()
{
    QTest::addColumn<int>("behaviour");
    QTest::newRow("cancel") << int(CancelWhileWaiting);
    QTest::newRow("timeout") << int(TimeLimit);
    QTest::newRow("service destroyed") << int(CameraLeaves);
}

void LaunchOutcomeTest::cancelAndTimeoutReachTheCamera()
{
    QFETCH(int, behaviour);
    startCamera({ QStringLiteral("--delay"), QStringLiteral("600000") });
    const QString target = m_dir.filePath(QStringLiteral("cancelled.png"));
    CameraUIService *service = CreateCameraUIService(1, 0);
    auto destroy = qScopeGuard([&service] { DestroyCameraDlg(service); });
    SetCameraFileLocation(service, target.toLatin1().constData());
    SetCameraPhotoResolution(service, "16x16");
    if (behaviour == TimeLimit)
        SetCameraTimeout(service, 200);
    CallbackLog log;
    QCOMPARE(StartCamera(service, countCallback, &log), 1);
    WAIT_VERIFY(m_camera.log().contains("request 1"), Bound::camera);
    if (behaviour == CancelWhileWaiting)
        CancelCamera(service);
    if (behaviour == CameraLeaves) {
        DestroyCameraDlg(service);
        service = nullptr;
    }
    if (service)
        WAIT_COMPARE(log.calls, 1, Bound::camera);
    // The camera ends the capture it held and answers it; no file is left behind.
    WAIT_VERIFY2(m_camera.log().contains("CANCELLED"), m_camera.log().constData(), Bound::camera);
    QVERIFY(!QFile::exists(target));
}

void LaunchOutcomeTest::killedHostsCaptureIsDropped()
{
    startCamera({ QStringLiteral("--delay"), QStringLiteral("600000") });
    const QString target = m_dir.filePath(QStringLiteral("orphan.png"));
    QProcess host;
    host.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    host.setStandardOutputFile(QProcess::nullDevice());
    host.start(QStringLiteral(CAMERA_BIN_DIR "/camera-capture"),
        { QStringLiteral("--photo"), QStringLiteral("--resolution"), QStringLiteral("16x16"),
            QStringLiteral("--file"), target });
    QVERIFY(host.waitForStarted(Bound::camera));
    WAIT_VERIFY(m_camera.log().contains("request 1"), Bound::camera);
    host.kill();
    QVERIFY(host.waitForFinished(Bound::camera));
    WAIT_VERIFY2(
        m_camera.log().contains("left the bus"), m_camera.log().constData(), Bound::camera);
    QVERIFY(!QFile::exists(target));
}

// SIGINT and SIGTERM cancel a waiting capture; the camera is told; exit status 1.
void LaunchOutcomeTest::cameraCaptureCancelsOnSignal()
{
    startCamera({ QStringLiteral("--delay"), QStringLiteral("600000") });
    QProcess host;
    host.setProcessChannelMode(QProcess::SeparateChannels);
    host.start(QStringLiteral(CAMERA_BIN_DIR "/camera-capture"),
        { QStringLiteral("--photo"), QStringLiteral("--resolution"), QStringLiteral("16x16") });
    QVERIFY(host.waitForStarted(Bound::camera));
    WAIT_VERIFY(m_camera.log().contains("request 1"), Bound::camera);
    host.terminate();
    QVERIFY(host.waitForFinished(Bound::camera));
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.exitCode(), 1);
    const QByteArray out = host.readAllStandardOutput();
    QVERIFY2(out.contains("camera-capture: cancelled\n"), out.constData());
    // No file was written: the summary names none.
    QVERIFY2(!out.contains("file location"), out.constData());
    WAIT_VERIFY2(m_camera.log().contains("CANCELLED"), m_camera.log().constData(), Bound::camera);
}

void LaunchOutcomeTest::captureNotifiesWhileWaiting()
{
    arrange(CancelWhileWaiting); // held
    CameraCapture capture;
    QSignalSpy waiting(&capture, &CameraCapture::waitingChanged);
    QSignalSpy location(&capture, &CameraCapture::fileLocationChanged);
    QSignalSpy outcome(&capture, &CameraCapture::outcomeChanged);
    QSignalSpy resolution(&capture, &CameraCapture::photoResolutionChanged);
    QVERIFY(capture.start());
    QCOMPARE(waiting.count(), 1);
    QVERIFY(!capture.start()); // one launch at a time
    WAIT_COMPARE(m_peer->requests.size(), 1, Bound::quick);
    capture.setPhotoResolution(QStringLiteral("640x480"));
    capture.setPhotoResolution(QStringLiteral("640x480"));
    QCOMPARE(resolution.count(), 1);
    m_peer->results = { { kActionReturn, kAccepted },
        { kLocationReturn, capturedFile(QStringLiteral("got")) } };
    m_peer->release();
    WAIT_COMPARE(waiting.count(), 2, Bound::quick);
    QCOMPARE(location.count(), 1);
    QCOMPARE(capture.fileLocation(), capturedFile(QStringLiteral("got")));
    QCOMPARE(outcome.count(), 1);
    QCOMPARE(capture.outcome(), CameraCapture::Accepted);
}

namespace {

const QByteArray kOld = "the host's old file";

} // namespace

// With the reference camera: the capture reaches the target only by the host's rename of
// its own file, and every other ending leaves the target as it was and no file behind.
void LaunchOutcomeTest::descriptorHandoff_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("move"); // what the host does while the camera holds it
    QTest::addColumn<bool>("url");
    QTest::addColumn<int>("outcome");

    const QStringList held { QStringLiteral("--delay"), QStringLiteral("600000") };
    QTest::newRow("accepted") << QStringList() << QString() << false << int(CameraOutcomeAccepted);
    QTest::newRow("accepted, file: URL")
        << QStringList() << QString() << true << int(CameraOutcomeAccepted);
    QTest::newRow("rejected") << QStringList { QStringLiteral("--action-return"),
        QStringLiteral("REJECTED") }
                              << QString() << false << int(CameraOutcomeRejected);
    QTest::newRow("cancelled") << held << QStringLiteral("cancel") << false
                               << int(CameraOutcomeCancelled);
    QTest::newRow("timed out") << held << QStringLiteral("timeout") << false
                               << int(CameraOutcomeTimedOut);
    QTest::newRow("camera crashed") << QStringList { QStringLiteral("--exit-without-answer") }
                                    << QString() << false << int(CameraOutcomeCameraFailed);
    QTest::newRow("camera error") << QStringList { QStringLiteral("--error"),
        QStringLiteral("org.kiv.Action.Error.Busy") }
                                  << QString() << false << int(CameraOutcomeCameraFailed);
    QTest::newRow("service destroyed")
        << held << QStringLiteral("destroy") << false << int(CameraOutcomeNone);
}

void LaunchOutcomeTest::descriptorHandoff()
{
    QFETCH(QStringList, options);
    QFETCH(QString, move);
    QFETCH(bool, url);
    QFETCH(int, outcome);

    QTemporaryDir dir(m_dir.filePath(QStringLiteral("handoff-XXXXXX")));
    QVERIFY(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("photo.png"));
    QVERIFY(putFile(target, kOld));
    startCamera(options);
    FolderWatch watch(dir.path());
    QVERIFY(watch.isValid());

    CameraUIService *service = CreateCameraUIService(1, 0);
    auto destroy = qScopeGuard([&service] { DestroyCameraDlg(service); });
    const QString location = url ? QUrl::fromLocalFile(target).toString() : target;
    SetCameraFileLocation(service, location.toLatin1().constData());
    SetCameraPhotoResolution(service, "16x16");
    if (move == QLatin1String("timeout"))
        SetCameraTimeout(service, 200);
    if (outcome >= CameraOutcomeNoCamera)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".*")));
    CallbackLog log;
    QCOMPARE(StartCamera(service, countCallback, &log), 1);
    if (!move.isEmpty() && move != QLatin1String("timeout")) {
        WAIT_VERIFY(m_camera.log().contains("answering request 1 in"), Bound::camera);
        if (move == QLatin1String("cancel")) {
            CancelCamera(service);
        } else {
            DestroyCameraDlg(service);
            service = nullptr;
        }
    }
    if (service) {
        WAIT_COMPARE(log.calls, 1, Bound::camera);
        QCOMPARE(GetCameraOutcome(service), outcome);
    }

    QCOMPARE(hiddenEntries(dir.path()), QStringList());
    const QStringList events = watch.take();
    const QStringList onTarget = events.filter(QRegularExpression(QStringLiteral(" photo\\.png$")));
    if (outcome == CameraOutcomeAccepted) {
        QCOMPARE(QString(GetCameraFileLocation(service)), target);
        QVERIFY(fileBytes(target).startsWith("\x89PNG"));
        // Nobody opened the path or wrote it in place: one rename put the capture there.
        QCOMPARE(onTarget, QStringList { QStringLiteral("moved-to photo.png") });
        WAIT_VERIFY2(m_camera.log().contains("through the caller's file descriptor"),
            m_camera.log().constData(), Bound::camera);
    } else {
        QCOMPARE(fileBytes(target), kOld);
        QCOMPARE(onTarget, QStringList());
    }
    // Nothing but the host's own file was made there (unnamed until it is moved in).
    const QStringList made = events.filter(QRegularExpression(QStringLiteral("^create ")));
    QVERIFY2(made.size() <= 1, qPrintable(made.join(QLatin1Char(','))));
    if (!made.isEmpty())
        QVERIFY2(made.constFirst().startsWith(QStringLiteral("create .photo.png.")),
            qPrintable(made.constFirst()));
}

// A scripted camera: one that does not know the descriptor and writes the path itself,
// one that writes through it, and the endings the host must tidy up after.
void LaunchOutcomeTest::handoffWithScriptedCamera_data()
{
    QTest::addColumn<QString>("camera");
    QTest::addColumn<QString>("actionReturn");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QByteArray>("result"); // what the target holds afterwards

    QTest::newRow("older camera writes the path")
        << QStringLiteral("path") << kAccepted << int(CameraOutcomeAccepted)
        << QByteArray("written by path");
    QTest::newRow("camera writes the descriptor")
        << QStringLiteral("descriptor") << kAccepted << int(CameraOutcomeAccepted)
        << QByteArray("written by descriptor");
    QTest::newRow("descriptor written, then rejected")
        << QStringLiteral("descriptor") << QStringLiteral("REJECTED") << int(CameraOutcomeRejected)
        << kOld;
    QTest::newRow("target became a folder")
        << QStringLiteral("folder") << kAccepted << int(CameraOutcomeFailed) << QByteArray();
}

void LaunchOutcomeTest::handoffWithScriptedCamera()
{
    QFETCH(QString, camera);
    QFETCH(QString, actionReturn);
    QFETCH(int, outcome);
    QFETCH(QByteArray, result);

    QTemporaryDir dir(m_dir.filePath(QStringLiteral("scripted-XXXXXX")));
    QVERIFY(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("capture.png"));
    if (camera != QLatin1String("folder"))
        QVERIFY(putFile(target, kOld));
    arrange(CancelWhileWaiting); // held
    m_peer->results = { { kActionReturn, actionReturn }, { kLocationReturn, target } };
    if (camera != QLatin1String("path"))
        m_peer->results.insert(QStringLiteral("fileDescriptorUsed"), QStringLiteral("YES"));
    connect(m_peer.data(), &TestPeer::requestReceived, m_peer.data(), [&] {
        // Answered however the checks below end, so a failure cannot hang the launch.
        const auto answer = qScopeGuard([this] { m_peer->release(); });
        const QList<WireValue> values = wireValues(m_peer->requests.constLast());
        QStringList keys;
        for (const WireValue &value : values)
            keys << value.key;
        // After every value of before, so a camera that reads them in order is not upset.
        QCOMPARE(keys,
            QStringList({ QStringLiteral("cameraType"), QStringLiteral("videoSizeLimitation"),
                QStringLiteral("fileLocation"), QStringLiteral("photoResolution"),
                QStringLiteral("videoQuality"), QStringLiteral("hasPostCapturedScreen"),
                QStringLiteral("launchId"), QStringLiteral("fileDescriptor") }));
        const auto descriptor = values.constLast().value.value<QDBusUnixFileDescriptor>();
        QVERIFY(descriptor.isValid());
        // A new, empty file in the target's folder, open for writing, not the target.
        struct stat sent = {};
        struct stat folder = {};
        struct stat there = {};
        QCOMPARE(::fstat(descriptor.fileDescriptor(), &sent), 0);
        QCOMPARE(::stat(QFile::encodeName(dir.path()).constData(), &folder), 0);
        QVERIFY(S_ISREG(sent.st_mode));
        QCOMPARE(sent.st_size, off_t(0));
        QCOMPARE(sent.st_dev, folder.st_dev);
        QCOMPARE(::fcntl(descriptor.fileDescriptor(), F_GETFL) & O_ACCMODE, O_WRONLY);
        if (::stat(QFile::encodeName(target).constData(), &there) == 0)
            QVERIFY(there.st_ino != sent.st_ino);
        if (camera == QLatin1String("path")) {
            QVERIFY(putFile(target, "written by path"));
        } else {
            const QByteArray bytes = "written by descriptor";
            QCOMPARE(::write(descriptor.fileDescriptor(), bytes.constData(), size_t(bytes.size())),
                ssize_t(bytes.size()));
            if (camera == QLatin1String("folder"))
                QVERIFY(QDir().mkpath(target + QStringLiteral("/inside")));
        }
    });

    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    SetCameraFileLocation(service, target.toLatin1().constData());
    const Ended ended = launchWithExec(service);
    QCOMPARE(m_peer->requests.size(), 1);
    QCOMPARE(ended.outcome, outcome);
    QCOMPARE(hiddenEntries(dir.path()), QStringList());
    if (camera == QLatin1String("folder")) {
        QVERIFY2(ended.message.contains(QStringLiteral("cannot move the capture onto")),
            qPrintable(ended.message));
        QCOMPARE(ended.actionReturn, QStringLiteral("FAILED"));
        QVERIFY(QFileInfo(target).isDir());
        return;
    }
    QCOMPARE(fileBytes(target), result);
    QCOMPARE(ended.location, target);
}

// Where the host cannot make its file, the request goes out as before, and the trace says
// why.
void LaunchOutcomeTest::noDescriptorWhereHostCannotCreate_data()
{
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("why");

    QTest::newRow("no such folder")
        << QStringLiteral("/no-such-folder-here/p.png")
        << QStringLiteral("cannot open the folder /no-such-folder-here: ");
    QTest::newRow("a folder where nothing is created")
        << QStringLiteral("/proc/p.png") << QStringLiteral("cannot create a file in /proc: ");
    QTest::newRow("the target is a folder")
        << QStringLiteral("/tmp") << QStringLiteral("/tmp exists and is not a regular file");
    QTest::newRow("a relative path")
        << QStringLiteral("p.png") << QStringLiteral("p.png is not an absolute path");
}

void LaunchOutcomeTest::noDescriptorWhereHostCannotCreate()
{
    QFETCH(QString, location);
    QFETCH(QString, why);

    arrange(AnswerAccepted);
    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    SetCameraFileLocation(service, location.toLatin1().constData());
    StdoutCapture trace;
    QCOMPARE(launchWithExec(service).outcome, int(CameraOutcomeAccepted));
    const QStringList lines = trace.takeLines().filter(QStringLiteral("no file descriptor"));
    QCOMPARE(lines.size(), 1);
    QVERIFY2(
        lines.constFirst().startsWith(
            QStringLiteral("Camera LOG in CameraUIService.cpp:#:callUIService:no file descriptor "
                           "sent: ")
            + why),
        qPrintable(lines.constFirst()));
    for (const WireValue &value : wireValues(m_peer->requests.constFirst()))
        QVERIFY(value.key != QLatin1String("fileDescriptor"));
}

void LaunchOutcomeTest::descriptorsDoNotLeak()
{
    startCamera({});
    const QString target = m_dir.filePath(QStringLiteral("leak.png"));
    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    SetCameraPhotoResolution(service, "16x16");
    // The first launch opens what stays open (the bus connection and its helpers).
    SetCameraFileLocation(service, target.toLatin1().constData());
    QCOMPARE(launchWithExec(service).outcome, int(CameraOutcomeAccepted));
    const int before = openDescriptorCount();
    for (int i = 0; i < 5; ++i) {
        SetCameraFileLocation(service, target.toLatin1().constData());
        QCOMPARE(launchWithExec(service).outcome, int(CameraOutcomeAccepted));
    }
    // The bus may close the last request's copy a little later: never more than before.
    WAIT_VERIFY(openDescriptorCount() <= before, Bound::quick);
    QCOMPARE(hiddenEntries(m_dir.path()), QStringList());
}

// Every ending that gives up on the camera's answer tells the camera, naming the launch.
// A camera that answered is told nothing: a Cancel sent then would arrive before the next
// request of the same connection.
void LaunchOutcomeTest::givenUpLaunchTellsTheCamera_data()
{
    QTest::addColumn<int>("behaviour");
    QTest::addColumn<bool>("told");
    QTest::newRow("cancelled") << int(CancelWhileWaiting) << true;
    QTest::newRow("timed out") << int(TimeLimit) << true;
    QTest::newRow("forged reply") << int(ForgedReply) << true;
    QTest::newRow("forged error") << int(ForgedError) << true;
    QTest::newRow("wrong signature") << int(WrongSignature) << true;
    QTest::newRow("accepted") << int(AnswerAccepted) << false;
    QTest::newRow("error answer") << int(ErrorAnswer) << true;
}

void LaunchOutcomeTest::givenUpLaunchTellsTheCamera()
{
    QFETCH(int, behaviour);
    QFETCH(bool, told);
    arrange(Behaviour(behaviour));
    if (behaviour == ForgedError)
        m_peer->mode = TestPeer::Hold;
    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    if (behaviour == TimeLimit)
        SetCameraTimeout(service, 50);
    act(Behaviour(behaviour), [service] { CancelCamera(service); });
    if (behaviour >= ErrorAnswer)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".*")));
    const Ended first = launchWithExec(service);
    QCOMPARE(first.result, behaviour == AnswerAccepted ? 1 : 0);
    QVERIFY(first.outcome != int(CameraOutcomeInterrupted));

    disconnect(m_peer.data(), &TestPeer::requestReceived, nullptr, nullptr);
    m_peer->mode = TestPeer::Reply;
    SetCameraTimeout(service, 0);
    QCOMPARE(launchWithExec(service).result, 1);
    QCOMPARE(m_peer->requests.size(), 2);
    const QStringList expected = told
        ? QStringList { QStringLiteral("CancelLaunch CameraUIService %1")
                            .arg(launchIdOf(m_peer->requests.at(0))) }
        : QStringList();
    QCOMPARE(m_peer->cancels, expected);
}

// A camera without CancelLaunch gets Cancel; after its first refusal, Cancel at once.
void LaunchOutcomeTest::cancelFallsBackForAnOlderCamera()
{
    arrange(CancelWhileWaiting); // held
    m_peer->lacksCancelLaunch = true;
    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    act(CancelWhileWaiting, [service] { CancelCamera(service); });
    for (int launch = 1; launch <= 2; ++launch) {
        const Ended ended = launchWithExec(service);
        QCOMPARE(ended.outcome, int(CameraOutcomeCancelled));
        WAIT_COMPARE(m_peer->cancels.size(), launch + 1, Bound::quick);
    }
    QCOMPARE(m_peer->cancels,
        QStringList({ QStringLiteral("refused CancelLaunch"),
            QStringLiteral("Cancel CameraUIService"), QStringLiteral("Cancel CameraUIService") }));
}

// Two services of one process share its connection; one's cancel or time limit ends its
// own capture only.
void LaunchOutcomeTest::neighbourServicesKeepTheirLaunches_data()
{
    QTest::addColumn<bool>("timeout");
    QTest::newRow("cancel") << false;
    QTest::newRow("timeout") << true;
}

void LaunchOutcomeTest::neighbourServicesKeepTheirLaunches()
{
    QFETCH(bool, timeout);
    startCamera({ QStringLiteral("--delay"), QStringLiteral("600000") });
    CameraUIService *first = CreateCameraUIService(1, 0);
    CameraUIService *second = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([&] {
        DestroyCameraDlg(first);
        DestroyCameraDlg(second);
    });
    for (CameraUIService *service : { first, second }) {
        SetCameraPhotoResolution(service, "16x16");
        SetCameraFileLocation(service,
            m_dir.filePath(service == first ? QStringLiteral("n1.png") : QStringLiteral("n2.png"))
                .toLatin1()
                .constData());
    }
    CallbackLog firstLog;
    CallbackLog secondLog;
    QCOMPARE(StartCamera(second, countCallback, &secondLog), 1);
    WAIT_VERIFY(m_camera.log().contains("answering request 1 in"), Bound::camera);
    if (timeout)
        SetCameraTimeout(first, 100);
    QCOMPARE(StartCamera(first, countCallback, &firstLog), 1);
    WAIT_VERIFY(m_camera.log().contains("answering request 2 in"), Bound::camera);
    if (!timeout)
        CancelCamera(first);
    WAIT_COMPARE(firstLog.calls, 1, Bound::camera);
    WAIT_VERIFY2(
        m_camera.log().contains("request 2 cancelled"), m_camera.log().constData(), Bound::camera);
    QVERIFY2(m_camera.log().contains(", 1 pending capture(s)"), m_camera.log().constData());
    QVERIFY2(!m_camera.log().contains("request 1 cancelled"), m_camera.log().constData());
    QCOMPARE(secondLog.calls, 0);
    QCOMPARE(GetCameraOutcome(second), int(CameraOutcomeNone));
    CancelCamera(second);
    WAIT_VERIFY2(
        m_camera.log().contains("request 1 cancelled"), m_camera.log().constData(), Bound::camera);
    WAIT_COMPARE(secondLog.calls, 1, Bound::camera);
}

// The error of the last launch is gone, announced, as soon as the next one waits.
void LaunchOutcomeTest::newLaunchClearsTheError()
{
    arrange(CancelWhileWaiting); // held
    CameraCapture capture;
    QSignalSpy finished(&capture, &CameraCapture::finished);
    QVERIFY(capture.start());
    WAIT_COMPARE(m_peer->requests.size(), 1, Bound::quick);
    capture.cancel();
    WAIT_COMPARE(finished.count(), 1, Bound::camera);
    QVERIFY(!capture.errorMessage().isEmpty());
    QSignalSpy errorChanged(&capture, &CameraCapture::errorMessageChanged);
    QVERIFY(capture.start());
    QCOMPARE(capture.errorMessage(), QString());
    QCOMPARE(errorChanged.count(), 1);
    QCOMPARE(capture.outcome(), CameraCapture::NoOutcome);

    // The same through the C entry points.
    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    SetCameraTimeout(service, 1);
    CallbackLog log;
    QCOMPARE(StartCamera(service, countCallback, &log), 1);
    WAIT_COMPARE(log.calls, 1, Bound::camera);
    QVERIFY(QByteArray(GetCameraErrorMessage(service)).contains("no answer within"));
    SetCameraTimeout(service, 0);
    QCOMPARE(StartCamera(service, countCallback, &log), 1);
    QCOMPARE(GetCameraErrorMessage(service), "");
    CancelCamera(service);
    WAIT_COMPARE(log.calls, 2, Bound::camera);
}

// Run as launchoutcometest-activation: on a bus of its own whose service file for the
// camera each row writes.
void LaunchOutcomeTest::activation_data()
{
    QTest::addColumn<QString>("exec"); // %1: a folder of the test
    QTest::addColumn<int>("outcome");
    QTest::newRow("program missing")
        << QStringLiteral("/nonexistent/reference-camera") << int(CameraOutcomeNoCamera);
    QTest::newRow("program exits at once")
        << QStringLiteral("/bin/false") << int(CameraOutcomeNoCamera);
    QTest::newRow("a cancel starts no camera")
        << QStringLiteral("/bin/sh -c 'exec \"" CAMERA_BIN_DIR "/reference-camera\" --no-config "
                          "--output-dir %1 --delay 600000 >>%1/camera.log 2>&1'")
        << int(CameraOutcomeCancelled);
}

void LaunchOutcomeTest::activation()
{
    QFETCH(QString, exec);
    QFETCH(int, outcome);
    if (!qEnvironmentVariableIsSet("KIV_TEST_ACTIVATION"))
        QSKIP("launchoutcometest-activation runs this on a bus of its own");
    static QTemporaryDir busDir;
    const QString services = busDir.filePath(QStringLiteral("services"));
    if (!m_ownBus) {
        QVERIFY(QDir().mkpath(services));
        QFile config(busDir.filePath(QStringLiteral("bus.conf")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(QStringLiteral(
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\""
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n<busconfig>"
            "<type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>"
            "<servicedir>%1</servicedir><policy context=\"default\"><allow "
            "send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow "
            "own=\"*\"/></policy></busconfig>\n")
                         .arg(services)
                         .toUtf8());
        config.close();
        m_ownBus.reset(new QProcess);
        m_ownBus->start(QStringLiteral("dbus-daemon"),
            { QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
                QStringLiteral("--print-address=1") });
        QVERIFY(m_ownBus->waitForStarted(Bound::quick));
        WAIT_VERIFY(m_ownBus->canReadLine(), Bound::quick);
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_ownBus->readLine().trimmed());
    }
    QFile service(services + QStringLiteral("/org.kiv.Action.CameraUIService.service"));
    QVERIFY(service.open(QIODevice::WriteOnly | QIODevice::Truncate));
    service.write("[D-BUS Service]\nName=org.kiv.Action.CameraUIService\nExec="
        + QString(exec).replace(QLatin1String("%1"), m_dir.path()).toUtf8() + "\n");
    service.close();
    const QDBusMessage reload = QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
            QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("org.freedesktop.DBus"),
            QStringLiteral("ReloadConfig")),
        QDBus::Block, Bound::quick);
    QCOMPARE(reload.type(), QDBusMessage::ReplyMessage);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".*")));

    CameraUIService *camera = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([camera] { DestroyCameraDlg(camera); });
    SetCameraPhotoResolution(camera, "16x16");
    if (outcome == CameraOutcomeNoCamera) {
        const Ended ended = launchWithExec(camera);
        QVERIFY2(ended.outcome == outcome, qPrintable(ended.message));
        QVERIFY2(ended.message.contains(QStringLiteral("org.freedesktop.DBus.Error.Spawn.")),
            qPrintable(ended.message));
        return;
    }
    // A camera that leaves mid-launch is told to stop, without auto-start: nobody owns
    // the name then, and the bus must not start a camera just to cancel.
    arrange(CancelWhileWaiting); // held
    act(CameraLeaves, [] {});
    QCOMPARE(launchWithExec(camera).outcome, int(CameraOutcomeCameraFailed));
    m_peer.reset();
    WAIT_VERIFY(!nameOwned(), Bound::quick);
    // The next launch starts the camera; had the cancel started one, that camera would
    // have got the cancel first.
    CallbackLog log;
    QCOMPARE(StartCamera(camera, countCallback, &log), 1);
    QFile cameraLog(m_dir.filePath(QStringLiteral("camera.log")));
    auto logText = [&cameraLog] {
        if (!cameraLog.open(QIODevice::ReadOnly))
            return QByteArray();
        const QByteArray text = cameraLog.readAll();
        cameraLog.close();
        return text;
    };
    WAIT_VERIFY(logText().contains("answering request 1 in"), Bound::camera);
    CancelCamera(camera);
    WAIT_COMPARE(log.calls, 1, Bound::camera);
    WAIT_VERIFY(logText().contains("request 1 cancelled"), Bound::camera);
    QCOMPARE(logText().count("cancel from"), 1);
    const QDBusReply<uint> pid = QDBusConnection::sessionBus().interface()->servicePid(kCameraName);
    if (pid.isValid())
        ::kill(pid.value(), SIGTERM);
}

void LaunchOutcomeTest::cleanupTestCase()
{
    if (m_ownBus) {
        m_ownBus->kill();
        m_ownBus->waitForFinished(Bound::quick);
    }
}

// A handler of any signal a launch's end emits may delete the capture (ASan and valgrind
// runs see a use after free here).
void LaunchOutcomeTest::captureDeletedFromAChangeSignal_data()
{
    QTest::addColumn<QByteArray>("signal");
    QTest::addColumn<int>("behaviour");
    QTest::newRow("waitingChanged") << QByteArray(SIGNAL(waitingChanged())) << int(AnswerRejected);
    QTest::newRow("outcomeChanged") << QByteArray(SIGNAL(outcomeChanged())) << int(AnswerRejected);
    QTest::newRow("fileLocationChanged")
        << QByteArray(SIGNAL(fileLocationChanged())) << int(AnswerRejected);
    QTest::newRow("actionReturnChanged")
        << QByteArray(SIGNAL(actionReturnChanged())) << int(AnswerRejected);
    QTest::newRow("errorMessageChanged")
        << QByteArray(SIGNAL(errorMessageChanged())) << int(ErrorAnswer);
    QTest::newRow("finished") << QByteArray(SIGNAL(finished(bool))) << int(AnswerRejected);
}

void LaunchOutcomeTest::captureDeletedFromAChangeSignal()
{
    QFETCH(QByteArray, signal);
    QFETCH(int, behaviour);
    arrange(Behaviour(behaviour));
    // Every property changes at the end: waiting, outcome, location, action return.
    m_peer->results = { { kActionReturn, QStringLiteral("NO") },
        { kLocationReturn, QStringLiteral("/elsewhere") } };
    if (behaviour == ErrorAnswer)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".*")));
    auto *capture = new CameraCapture;
    QPointer<CameraCapture> alive(capture);
    QVERIFY(capture->start());
    SenderDeleter deleter;
    QVERIFY(connect(capture, signal.constData(), &deleter, SLOT(deleteSender())));
    WAIT_VERIFY(!alive, Bound::quick);
    QCoreApplication::processEvents();
}

// finished() reports the launch that finished, even when a handler of the signals before
// it starts the next launch.
void LaunchOutcomeTest::captureRestartedFromAChangeSignal_data()
{
    QTest::addColumn<QByteArray>("signal");
    QTest::addColumn<bool>("cancelToo"); // the handler cancels what it started
    QTest::newRow("outcomeChanged") << QByteArray(SIGNAL(outcomeChanged())) << false;
    QTest::newRow("waitingChanged") << QByteArray(SIGNAL(waitingChanged())) << false;
    QTest::newRow("fileLocationChanged") << QByteArray(SIGNAL(fileLocationChanged())) << false;
    QTest::newRow("finished") << QByteArray(SIGNAL(finished(bool))) << false;
    QTest::newRow("outcomeChanged, then cancel") << QByteArray(SIGNAL(outcomeChanged())) << true;
}

void LaunchOutcomeTest::captureRestartedFromAChangeSignal()
{
    QFETCH(QByteArray, signal);
    QFETCH(bool, cancelToo);
    arrange(AnswerAccepted);
    CameraCapture capture;
    struct Seen
    {
        bool accepted;
        int outcome;
        bool waiting;
    };
    QList<Seen> finished;
    QList<int> outcomes;
    connect(&capture, &CameraCapture::finished, this, [&](bool accepted) {
        finished.append({ accepted, int(capture.outcome()), capture.isWaiting() });
    });
    connect(&capture, &CameraCapture::outcomeChanged, this,
        [&] { outcomes.append(int(capture.outcome())); });
    QVERIFY(capture.start());
    QVERIFY(!capture.start());
    SenderDeleter restarter;
    restarter.restart = true;
    restarter.cancelToo = cancelToo;
    QVERIFY(connect(&capture, signal.constData(), &restarter, SLOT(restartSender())));

    WAIT_COMPARE(finished.size(), 2, Bound::camera);
    QCOMPARE(restarter.restarts, 1);
    QCOMPARE(finished.at(0).accepted, true);
    QCOMPARE(finished.at(0).outcome, int(CameraCapture::Accepted));
    QCOMPARE(finished.at(0).waiting, false);
    const int second = cancelToo ? int(CameraCapture::Cancelled) : int(CameraCapture::Accepted);
    QCOMPARE(finished.at(1).accepted, !cancelToo);
    QCOMPARE(finished.at(1).outcome, second);
    QCOMPARE(finished.at(1).waiting, false);
    // Never back to NoOutcome before the first launch's finished().
    QCOMPARE(outcomes.mid(0, 1), QList<int> { int(CameraCapture::Accepted) });
    QCoreApplication::processEvents();
    QCOMPARE(finished.size(), 2);
    if (!cancelToo)
        QCOMPARE(m_peer->requests.size(), 2);
}

// What a camera may add to its answer: why it did not take the capture, and which
// settings it replaced. Seen alike through C, CameraUIService and CameraCapture, and
// only for the launch that got that answer.
void LaunchOutcomeTest::answerExtras_data()
{
    QTest::addColumn<QString>("actionReturn");
    QTest::addColumn<QString>("reason"); // sent when not null
    QTest::addColumn<QString>("photoUsed"); // sent when not null
    QTest::addColumn<QString>("videoUsed");
    QTest::addColumn<QString>("message"); // what the host reads

    const QString noSpace = QStringLiteral("cannot write \"/q1\": No space left on device");
    QTest::newRow("failed with a reason")
        << QStringLiteral("FAILED") << noSpace << QString() << QString() << noSpace;
    QTest::newRow("rejected with a reason")
        << QStringLiteral("REJECTED") << QStringLiteral("rejected by the user") << QString()
        << QString() << QStringLiteral("rejected by the user");
    QTest::newRow("failed without a reason")
        << QStringLiteral("FAILED") << QString() << QString() << QString() << QString();
    QTest::newRow("a reason with an acceptance is no error")
        << kAccepted << noSpace << QString() << QString() << QString();
    QTest::newRow("non-ASCII reason")
        << QStringLiteral("FAILED") << QStringLiteral("Datei \u00fcberf\u00fcllt \u20ac")
        << QString() << QString() << QStringLiteral("Datei \u00fcberf\u00fcllt \u20ac");
    QTest::newRow("resolution replaced")
        << kAccepted << QString() << QStringLiteral("MAX") << QString() << QString();
    QTest::newRow("both replaced") << kAccepted << QString() << QStringLiteral("640x480")
                                   << QStringLiteral("HIGHEST") << QString();
}

void LaunchOutcomeTest::answerExtras()
{
    QFETCH(QString, actionReturn);
    QFETCH(QString, reason);
    QFETCH(QString, photoUsed);
    QFETCH(QString, videoUsed);
    QFETCH(QString, message);

    arrange(AnswerAccepted);
    m_peer->results[kActionReturn] = actionReturn;
    if (!reason.isNull())
        m_peer->results[KivAction::Key::failureReason()] = reason;
    if (!photoUsed.isNull())
        m_peer->results[KivAction::Key::photoResolutionUsed()] = photoUsed;
    if (!videoUsed.isNull())
        m_peer->results[KivAction::Key::videoQualityUsed()] = videoUsed;
    QVariantMap used;
    if (!photoUsed.isNull())
        used.insert(KivAction::Key::photoResolution(), photoUsed);
    if (!videoUsed.isNull())
        used.insert(KivAction::Key::videoQuality(), videoUsed);

    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    const Ended ended = launchWithExec(service);
    QCOMPARE(ended.result, actionReturn == kAccepted ? 1 : 0);
    QCOMPARE(ended.message, message);
    QCOMPARE(service->errorMessage(), message);
    QCOMPARE(service->settingsUsed(), used);
    QCOMPARE(QString::fromUtf8(GetCameraSettingUsed(service, "photoResolution")), photoUsed);
    QCOMPARE(QString::fromUtf8(GetCameraSettingUsed(service, "videoQuality")), videoUsed);
    QCOMPARE(GetCameraSettingUsed(service, "photoResolutionUsed"), "");
    QCOMPARE(GetCameraSettingUsed(service, nullptr), "");

    // The next answer says nothing: nothing of the last one is left.
    m_peer->results = { { kActionReturn, kAccepted } };
    QCOMPARE(launchWithExec(service).message, QString());
    QCOMPARE(GetCameraSettingUsed(service, "photoResolution"), "");
    QCOMPARE(service->settingsUsed(), QVariantMap());

    m_peer->results.clear();
    m_peer->results[kActionReturn] = actionReturn;
    if (!reason.isNull())
        m_peer->results[KivAction::Key::failureReason()] = reason;
    if (!photoUsed.isNull())
        m_peer->results[KivAction::Key::photoResolutionUsed()] = photoUsed;
    if (!videoUsed.isNull())
        m_peer->results[KivAction::Key::videoQualityUsed()] = videoUsed;
    CameraCapture capture;
    QSignalSpy finished(&capture, &CameraCapture::finished);
    QSignalSpy usedChanged(&capture, &CameraCapture::settingsUsedChanged);
    QVERIFY(capture.start());
    WAIT_COMPARE(finished.count(), 1, Bound::camera);
    QCOMPARE(capture.errorMessage(), message);
    QCOMPARE(capture.settingsUsed(), used);
    QCOMPARE(usedChanged.count(), used.isEmpty() ? 0 : 1);
}

// WaitCamera runs the loop in slices until the started launch ends, and then the
// callback has run; a cancel between slices ends it at once.
void LaunchOutcomeTest::waitCameraSlices()
{
    arrange(CancelWhileWaiting); // held
    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    // The waits below without a slice end by the launch's own limit should nothing end them.
    SetCameraTimeout(service, Bound::quick);
    QCOMPARE(WaitCamera(service, 10), 1); // nothing waits
    CallbackLog log;
    QCOMPARE(StartCamera(service, countCallback, &log), 1);
    for (int slice = 0; slice < Bound::quick / 10 && m_peer->requests.isEmpty(); ++slice)
        QCOMPARE(WaitCamera(service, 10), 0);
    QCOMPARE(m_peer->requests.size(), 1);
    QCOMPARE(WaitCamera(service, 0), 0);
    QCOMPARE(log.calls, 0);
    CancelCamera(service);
    QCOMPARE(WaitCamera(service, -1), 1);
    QCOMPARE(log.calls, 1);
    QCOMPARE(GetCameraOutcome(service), int(CameraOutcomeCancelled));

    // A quit while it waits ends the launch as it does for Exec.
    connect(
        m_peer.data(), &TestPeer::requestReceived, m_peer.data(), [] { QCoreApplication::quit(); });
    CallbackLog second;
    int waited = -1;
    QTimer::singleShot(0, qApp, [&] {
        QCOMPARE(StartCamera(service, countCallback, &second), 1);
        waited = WaitCamera(service, -1);
        QCoreApplication::exit(0);
    });
    QCoreApplication::exec();
    QCOMPARE(waited, 1);
    QCOMPARE(GetCameraOutcome(service), int(CameraOutcomeInterrupted));
    QCOMPARE(second.calls, 1);
    QCOMPARE(second.accepted, 0);

    // A handler destroys the service it waits for: the wait ends, nothing is touched.
    disconnect(m_peer.data(), &TestPeer::requestReceived, nullptr, nullptr);
    CameraUIService *doomed = CreateCameraUIService(1, 0);
    SetCameraTimeout(doomed, Bound::quick);
    CallbackLog third;
    QCOMPARE(StartCamera(doomed, countCallback, &third), 1);
    connect(m_peer.data(), &TestPeer::requestReceived, m_peer.data(),
        [doomed] { DestroyCameraDlg(doomed); });
    QCOMPARE(WaitCamera(doomed, -1), 1);
    QCOMPARE(third.calls, 0);
}

// Run as launchoutcometest-nobus, where no bus can be reached.
void LaunchOutcomeTest::noBus()
{
    if (QDBusConnection::sessionBus().isConnected())
        QSKIP("a session bus is reachable; launchoutcometest-nobus runs this row");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("no session bus")));
    CameraUIService *service = CreateCameraUIService(1, 0);
    QCOMPARE(Exec(service), 0);
    QCOMPARE(GetCameraOutcome(service), int(CameraOutcomeNoBus));
    QVERIFY(QByteArray(GetCameraErrorMessage(service)).contains("no session bus"));
    DestroyCameraDlg(service);
}

QTEST_GUILESS_MAIN(LaunchOutcomeTest)
#include "launchoutcometest.moc"
