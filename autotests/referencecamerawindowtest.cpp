// SPDX-License-Identifier: MIT
// The reference camera's interactive mode, in-process: the service on the test bus, a host
// on its own connection, and the request's screen driven by touch and keys (offscreen).

#include "cameraservice.h"
#include "capturewindow.h"
#include "gstcapture.h"
#include "gstsource.h"
#include "kivaction_names_p.h"
#include "testsupport.h"

#include <QAccessible>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPointer>
#include <QQuickItem>
#include <QQuickView>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

using namespace refcam;
using Results = QMap<QString, QString>;

namespace {

const QString kHost = QStringLiteral("host");
// About three seconds of a LOWEST clip: a recording left running reaches it.
constexpr qint64 clipSizeLimit = 200000;

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
    values.insert(KivAction::Key::videoSizeLimitation(), clipSizeLimit);
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

auto *touchScreen()
{
    static auto *device = QTest::createTouchDevice();
    return device;
}

QPoint centreOf(QQuickItem *item)
{
    return item->mapToScene(QPointF(item->width() / 2, item->height() / 2)).toPoint();
}

// A finger on the named control, once it is there and usable.
void tap(CaptureWindow *window, const QString &name)
{
    QQuickItem *item = window->item(name);
    QVERIFY2(item, qPrintable(name));
    // The review screen comes once the camera has delivered the picture.
    WAIT_VERIFY2(item->isVisible() && item->isEnabled(), qPrintable(name), Bound::camera);
    QQuickView *view = window->view();
    const QPoint at = centreOf(item);
    QTest::touchEvent(view, touchScreen()).press(0, at, view);
    QTest::touchEvent(view, touchScreen()).release(0, at, view);
}

// One step of a row on the screen itself: a key, a touch, or a state to wait for.
void driveScreen(const QPointer<CaptureWindow> &window, const QString &step)
{
    if (step == QLatin1String("space"))
        QTest::keyClick(window->view(), Qt::Key_Space);
    else if (step == QLatin1String("enter"))
        QTest::keyClick(window->view(), Qt::Key_Return);
    else if (step == QLatin1String("esc"))
        QTest::keyClick(window->view(), Qt::Key_Escape);
    else if (step == QLatin1String("rolling")) {
        // Recording: the picture stays live and the limit's gauge moves.
        QQuickItem *viewfinder = window->item(QStringLiteral("viewfinder"));
        const int frames = viewfinder->property("frames").toInt();
        WAIT_VERIFY(viewfinder->property("frames").toInt() > frames + 2, Bound::camera);
        WAIT_VERIFY(window->limitUsed() >= 0.1, Bound::camera);
        QVERIFY(window->isRecording());
    } else if (step == QLatin1String("zoom")) {
        // A double tap zooms the photo under review in.
        QQuickItem *picture = window->item(QStringLiteral("reviewPicture"));
        WAIT_VERIFY(picture->isVisible(), Bound::camera);
        const QPoint at = centreOf(picture);
        for (int i = 0; i < 2; ++i) {
            QTest::touchEvent(window->view(), touchScreen()).press(0, at, window->view());
            QTest::touchEvent(window->view(), touchScreen()).release(0, at, window->view());
        }
        WAIT_VERIFY(picture->scale() > 1.5, Bound::quick);
    } else if (step == QLatin1String("review"))
        WAIT_VERIFY(!window || window->isReviewing(), Bound::camera);
    else if (step == QLatin1String("played")) {
        // The clip under review plays: its position moves on.
        QObject *player = window->player();
        QVERIFY(player);
        WAIT_VERIFY2(player->property("position").toInt() > 0,
            qPrintable(QStringLiteral("ready %1, playing %2, duration %3 ms %4")
                           .arg(player->property("ready").toBool())
                           .arg(player->property("playing").toBool())
                           .arg(player->property("duration").toInt())
                           .arg(player->property("error").toString())),
            Bound::camera);
    } else if (step == QLatin1String("close")) {
        window->close();
    } else {
        tap(window, step);
    }
}

// An accepted capture is where the host asked, whole, and within the limit; else nothing is.
void checkKept(const QString &location, const QString &type, bool kept)
{
    QCOMPARE(QFile::exists(location), kept);
    if (kept) {
        QFile file(location);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray head = file.read(32);
        QVERIFY(type == QLatin1String("VIDEO") ? head.mid(4, 4) == "ftyp"
                                               : head.startsWith("\xff\xd8"));
        // A recording ended by its limit, or by the user, stays within it.
        if (type == QLatin1String("VIDEO"))
            QVERIFY2(file.size() <= clipSizeLimit, qPrintable(QString::number(file.size())));
    }
}

} // namespace

class ReferenceCameraWindowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void userFlows_data();
    void userFlows();
    void screenLayout_data();
    void screenLayout();
    void windowDurationLimit();
    void cleanup();
    void cleanupTestCase();

private:
    QPointer<CaptureWindow> m_window; // a row's window, closed should the row fail
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
        << QStringLiteral("VIDEO") << yes << stepList("space,space,review,accept") << accepted
        << true;
    // By touch.
    QTest::newRow("tap shutter, zoom, accept")
        << photo << yes << stepList("shutter,zoom,accept") << accepted << true;
    QTest::newRow("tap shutter, retake, shutter, accept")
        << photo << yes << stepList("shutter,retake,shutter,accept") << accepted << true;
    QTest::newRow("tap record, stop, play, accept")
        << QStringLiteral("VIDEO") << yes
        << stepList("shutter,rolling,shutter,review,play,played,accept") << accepted << true;
    QTest::newRow("tap record, stop, retake, record, stop, reject")
        << QStringLiteral("VIDEO") << yes
        << stepList("shutter,shutter,review,retake,shutter,shutter,review,reject") << rejected
        << true;
    QTest::newRow("size limit ends the recording, review, accept")
        << QStringLiteral("VIDEO") << yes << stepList("shutter,review,accept") << accepted << true;
    QTest::newRow("tap cancel while recording")
        << QStringLiteral("VIDEO") << yes << stepList("shutter,cancel") << rejected << false;
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
    WAIT_VERIFY(window, Bound::camera);
    disconnect(opened);
    m_window = window;
    QVERIFY(window->isVisible());
    QVERIFY(QTest::qWaitForWindowExposed(window->view()));
    QVERIFY(!window->isReviewing());
    // The request's values are not for the user's eyes unless asked for.
    QVERIFY(!window->item(QStringLiteral("debugPanel"))->isVisible());

    bool sawReview = false;
    for (const QString &step : std::as_const(steps)) {
        QVERIFY2(window, qPrintable(step));
        sawReview = sawReview || window->isReviewing();
        if (step == QLatin1String("host cancel")) {
            QDBusMessage cancel
                = QDBusMessage::createMethodCall(KivAction::busName(KivAction::cameraAction()),
                    KivAction::objectPath(), KivAction::interfaceName(), KivAction::cancelMethod());
            cancel << KivAction::cameraAction();
            QVERIFY(QDBusConnection(kHost).send(cancel));
        } else if (step == QLatin1String("host dies")) {
            call = QDBusPendingCall::fromError(QDBusError());
            QDBusConnection::disconnectFromBus(kHost);
        } else {
            driveScreen(window, step);
        }
        if (QTest::currentTestFailed())
            return;
        // A photo is taken once the camera has settled: wait for its review screen.
        const bool shot = step == QLatin1String("space") || step == QLatin1String("enter")
            || step == QLatin1String("shutter");
        if (window && shot && type == QLatin1String("PHOTO") && postScreen == QLatin1String("YES"))
            WAIT_VERIFY(!window || window->isReviewing(), Bound::camera);
        if (window)
            sawReview = sawReview || window->isReviewing();
    }
    // Whatever ended it, the window goes away.
    WAIT_VERIFY(!window, Bound::camera);
    QCOMPARE(sawReview, reviewed);

    if (!answer.isEmpty()) {
        WAIT_VERIFY(call.isFinished(), Bound::quick);
        const QDBusPendingReply<Results> reply = call;
        QVERIFY2(reply.isValid(), qPrintable(reply.error().message()));
        QCOMPARE(reply.value().value(KivAction::Key::actionReturn()), answer);
        const bool kept = answer == QLatin1String("ACCEPTED");
        QCOMPARE(
            reply.value().value(KivAction::Key::fileLocationReturn()), kept ? location : QString());
    }
    checkKept(location, type, answer == QLatin1String("ACCEPTED"));
    // No leftovers of the safe writing either.
    QCOMPARE(QDir(m_dir.path())
                 .entryList(QStringList { QStringLiteral(".*.part") }, QDir::Files | QDir::Hidden),
        QStringList());
    QDBusConnection::disconnectFromBus(kHost);
}

