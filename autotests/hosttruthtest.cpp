// SPDX-License-Identifier: MIT
// What a host is told matches what happened: the camera's failure is not the user's no,
// ACCEPTED means a file, the bytes read back are the capture's, the video duration limit
// goes out and its answer comes back, and every outcome has a name.
#include "testsupport.h"

#include <CameraCapture.h>
#include <CameraUIServiceCWrapper.h>
#include <kivaction_names_p.h>

#include <QCoreApplication>
#include <QDBusUnixFileDescriptor>
#include <QDir>
#include <QFileInfo>
#include <QMetaEnum>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kActionReturn = KivAction::Key::actionReturn();
const QString kLocationReturn = KivAction::Key::fileLocationReturn();

// The wire value of key in a request, or an invalid QVariant.
WireValue valueOf(const QDBusMessage &invoke, const QString &key)
{
    for (const WireValue &value : wireValues(invoke)) {
        if (value.key == key)
            return value;
    }
    return {};
}

// How many of this process's descriptors are open on the file st describes.
int descriptorsOn(const struct stat &st)
{
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &entry :
        fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        struct stat open = {};
        if (::stat(QFile::encodeName(fds.filePath(entry)).constData(), &open) == 0
            && open.st_dev == st.st_dev && open.st_ino == st.st_ino)
            ++count;
    }
    return count;
}

enum AfterCapture
{
    NothingChanges,
    HostReplacesFile, // the host renames a file of its own onto the target
    HostNamesAnother, // SetCameraFileLocation with another file
    NextLaunch, // a second launch, rejected
};

} // namespace

class HostTruthTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QVERIFY(m_dir.isValid()); }
    void answers_data();
    void answers();
    void committedFileIsRead_data();
    void committedFileIsRead();
    void durationLimit_data();
    void durationLimit();
    void outcomeNames_data();
    void outcomeNames();

private:
    QTemporaryDir m_dir;
};

// How the camera's answer and the file system decide the outcome. "@" is the test's folder.
void HostTruthTest::answers_data()
{
    QTest::addColumn<QString>("asked"); // the host's fileLocation; "" none
    QTest::addColumn<QString>("actionReturn"); // "" none sent
    QTest::addColumn<QString>("returned"); // fileLocationReturn; "" none sent
    QTest::addColumn<QByteArray>("written"); // what the camera writes into the descriptor
    QTest::addColumn<bool>("existing"); // the asked file is there before the launch
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("message"); // a part of it; "" exactly ""
    QTest::addColumn<QByteArray>("kept"); // what the asked file holds afterwards

    const QString asked = QStringLiteral("@/p.jpg");
    QTest::newRow("FAILED is the camera's failure")
        << asked << QStringLiteral("FAILED") << QString() << QByteArray() << false
        << int(CameraOutcomeFailed) << QStringLiteral("the disk is full")
        << QByteArray("(missing)");
    QTest::newRow("REJECTED stays the user's no")
        << asked << QStringLiteral("REJECTED") << QString() << QByteArray() << false
        << int(CameraOutcomeRejected) << QStringLiteral("the disk is full")
        << QByteArray("(missing)");
    QTest::newRow("ACCEPTED naming a missing file")
        << QString() << QStringLiteral("ACCEPTED") << QStringLiteral("@/gone.jpg") << QByteArray()
        << false << int(CameraOutcomeFailed)
        << QStringLiteral("the camera reported ACCEPTED but left no file at @/gone.jpg")
        << QByteArray("(missing)");
    QTest::newRow("ACCEPTED, nothing written, asked file missing")
        << asked << QStringLiteral("ACCEPTED") << QString() << QByteArray() << false
        << int(CameraOutcomeFailed)
        << QStringLiteral("the camera reported ACCEPTED but left no file at @/p.jpg")
        << QByteArray("(missing)");
    QTest::newRow("descriptor written, fileDescriptorUsed forgotten")
        << asked << QStringLiteral("ACCEPTED") << asked << QByteArray("jpeg bytes") << false
        << int(CameraOutcomeAccepted) << QString() << QByteArray("jpeg bytes");
    QTest::newRow("path written by an older camera")
        << asked << QStringLiteral("ACCEPTED") << asked << QByteArray() << true
        << int(CameraOutcomeAccepted) << QString() << QByteArray("old");
    QTest::newRow("no location at all")
        << QString() << QStringLiteral("ACCEPTED") << QString() << QByteArray() << false
        << int(CameraOutcomeAccepted) << QString() << QByteArray();
    QTest::newRow("no action return keeps the fresh ACCEPTED")
        << asked << QString() << QString() << QByteArray() << false << int(CameraOutcomeAccepted)
        << QString() << QByteArray("(missing)");
}

