// SPDX-License-Identifier: MIT
// Fault matrix, end to end through the C entry points: what a host sees when the camera,
// the bus, the answer, the captured file, the configuration or the host itself misbehave.
// Each row checks the answer, the trace and the platform's warning; a crash fails the run
// and a hang fails the row (QTEST_FUNCTION_TIMEOUT, set by CTest).
//
//   launchFaults         no camera, error answer, wrong signature, forged reply, camera gone
//   forgedReplies        a third party's reply or error: refused, or dropped by the bus policy
//   noSessionBus, busDiesMidLaunch, lateAnswerLeavesHostLoopAlone, execReenteredWhileWaiting,
//   destroyedWhileWaiting
//   nullHandle           every entry point with a null handle
//   hostStrings          every byte and 1 MiB through every setter and back
//   invalidUtf8Location, unpairedSurrogateLocation, nonLatin1Location
//   controlCharactersInLocation   a returned location that tries to forge trace lines
//   capturedFileChanges  the captured file changed, replaced, raced or sparse past 4 GiB
//   configurationFiles   missing, garbage, huge, sparse, FIFO, device, control characters
//   fifoExchangeRace     a FIFO swapped in and out while files are read

#include "csetters.h"
#include "kivaction_names_p.h"
#include "testsupport.h"

#include <AM_ActionResults.h>
#include <CameraUIServiceCWrapper.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

// The library reads the captured file with one fread call. Defining fread here puts this
// one first in the lookup order, so a row can change the file after its size was taken
// and before it is read: a race that cannot be timed from outside.
namespace {
std::function<void()> s_beforeRead;
int s_readsSeen = 0;
} // namespace

extern "C" __attribute__((visibility("default"))) size_t fread(
    void *ptr, size_t size, size_t count, FILE *stream)
{
    using Fn = size_t (*)(void *, size_t, size_t, FILE *);
    static const Fn next = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "fread"));
    ++s_readsSeen;
    if (s_beforeRead) {
        const std::function<void()> hook = std::move(s_beforeRead);
        s_beforeRead = nullptr;
        hook();
    }
    return next(ptr, size, count, stream);
}

namespace {

using Results = QMap<QString, QString>;

const QString kName = KivAction::cameraBusName();
// A file that is there: a camera answering ACCEPTED without naming one means this one.
const QString &asked()
{
    static const QString path = capturedFile(QStringLiteral("asked.png"));
    return path;
}
const QString kActionReturn = KivAction::Key::actionReturn();
const QString kLocationReturn = KivAction::Key::fileLocationReturn();
const QString kAccepted = QStringLiteral("ACCEPTED");

QString traceLine(const char *file, const char *text)
{
    return QStringLiteral("Camera LOG in %1:#:%2").arg(QLatin1String(file), QLatin1String(text));
}

QString svc(const char *text)
{
    return traceLine("CameraUIService.cpp", text);
}

// Short enough to read when a row fails: 1 MiB lines are cut.
QByteArray shown(const QStringList &lines)
{
    QStringList cut;
    for (const QString &line : lines)
        cut << (line.size() > 300 ? line.left(300) + QStringLiteral("...") : line);
    return cut.join(QLatin1Char('\n')).toLocal8Bit();
}

#define VERIFY_LINE(lines, line)                                                                   \
    QVERIFY2(                                                                                      \
        (lines).contains(line), shown(QStringList { line, QStringLiteral("--- in:") } + (lines)))

// The platform layer's warning that names why a launch was aborted or a file not read:
// the row fails unless it comes.
void expectWarning(const QString &fragment)
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(fragment)));
}

bool nameOwned()
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() && bus.interface()->isServiceRegistered(kName);
}

// Every byte a C string can hold, 1 to 255, and the same cycled up to 1 MiB.
QByteArray allBytes()
{
    QByteArray bytes;
    for (int c = 1; c < 256; ++c)
        bytes += char(c);
    return bytes;
}

// How the trace prints bytes 1 to 255: written out, not computed, so it checks the
// library's escaping instead of restating it.
const QByteArray kEveryByteTraced
    = QByteArray("\\x01\\x02\\x03\\x04\\x05\\x06\\x07\\x08\\t\\n\\x0b\\x0c\\r\\x0e\\x0f\\x10"
                 "\\x11\\x12\\x13\\x14\\x15\\x16\\x17\\x18\\x19\\x1a\\x1b\\x1c\\x1d\\x1e\\x1f "
                 "!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghij"
                 "klmnopqrstuvwxyz{|}~\\x7f\\x80\\x81\\x82\\x83\\x84\\x85\\x86\\x87\\x88\\x89"
                 "\\x8a\\x8b\\x8c\\x8d\\x8e\\x8f\\x90\\x91\\x92\\x93\\x94\\x95\\x96\\x97\\x98"
                 "\\x99\\x9a\\x9b\\x9c\\x9d\\x9e\\x9f\xa0"
                 "\xa1"
                 "\xa2"
                 "\xa3"
                 "\xa4"
                 "\xa5"
                 "\xa6"
                 "\xa7"
                 "\xa8"
                 "\xa9"
                 "\xaa"
                 "\xab"
                 "\xac"
                 "\xad"
                 "\xae"
                 "\xaf"
                 "\xb0"
                 "\xb1"
                 "\xb2"
                 "\xb3"
                 "\xb4"
                 "\xb5"
                 "\xb6"
                 "\xb7"
                 "\xb8"
                 "\xb9"
                 "\xba"
                 "\xbb"
                 "\xbc"
                 "\xbd"
                 "\xbe"
                 "\xbf"
                 "\xc0"
                 "\xc1"
                 "\xc2"
                 "\xc3"
                 "\xc4"
                 "\xc5"
                 "\xc6"
                 "\xc7"
                 "\xc8"
                 "\xc9"
                 "\xca"
                 "\xcb"
                 "\xcc"
                 "\xcd"
                 "\xce"
                 "\xcf"
                 "\xd0"
                 "\xd1"
                 "\xd2"
                 "\xd3"
                 "\xd4"
                 "\xd5"
                 "\xd6"
                 "\xd7"
                 "\xd8"
                 "\xd9"
                 "\xda"
                 "\xdb"
                 "\xdc"
                 "\xdd"
                 "\xde"
                 "\xdf"
                 "\xe0"
                 "\xe1"
                 "\xe2"
                 "\xe3"
                 "\xe4"
                 "\xe5"
                 "\xe6"
                 "\xe7"
                 "\xe8"
                 "\xe9"
                 "\xea"
                 "\xeb"
                 "\xec"
                 "\xed"
                 "\xee"
                 "\xef"
                 "\xf0"
                 "\xf1"
                 "\xf2"
                 "\xf3"
                 "\xf4"
                 "\xf5"
                 "\xf6"
                 "\xf7"
                 "\xf8"
                 "\xf9"
                 "\xfa"
                 "\xfb"
                 "\xfc"
                 "\xfd"
                 "\xfe"
                 "\xff");
// The trace of bytes 1 to 16, where the mebibyte row ends.
const QByteArray kFirst16Traced
    = QByteArray("\\x01\\x02\\x03\\x04\\x05\\x06\\x07\\x08\\t\\n\\x0b\\x0c\\r\\x0e\\x0f\\x10");

