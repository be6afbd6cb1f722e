// SPDX-License-Identifier: MIT
// The action request of the platform layer on a private bus.

#include "kivaction_names_p.h"
#include "testsupport.h"

#include <AM_ActionData.h>

#include <QDBusConnection>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace {

QString describe(const QDBusMessage &msg)
{
    QStringList parts;
    for (const WireValue &v : wireValues(msg))
        parts << QStringLiteral("%1(%2)=%3").arg(v.key, v.signature, v.value.toString());
    return parts.join(QLatin1Char(' '));
}

struct Outcome
{
    explicit Outcome(AM_ActionData *request)
        : results(request, &AM_ActionData::signalResultsAvailable)
        , aborted(request, &AM_ActionData::signalActionAborted)
    { }
    int total() const { return int(results.count() + aborted.count()); }
    QSignalSpy results;
    QSignalSpy aborted;
};

} // namespace

class ActionDataTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void valuesKeepOrderAndReplaceInPlace();
    void eachInvokeSendsOnlyItsOwnValues();
    void destination_data();
    void destination();
    void exactlyOneSignalLater_data();
    void exactlyOneSignalLater();
    void noTimeLimit();
    void abortReasonBelongsToOneInvoke();
    void noBus();
};

void ActionDataTest::valuesKeepOrderAndReplaceInPlace()
{
    TestPeer peer(KivAction::busName(QStringLiteral("Order")));
    QVERIFY(peer.isRegistered());
    AM_ActionData request;
    request.setAction(QStringLiteral("Order"));
    request.setValue(QStringLiteral("zeta"), 1);
    request.setValue(QStringLiteral("alpha"), QStringLiteral("a"));
    request.setValue(QStringLiteral("mid"), -7);
    request.setValue(QStringLiteral("zeta"), QStringLiteral("again"));
    Outcome outcome(&request);
    QVERIFY(request.invoke(true));
    WAIT_COMPARE(outcome.results.count(), 1, Bound::quick);
    QCOMPARE(
        describe(peer.requests.constFirst()), QStringLiteral("zeta(s)=again alpha(s)=a mid(i)=-7"));
    QCOMPARE(peer.requests.constFirst().arguments().at(0).toString(), QStringLiteral("Order"));
}

void ActionDataTest::eachInvokeSendsOnlyItsOwnValues()
{
    TestPeer peer(KivAction::busName(QStringLiteral("Again")));
    QVERIFY(peer.isRegistered());
    AM_ActionData request;
    request.setAction(QStringLiteral("Again"));
    request.setValue(QStringLiteral("first"), 1);
    request.setValue(QStringLiteral("shared"), QStringLiteral("one"));
    Outcome outcome(&request);
    QVERIFY(request.invoke(true));
    request.setValue(QStringLiteral("shared"), QStringLiteral("two"));
    QVERIFY(request.invoke(true));
    QVERIFY(request.invoke(true));
    WAIT_COMPARE(outcome.results.count(), 3, Bound::quick);
    QCOMPARE(peer.requests.size(), 3);
    QCOMPARE(describe(peer.requests.at(0)), QStringLiteral("first(i)=1 shared(s)=one"));
    QCOMPARE(describe(peer.requests.at(1)), QStringLiteral("shared(s)=two"));
    QCOMPARE(describe(peer.requests.at(2)), QString());
}

void ActionDataTest::destination_data()
{
    QTest::addColumn<QString>("object");
    QTest::addColumn<QString>("peerName");
    QTest::addColumn<bool>("byUniqueName");

    QTest::newRow("null object") << QString() << KivAction::busName(QStringLiteral("Dest"))
                                 << false;
    QTest::newRow("empty object") << QStringLiteral("")
                                  << KivAction::busName(QStringLiteral("Dest")) << false;
    QTest::newRow("object names the handler")
        << QStringLiteral("org.example.ThirdPartyCamera")
        << QStringLiteral("org.example.ThirdPartyCamera") << false;
    QTest::newRow("object is a unique name")
        << QString() << QStringLiteral("org.example.Unique") << true;
}

void ActionDataTest::destination()
{
    QFETCH(QString, object);
    QFETCH(QString, peerName);
    QFETCH(bool, byUniqueName);

    TestPeer peer(peerName);
    QVERIFY(peer.isRegistered());
    peer.results = { { QStringLiteral("k"), QStringLiteral("v") } };
    AM_ActionData request;
    request.setObject(byUniqueName ? peer.uniqueName() : object);
    request.setAction(QStringLiteral("Dest"));
    Outcome outcome(&request);
    QVERIFY(request.invoke(false));
    WAIT_COMPARE(outcome.total(), 1, Bound::quick);
    QCOMPARE(outcome.results.count(), 1);
    QCOMPARE(outcome.results.at(0).at(0).value<AM_ActionResults>().value(QStringLiteral("k")),
        QStringLiteral("v"));
    QCOMPARE(peer.requests.constFirst().service(), QDBusConnection::sessionBus().baseService());
}