void HostTruthTest::answers()
{
    QFETCH(QString, asked);
    QFETCH(QString, actionReturn);
    QFETCH(QString, returned);
    QFETCH(QByteArray, written);
    QFETCH(bool, existing);
    QFETCH(int, outcome);
    QFETCH(QString, message);
    QFETCH(QByteArray, kept);
    asked.replace(QLatin1Char('@'), m_dir.path());
    returned.replace(QLatin1Char('@'), m_dir.path());
    message.replace(QLatin1Char('@'), m_dir.path());
    QFile::remove(asked);
    if (existing)
        QVERIFY(putFile(asked, "old"));

    TestPeer peer;
    QVERIFY(peer.isRegistered());
    if (!actionReturn.isEmpty())
        peer.results.insert(kActionReturn, actionReturn);
    if (!returned.isEmpty())
        peer.results.insert(kLocationReturn, returned);
    if (actionReturn != QLatin1String("ACCEPTED"))
        peer.results.insert(KivAction::Key::failureReason(), QStringLiteral("the disk is full"));
    connect(&peer, &TestPeer::requestReceived, &peer, [&] {
        const auto fd = valueOf(peer.requests.constLast(), KivAction::Key::fileDescriptor())
                            .value.value<QDBusUnixFileDescriptor>();
        if (!written.isEmpty() && fd.isValid())
            QCOMPARE(::write(fd.fileDescriptor(), written.constData(), size_t(written.size())),
                ssize_t(written.size()));
    });

    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    if (!asked.isEmpty())
        SetCameraFileLocation(service, QFile::encodeName(asked).constData());
    SetCameraTimeout(service, Bound::quick);
    QCOMPARE(Exec(service), outcome == CameraOutcomeAccepted ? 1 : 0);
    QCOMPARE(GetCameraOutcome(service), outcome);
    const QString error = QString::fromUtf8(GetCameraErrorMessage(service));
    if (message.isEmpty())
        QCOMPARE(error, QString());
    else
        QVERIFY2(error.contains(message), qPrintable(error));
    if (!asked.isEmpty())
        QCOMPARE(fileBytes(asked), kept);
    QCOMPARE(hiddenEntries(m_dir.path()), QStringList());
}

// The bytes a host reads back are those of the file the library committed, wherever its
// folder went: a folder swapped during the capture leaves another file at the path. Only a
// camera that wrote the path itself is read by the path.
void HostTruthTest::committedFileIsRead_data()
{
    QTest::addColumn<bool>("descriptor"); // the camera writes through it, else the path
    QTest::addColumn<bool>("swapped"); // mv D D.old; mkdir D; a planted D/p.jpg
    QTest::addColumn<int>("after");
    QTest::addColumn<QByteArray>("read");

    QTest::newRow("descriptor, untouched")
        << true << false << int(NothingChanges) << QByteArray("captured");
    QTest::newRow("descriptor, folder swapped during the capture")
        << true << true << int(NothingChanges) << QByteArray("captured");
    QTest::newRow("descriptor, host replaced the file since")
        << true << false << int(HostReplacesFile) << QByteArray("captured");
    QTest::newRow("descriptor, host names another file")
        << true << true << int(HostNamesAnother) << QByteArray("another");
    QTest::newRow("descriptor, a later launch started")
        << true << true << int(NextLaunch) << QByteArray("PLANTED");
    QTest::newRow("path only, folder swapped during the capture")
        << false << true << int(NothingChanges) << QByteArray("PLANTED");
}