QByteArray mebibyteOfAllBytes()
{
    const QByteArray cycle = allBytes();
    QByteArray bytes = cycle.repeated((1 << 20) / cycle.size() + 1);
    bytes.truncate(1 << 20);
    return bytes;
}

// Index of the first difference, for a readable failure on megabyte strings.
QByteArray firstDifference(const QString &a, const QString &b)
{
    int i = 0;
    while (i < a.size() && i < b.size() && a.at(i) == b.at(i))
        ++i;
    return QStringLiteral("sizes %1 and %2, first difference at %3")
        .arg(a.size())
        .arg(b.size())
        .arg(i)
        .toLatin1();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(content) == content.size();
}

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 7 + 3);
    return bytes;
}

// The set-up every launch row shares: a service made through the C API that asked for
// asked(), destroyed with the row.
class Service
{
public:
    explicit Service(CameraType type = 1)
        : m_handle(CreateCameraUIService(type, 0))
    {
        SetCameraFileLocation(m_handle, QFile::encodeName(asked()).constData());
        // A launch whose answer never comes fails its row instead of holding the test.
        SetCameraTimeout(m_handle, Bound::camera);
    }
    ~Service() { DestroyCameraDlg(m_handle); }
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;
    operator CameraUIService *() const { return m_handle; }

private:
    CameraUIService *m_handle;
};

// One Exec and the trace it printed.
struct Launch
{
    int result;
    QStringList lines;
};

Launch launch(CameraUIService *service)
{
    StdoutCapture trace;
    const int result = Exec(service);
    return { result, trace.takeLines() };
}

// Peak resident memory so far, in MiB.
long peakMib()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

// Every entry point that takes a handle, called with a null one.
struct NullCall
{
    QByteArray name;
    int calls; // trace lines: one per call
    std::function<QString()> call; // describes what came back
    const char *expected;
};

void startCallback(CameraUIService *, int, void *called)
{
    *static_cast<bool *>(called) = true;
}

const QList<NullCall> &nullCalls()
{
    static const QList<NullCall> calls = [] {
        QList<NullCall> list {
            { "DestroyCameraDlg", 0,
                [] {
                    DestroyCameraDlg(nullptr);
                    return QString();
                },
                "" },
            { "Exec", 1, [] { return QString::number(Exec(nullptr)); }, "0" },
            { "GetCameraFileLocation", 2,
                [] {
                    // A host that writes into the shared value must not see it again.
                    QString &first = GetCameraFileLocation(nullptr);
                    const QString was = first;
                    first = QStringLiteral("written by the host");
                    return was + QLatin1Char('|') + GetCameraFileLocation(nullptr);
                },
                "|" },
            { "GetCameraData", 2,
                [] {
                    QByteArray &first = GetCameraData(nullptr);
                    const QByteArray was = first;
                    first = "written by the host";
                    return QString::fromLatin1(was + '|' + GetCameraData(nullptr));
                },
                "|" },
            { "GetMinDataSize", 1, [] { return QString::number(GetMinDataSize(nullptr)); }, "0" },
            { "GetAutoPostSetting", 1,
                [] { return QString::number(GetAutoPostSetting(nullptr, 1)); }, "0" },
            { "GetCameraOutcome", 1, [] { return QString::number(GetCameraOutcome(nullptr)); },
                "0" },
            { "GetCameraErrorMessage", 1,
                [] { return QString::fromUtf8(GetCameraErrorMessage(nullptr)); }, "" },
            { "GetCameraCapabilities", 1,
                [] {
                    // NULL, never text: a host cannot tell "{}" from an answer.
                    const char *text = GetCameraCapabilities(nullptr);
                    return text ? QString::fromUtf8(text) : QStringLiteral("NULL");
                },
                "NULL" },
            { "CancelCamera", 1,
                [] {
                    CancelCamera(nullptr);
                    return QString();
                },
                "" },
            { "SetCameraTimeout", 1,
                [] {
                    SetCameraTimeout(nullptr, 10);
                    return QString();
                },
                "" },
            { "StartCamera", 1,
                [] {
                    bool called = false;
                    const int started = StartCamera(nullptr, startCallback, &called);
                    QCoreApplication::processEvents();
                    return QStringLiteral("%1 %2").arg(started).arg(called);
                },
                "0 0" },
            { "WaitCamera", 1, [] { return QString::number(WaitCamera(nullptr, -1)); }, "1" },
            { "GetCameraSettingUsed", 1,
                [] { return QString::fromUtf8(GetCameraSettingUsed(nullptr, "photoResolution")); },
                "" },
            { "GetCameraFileLocationUtf8", 1,
                [] { return QString::fromUtf8(GetCameraFileLocationUtf8(nullptr)); }, "" },
            { "GetCameraDataBytes", 1,
                [] {
                    size_t size = 1;
                    const void *bytes = GetCameraDataBytes(nullptr, &size);
                    return QStringLiteral("%1 %2")
                        .arg(QLatin1String(bytes ? "pointer" : "null"))
                        .arg(size);
                },
                "pointer 0" }, // never null: hosts pass it to memcpy with the size
            { "GetCameraActionReturn", 1,
                [] { return QString::fromUtf8(GetCameraActionReturn(nullptr)); }, "" },
            { "SetCameraVideoDurationLimit", 1,
                [] {
                    SetCameraVideoDurationLimit(nullptr, 1000);
                    return QString();
                },
                "" },
            { "GetCameraVideoDuration", 1,
                [] { return QString::number(GetCameraVideoDuration(nullptr)); }, "0" },
            { "GetCameraVideoEndedBy", 1,
                [] { return QString::fromUtf8(GetCameraVideoEndedBy(nullptr)); }, "" },
        };
        for (const CSetter &setter : cSetters()) {
            const SetterFn fn = setter.fn;
            QByteArray name = QByteArray("SetCamera") + setter.key;
            name[9] = char(QChar::toUpper(uint(name.at(9))));
            list.append({ name, 1,
                [fn] {
                    fn(nullptr, "value");
                    return QString();
                },
                "" });
        }
        return list;
    }();
    return calls;
}

// The public headers' entry points whose first parameter is the handle.
QStringList headerEntryPoints()
{
    static const QRegularExpression declaration(
        QStringLiteral("CAMERAUISERVICE_EXPORT\\s+[^;(]*?\\b(\\w+)\\(\\s*CameraUIService\\s*\\*"));
    QStringList names;
    for (const char *header : { "camerauiservice.h", "CameraUIServiceCWrapper.h" }) {
        QFile file(QStringLiteral(CAMERA_TEST_SOURCE_DIR "/../include/camerauiservice/")
            + QLatin1String(header));
        if (!file.open(QIODevice::ReadOnly))
            qFatal("cannot read %s", header);
        auto it = declaration.globalMatch(QString::fromUtf8(file.readAll()));
        while (it.hasNext())
            names << it.next().captured(1);
    }
    return names;
}

} // namespace

class FaultMatrixTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();

    void launchFaults_data();
    void launchFaults();
    void forgedReplies_data();
    void forgedReplies();
    void noSessionBus();
    void busDiesMidLaunch();
    void lateAnswerLeavesHostLoopAlone();
    void execReenteredWhileWaiting();
    void destroyedWhileWaiting();
    void nullHandle_data();
    void nullHandle();
    void hostStrings_data();
    void hostStrings();
    void invalidUtf8Location_data();
    void invalidUtf8Location();
    void unpairedSurrogateLocation();
    void nonLatin1Location();
    void controlCharactersInLocation();
    void capturedFileChanges_data();
    void capturedFileChanges();
    void configurationFiles_data();
    void configurationFiles();
    void fifoExchangeRace_data();
    void fifoExchangeRace();

private:
    void startCamera(const QStringList &options);
    void stopCamera();
    void launchWorksAgain(CameraUIService *service);

    QTemporaryDir m_dir;
    CameraProcess m_camera;
};

void FaultMatrixTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void FaultMatrixTest::cleanup()
{
    s_beforeRead = nullptr;
    stopCamera();
    // A peer's name outlives its connection for a moment: the next row wants it free.
    WAIT_VERIFY(!nameOwned(), Bound::quick);
}

void FaultMatrixTest::startCamera(const QStringList &options)
{
    QVERIFY2(m_camera.start(m_dir.path(), options), m_camera.log().constData());
}

void FaultMatrixTest::stopCamera()
{
    QVERIFY(m_camera.stop());
}

// After any fault the same handle launches normally.
void FaultMatrixTest::launchWorksAgain(CameraUIService *service)
{
    stopCamera();
    TestPeer peer;
    QVERIFY(peer.isRegistered());
    peer.results = { { kActionReturn, kAccepted } };
    QCOMPARE(Exec(service), 1);
    QCOMPARE(peer.requests.size(), 1);
}

enum LaunchFault
{
    NoHandler,
    ErrorAnswer,
    WrongSignature,
    ForgedReply,
    CameraExitsWithoutAnswer,
    CameraKilledMidCapture,
};

void FaultMatrixTest::launchFaults_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("why"); // in the framework's warning

    QTest::newRow("no handler installed")
        << int(NoHandler) << QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown");
    QTest::newRow("D-Bus error answer")
        << int(ErrorAnswer) << KivAction::errorPrefix() + QStringLiteral("Storage");
    QTest::newRow("reply of the wrong signature")
        << int(WrongSignature) << QStringLiteral("reply has signature \"s\"");
    QTest::newRow("third party sends a fake reply")
        << int(ForgedReply) << QStringLiteral("which does not own");
    QTest::newRow("camera exits without answering")
        << int(CameraExitsWithoutAnswer) << QStringLiteral("org.freedesktop.DBus.Error.NoReply");
    QTest::newRow("camera killed mid-capture")
        << int(CameraKilledMidCapture) << QStringLiteral("org.freedesktop.DBus.Error.NoReply");
}

void FaultMatrixTest::launchFaults()
{
    QFETCH(int, fault);
    QFETCH(QString, why);

    QScopedPointer<TestPeer> peer;
    switch (LaunchFault(fault)) {
    case NoHandler:
        QVERIFY(!nameOwned());
        break;
    case ErrorAnswer:
        startCamera(
            { QStringLiteral("--error"), KivAction::errorPrefix() + QStringLiteral("Storage") });
        break;
    case CameraExitsWithoutAnswer:
        startCamera({ QStringLiteral("--exit-without-answer") });
        break;
    case CameraKilledMidCapture:
        startCamera({ QStringLiteral("--delay"), QStringLiteral("600000") });
        // Killed once it holds the request, while the host waits in Exec.
        connect(m_camera.process(), &QProcess::readyReadStandardOutput, m_camera.process(), [this] {
            if (m_camera.log().contains("answering request 1 in"))
                m_camera.process()->kill();
        });
        break;
    case WrongSignature:
    case ForgedReply:
        peer.reset(new TestPeer);
        QVERIFY(peer->isRegistered());
        peer->mode = fault == WrongSignature ? TestPeer::WrongSignature : TestPeer::Forged;
        peer->forgedResults
            = { { kActionReturn, kAccepted }, { kLocationReturn, QStringLiteral("/forged") } };
        break;
    }

    Service service;
    expectWarning(why);
    const Launch launched = launch(service);
    QCOMPARE(launched.result, 0);
    QCOMPARE(GetCameraFileLocation(service), asked());
    VERIFY_LINE(launched.lines, svc("handleAbortLaunch:enter"));
    VERIFY_LINE(launched.lines, svc("exec:The user actionReturn is REJECTED"));
    QVERIFY2(!launched.lines.contains(svc("handleResults:enter")), shown(launched.lines));
    if (peer) {
        QCOMPARE(peer->requests.size(), 1);
        peer.reset();
    }
    if (m_camera.process() && fault != ErrorAnswer) {
        WAIT_COMPARE(m_camera.process()->state(), QProcess::NotRunning, Bound::camera);
        QCOMPARE(m_camera.process()->exitStatus(),
            fault == CameraKilledMidCapture ? QProcess::CrashExit : QProcess::NormalExit);
    }
    launchWorksAgain(service);
}

void FaultMatrixTest::forgedReplies_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("forged reply") << int(TestPeer::Forged);
    QTest::newRow("forged error") << int(TestPeer::ForgedError);
}

// A third party answers the launch just before the camera does. On a bus without policy
// the library refuses the answer, and the launch ends as forged; on a bus with the shipped
// policy (faultmatrixtest-policy sets KIV_TEST_BUS_POLICY) the bus drops it and the
// camera's real answer completes the launch.
void FaultMatrixTest::forgedReplies()
{
    QFETCH(int, mode);
    const bool policy = qEnvironmentVariableIsSet("KIV_TEST_BUS_POLICY");

    QScopedPointer<TestPeer> peer(new TestPeer);
    QVERIFY(peer->isRegistered());
    peer->mode = TestPeer::Mode(mode);
    peer->answerAfterForgery = true;
    peer->forgedResults
        = { { kActionReturn, kAccepted }, { kLocationReturn, QStringLiteral("/forged") } };
    peer->results = { { kActionReturn, kAccepted },
        { kLocationReturn, capturedFile(QStringLiteral("real")) } };
    Service service;
    if (policy) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 3, 0)
        QTest::failOnWarning(QRegularExpression(QStringLiteral("aborted")));
#endif
    } else {
        expectWarning(QStringLiteral("which does not own"));
    }
    const Launch launched = launch(service);
    QCOMPARE(peer->requests.size(), 1);
    if (policy) {
        QCOMPARE(launched.result, 1);
        QCOMPARE(GetCameraOutcome(service), int(CameraOutcomeAccepted));
        QCOMPARE(GetCameraFileLocation(service), capturedFile(QStringLiteral("real")));
        VERIFY_LINE(launched.lines, svc("exec:The user actionReturn is ACCEPTED"));
    } else {
        QCOMPARE(launched.result, 0);
        QCOMPARE(GetCameraOutcome(service), int(CameraOutcomeForged));
        QCOMPARE(GetCameraFileLocation(service), asked());
        QVERIFY2(QByteArray(GetCameraErrorMessage(service)).contains("does not own"),
            GetCameraErrorMessage(service));
        VERIFY_LINE(launched.lines, svc("exec:The user actionReturn is REJECTED"));
    }
    peer.reset();
    WAIT_VERIFY(!nameOwned(), Bound::quick);
    launchWorksAgain(service);
}

