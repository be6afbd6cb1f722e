// SPDX-License-Identifier: MIT
// A host that forgot its Qt application object must get a clean "no", never a crash.

#include "testsupport.h"

#include <CameraUIServiceCWrapper.h>

#include <QCoreApplication>
#include <QTest>

class NoApplicationTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void execWithoutApplication()
    {
        QVERIFY(!QCoreApplication::instance());
        CameraUIService *service = CreateCameraUIService(1, 0);
        StdoutCapture trace;
        QCOMPARE(Exec(service), 0);
        QCOMPARE(trace.takeLines(),
            QStringList({ QStringLiteral("Camera LOG in CameraUIService.cpp:#:exec:enter"),
                QStringLiteral("Camera LOG in CameraUIService.cpp:#:exec:error: no "
                               "Qt application object, cannot wait for the camera"),
                QStringLiteral("Camera LOG in CameraUIService.cpp:#:exec:exit"), QString() }));
        QCOMPARE(GetCameraOutcome(service), int(CameraOutcomeRefused));
        QVERIFY(QByteArray(GetCameraErrorMessage(service)).contains("no Qt application object"));
        DestroyCameraDlg(service);
    }

    // Refused at once, and the callback never runs: there is no loop to run it.
    void startWithoutApplication()
    {
        CameraUIService *service = CreateCameraUIService(1, 0);
        int calls = 0;
        QCOMPARE(
            StartCamera(
                service, [](CameraUIService *, int, void *n) { ++*static_cast<int *>(n); }, &calls),
            0);
        QCOMPARE(GetCameraOutcome(service), int(CameraOutcomeRefused));
        DestroyCameraDlg(service);
        QCOMPARE(calls, 0);
    }
};

QTEST_APPLESS_MAIN(NoApplicationTest)
#include "noapplicationtest.moc"