void ActionDataTest::exactlyOneSignalLater_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("expectResults");
    QTest::newRow("results") << int(TestPeer::Reply) << true;
    QTest::newRow("no handler") << -1 << false;
    QTest::newRow("error reply") << int(TestPeer::ErrorReply) << false;
    QTest::newRow("wrong signature") << int(TestPeer::WrongSignature) << false;
    QTest::newRow("forged reply") << int(TestPeer::Forged) << false;
    QTest::newRow("handler leaves") << int(TestPeer::Hold) << false;
}

void ActionDataTest::exactlyOneSignalLater()
{
    QFETCH(int, mode);
    QFETCH(bool, expectResults);

    QScopedPointer<TestPeer> peer;
    if (mode >= 0) {
        peer.reset(new TestPeer(KivAction::busName(QStringLiteral("Once"))));
        QVERIFY(peer->isRegistered());
        peer->mode = TestPeer::Mode(mode);
        peer->forgedResults = { { KivAction::Key::actionReturn(), QStringLiteral("ACCEPTED") } };
        if (peer->mode == TestPeer::Hold) {
            TestPeer *p = peer.data();
            connect(
                p, &TestPeer::requestReceived, p, [p] { p->disconnectNow(); },
                Qt::QueuedConnection);
        }
    }
    AM_ActionData request;
    request.setAction(QStringLiteral("Once"));
    request.setValue(KivAction::Key::cameraType(), QStringLiteral("PHOTO"));
    Outcome outcome(&request);
    request.invoke(true);
    QCOMPARE(outcome.total(), 0); // never from within invoke()
    WAIT_COMPARE(outcome.total(), 1, Bound::quick);
    QCOMPARE(outcome.results.count(), expectResults ? 1 : 0);

    // A full round trip later nothing else has come for the first request.
    TestPeer echo(KivAction::busName(QStringLiteral("Echo")));
    QVERIFY(echo.isRegistered());
    AM_ActionData ping;
    ping.setAction(QStringLiteral("Echo"));
    QSignalSpy pong(&ping, &AM_ActionData::signalResultsAvailable);
    ping.invoke(true);
    QVERIFY(pong.wait(Bound::quick));
    QCOMPARE(outcome.total(), 1);
}

void ActionDataTest::noTimeLimit()
{
    // QtDBus's default would give up after 25 seconds.
    constexpr int kPastDefault = 27000;
    TestPeer peer(KivAction::busName(QStringLiteral("Slow")));
    QVERIFY(peer.isRegistered());
    peer.mode = TestPeer::Hold;
    peer.results = { { KivAction::Key::actionReturn(), QStringLiteral("ACCEPTED") } };
    connect(&peer, &TestPeer::requestReceived, &peer,
        [&peer] { QTimer::singleShot(kPastDefault, &peer, [&peer] { peer.release(); }); });
    AM_ActionData request;
    request.setAction(QStringLiteral("Slow"));
    Outcome outcome(&request);
    request.invoke(true);
    WAIT_COMPARE(outcome.total(), 1, kPastDefault + Bound::quick);
    QCOMPARE(outcome.results.count(), 1);
}

void ActionDataTest::noBus()
{
    if (QDBusConnection::sessionBus().isConnected())
        QSKIP("a session bus is reachable; the no-bus run of this test covers this");
    AM_ActionData request;
    request.setAction(QStringLiteral("CameraUIService"));
    Outcome outcome(&request);
    QVERIFY(!request.invoke(true));
    QCOMPARE(outcome.total(), 0);
    WAIT_COMPARE(outcome.aborted.count(), 1, Bound::quick);
    QCOMPARE(outcome.results.count(), 0);
}

// What the last abort said is gone when the next invoke goes out, so an answer or a later
// abort is never read with an older reason.
void ActionDataTest::abortReasonBelongsToOneInvoke()
{
    AM_ActionData request;
    request.setAction(QStringLiteral("Missing"));
    Outcome outcome(&request);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("aborted")));
    request.invoke(false);
    WAIT_COMPARE(outcome.total(), 1, Bound::quick);
    QCOMPARE(request.abortReason(), AM_ActionData::AbortNoHandler);
    QVERIFY(!request.abortMessage().isEmpty());

    TestPeer peer(QStringLiteral("org.kiv.Action.Held"));
    QVERIFY(peer.isRegistered());
    peer.mode = TestPeer::Hold;
    request.setAction(QStringLiteral("Held"));
    request.invoke(false);
    QCOMPARE(request.abortReason(), AM_ActionData::AbortUnknown);
    QCOMPARE(request.abortMessage(), QString());
    WAIT_COMPARE(peer.requests.size(), 1, Bound::quick);
    peer.release();
    WAIT_COMPARE(outcome.total(), 2, Bound::quick);
    QCOMPARE(outcome.results.count(), 1);
    QCOMPARE(request.abortMessage(), QString());
}

QTEST_GUILESS_MAIN(ActionDataTest)
#include "actiondatatest.moc"