void FaultMatrixTest::noSessionBus()
{
    if (QDBusConnection::sessionBus().isConnected())
        QSKIP("a session bus is reachable; faultmatrixtest-nobus runs this row");
    Service service(2);
    for (int attempt = 0; attempt < 2; ++attempt) {
        expectWarning(QStringLiteral("no session bus"));
        const Launch launched = launch(service);
        QCOMPARE(launched.result, 0);
        QCOMPARE(GetCameraFileLocation(service), asked());
        VERIFY_LINE(launched.lines, svc("callUIService:The actionCmd is invoked"));
        VERIFY_LINE(launched.lines, svc("handleAbortLaunch:enter"));
        VERIFY_LINE(launched.lines, svc("exec:The user actionReturn is REJECTED"));
    }
}

// The session bus itself goes away while the host waits. Run alone (faultmatrixtest-busdies)
// with KIV_TEST_OWN_BUS naming a bus configuration: the row starts that bus, so it can end it.
void FaultMatrixTest::busDiesMidLaunch()
{
    const QString config = qEnvironmentVariable("KIV_TEST_OWN_BUS");
    if (config.isEmpty())
        QSKIP("faultmatrixtest-busdies runs this row on a bus of its own");
    QProcess daemon;
    daemon.start(QStringLiteral("dbus-daemon"),
        { QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
            QStringLiteral("--print-address=1") });
    QVERIFY(daemon.waitForStarted(Bound::quick));
    WAIT_VERIFY(daemon.canReadLine(), Bound::quick);
    qputenv("DBUS_SESSION_BUS_ADDRESS", daemon.readLine().trimmed());
    const auto stop = qScopeGuard([&daemon] {
        daemon.kill();
        daemon.waitForFinished(Bound::quick);
    });

    TestPeer peer;
    QVERIFY(peer.isRegistered());
    peer.mode = TestPeer::Hold;
    connect(
        &peer, &TestPeer::requestReceived, &daemon, [&daemon] { daemon.kill(); },
        Qt::QueuedConnection);
    Service service;
    // The waiting call fails with the connection; the next launch finds no bus.
    for (const char *why : { "org.freedesktop.DBus.Error.Disconnected", "no session bus" }) {
        expectWarning(QLatin1String(why));
        const Launch launched = launch(service);
        QCOMPARE(launched.result, 0);
        QCOMPARE(GetCameraOutcome(service), int(CameraOutcomeNoBus));
        QCOMPARE(GetCameraFileLocation(service), asked());
        VERIFY_LINE(launched.lines, svc("handleAbortLaunch:enter"));
        VERIFY_LINE(launched.lines, svc("exec:The user actionReturn is REJECTED"));
    }
    QCOMPARE(peer.requests.size(), 1);
}

// A stray answer ends the launch early; the real one then arrives late, while the host
// runs an event loop of its own, which it must not end.
void FaultMatrixTest::lateAnswerLeavesHostLoopAlone()
{
    TestPeer peer;
    QVERIFY(peer.isRegistered());
    peer.mode = TestPeer::Hold;
    peer.results = { { kActionReturn, QStringLiteral("REJECTED") },
        { kLocationReturn, QStringLiteral("/late.png") } };
    Service service;
    // Only the first request gets the stray answer: a second one racing the next launch's
    // real answer would decide which file that launch names.
    auto stray = std::make_shared<QMetaObject::Connection>();
    *stray = connect(
        &peer, &TestPeer::requestReceived, this,
        [handle = static_cast<CameraUIService *>(service), stray] {
            QObject::disconnect(*stray);
            const AM_ActionResults early(Results { { kActionReturn, kAccepted },
                { kLocationReturn, capturedFile(QStringLiteral("early.png")) } });
            QVERIFY(
                QMetaObject::invokeMethod(handle, "handleResults", Q_ARG(AM_ActionResults, early)));
        },
        Qt::QueuedConnection);

    StdoutCapture trace;
    QCOMPARE(Exec(service), 1);
    QCOMPARE(GetCameraFileLocation(service), capturedFile(QStringLiteral("early.png")));
    trace.take();

    QEventLoop hostLoop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &hostLoop, [&] {
        if (trace.take().contains("handleResults:exit"))
            hostLoop.exit(42);
    });
    QTimer::singleShot(0, &peer, [&] {
        peer.release();
        poll.start(5);
    });
    QTimer::singleShot(Bound::quick, &hostLoop, [&hostLoop] { hostLoop.exit(1); });
    QCOMPARE(hostLoop.exec(), 42);
    QCOMPARE(peer.requests.size(), 1);

    // The late answer named /late.png; an ACCEPTED must name a file that is there.
    peer.mode = TestPeer::Reply;
    peer.results = { { kActionReturn, kAccepted },
        { kLocationReturn, capturedFile(QStringLiteral("second.png")) } };
    QCOMPARE(Exec(service), 1);
    QCOMPARE(GetCameraFileLocation(service), capturedFile(QStringLiteral("second.png")));
    QCOMPARE(peer.requests.size(), 2);
}

void FaultMatrixTest::execReenteredWhileWaiting()
{
    TestPeer peer;
    QVERIFY(peer.isRegistered());
    peer.mode = TestPeer::Hold;
    peer.results = { { kActionReturn, kAccepted },
        { kLocationReturn, capturedFile(QStringLiteral("outer.png")) } };
    Service service;
    int inner = -1;
    connect(
        &peer, &TestPeer::requestReceived, this,
        [&] {
            inner = Exec(service);
            peer.release();
        },
        Qt::QueuedConnection);

    StdoutCapture trace;
    QCOMPARE(Exec(service), 1);
    QCOMPARE(inner, 0);
    QCOMPARE(peer.requests.size(), 1);
    QCOMPARE(GetCameraFileLocation(service), capturedFile(QStringLiteral("outer.png")));
    const QStringList lines = trace.takeLines();
    VERIFY_LINE(lines, svc("exec:error: a launch is already waiting, nothing sent"));
    QCOMPARE(lines.count(svc("exec:The user actionReturn is ACCEPTED")), 1);
}

void FaultMatrixTest::destroyedWhileWaiting()
{
    TestPeer peer;
    QVERIFY(peer.isRegistered());
    peer.mode = TestPeer::Hold;
    peer.results = { { kActionReturn, kAccepted } };
    CameraUIService *service = CreateCameraUIService(1, 0);
    SetCameraTimeout(service, Bound::camera);
    const QMetaObject::Connection once = connect(
        &peer, &TestPeer::requestReceived, this, [service] { DestroyCameraDlg(service); },
        Qt::QueuedConnection);

    {
        StdoutCapture trace;
        QCOMPARE(Exec(service), 0);
        const QStringList lines = trace.takeLines();
        VERIFY_LINE(lines, svc("~CameraUIService:exit"));
        VERIFY_LINE(lines, svc("exec:error: the service was destroyed while waiting"));
    }

    // The answer for the dead service goes nowhere; a later launch is unaffected.
    disconnect(once);
    peer.release();
    peer.mode = TestPeer::Reply;
    CameraUIService *next = CreateCameraUIService(1, 0);
    SetCameraTimeout(next, Bound::camera);
    QCOMPARE(Exec(next), 1);
    DestroyCameraDlg(next);
    QCOMPARE(peer.requests.size(), 2);
}

