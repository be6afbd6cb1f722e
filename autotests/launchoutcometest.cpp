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
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScopedPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

const QString kActionReturn = KivAction::Key::actionReturn();
const QString kLocationReturn = KivAction::Key::fileLocationReturn();
const QString kAccepted = QStringLiteral("ACCEPTED");
const QString kCameraName = KivAction::cameraBusName();
constexpr int kLong = 60000; // generous: the machine may be loaded

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
    QTRY_VERIFY_WITH_TIMEOUT(!nameOwned(), kLong);
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
    m_peer->results = { { kActionReturn, kAccepted }, { kLocationReturn, QStringLiteral("/q1") } };
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
                              << QStringLiteral("/q1") << QString();
    QTest::newRow("rejected") << int(AnswerRejected) << int(CameraOutcomeRejected)
                              << QStringLiteral("REJECTED") << QStringLiteral("/q1") << QString();
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
        QTRY_COMPARE_WITH_TIMEOUT(m_peer->requests.size(), 1, kLong);
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
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kLong);
    QCOMPARE(finished.constFirst().constFirst().toBool(), outcome == CameraCapture::Accepted);
    QVERIFY(!waitingAtFinish);
    QCOMPARE(int(capture.outcome()), outcome);
    QCOMPARE(capture.errorMessage().isEmpty(), outcome <= CameraCapture::Rejected);
    if (outcome == CameraCapture::Accepted)
        QCOMPARE(capture.fileLocation(), QStringLiteral("/q1"));
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
    QTRY_COMPARE_WITH_TIMEOUT(log.calls, 1, kLong);
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
    QTRY_COMPARE_WITH_TIMEOUT(first.calls, 1, kLong);
    QTRY_COMPARE_WITH_TIMEOUT(second.calls, 1, kLong);
    QCOMPARE(second.accepted, 1);
    QCOMPARE(m_peer->requests.size(), 2);
}

void LaunchOutcomeTest::destroyWhileStartedLaunchWaits()
{
    arrange(CancelWhileWaiting); // held
    CameraUIService *service = CreateCameraUIService(1, 0);
    CallbackLog log;
    QCOMPARE(StartCamera(service, countCallback, &log), 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->requests.size(), 1, kLong);
    DestroyCameraDlg(service);
    m_peer->release(); // the late answer goes nowhere
    // A launch on a new service is answered after it, on the same connection.
    m_peer->mode = TestPeer::Reply;
    CameraUIService *next = CreateCameraUIService(1, 0);
    CallbackLog nextLog;
    QCOMPARE(StartCamera(next, countCallback, &nextLog), 1);
    QTRY_COMPARE_WITH_TIMEOUT(nextLog.calls, 1, kLong);
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
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->requests.size(), 1, kLong);
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
    QTRY_COMPARE_WITH_TIMEOUT(log.calls, 1, kLong);
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
    QTRY_VERIFY_WITH_TIMEOUT(m_camera.log().contains("request 1"), kLong);
    if (behaviour == CancelWhileWaiting)
        CancelCamera(service);
    if (behaviour == CameraLeaves) {
        DestroyCameraDlg(service);
        service = nullptr;
    }
    if (service)
        QTRY_COMPARE_WITH_TIMEOUT(log.calls, 1, kLong);
    // The camera ends the capture it held and answers it; no file is left behind.
    QTRY_VERIFY2_WITH_TIMEOUT(
        m_camera.log().contains("CANCELLED"), m_camera.log().constData(), kLong);
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
    QVERIFY(host.waitForStarted(kLong));
    QTRY_VERIFY_WITH_TIMEOUT(m_camera.log().contains("request 1"), kLong);
    host.kill();
    QVERIFY(host.waitForFinished(kLong));
    QTRY_VERIFY2_WITH_TIMEOUT(
        m_camera.log().contains("left the bus"), m_camera.log().constData(), kLong);
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
    QVERIFY(host.waitForStarted(kLong));
    QTRY_VERIFY_WITH_TIMEOUT(m_camera.log().contains("request 1"), kLong);
    host.terminate();
    QVERIFY(host.waitForFinished(kLong));
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.exitCode(), 1);
    const QByteArray out = host.readAllStandardOutput();
    QVERIFY2(out.contains("camera-capture: cancelled\n"), out.constData());
    // No file was written: the summary names none.
    QVERIFY2(!out.contains("file location"), out.constData());
    QTRY_VERIFY2_WITH_TIMEOUT(
        m_camera.log().contains("CANCELLED"), m_camera.log().constData(), kLong);
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
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->requests.size(), 1, kLong);
    capture.setPhotoResolution(QStringLiteral("640x480"));
    capture.setPhotoResolution(QStringLiteral("640x480"));
    QCOMPARE(resolution.count(), 1);
    m_peer->results = { { kActionReturn, kAccepted }, { kLocationReturn, QStringLiteral("/got") } };
    m_peer->release();
    QTRY_COMPARE_WITH_TIMEOUT(waiting.count(), 2, kLong);
    QCOMPARE(location.count(), 1);
    QCOMPARE(capture.fileLocation(), QStringLiteral("/got"));
    QCOMPARE(outcome.count(), 1);
    QCOMPARE(capture.outcome(), CameraCapture::Accepted);
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
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kLong);
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
    QCOMPARE(WaitCamera(service, 10), 1); // nothing waits
    CallbackLog log;
    QCOMPARE(StartCamera(service, countCallback, &log), 1);
    for (int slice = 0; slice < kLong / 10 && m_peer->requests.isEmpty(); ++slice)
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
