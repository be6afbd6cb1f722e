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
        DestroyCameraDlg(service);
    }
};

QTEST_APPLESS_MAIN(NoApplicationTest)
#include "noapplicationtest.moc"