void FaultMatrixTest::nullHandle_data()
{
    QTest::addColumn<int>("index"); // into nullCalls(); -1: an entry point without a row

    QStringList covered;
    for (int i = 0; i < nullCalls().size(); ++i) {
        QTest::newRow(nullCalls().at(i).name.constData()) << i;
        covered << QLatin1String(nullCalls().at(i).name);
    }
    // A new entry point fails here until it has a row above.
    const QStringList declared = headerEntryPoints();
    if (declared.isEmpty())
        QTest::newRow("(no entry points found in the headers)") << -1;
    for (const QString &name : declared) {
        if (!covered.contains(name))
            QTest::addRow("%s (no row)", qPrintable(name)) << -1;
    }
}

// Nothing happens, an empty answer comes back, and one line says why.
void FaultMatrixTest::nullHandle()
{
    QFETCH(int, index);
    QVERIFY2(index >= 0, "an entry point of the public headers has no null-handle row");
    const NullCall &entry = nullCalls().at(index);

    StdoutCapture trace;
    QCOMPARE(entry.call(), QString::fromLatin1(entry.expected));
    QStringList lines = trace.takeLines();
    lines.removeAll(QString());
    const QRegularExpression line(
        QStringLiteral("^Camera LOG in CameraUIService(CWrapper|CApi)\\.cpp:#:%1:error: the "
                       "service handle is null$")
            .arg(QLatin1String(entry.name)));
    QCOMPARE(lines.filter(line).size(), entry.calls);
    QCOMPARE(lines.size(), entry.calls);
}

void FaultMatrixTest::hostStrings_data()
{
    QTest::addColumn<SetterFn>("setter");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("traced");

    const auto &setters = cSetters();
    const QByteArray every = allBytes();
    const QByteArray huge = mebibyteOfAllBytes();
    QCOMPARE(huge.size() % every.size(), 16);
    const QByteArray hugeTraced
        = kEveryByteTraced.repeated(huge.size() / every.size()) + kFirst16Traced;
    for (const auto &s : setters) {
        QTest::addRow("%s, bytes 1 to 255", s.key)
            << s.fn << QString::fromLatin1(s.key) << every << kEveryByteTraced;
        QTest::addRow("%s, 1 MiB", s.key)
            << s.fn << QString::fromLatin1(s.key) << huge << hugeTraced;
    }
}

// Latin-1 in, the same code points on the wire (as UTF-8) and in the answer.
void FaultMatrixTest::hostStrings()
{
    QFETCH(SetterFn, setter);
    QFETCH(QString, key);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, traced);

    const QString expected = QString::fromLatin1(input);
    QCOMPARE(expected.size(), input.size());
    TestPeer peer;
    QVERIFY(peer.isRegistered());
    // The camera hands the string back as the location: the return trip is checked too.
    peer.results = { { kActionReturn, kAccepted }, { kLocationReturn, expected } };

    Service service(2);
    setter(service, input.constData());
    StdoutCapture trace;
    // No file of that name is there, so the camera's ACCEPTED is a failure.
    QCOMPARE(Exec(service), 0);
    QCOMPARE(GetCameraOutcome(service), int(CameraOutcomeFailed));

    QCOMPARE(peer.requests.size(), 1);
    bool found = false;
    for (const WireValue &v : wireValues(peer.requests.constFirst())) {
        if (v.key != key)
            continue;
        found = true;
        QCOMPARE(v.signature, QStringLiteral("s"));
        QVERIFY2(v.value.toString() == expected, firstDifference(v.value.toString(), expected));
    }
    QVERIFY(found);
    QVERIFY2(GetCameraFileLocation(service) == expected,
        firstDifference(GetCameraFileLocation(service), expected));
    // Traced in Latin-1, control characters escaped: the host's own bytes come back, and
    // the value still takes exactly one line.
    const QByteArray text = trace.take();
    QVERIFY(text.contains(":handleResults:fileLocationReturn = " + traced + " \n"));
    for (const QByteArray &line : text.split('\n'))
        QVERIFY2(line.isEmpty() || line.startsWith("Camera LOG in "), line.left(200));
}

void FaultMatrixTest::invalidUtf8Location_data()
{
    QTest::addColumn<QByteArray>("location");
    QTest::addColumn<bool>("valid");

    QTest::newRow("valid UTF-8 (control)") << QByteArray("/tmp/caf\xc3\xa9.png") << true;
    QTest::newRow("byte 0xff") << QByteArray("/tmp/\xff.png") << false;
    QTest::newRow("cut sequence") << QByteArray("/tmp/caf\xc3.png") << false;
    QTest::newRow("Latin-1 byte") << QByteArray("/tmp/caf\xe9.png") << false;
    QTest::newRow("overlong slash") << QByteArray("/tmp/\xc0\xaf.png") << false;
    QTest::newRow("encoded surrogate") << QByteArray("/tmp/\xed\xa0\x80.png") << false;
    QTest::newRow("above U+10FFFF") << QByteArray("/tmp/\xf4\x90\x80\x80.png") << false;
    QTest::newRow("NUL inside") << QByteArray("/tmp/a\0b.png", 12) << false;
}

// D-Bus strings are UTF-8 without NUL. The bus checks every message it is handed and
// disconnects a sender that breaks the rule: the host sees the camera vanish, never the
// bytes.
void FaultMatrixTest::invalidUtf8Location()
{
    QFETCH(QByteArray, location);
    QFETCH(bool, valid);

    QVERIFY(!nameOwned());
    RawPeer peer;
    QString error;
    QVERIFY2(peer.start(location, &error), qPrintable(error));

    // The camera's ACCEPTED counts only for a file that is there.
    const QString named = QString::fromUtf8(location);
    if (valid)
        QVERIFY(putFile(named, "x"));
    const auto removeNamed = qScopeGuard([&] {
        if (valid)
            QFile::remove(named);
    });
    Service service;
    if (!valid)
        expectWarning(QStringLiteral("org.freedesktop.DBus.Error.NoReply"));
    const Launch launched = launch(service);
    const QStringList &lines = launched.lines;
    QCOMPARE(launched.result, valid ? 1 : 0);
    WAIT_VERIFY(peer.replied(), Bound::quick);
    if (valid) {
        QCOMPARE(GetCameraFileLocation(service), QString::fromUtf8(location));
        VERIFY_LINE(lines, svc("handleResults:fileLocationReturn = /tmp/caf\xe9.png "));
    } else {
        QCOMPARE(GetCameraFileLocation(service), asked());
        VERIFY_LINE(lines, svc("exec:The user actionReturn is REJECTED"));
        WAIT_VERIFY(peer.finished(), Bound::quick);
        QVERIFY(peer.droppedByBus());
    }
    peer.stop();
    WAIT_VERIFY(!nameOwned(), Bound::quick);
    launchWorksAgain(service);
}