void HostTruthTest::committedFileIsRead()
{
    QFETCH(bool, descriptor);
    QFETCH(bool, swapped);
    QFETCH(int, after);
    QFETCH(QByteArray, read);
    static int row = 0;
    const QString folder = m_dir.filePath(QStringLiteral("D%1").arg(++row));
    const QString moved = folder + QStringLiteral(".old");
    const QString target = folder + QStringLiteral("/p.jpg");
    QVERIFY(QDir().mkdir(folder));

    TestPeer peer;
    QVERIFY(peer.isRegistered());
    peer.results.insert(kActionReturn, QStringLiteral("ACCEPTED"));
    peer.results.insert(kLocationReturn, target);
    if (descriptor)
        peer.results.insert(KivAction::Key::fileDescriptorUsed(), QStringLiteral("YES"));
    int received = 0;
    connect(&peer, &TestPeer::requestReceived, &peer, [&] {
        if (++received > 1)
            return;
        const auto fd = valueOf(peer.requests.constLast(), KivAction::Key::fileDescriptor())
                            .value.value<QDBusUnixFileDescriptor>();
        QVERIFY(fd.isValid());
        if (descriptor)
            QCOMPARE(::write(fd.fileDescriptor(), "captured", 8), ssize_t(8));
        else
            QVERIFY(putFile(target, "captured"));
        if (swapped) {
            QVERIFY(QDir().rename(folder, moved));
            QVERIFY(QDir().mkdir(folder));
            QVERIFY(putFile(target, "PLANTED"));
        }
    });

    CameraUIService *service = CreateCameraUIService(1, 0);
    auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    SetCameraFileLocation(service, QFile::encodeName(target).constData());
    QCOMPARE(Exec(service), 1);
    const QString landed = swapped ? moved + QStringLiteral("/p.jpg") : target;
    QCOMPARE(fileBytes(landed), QByteArray("captured"));
    struct stat capture = {};
    QCOMPARE(::stat(QFile::encodeName(landed).constData(), &capture), 0);
    // The request's copies are the peer's and the bus's, not the service's.
    peer.requests.clear();

    switch (AfterCapture(after)) {
    case NothingChanges:
        break;
    case HostReplacesFile:
        QVERIFY(putFile(target + QStringLiteral(".new"), "the host's own"));
        QCOMPARE(::rename(QFile::encodeName(target + QStringLiteral(".new")).constData(),
                     QFile::encodeName(target).constData()),
            0);
        break;
    case HostNamesAnother:
        QVERIFY(putFile(m_dir.filePath(QStringLiteral("another")), "another"));
        SetCameraFileLocation(
            service, QFile::encodeName(m_dir.filePath(QStringLiteral("another"))).constData());
        break;
    case NextLaunch:
        peer.results.insert(kActionReturn, QStringLiteral("REJECTED"));
        QCOMPARE(Exec(service), 0);
        peer.requests.clear();
        WAIT_COMPARE(descriptorsOn(capture), 0, 10000);
        break;
    }
    size_t size = 0;
    const void *bytes = GetCameraDataBytes(service, &size);
    QCOMPARE(QByteArray(static_cast<const char *>(bytes), int(size)), read);
    QCOMPARE(GetCameraData(service), read);

    // Held while the service lives, never after.
    destroy.dismiss();
    DestroyCameraDlg(service);
    WAIT_COMPARE(descriptorsOn(capture), 0, 10000);
    QCOMPARE(hiddenEntries(folder), QStringList());
}

// videoDurationLimit goes out only when set, after the settings; the answer's length and
// ending come back through C and CameraCapture alike.
void HostTruthTest::durationLimit_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<QString>("durationAnswer"); // "" none sent
    QTest::addColumn<QString>("endedAnswer");
    QTest::addColumn<int>("duration");
    QTest::addColumn<QString>("endedBy");
    QTest::addColumn<bool>("tracedMissing");

    QTest::newRow("not set: not sent") << 0 << QString() << QString() << 0 << QString() << false;
    QTest::newRow("reached") << 10000 << QStringLiteral("10000") << QStringLiteral("DURATION_LIMIT")
                             << 10000 << QStringLiteral("DURATION_LIMIT") << false;
    QTest::newRow("ended by the size limit")
        << 10000 << QStringLiteral("4200") << QStringLiteral("SIZE_LIMIT") << 4200
        << QStringLiteral("SIZE_LIMIT") << false;
    QTest::newRow("older camera says nothing")
        << 5000 << QString() << QString() << 0 << QString() << true;
    QTest::newRow("nonsense length") << 5000 << QStringLiteral("soon") << QStringLiteral("USER")
                                     << 0 << QStringLiteral("USER") << false;
    QTest::newRow("negative limit: not sent")
        << -5 << QString() << QString() << 0 << QString() << false;
}

