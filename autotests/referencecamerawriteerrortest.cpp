// SPDX-License-Identifier: MIT
// The reference camera writing to a full disk or past the largest file the system allows:
// the capture ends FAILED with the system's words, not as the camera's failure, and nothing
// of it stays at the target.
#include "kivaction_names_p.h"
#include "testsupport.h"

#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

using Results = QMap<QString, QString>;

namespace {

constexpr int kLimit = 16384; // bytes: the size of the disk, or of the largest file
// A refused capture is answered as soon as a write fails; the camera's start and a loaded
// machine fit in this.
constexpr int kAnswerBound = 25000;

QString systemWords(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Mounts a small tmpfs on the folder given after the command, in a mount namespace of the
// camera's own, then runs the rest (the camera).
QStringList fullDiskLauncher(const QString &folder)
{
    return { QStringLiteral("unshare"), QStringLiteral("--mount"), QStringLiteral("--propagation"),
        QStringLiteral("private"), QStringLiteral("sh"), QStringLiteral("-c"),
        QStringLiteral("mount -t tmpfs -o size=%1 tmpfs \"$1\" && shift && exec \"$@\"")
            .arg(kLimit),
        QStringLiteral("sh"), folder };
}

// RLIMIT_FSIZE with SIGXFSZ ignored (kept over exec): writes past it fail with EFBIG.
QStringList fileSizeLauncher()
{
    return { QStringLiteral("sh"), QStringLiteral("-c"),
        QStringLiteral("trap '' XFSZ; exec prlimit --fsize=%1 -- \"$@\"").arg(kLimit),
        QStringLiteral("sh") };
}

} // namespace

class ReferenceCameraWriteErrorTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup() { QVERIFY(m_camera.stop()); }
    void sinkCannotWrite_data();
    void sinkCannotWrite();

private:
    QTemporaryDir m_dir;
    CameraProcess m_camera;
    QString m_mountProblem; // why no tmpfs can be mounted here, or empty
};

void ReferenceCameraWriteErrorTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qDBusRegisterMetaType<Results>();
    const QString probe = m_dir.filePath(QStringLiteral("probe"));
    QVERIFY(QDir().mkpath(probe));
    QProcess mount;
    const QStringList launcher = fullDiskLauncher(probe);
    mount.start(launcher.first(), launcher.mid(1) + QStringList(QStringLiteral("true")));
    if (!mount.waitForFinished(20000))
        m_mountProblem = QStringLiteral("unshare did not finish");
    else if (mount.exitStatus() != QProcess::NormalExit || mount.exitCode() != 0)
        m_mountProblem = QString::fromLocal8Bit(mount.readAllStandardError()).trimmed();
}

void ReferenceCameraWriteErrorTest::sinkCannotWrite_data()
{
    QTest::addColumn<int>("error"); // ENOSPC: a full disk; EFBIG: the file size limit
    QTest::addColumn<bool>("video");
    QTest::addColumn<bool>("descriptor"); // the host's descriptor, else the path

    for (const int error : { ENOSPC, EFBIG }) {
        for (const bool video : { false, true }) {
            for (const bool descriptor : { true, false }) {
                QTest::addRow("%s, %s through %s",
                    error == ENOSPC ? "full disk" : "file size limit",
                    video ? "recording" : "photo", descriptor ? "a descriptor" : "the path")
                    << error << video << descriptor;
            }
        }
    }
}

void ReferenceCameraWriteErrorTest::sinkCannotWrite()
{
    QFETCH(int, error);
    QFETCH(bool, video);
    QFETCH(bool, descriptor);
    if (error == ENOSPC && !m_mountProblem.isEmpty())
        QSKIP(qPrintable(QStringLiteral("a full disk needs a small tmpfs in a mount namespace of "
                                        "its own (root or CAP_SYS_ADMIN); here: %1")
                             .arg(m_mountProblem)));

    static int row = 0;
    const QString folder = m_dir.filePath(QStringLiteral("row%1").arg(++row));
    QVERIFY(QDir().mkpath(folder));
    m_camera.setLauncher(error == ENOSPC ? fullDiskLauncher(folder) : fileSizeLauncher());
    QVERIFY(m_camera.start(m_dir.path(), {}));
    // The folder as the camera sees it: its tmpfs is in its own mount namespace.
    const QString seen
        = QStringLiteral("/proc/%1/root%2").arg(m_camera.process()->processId()).arg(folder);

    QVariantMap values;
    values.insert(
        KivAction::Key::cameraType(), video ? QStringLiteral("VIDEO") : QStringLiteral("PHOTO"));
    values.insert(KivAction::Key::fileLocation(),
        folder + (video ? QStringLiteral("/v.mp4") : QStringLiteral("/p.jpg")));
    values.insert(KivAction::Key::photoResolution(), QStringLiteral("1280x720"));
    values.insert(KivAction::Key::videoQuality(), QStringLiteral("LOWEST"));
    values.insert(KivAction::Key::videoDurationLimit(), 2000);
    if (descriptor) {
        const int fd = ::open(QFile::encodeName(seen + QStringLiteral("/behind")).constData(),
            O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        QVERIFY2(fd >= 0, std::strerror(errno));
        values.insert(
            KivAction::Key::fileDescriptor(), QVariant::fromValue(QDBusUnixFileDescriptor(fd)));
        ::close(fd);
    }
    QDBusMessage call = QDBusMessage::createMethodCall(KivAction::cameraBusName(),
        KivAction::objectPath(), KivAction::interfaceName(), KivAction::invokeMethod());
    call << KivAction::cameraAction() << values;
    const QDBusPendingReply<Results> reply
        = QDBusConnection::sessionBus().asyncCall(call, kAnswerBound);
    WAIT_VERIFY(reply.isFinished(), kAnswerBound + 2000);

    // The file's fault: an answer, not the D-Bus error that says the camera failed.
    QVERIFY2(!reply.isError(),
        qPrintable(reply.error().name() + QStringLiteral(": ") + reply.error().message()));
    const Results results = reply.value();
    QCOMPARE(results.value(KivAction::Key::actionReturn()), KivAction::Value::failed());
    const QString reason = results.value(KivAction::Key::failureReason());
    // The system's words, then what to do about them.
    QVERIFY2(reason.contains(systemWords(error) + QStringLiteral("; ")), qPrintable(reason));
    QVERIFY(!results.contains(KivAction::Key::fileDescriptorUsed()));
    // Nothing of the capture stays: the descriptor's file is emptied, a path gets nothing.
    const QStringList left = QDir(seen).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    QCOMPARE(left, descriptor ? QStringList(QStringLiteral("behind")) : QStringList());
    if (descriptor)
        QCOMPARE(QFileInfo(seen + QStringLiteral("/behind")).size(), qint64(0));
}

QTEST_GUILESS_MAIN(ReferenceCameraWriteErrorTest)
#include "referencecamerawriteerrortest.moc"