// A Qt camera cannot send invalid UTF-8: QString's encoder replaces a lone surrogate.
void FaultMatrixTest::unpairedSurrogateLocation()
{
    TestPeer peer;
    QVERIFY(peer.isRegistered());
    const QString sent = QStringLiteral("/tmp/a") + QChar(0xd800) + QStringLiteral("b.png");
    peer.results = { { kLocationReturn, sent } };
    Service service;
    StdoutCapture trace;
    QCOMPARE(Exec(service), 1);
    const QString got = GetCameraFileLocation(service);
    QCOMPARE(got.size(), sent.size());
    QVERIFY(got.startsWith(QLatin1String("/tmp/a")) && got.endsWith(QLatin1String("b.png")));
    QVERIFY2(!got.at(6).isSurrogate(), qPrintable(QString::number(got.at(6).unicode(), 16)));
    VERIFY_LINE(trace.takeLines(), svc("handleResults:fileLocationReturn = /tmp/a?b.png "));
}

// Code points beyond Latin-1: '?' in the trace, the real name on disk.
void FaultMatrixTest::nonLatin1Location()
{
    const QString name = QStringLiteral("caf") + QChar(0xe9) + QStringLiteral("-")
        + QString::fromUtf8("\xd1\x84\xd0\xbe\xd1\x82\xd0\xbe-\xe2\x82\xac-\xf0\x9f\x93\xb7.png");
    const QString path = m_dir.filePath(name);
    const QByteArray content = pattern(3000);
    QVERIFY(writeFile(path, content));

    TestPeer peer;
    QVERIFY(peer.isRegistered());
    peer.results = { { kActionReturn, kAccepted }, { kLocationReturn, path } };
    Service service;
    StdoutCapture trace;
    QCOMPARE(Exec(service), 1);
    QCOMPARE(GetCameraFileLocation(service), path);
    QCOMPARE(GetCameraData(service), content);

    // The emoji is two UTF-16 units, so two question marks.
    const QByteArray shownName = m_dir.path().toLatin1() + "/caf\xe9-?\?\?\?-?-?\?.png";
    const QByteArray text = trace.take();
    QVERIFY2(text.contains(":handleResults:fileLocationReturn = " + shownName + " \n"), text);
    QVERIFY2(text.contains(" GetCameraFileLocation is " + shownName + "\n"), text);
    QVERIFY2(text.contains(":data:The mFileLocation is:" + shownName + "\n"), text);
    QVERIFY2(text.contains(":GetCameraData:the size for data is:3000\n"), text);
}

// A camera whose answer tries to forge trace lines and drive the terminal: the values
// reach the host untouched, the trace shows them escaped, one line each.
void FaultMatrixTest::controlCharactersInLocation()
{
    const QString location = QStringLiteral("/tmp/x\nCamera LOG in CameraUIService.cpp:130:exec:"
                                            "The user actionReturn is ACCEPTED\n\x1b[31mred\t.png");
    const QString actionReturn = QStringLiteral("NO\r\x1b[1A");
    TestPeer peer;
    QVERIFY(peer.isRegistered());
    peer.results = { { kActionReturn, actionReturn }, { kLocationReturn, location } };
    Service service;
    StdoutCapture trace;
    QCOMPARE(Exec(service), 0);
    QCOMPARE(GetCameraFileLocation(service), location);
    QCOMPARE(QString::fromUtf8(GetCameraActionReturn(service)), actionReturn);
    GetCameraData(service);
    const QStringList lines = trace.takeLines();

    const QString shownLocation = QStringLiteral("/tmp/x\\nCamera LOG in CameraUIService.cpp:130:"
                                                 "exec:The user actionReturn is "
                                                 "ACCEPTED\\n\\x1b[31mred\\t.png");
    VERIFY_LINE(
        lines, svc("handleResults:fileLocationReturn = ") + shownLocation + QLatin1Char(' '));
    VERIFY_LINE(lines, svc("handleResults:actionReturn = NO\\r\\x1b[1A "));
    VERIFY_LINE(lines, svc("exec:The user actionReturn is NO\\r\\x1b[1A"));
    VERIFY_LINE(lines,
        traceLine("CameraUIServiceCWrapper.cpp",
            "GetCameraFileLocation: the fileLocation in GetCameraFileLocation is ")
            + shownLocation);
    VERIFY_LINE(lines, svc("data:The mFileLocation is:") + shownLocation);
    QVERIFY2(!lines.contains(svc("exec:The user actionReturn is ACCEPTED")), shown(lines));
    for (const QString &line : lines)
        QVERIFY2(line.isEmpty() || line.startsWith(QLatin1String("Camera LOG in ")), shown(lines));
}

enum FileChange
{
    Unchanged,
    Shrunk,
    Grown,
    Emptied,
    Deleted,
    Directory,
    DanglingSymlink,
    Unreadable,
    Fifo,
    ShrinksWhileRead,
    GrowsWhileRead,
    SparsePastBuffer,
};

void FaultMatrixTest::capturedFileChanges_data()
{
    QTest::addColumn<int>("change");
    QTest::addColumn<int>("expectedSize"); // -1: the first read's bytes are kept
    QTest::addColumn<QString>("traced");

    const QString sizeLine = QStringLiteral("data:The size for data is %1");
    QTest::newRow("unchanged") << int(Unchanged) << 4096 << sizeLine.arg(4096);
    QTest::newRow("shrunk before the read") << int(Shrunk) << 10 << sizeLine.arg(10);
    QTest::newRow("grown before the read") << int(Grown) << 8192 << sizeLine.arg(8192);
    QTest::newRow("emptied") << int(Emptied) << 0 << sizeLine.arg(0);
    QTest::newRow("deleted") << int(Deleted) << -1 << sizeLine.arg(4096);
    QTest::newRow("replaced by a directory")
        << int(Directory) << -1 << QStringLiteral("data:error: %1 is not a regular file");
    QTest::newRow("replaced by a dangling symlink")
        << int(DanglingSymlink) << -1 << sizeLine.arg(4096);
    QTest::newRow("made unreadable") << int(Unreadable) << -1 << sizeLine.arg(4096);
    QTest::newRow("replaced by a FIFO without writer")
        << int(Fifo) << -1 << QStringLiteral("data:error: %1 is not a regular file");
    QTest::newRow("shrinks between size and read")
        << int(ShrinksWhileRead) << 0 << QStringLiteral("data:file size (4096) <!=> read size");
    QTest::newRow("grows between size and read")
        << int(GrowsWhileRead) << 4096 << sizeLine.arg(4096);
    // Past what the buffer can hold (4 GiB in Qt 6, 2 GiB in Qt 5): refused before any
    // allocation, and the sizes are traced as they are, never wrapped to 32 bits.
    QTest::newRow("sparse, 5 GiB")
        << int(SparsePastBuffer) << 0 << QStringLiteral("data:The dataSize is:5368709120");
}