void HostTruthTest::durationLimit()
{
    QFETCH(int, limit);
    QFETCH(QString, durationAnswer);
    QFETCH(QString, endedAnswer);
    QFETCH(int, duration);
    QFETCH(QString, endedBy);
    QFETCH(bool, tracedMissing);

    TestPeer peer;
    QVERIFY(peer.isRegistered());
    peer.results.insert(kActionReturn, QStringLiteral("ACCEPTED"));
    if (!durationAnswer.isEmpty())
        peer.results.insert(KivAction::Key::videoDurationMs(), durationAnswer);
    if (!endedAnswer.isEmpty())
        peer.results.insert(KivAction::Key::videoEndedBy(), endedAnswer);

    CameraUIService *service = CreateCameraUIService(2, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    SetCameraVideoDurationLimit(service, limit);
    StdoutCapture trace;
    SetCameraTimeout(service, Bound::quick);
    QCOMPARE(Exec(service), 1);
    const QByteArray text = trace.take();
    QCOMPARE(text.contains("the camera did not report a duration"), tracedMissing);
    QStringList keys;
    for (const WireValue &value : wireValues(peer.requests.constLast()))
        keys << value.key;
    const int at = keys.indexOf(KivAction::Key::videoDurationLimit());
    QCOMPARE(at >= 0, limit > 0);
    if (limit > 0) {
        QCOMPARE(at, keys.indexOf(KivAction::Key::hasPostCapturedScreen()) + 1);
        const WireValue sent = valueOf(peer.requests.constLast(), keys.at(at));
        QCOMPARE(sent.signature, QStringLiteral("i"));
        QCOMPARE(sent.value.toInt(), limit);
    }
    QCOMPARE(GetCameraVideoDuration(service), duration);
    QCOMPARE(QString::fromUtf8(GetCameraVideoEndedBy(service)), endedBy);

    // CameraCapture: the same, announced with the launch's end.
    CameraCapture capture;
    capture.setCameraType(CameraCapture::Video);
    capture.setVideoDurationLimit(limit);
    QCOMPARE(capture.videoDurationLimit(), qMax(limit, 0));
    QSignalSpy finished(&capture, &CameraCapture::finished);
    QSignalSpy durationChanged(&capture, &CameraCapture::videoDurationChanged);
    capture.setTimeout(Bound::quick);
    QVERIFY(capture.start());
    WAIT_COMPARE(finished.count(), 1, Bound::quick);
    QCOMPARE(capture.videoDuration(), duration);
    QCOMPARE(capture.videoEndedBy(), endedBy);
    QCOMPARE(durationChanged.count(), duration > 0 ? 1 : 0);
}

void HostTruthTest::outcomeNames_data()
{
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("name"); // null: NULL

    const char *names[] = { "None", "Accepted", "Rejected", "Cancelled", "TimedOut", "Interrupted",
        "NoCamera", "CameraFailed", "Forged", "NoBus", "Refused", "Aborted", "Failed" };
    for (int i = 0; i < int(sizeof names / sizeof *names); ++i)
        QTest::addRow("%d", i) << i << QString::fromLatin1(names[i]);
    QTest::newRow("below the enum") << -1 << QString();
    QTest::newRow("above the enum") << int(CameraOutcomeFailed) + 1 << QString();
}

void HostTruthTest::outcomeNames()
{
    QFETCH(int, outcome);
    QFETCH(QString, name);

    const char *c = GetCameraOutcomeName(outcome);
    QCOMPARE(c == nullptr, name.isNull());
    if (c)
        QCOMPARE(QString::fromLatin1(c), name);
    QCOMPARE(CameraCapture::outcomeName(outcome), name.isNull() ? QString() : name);
    // The QML enum key spells the same, except NoOutcome for None.
    if (!name.isNull() && outcome > 0) {
        const QMetaEnum keys = QMetaEnum::fromType<CameraCapture::Outcome>();
        QCOMPARE(QString::fromLatin1(keys.valueToKey(outcome)), name);
    }
}

QTEST_GUILESS_MAIN(HostTruthTest)
#include "hosttruthtest.moc"
