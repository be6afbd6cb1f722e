// SPDX-License-Identifier: MIT
// The reference camera through the Camera portal: xdg-desktop-portal started by the test on a
// bus of its own, with an Access backend in this process that answers as a user would, and a
// private PipeWire with a camera node.

#include "gstcapture.h"
#include "gstsource.h"
#include "kivaction_names_p.h"
#include "pipewirefixture.h"
#include "portalsource.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace refcam;

namespace {

const char backendName[] = "org.freedesktop.impl.portal.desktop.kivtest";
const char fixedCaps[] = "video/x-raw,format=YUY2,width=1280,height=720,framerate=30/1";

} // namespace

// The desktop's side of the question "may this application use the camera?".
class AccessBackend : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.Access")
public:
    uint answer = 0; // 0 granted, 1 refused by the user, 2 otherwise ended
    int asked = 0;

public Q_SLOTS:
    uint AccessDialog(const QDBusObjectPath &, const QString &, const QString &, const QString &,
        const QString &, const QString &, const QVariantMap &, QVariantMap &results)
    {
        ++asked;
        results.clear();
        return answer;
    }
};

class PortalTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();
    void access_data();
    void access();

private:
    PipeWireFixture m_fixture;
    AccessBackend m_backend;
    QTemporaryDir m_out;
    QProcess *m_camera = nullptr;
};

void PortalTest::initTestCase()
{
    const QString missing = PipeWireFixture::missingPackages(true);
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("missing: %1").arg(missing)));
    QString why;
    QVERIFY2(m_fixture.start(QString(), &why), qPrintable(why));
    QVERIFY(m_out.isValid());
    QDBusConnection bus = QDBusConnection::sessionBus();
    QVERIFY2(bus.isConnected(), qPrintable(bus.lastError().message()));
    QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), &m_backend,
        QDBusConnection::ExportAllSlots));
    QVERIFY(bus.registerService(QLatin1String(backendName)));
    m_camera
        = m_fixture.addProvider(QStringLiteral("portal-camera"), QLatin1String(fixedCaps), &why);
    QVERIFY2(m_camera, qPrintable(why));
}

void PortalTest::cleanup()
{
    LiveSource::instance()->release(true);
    forgetPortalRemote();
    forgetSource(QStringLiteral("portal"));
    forgetSource(QStringLiteral("portal:portal-camera"));
    // Each row starts with nothing decided: the desktop asks again.
    QDBusMessage reset = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.impl.portal.PermissionStore"),
        QStringLiteral("/org/freedesktop/impl/portal/PermissionStore"),
        QStringLiteral("org.freedesktop.impl.portal.PermissionStore"), QStringLiteral("Delete"));
    reset << QStringLiteral("devices") << QStringLiteral("camera");
    QDBusConnection::sessionBus().call(reset, QDBus::Block, 10000);
}

void PortalTest::cleanupTestCase()
{
    m_fixture.stop();
}

// Granted: a photo through the portal's PipeWire connection. Refused: the error, no file.
// No portal on the bus: a message that says so.
void PortalTest::access_data()
{
    QTest::addColumn<bool>("portal");
    QTest::addColumn<uint>("answer");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("error"); // empty: a photo
    QTest::newRow("no portal") << false << 0u << QStringLiteral("portal")
                               << QStringLiteral("the Camera portal is not available");
    QTest::newRow("granted") << true << 0u << QStringLiteral("portal") << QString();
    QTest::newRow("granted, camera by name")
        << true << 0u << QStringLiteral("portal:portal-camera") << QString();
    QTest::newRow("refused by the user") << true << 1u << QStringLiteral("portal")
                                         << QStringLiteral("access to the camera was refused");
    QTest::newRow("dialog ended otherwise") << true << 2u << QStringLiteral("portal")
                                            << QStringLiteral("access to the camera was refused");
}

void PortalTest::access()
{
    QFETCH(bool, portal);
    QFETCH(uint, answer);
    QFETCH(QString, source);
    QFETCH(QString, error);
    QString why;
    if (portal)
        QVERIFY2(m_fixture.startPortal(QLatin1String(backendName), &why), qPrintable(why));
    else
        m_fixture.stopPortal();
    m_backend.answer = answer;
    m_backend.asked = 0;

    CaptureSettings settings;
    settings.source = source;
    settings.photoSize = QSize(640, 480);
    const QString path
        = m_out.filePath(QStringLiteral("%1.jpg").arg(QString::fromUtf8(QTest::currentDataTag())));
    CaptureJob *job = CaptureJob::intoPath(settings, path);
    QSignalSpy finished(job, &CaptureJob::finished);
    job->start();
    QVERIFY(finished.wait(25000) || !finished.isEmpty());
    const CaptureResult result = finished.constFirst().constFirst().value<CaptureResult>();
    delete job;
    QCOMPARE(m_backend.asked, portal ? 1 : 0);
    if (!error.isEmpty()) {
        QVERIFY2(!result.ok, qPrintable(result.description));
        QCOMPARE(result.errorName, KivAction::noCameraDeviceError());
        QVERIFY2(result.message.contains(error), qPrintable(result.message));
        QVERIFY(!QFile::exists(path));
        return;
    }
    QVERIFY2(result.ok, qPrintable(result.errorName + QStringLiteral(": ") + result.message));
    QVERIFY2(result.description.contains(QLatin1String("portal:")), qPrintable(result.description));
    QImage image;
    QVERIFY(image.load(path, "JPEG"));
    QCOMPARE(image.size(), QSize(640, 480));
}

QTEST_GUILESS_MAIN(PortalTest)

#include "portaltest.moc"