void FaultMatrixTest::capturedFileChanges()
{
    QFETCH(int, change);
    QFETCH(int, expectedSize);
    QFETCH(QString, traced);

    const QString path = m_dir.filePath(QStringLiteral("capture-%1.bin").arg(change));
    const QByteArray first = pattern(4096);
    QVERIFY(writeFile(path, first));
    TestPeer peer;
    QVERIFY(peer.isRegistered());
    peer.results = { { kActionReturn, kAccepted }, { kLocationReturn, path } };
    Service service;
    QCOMPARE(Exec(service), 1);
    QByteArray &data = GetCameraData(service);
    QCOMPARE(data, first);

    const QByteArray nativePath = QFile::encodeName(path);
    QByteArray now = first;
    switch (FileChange(change)) {
    case Unchanged:
        break;
    case Shrunk:
        QCOMPARE(::truncate(nativePath.constData(), 10), 0);
        now = first.left(10);
        break;
    case Grown:
        now = first + pattern(4096);
        QVERIFY(writeFile(path, now));
        break;
    case Emptied:
        QVERIFY(writeFile(path, QByteArray()));
        now.clear();
        break;
    case Deleted:
        QVERIFY(QFile::remove(path));
        break;
    case Directory:
        QVERIFY(QFile::remove(path));
        QVERIFY(QDir().mkdir(path));
        break;
    case DanglingSymlink:
        QVERIFY(QFile::remove(path));
        QCOMPARE(::symlink("no-such-target", nativePath.constData()), 0);
        break;
    case Unreadable: {
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
        QFile probe(path);
        if (probe.open(QIODevice::ReadOnly))
            QSKIP("permissions don't stop this user (root); the dangling symlink row stands in");
        break;
    }
    case Fifo:
        QVERIFY(QFile::remove(path));
        QCOMPARE(::mkfifo(nativePath.constData(), 0600), 0);
        break;
    case ShrinksWhileRead:
        s_beforeRead = [nativePath] { QVERIFY(::truncate(nativePath.constData(), 10) == 0); };
        break;
    case SparsePastBuffer:
        QCOMPARE(::truncate(nativePath.constData(), qint64(5) << 30), 0);
        break;
    case GrowsWhileRead:
        s_beforeRead = [path] {
            QFile file(path);
            if (file.open(QIODevice::Append))
                file.write(pattern(4096));
        };
        break;
    }

    const int readsBefore = s_readsSeen;
    StdoutCapture trace;
    QByteArray &again = GetCameraData(service);
    const QStringList lines = trace.takeLines();
    QCOMPARE(&again, &data);
    QCOMPARE(again, expectedSize < 0 ? first : now.left(expectedSize));
    if (traced.contains(QLatin1String("%1")))
        traced = traced.arg(path);
    VERIFY_LINE(lines, QStringLiteral("Camera LOG in CameraUIService.cpp:#:") + traced);
    static const QRegularExpression negative(QStringLiteral("[:(]-\\d"));
    QVERIFY2(lines.filter(negative).isEmpty(), shown(lines));
    if (change == SparsePastBuffer) {
        VERIFY_LINE(
            lines, svc("data:error: file size (5368709120) is more than the buffer can hold"));
        VERIFY_LINE(lines, svc("data:The size for data is 0"));
    }
    if (change == ShrinksWhileRead || change == GrowsWhileRead) {
        QVERIFY2(!s_beforeRead, "the library did not read through fread");
        QCOMPARE(s_readsSeen, readsBefore + 1);
    }
}

void FaultMatrixTest::configurationFiles_data()
{
    QTest::addColumn<QByteArray>("phoneModel"); // null: no file
    QTest::addColumn<QByteArray>("resource");
    QTest::addColumn<QString>("node"); // both files are, instead: "fifo", "device", "sparse:N"
    QTest::addColumn<uint>("minDataSize");
    QTest::addColumn<bool>("photoAutoPost");
    QTest::addColumn<bool>("videoAutoPost");
    QTest::addColumn<QString>("traced"); // a whole line; the model lines have no prefix
    QTest::addColumn<QString>("refused"); // in the warning for each read of a refused file

    // HIGHEST video: KR41 row 0; an unknown model falls back to the KR41 LOWEST row.
    const uint kr41 = 102534;
    const uint fallback = 28618;
    const QByteArray model = "\n[PHONE_MODEL]\nPhoneModelID = KIV-KR41-EU\n";
    const QByteArray blog = "\n[cameraSetting]\nphotoAutoBlog = yes\nvideoAutoBlog = on\n";
    const QString kr41Line = QStringLiteral("____: minDataSize: strPhoneModel = KIV-KR41-EU");
    const QString unknown = QStringLiteral("____: not KR41 or TJ72, strPhoneModel = ");

    QByteArray garbage(64 * 1024, Qt::Uninitialized);
    QRandomGenerator generator(7);
    for (char &byte : garbage)
        byte = char(generator.bounded(256));
    const QByteArray line = QByteArray(1 << 20, 'x');
    const QByteArray block = "[PHONE_MODEL]\r\nPhoneModelID=none\n;c\nbad\n\n";
    const QByteArray filler = block.repeated(64 * (1 << 20) / block.size());

    const QString none;
    const QString enter = svc("minDataSize:enter");
    const QString tooLarge = QStringLiteral("larger than 8388608 bytes");
    const QString notRegular = QStringLiteral("not a regular file");
    QTest::newRow("missing files")
        << QByteArray() << QByteArray() << none << 0u << false << false << enter << none;
    QTest::newRow("empty files") << QByteArray("") << QByteArray("") << none << fallback << false
                                 << false << unknown << none;
    QTest::newRow("binary files") << garbage << garbage << none << fallback << false << false
                                  << unknown << none;
    QTest::newRow("binary, then the entries")
        << garbage + model << garbage + blog << none << kr41 << true << true << kr41Line << none;
    QTest::newRow("1 MiB line, then the entries")
        << line + model << line + blog << none << kr41 << true << true << kr41Line << none;
    QTest::newRow("1 MiB values") << "[PHONE_MODEL]\nPhoneModelID=" + line + "TJ72\n"
                                  << "[cameraSetting]\nphotoAutoBlog=" + line
            + "\nvideoAutoBlog=1\n"
                                  << none << 55018u << false << true
                                  << QStringLiteral("____: minDataSize: strPhoneModel = ")
            + QString::fromLatin1(line) + QStringLiteral("TJ72")
                                  << none;
    // Past the 8 MiB cap a file is not read at all: as if missing, with a warning.
    QTest::newRow("64 MiB, then the entries")
        << filler + model << filler + blog << none << 0u << false << false << enter << tooLarge;
    QTest::newRow("entries outside their group")
        << QByteArray("PhoneModelID=KIV-KR41\n[PHONE]\nPhoneModelID=KIV-KR41\n")
        << QByteArray("photoAutoBlog=yes\n[camerasetting]\nvideoAutoBlog=yes\n") << none << fallback
        << false << false << unknown << none;
    // A value that tries to end its trace line, forge one and drive the terminal.
    QTest::newRow("control characters in the values")
        << QByteArray("[PHONE_MODEL]\nPhoneModelID=KR41\x1b[2J\rCamera LOG in "
                      "CameraUIService.cpp:130:exec:The user actionReturn is ACCEPTED\x85\x07\n")
        << QByteArray("[cameraSetting]\nphotoAutoBlog=\x1byes\nvideoAutoBlog=on\x1b\n") << none
        << kr41 << false << false
        << QStringLiteral("____: minDataSize: strPhoneModel = KR41\\x1b[2J\\rCamera LOG in "
                          "CameraUIService.cpp:130:exec:The user actionReturn is "
                          "ACCEPTED\\x85\\x07")
        << none;
    // Read like missing files, with a warning, instead of blocking or reading forever.
    QTest::newRow("FIFOs without writer") << QByteArray() << QByteArray() << QStringLiteral("fifo")
                                          << 0u << false << false << enter << notRegular;
    QTest::newRow("links to /dev/zero") << QByteArray() << QByteArray() << QStringLiteral("device")
                                        << 0u << false << false << enter << notRegular;
    // Sparse: they cost no disk, and a reader that believes the size allocates it all.
    for (const qint64 gib : { 1, 64 }) {
        QTest::addRow("%lld GiB sparse", static_cast<long long>(gib))
            << QByteArray() << QByteArray() << QStringLiteral("sparse:%1").arg(gib << 30) << 0u
            << false << false << enter << tooLarge;
    }
}