void ReferenceCameraWindowTest::screenLayout_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("video");
    QTest::addColumn<QSize>("picture"); // what was asked for
    QTest::addColumn<bool>("debugPanel"); // --debug-panel

    QTest::newRow("phone portrait, photo")
        << QSize(720, 1440) << false << QSize(1280, 720) << false;
    QTest::newRow("phone portrait, 4:3 photo")
        << QSize(720, 1440) << false << QSize(640, 480) << true;
    QTest::newRow("landscape, video") << QSize(1280, 800) << true << QSize(640, 480) << false;
    QTest::newRow("landscape, tall photo") << QSize(1280, 800) << false << QSize(480, 640) << false;
}

// Where things land on a phone's screen and on a desktop's: the picture keeps its aspect,
// the shutter is big enough and where a thumb finds it, nothing covers anything else.
void ReferenceCameraWindowTest::screenLayout()
{
    QFETCH(QSize, size);
    QFETCH(bool, video);
    QFETCH(QSize, picture);
    QFETCH(bool, debugPanel);

    WindowSettings settings;
    settings.debugPanel = debugPanel;
    settings.video = video;
    settings.photoSize = video ? QSize() : picture;
    settings.videoQuality = QStringLiteral("LOWEST");
    settings.values = QStringList { QStringLiteral("cameraType (s) = \"PHOTO\"") };
    settings.recordingPath = m_dir.filePath(QStringLiteral("layout.mp4"));
    CaptureWindow window(settings);
    QSignalSpy decided(&window, &CaptureWindow::decided);
    window.show();
    // The test screen is smaller than 1024 px: a phone's, taken whole.
    QVERIFY(window.isFullScreen());
    window.view()->showNormal();
    window.view()->resize(size);
    QVERIFY(QTest::qWaitForWindowExposed(window.view()));
    WAIT_COMPARE(window.view()->rootObject()->size(), QSizeF(size), Bound::quick);

    QQuickItem *viewfinder = window.item(QStringLiteral("viewfinder"));
    QQuickItem *shutter = window.item(QStringLiteral("shutter"));
    QQuickItem *cancel = window.item(QStringLiteral("cancel"));
    QVERIFY(viewfinder && shutter && cancel);
    QCOMPARE(viewfinder->size(), QSizeF(size));
    const QRectF shown = viewfinder->property("pictureRect").toRectF();
    // Letterboxed, never stretched; filling one side.
    QVERIFY2(
        qAbs(shown.width() / shown.height() - qreal(picture.width()) / picture.height()) < 0.01,
        qPrintable(QStringLiteral("%1x%2").arg(shown.width()).arg(shown.height())));
    QVERIFY(qFuzzyCompare(shown.width(), qreal(size.width()))
        || qFuzzyCompare(shown.height(), qreal(size.height())));

    const QRectF whole(QPointF(0, 0), QSizeF(size));
    const QRectF shutterRect(shutter->mapToScene(QPointF()), shutter->size());
    const QRectF cancelRect(cancel->mapToScene(QPointF()), cancel->size());
    QVERIFY(shutter->width() >= 56 && shutter->height() >= 56);
    QVERIFY(whole.contains(shutterRect) && whole.contains(cancelRect));
    QVERIFY(!shutterRect.intersects(cancelRect));
    if (size.height() > size.width())
        QVERIFY(shutterRect.top() > size.height() * 0.6); // at the thumb, below
    else
        QVERIFY(shutterRect.left() > size.width() * 0.6); // at the side

    // Every control has a name for screen readers.
    const QList<QQuickItem *> items = window.view()->rootObject()->findChildren<QQuickItem *>();
    int controls = 0;
    for (QQuickItem *item : items) {
        if (!item->inherits("QQuickAbstractButton") && !item->inherits("QQuickSlider"))
            continue;
        ++controls;
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(item);
        QVERIFY2(accessible, qPrintable(item->objectName()));
        QVERIFY2(!accessible->text(QAccessible::Name).isEmpty(), qPrintable(item->objectName()));
    }
    // Shutter, Cancel, Hide, Retake, Reject, Accept, play/pause and the scrub bar.
    QCOMPARE(controls, 8);

    // The request's values show with --debug-panel, or after a long press on the top right
    // corner.
    QQuickItem *panel = window.item(QStringLiteral("debugPanel"));
    QVERIFY(panel);
    QCOMPARE(panel->isVisible(), debugPanel);
    if (debugPanel) {
        tap(&window, QStringLiteral("hideDebug"));
        WAIT_VERIFY(!panel->isVisible(), Bound::quick);
    }
    const QPoint corner(size.width() - 10, 10);
    QTest::touchEvent(window.view(), touchScreen()).press(0, corner, window.view());
    WAIT_VERIFY(panel->isVisible(), Bound::quick);
    QTest::touchEvent(window.view(), touchScreen()).release(0, corner, window.view());
    tap(&window, QStringLiteral("hideDebug"));
    WAIT_VERIFY(!panel->isVisible(), Bound::quick);
    QCOMPARE(decided.count(), 0); // none of it decided anything

    window.dismiss();
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
    WAIT_VERIFY(window, Bound::camera);
    disconnect(opened);
    m_window = window;
    QVERIFY(QTest::qWaitForWindowExposed(window->view()));
    driveScreen(window, QStringLiteral("space")); // record; no second press
    driveScreen(window, QStringLiteral("review"));
    driveScreen(window, QStringLiteral("accept"));
    WAIT_VERIFY(call.isFinished(), Bound::quick);
    const QDBusPendingReply<Results> reply = call;
    QVERIFY2(reply.isValid(), qPrintable(reply.error().message()));
    const Results results = reply.value();
    QCOMPARE(results.value(KivAction::Key::actionReturn()), KivAction::Value::accepted());
    QCOMPARE(results.value(KivAction::Key::videoEndedBy()), KivAction::Value::durationLimit());
    QVERIFY2(results.value(KivAction::Key::videoDurationMs()).toInt() > 0,
        qPrintable(results.value(KivAction::Key::videoDurationMs())));
    checkKept(location, QStringLiteral("VIDEO"), true);
    QDBusConnection::disconnectFromBus(kHost);
}

void ReferenceCameraWindowTest::cleanup()
{
    // A failed row must not leave its window up: the next request would queue behind it.
    if (m_window)
        m_window->close();
    WAIT_VERIFY(!m_window, Bound::quick);
}

void ReferenceCameraWindowTest::cleanupTestCase()
{
    m_service.reset();
}

QTEST_MAIN(ReferenceCameraWindowTest)
#include "referencecamerawindowtest.moc"
