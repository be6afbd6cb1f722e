// SPDX-License-Identifier: MIT
// The C entry points: string conversion, handles and the references they hand out.

#include "csetters.h"
#include "kivaction_names_p.h"
#include "testsupport.h"

#include <CameraUIServiceCWrapper.h>

#include <QTest>

class CWrapperTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void destroyNullIsHarmless();
    void setters_data();
    void setters();
    void nullLocationSendsNoLocation();
    void fileLocationIsTheMemberItself();
};

void CWrapperTest::destroyNullIsHarmless()
{
    StdoutCapture trace;
    DestroyCameraDlg(nullptr);
    QCOMPARE(trace.take(), QByteArray());
}

void CWrapperTest::setters_data()
{
    QTest::addColumn<SetterFn>("setter");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("sent");

    const auto &setters = cSetters();
    for (const auto &s : setters) {
        QTest::addRow("%s ascii", s.key) << s.fn << QString::fromLatin1(s.key)
                                         << QByteArray("/x/Y 1") << QStringLiteral("/x/Y 1");
        // Latin-1, not UTF-8: every byte above 127 is its own code point.
        QTest::addRow("%s latin-1", s.key)
            << s.fn << QString::fromLatin1(s.key) << QByteArray("caf\xe9\xff\xc3\xa9")
            << (QStringLiteral("caf") + QChar(0xe9) + QChar(0xff) + QChar(0xc3) + QChar(0xa9));
    }
    QTest::newRow("unknown resolution kept")
        << SetterFn(SetCameraPhotoResolution) << KivAction::Key::photoResolution()
        << QByteArray("huge") << QStringLiteral("huge");
    QTest::newRow("empty quality kept")
        << SetterFn(SetCameraVideoQuality) << KivAction::Key::videoQuality() << QByteArray("")
        << QString();
}

void CWrapperTest::setters()
{
    QFETCH(SetterFn, setter);
    QFETCH(QString, key);
    QFETCH(QByteArray, input);
    QFETCH(QString, sent);

    TestPeer peer;
    QVERIFY(peer.isRegistered());
    CameraUIService *service = CreateCameraUIService(2, 0);
    setter(service, input.constData());
    SetCameraTimeout(service, Bound::quick);
    QCOMPARE(Exec(service), 1);
    DestroyCameraDlg(service);

    QCOMPARE(peer.requests.size(), 1);
    bool found = false;
    for (const WireValue &v : wireValues(peer.requests.constFirst())) {
        if (v.key == key) {
            found = true;
            QCOMPARE(v.value.toString(), sent);
        }
    }
    QCOMPARE(found, key != QLatin1String("fileLocation") || !sent.isEmpty());
}

void CWrapperTest::nullLocationSendsNoLocation()
{
    TestPeer peer;
    QVERIFY(peer.isRegistered());
    CameraUIService *service = CreateCameraUIService(1, 0);
    SetCameraFileLocation(service, "/before.png");
    SetCameraFileLocation(service, nullptr);
    QVERIFY(GetCameraFileLocation(service).isNull());
    SetCameraPhotoResolution(service, nullptr);
    SetCameraTimeout(service, Bound::quick);
    QCOMPARE(Exec(service), 1);
    DestroyCameraDlg(service);

    QStringList keys;
    for (const WireValue &v : wireValues(peer.requests.constFirst()))
        keys << v.key;
    QCOMPARE(keys,
        QStringList({ KivAction::Key::cameraType(), KivAction::Key::videoSizeLimitation(),
            KivAction::Key::photoResolution(), KivAction::Key::videoQuality(),
            KivAction::Key::hasPostCapturedScreen(), KivAction::Key::launchId() }));
}

void CWrapperTest::fileLocationIsTheMemberItself()
{
    TestPeer peer;
    QVERIFY(peer.isRegistered());
    peer.results = { { KivAction::Key::fileLocationReturn(), QStringLiteral("/ret\xe9.png") } };

    CameraUIService *service = CreateCameraUIService(1, 0);
    StdoutCapture trace;
    QString &location = GetCameraFileLocation(service);
    QVERIFY(location.isEmpty());
    QCOMPARE(trace.takeLines(),
        QStringList({ QStringLiteral("Camera LOG in CameraUIService.h:#:fileLocation:enter"),
            QStringLiteral("Camera LOG in CameraUIService.h:#:fileLocation:exit"),
            QStringLiteral("Camera LOG in CameraUIServiceCWrapper.cpp:#:"
                           "GetCameraFileLocation: the fileLocation in "
                           "GetCameraFileLocation is "),
            QString() }));

    SetCameraFileLocation(service, "/set.png");
    QCOMPARE(location, QStringLiteral("/set.png"));
    SetCameraTimeout(service, Bound::quick);
    QCOMPARE(Exec(service), 1);
    QCOMPARE(location, QStringLiteral("/ret\xe9.png"));
    QCOMPARE(&GetCameraFileLocation(service), &location);
    trace.take();
    GetCameraFileLocation(service);
    // Traced in Latin-1: one byte for é.
    QVERIFY(trace.take().contains("GetCameraFileLocation is /ret\xe9.png\n"));
    DestroyCameraDlg(service);
}

QTEST_GUILESS_MAIN(CWrapperTest)
#include "cwrappertest.moc"