// Through GetMinDataSize and GetAutoPostSetting with the platform root in a temporary dir.
void FaultMatrixTest::configurationFiles()
{
    QFETCH(QByteArray, phoneModel);
    QFETCH(QByteArray, resource);
    QFETCH(QString, node);
    QFETCH(uint, minDataSize);
    QFETCH(bool, photoAutoPost);
    QFETCH(bool, videoAutoPost);
    QFETCH(QString, traced);
    QFETCH(QString, refused);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString phonePath = root.filePath(QStringLiteral("usr/securesetup/tq_phonemodel.cfg"));
    const QString resourcePath
        = root.filePath(QStringLiteral("kivlocal/download/appwrite/setup/kiv_camera_resource.cfg"));
    for (const auto &file :
        { qMakePair(phonePath, phoneModel), qMakePair(resourcePath, resource) }) {
        QVERIFY(QDir().mkpath(QFileInfo(file.first).absolutePath()));
        const QByteArray native = QFile::encodeName(file.first);
        if (node == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(native.constData(), 0600), 0);
        else if (node == QLatin1String("device"))
            QCOMPARE(::symlink("/dev/zero", native.constData()), 0);
        else if (node.startsWith(QLatin1String("sparse:")))
            QVERIFY(writeFile(file.first, QByteArray())
                && ::truncate(native.constData(), node.mid(7).toLongLong()) == 0);
        else if (!file.second.isNull())
            QVERIFY(writeFile(file.first, file.second));
    }
    qputenv("KIV_ROOT", QFile::encodeName(root.path()));
    const auto unset = qScopeGuard([] { qunsetenv("KIV_ROOT"); });

    Service service(2);
    // A warning for each read of a refused file: three reads below.
    for (int read = 0; read < 3 && !refused.isEmpty(); ++read)
        expectWarning(refused);
    const long peakBefore = peakMib();
    StdoutCapture trace;
    QCOMPARE(GetMinDataSize(service), minDataSize);
    QCOMPARE(GetAutoPostSetting(service, 1), photoAutoPost);
    QCOMPARE(GetAutoPostSetting(service, 2), videoAutoPost);
    const QStringList lines = trace.takeLines();
    VERIFY_LINE(lines, traced);
    static const QRegularExpression control(QStringLiteral("[\\x00-\\x1f\\x7f-\\x9f]"));
    QVERIFY2(lines.filter(control).isEmpty(), shown(lines.filter(control)));
    // Without a file, or with a refused one, no model is read at all.
    QCOMPARE(lines.filter(QStringLiteral("strPhoneModel = ")).isEmpty(),
        phoneModel.isNull() || !refused.isEmpty());
    // Memory stays bounded by the cap, whatever size the file claims.
    QVERIFY2(peakMib() - peakBefore < 64, qPrintable(QString::number(peakMib() - peakBefore)));
    // And a second call reads the files afresh to the same answer.
    if (!refused.isEmpty())
        expectWarning(refused);
    QCOMPARE(GetMinDataSize(service), minDataSize);
}

void FaultMatrixTest::fifoExchangeRace_data()
{
    QTest::addColumn<bool>("configuration"); // the phone model file; else the captured file
    QTest::newRow("configuration file") << true;
    QTest::newRow("captured file") << false;
}

// A thread swaps a FIFO and the file back and forth (renameat2 RENAME_EXCHANGE) while the
// host reads: every read gets the file or refuses the FIFO, none blocks.
void FaultMatrixTest::fifoExchangeRace()
{
    QFETCH(bool, configuration);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString dir = root.filePath(QStringLiteral("usr/securesetup"));
    QVERIFY(QDir().mkpath(dir));
    const QString target = dir
        + (configuration ? QStringLiteral("/tq_phonemodel.cfg") : QStringLiteral("/capture.bin"));
    const QByteArray content
        = configuration ? QByteArray("[PHONE_MODEL]\nPhoneModelID=KIV-KR41\n") : pattern(4096);
    QVERIFY(writeFile(target, content));
    const QByteArray file = QFile::encodeName(target);
    const QByteArray fifo = QFile::encodeName(dir + QStringLiteral("/swap"));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    if (::renameat2(AT_FDCWD, file.constData(), AT_FDCWD, fifo.constData(), RENAME_EXCHANGE) != 0)
        QSKIP("this file system cannot exchange names (renameat2)");

    qputenv("KIV_ROOT", QFile::encodeName(root.path()));
    // The refusals warn, as many times as the race decides.
    QLoggingCategory::setFilterRules(QStringLiteral("kiv.config.warning=false"));
    const auto restore = qScopeGuard([] {
        qunsetenv("KIV_ROOT");
        QLoggingCategory::setFilterRules(QString());
    });
    Service service(2);
    SetCameraFileLocation(service, target.toLatin1().constData());

    std::atomic<bool> stop { false };
    std::atomic<int> swaps { 0 };
    std::thread swapper([&] {
        while (!stop) {
            if (::renameat2(AT_FDCWD, file.constData(), AT_FDCWD, fifo.constData(), RENAME_EXCHANGE)
                == 0)
                ++swaps;
        }
    });
    const auto join = qScopeGuard([&] {
        stop = true;
        swapper.join();
    });

    // At least 300 reads and 100 swaps, however the two threads are scheduled; bounded by
    // time, so a starved swapper fails the row instead of spinning for ever.
    StdoutCapture trace;
    int refused = 0;
    int reads = 0;
    const QDeadlineTimer deadline(Bound::camera);
    for (; (reads < 300 || swaps < 100) && !deadline.hasExpired(); ++reads) {
        if (configuration) {
            const uint size = GetMinDataSize(service);
            QVERIFY2(size == 102534 || size == 0, qPrintable(QString::number(size)));
            refused += size == 0;
        } else {
            const QByteArray &data = GetCameraData(service);
            // Kept from an earlier read when the FIFO was met.
            QVERIFY(data == content || data.isEmpty());
        }
    }
    trace.take();
    QVERIFY2(swaps >= 100, qPrintable(QString::number(swaps)));
    if (configuration)
        qInfo("%d of %d reads met the FIFO, %d swaps", refused, reads, int(swaps));
}

// The trace owns standard output and rows capture it: QtTest reports on standard error, so
// a failure inside a capture is still seen.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    FaultMatrixTest test;
    QStringList args = QCoreApplication::arguments();
    if (!args.contains(QLatin1String("-o")))
        args << QStringLiteral("-o") << QStringLiteral("/dev/stderr,txt");
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, args);
}
#include "faultmatrixtest.moc"
