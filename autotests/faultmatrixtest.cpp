// Fault matrix, end to end through the C entry points: what a host sees when the camera,
// the bus, the answer, the captured file or the configuration misbehave. Each row checks
// the answer, the trace, and that nothing crashed or hung (a watchdog ends a hung row).

#include "csetters.h"
#include "testsupport.h"

#include <AM_ActionResults.h>
#include <CameraUIServiceCWrapper.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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

const QString kName = QStringLiteral("org.kiv.Action.CameraUIService");
const QString kAsked = QStringLiteral("/asked.png");
const QString kActionReturn = QStringLiteral("actionReturn");
const QString kLocationReturn = QStringLiteral("fileLocationReturn");
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

// Warnings of the platform layer: they name why a launch was aborted or a file not read.
QStringList s_warnings;
void collectWarning(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtWarningMsg && qstrncmp(context.category, "kiv.", 4) == 0)
        s_warnings << QString::fromLatin1(context.category) + QStringLiteral(": ") + text;
}

class WarningCapture
{
public:
    WarningCapture()
    {
        s_warnings.clear();
        m_previous = qInstallMessageHandler(collectWarning);
    }
    ~WarningCapture() { qInstallMessageHandler(m_previous); }
    QString all() const { return s_warnings.join(QLatin1Char('\n')); }

private:
    QtMessageHandler m_previous;
};

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

// A camera that talks to the bus through a raw socket, so it can put bytes on the wire
// that no D-Bus library would send: a reply whose string is not valid UTF-8.
class RawPeer
{
public:
    ~RawPeer() { stop(); }

    // Connects, authenticates and takes the camera's name; false with error otherwise.
    bool start(const QByteArray &location, QString *error)
    {
        m_location = location;
        if (!connectToBus(error) || !hello(error) || !requestName(error))
            return false;
        m_thread = std::thread([this] { serve(); });
        return true;
    }

    void stop()
    {
        m_stopping = true;
        if (m_fd >= 0)
            ::shutdown(m_fd, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    std::atomic<bool> replied { false };
    std::atomic<bool> droppedByBus { false };
    std::atomic<bool> finished { false };

private:
    struct Message
    {
        int type = 0;
        quint32 serial = 0;
        quint32 replySerial = 0;
        QByteArray member;
        QByteArray sender;
        QByteArray body;
    };

    // Little-endian marshalling; offsets count from the start of the message.
    class Writer
    {
    public:
        QByteArray data;
        void align(int n)
        {
            while (data.size() % n)
                data += '\0';
        }
        void u8(quint8 v) { data += char(v); }
        void u32(quint32 v)
        {
            align(4);
            for (int i = 0; i < 4; ++i)
                data += char((v >> (8 * i)) & 0xff);
        }
        void string(const QByteArray &s)
        {
            u32(quint32(s.size()));
            data += s;
            data += '\0';
        }
        void signature(const QByteArray &s)
        {
            u8(quint8(s.size()));
            data += s;
            data += '\0';
        }
    };

    static void patchU32(QByteArray &data, int at, quint32 v)
    {
        for (int i = 0; i < 4; ++i)
            data[at + i] = char((v >> (8 * i)) & 0xff);
    }

    static quint32 readU32(const QByteArray &data, int at)
    {
        quint32 v = 0;
        for (int i = 3; i >= 0; --i)
            v = (v << 8) | quint8(data.at(at + i));
        return v;
    }

    struct Field
    {
        quint8 code;
        char type; // 's', 'o', 'u' or 'g'
        QByteArray text;
        quint32 number;
    };

    QByteArray message(
        int type, const QList<Field> &fields, const QByteArray &body, const QByteArray &bodySig)
    {
        Writer w;
        w.u8('l');
        w.u8(quint8(type));
        w.u8(0);
        w.u8(1);
        w.u32(quint32(body.size()));
        w.u32(++m_serial);
        const int lengthAt = w.data.size();
        w.u32(0);
        w.align(8);
        const int start = w.data.size();
        QList<Field> all = fields;
        if (!bodySig.isEmpty())
            all.append({ 8, 'g', bodySig, 0 });
        for (const Field &f : all) {
            w.align(8);
            w.u8(f.code);
            w.signature(QByteArray(1, f.type));
            if (f.type == 'u')
                w.u32(f.number);
            else if (f.type == 'g')
                w.signature(f.text);
            else
                w.string(f.text);
        }
        patchU32(w.data, lengthAt, quint32(w.data.size() - start));
        w.align(8);
        return w.data + body;
    }

    QByteArray busCall(const QByteArray &member, const QByteArray &body, const QByteArray &sig)
    {
        return message(1,
            { { 1, 'o', "/org/freedesktop/DBus", 0 }, { 2, 's', "org.freedesktop.DBus", 0 },
                { 3, 's', member, 0 }, { 6, 's', "org.freedesktop.DBus", 0 } },
            body, sig);
    }

    bool writeAll(const QByteArray &bytes)
    {
        qint64 done = 0;
        while (done < bytes.size()) {
            const ssize_t n
                = ::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += n;
        }
        return true;
    }

    // Fills m_buffer until it holds at least n bytes; false on end of stream.
    bool fill(int n)
    {
        while (m_buffer.size() < n) {
            char chunk[65536];
            const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (got <= 0)
                return false;
            m_buffer.append(chunk, int(got));
        }
        return true;
    }

    bool readMessage(Message *msg)
    {
        if (!fill(16) || m_buffer.at(0) != 'l')
            return false;
        const int fieldsLength = int(readU32(m_buffer, 12));
        const int headerEnd = 16 + fieldsLength;
        const int bodyStart = (headerEnd + 7) & ~7;
        const int total = bodyStart + int(readU32(m_buffer, 4));
        if (!fill(total))
            return false;
        msg->type = quint8(m_buffer.at(1));
        msg->serial = readU32(m_buffer, 8);
        int pos = 16;
        while (pos < headerEnd) {
            pos = (pos + 7) & ~7;
            const quint8 code = quint8(m_buffer.at(pos++));
            const int sigLength = quint8(m_buffer.at(pos));
            const char type = m_buffer.at(pos + 1);
            pos += sigLength + 2;
            if (type == 'u') {
                pos = (pos + 3) & ~3;
                if (code == 5)
                    msg->replySerial = readU32(m_buffer, pos);
                pos += 4;
            } else if (type == 'g') {
                pos += quint8(m_buffer.at(pos)) + 2;
            } else {
                pos = (pos + 3) & ~3;
                const int length = int(readU32(m_buffer, pos));
                const QByteArray text = m_buffer.mid(pos + 4, length);
                if (code == 3)
                    msg->member = text;
                else if (code == 7)
                    msg->sender = text;
                pos += 4 + length + 1;
            }
        }
        msg->body = m_buffer.mid(bodyStart, total - bodyStart);
        m_buffer.remove(0, total);
        return true;
    }

    bool waitForReply(quint32 serial, Message *reply)
    {
        while (readMessage(reply)) {
            if ((reply->type == 2 || reply->type == 3) && reply->replySerial == serial)
                return true;
        }
        return false;
    }

    bool connectToBus(QString *error)
    {
        const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        socklen_t length = 0;
        for (const QByteArray &part : address.mid(address.indexOf(':') + 1).split(',')) {
            const bool abstract = part.startsWith("abstract=");
            if (!part.startsWith("path=") && !abstract)
                continue;
            const QByteArray path = part.mid(part.indexOf('=') + 1);
            if (path.size() + 2 > int(sizeof addr.sun_path))
                break;
            std::memcpy(addr.sun_path + (abstract ? 1 : 0), path.constData(), size_t(path.size()));
            length = socklen_t(offsetof(sockaddr_un, sun_path) + (abstract ? 1 : 0) + path.size()
                + (abstract ? 0 : 1));
        }
        if (!address.startsWith("unix:") || length == 0) {
            *error = QStringLiteral("cannot use the bus address ") + QString::fromLatin1(address);
            return false;
        }
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr *>(&addr), length) != 0) {
            *error = QStringLiteral("connect: ") + QString::fromLocal8Bit(strerror(errno));
            return false;
        }
        const QByteArray uid = QByteArray::number(uint(::getuid())).toHex();
        if (!writeAll(QByteArray(1, '\0') + "AUTH EXTERNAL " + uid + "\r\n")) {
            *error = QStringLiteral("cannot send AUTH");
            return false;
        }
        while (!m_buffer.contains("\r\n")) {
            if (!fill(m_buffer.size() + 1)) {
                *error = QStringLiteral("bus closed during authentication");
                return false;
            }
        }
        if (!m_buffer.startsWith("OK ")) {
            *error = QStringLiteral("authentication refused: ") + QString::fromLatin1(m_buffer);
            return false;
        }
        m_buffer.clear();
        return writeAll("BEGIN\r\n");
    }

    bool hello(QString *error)
    {
        if (!writeAll(busCall("Hello", QByteArray(), QByteArray()))) {
            *error = QStringLiteral("cannot send Hello");
            return false;
        }
        Message reply;
        if (!waitForReply(m_serial, &reply) || reply.type != 2) {
            *error = QStringLiteral("no answer to Hello");
            return false;
        }
        return true;
    }

    bool requestName(QString *error)
    {
        Writer body;
        body.string(kName.toLatin1());
        body.u32(4); // DBUS_NAME_FLAG_DO_NOT_QUEUE
        if (!writeAll(busCall("RequestName", body.data, "su"))) {
            *error = QStringLiteral("cannot send RequestName");
            return false;
        }
        Message reply;
        if (!waitForReply(m_serial, &reply) || reply.type != 2 || reply.body.size() < 4
            || readU32(reply.body, 0) != 1) {
            *error = QStringLiteral("the camera's name was not granted");
            return false;
        }
        return true;
    }

    void serve()
    {
        Message msg;
        while (readMessage(&msg)) {
            if (msg.type != 1 || msg.member != "Invoke")
                continue;
            // a{ss}: { actionReturn: ACCEPTED, fileLocationReturn: <raw bytes> }
            Writer body;
            body.u32(0);
            body.align(8);
            const int start = body.data.size();
            body.align(8);
            body.string("actionReturn");
            body.string("ACCEPTED");
            body.align(8);
            body.string("fileLocationReturn");
            body.string(m_location);
            patchU32(body.data, 0, quint32(body.data.size() - start));
            replied = writeAll(
                message(2, { { 5, 'u', QByteArray(), msg.serial }, { 6, 's', msg.sender, 0 } },
                    body.data, "a{ss}"));
        }
        // The stream ended: the bus hung up on us, or stop() shut the socket.
        droppedByBus = !m_stopping;
        finished = true;
    }

    int m_fd = -1;
    std::atomic<bool> m_stopping { false };
    quint32 m_serial = 0;
    QByteArray m_buffer;
    QByteArray m_location;
    std::thread m_thread;
};

// Ends the process when a row runs too long. A thread of its own, because a hang may be
// a blocking call on the test's thread, where no timer would fire.
class Watchdog
{
public:
    Watchdog()
        : m_thread([this] { watch(); })
    { }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    void arm(const QByteArray &row, std::chrono::seconds limit)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_row = row;
        m_deadline = std::chrono::steady_clock::now() + limit;
        m_armed = true;
        m_changed.notify_all();
    }
    void disarm()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_armed = false;
        m_changed.notify_all();
    }

private:
    void watch()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_quit) {
            if (!m_armed) {
                m_changed.wait(lock);
            } else if (m_changed.wait_until(lock, m_deadline) == std::cv_status::timeout && m_armed
                && std::chrono::steady_clock::now() >= m_deadline) {
                fprintf(stderr, "FAIL! : %s hung: still running after its time limit\n",
                    m_row.constData());
                fflush(stderr);
                std::abort();
            }
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_quit = false;
    bool m_armed = false;
    QByteArray m_row;
    std::chrono::steady_clock::time_point m_deadline;
    std::thread m_thread;
};

} // namespace

class FaultMatrixTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void launchFaults_data();
    void launchFaults();
    void noSessionBus();
    void busDiesMidLaunch();
    void lateAnswerLeavesHostLoopAlone();
    void execReenteredWhileWaiting();
    void destroyedWhileWaiting();
    void hostStrings_data();
    void hostStrings();
    void invalidUtf8Location_data();
    void invalidUtf8Location();
    void unpairedSurrogateLocation();
    void nonLatin1Location();
    void capturedFileChanges_data();
    void capturedFileChanges();
    void configurationFiles_data();
    void configurationFiles();

private:
    void startCamera(const QStringList &options);
    void stopCamera();
    void launchWorksAgain(CameraUIService *service);

    QTemporaryDir m_dir;
    QScopedPointer<QProcess> m_camera;
    Watchdog m_watchdog;
};

void FaultMatrixTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

// A hung row fails by itself, named, well before the runner's time-out.
void FaultMatrixTest::init()
{
    m_watchdog.arm(QByteArray(QTest::currentTestFunction()) + '(' + QTest::currentDataTag() + ')',
        std::chrono::seconds(200));
}

void FaultMatrixTest::cleanup()
{
    m_watchdog.disarm();
    s_beforeRead = nullptr;
    stopCamera();
    // A peer's name outlives its connection for a moment: the next row wants it free.
    QTRY_VERIFY_WITH_TIMEOUT(!nameOwned(), 60000);
}

void FaultMatrixTest::startCamera(const QStringList &options)
{
    m_camera.reset(new QProcess);
    m_camera->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_camera->start(QStringLiteral(CAMERA_BIN_DIR "/reference-camera"),
        QStringList { QStringLiteral("--output-dir"), m_dir.path() } + options);
    QVERIFY(m_camera->waitForStarted(60000));
    QTRY_VERIFY_WITH_TIMEOUT(nameOwned(), 60000);
}

void FaultMatrixTest::stopCamera()
{
    if (!m_camera)
        return;
    if (m_camera->state() != QProcess::NotRunning) {
        m_camera->terminate();
        if (!m_camera->waitForFinished(60000))
            m_camera->kill();
        m_camera->waitForFinished(60000);
    }
    m_camera.reset();
    QTRY_VERIFY_WITH_TIMEOUT(!nameOwned(), 60000);
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
        << int(ErrorAnswer) << QStringLiteral("org.kiv.Action.Error.Storage");
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
        startCamera({ QStringLiteral("--error"), QStringLiteral("org.kiv.Action.Error.Storage") });
        break;
    case CameraExitsWithoutAnswer:
        startCamera({ QStringLiteral("--exit-without-answer") });
        break;
    case CameraKilledMidCapture:
        startCamera({ QStringLiteral("--delay"), QStringLiteral("600000") });
        // Killed once it holds the request, while the host waits in Exec.
        connect(m_camera.data(), &QProcess::readyReadStandardOutput, m_camera.data(),
            [this, seen = QByteArray()]() mutable {
                seen += m_camera->readAllStandardOutput();
                if (seen.contains("answering request 1 in"))
                    m_camera->kill();
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

    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    SetCameraFileLocation(service, "/asked.png");
    {
        WarningCapture warnings;
        StdoutCapture trace;
        QCOMPARE(Exec(service), 0);
        QCOMPARE(GetCameraFileLocation(service), kAsked);
        const QStringList lines = trace.takeLines();
        VERIFY_LINE(lines, svc("handleAbortLaunch:enter"));
        VERIFY_LINE(lines, svc("exec:The user actionReturn is REJECTED"));
        QVERIFY2(!lines.contains(svc("handleResults:enter")), shown(lines));
        QVERIFY2(warnings.all().contains(why), qPrintable(warnings.all()));
    }
    if (peer) {
        QCOMPARE(peer->requests.size(), 1);
        peer.reset();
    }
    if (m_camera && fault != ErrorAnswer) {
        QTRY_COMPARE_WITH_TIMEOUT(m_camera->state(), QProcess::NotRunning, 60000);
        QCOMPARE(m_camera->exitStatus(),
            fault == CameraKilledMidCapture ? QProcess::CrashExit : QProcess::NormalExit);
    }
    launchWorksAgain(service);
}

void FaultMatrixTest::noSessionBus()
{
    if (QDBusConnection::sessionBus().isConnected())
        QSKIP("a session bus is reachable; faultmatrixtest-nobus runs this row");
    CameraUIService *service = CreateCameraUIService(2, 10);
    SetCameraFileLocation(service, "/asked.png");
    for (int launch = 0; launch < 2; ++launch) {
        WarningCapture warnings;
        StdoutCapture trace;
        QCOMPARE(Exec(service), 0);
        QCOMPARE(GetCameraFileLocation(service), kAsked);
        const QStringList lines = trace.takeLines();
        VERIFY_LINE(lines, svc("callUIService:The actionCmd is invoked"));
        VERIFY_LINE(lines, svc("handleAbortLaunch:enter"));
        VERIFY_LINE(lines, svc("exec:The user actionReturn is REJECTED"));
        QVERIFY2(
            warnings.all().contains(QLatin1String("no session bus")), qPrintable(warnings.all()));
    }
    DestroyCameraDlg(service);
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
    QVERIFY(daemon.waitForStarted(60000));
    QTRY_VERIFY_WITH_TIMEOUT(daemon.canReadLine(), 60000);
    qputenv("DBUS_SESSION_BUS_ADDRESS", daemon.readLine().trimmed());
    const auto stop = qScopeGuard([&daemon] {
        daemon.kill();
        daemon.waitForFinished(60000);
    });

    TestPeer peer;
    QVERIFY(peer.isRegistered());
    peer.mode = TestPeer::Hold;
    connect(
        &peer, &TestPeer::requestReceived, &daemon, [&daemon] { daemon.kill(); },
        Qt::QueuedConnection);
    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    SetCameraFileLocation(service, "/asked.png");
    // The waiting call fails with the connection; the next launch finds no bus.
    for (const char *why : { "org.freedesktop.DBus.Error.Disconnected", "no session bus" }) {
        WarningCapture warnings;
        StdoutCapture trace;
        QCOMPARE(Exec(service), 0);
        QCOMPARE(GetCameraFileLocation(service), kAsked);
        const QStringList lines = trace.takeLines();
        VERIFY_LINE(lines, svc("handleAbortLaunch:enter"));
        VERIFY_LINE(lines, svc("exec:The user actionReturn is REJECTED"));
        QVERIFY2(warnings.all().contains(QLatin1String(why)), qPrintable(warnings.all()));
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
    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    connect(
        &peer, &TestPeer::requestReceived, this,
        [service] {
            const AM_ActionResults early(Results {
                { kActionReturn, kAccepted }, { kLocationReturn, QStringLiteral("/early.png") } });
            QVERIFY(QMetaObject::invokeMethod(
                service, "handleResults", Q_ARG(AM_ActionResults, early)));
        },
        Qt::QueuedConnection);

    StdoutCapture trace;
    QCOMPARE(Exec(service), 1);
    QCOMPARE(GetCameraFileLocation(service), QStringLiteral("/early.png"));
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
    QCOMPARE(hostLoop.exec(), 42);
    QCOMPARE(peer.requests.size(), 1);

    peer.mode = TestPeer::Reply;
    peer.results = { { kActionReturn, kAccepted } };
    QCOMPARE(Exec(service), 1);
    QCOMPARE(peer.requests.size(), 2);
}

void FaultMatrixTest::execReenteredWhileWaiting()
{
    TestPeer peer;
    QVERIFY(peer.isRegistered());
    peer.mode = TestPeer::Hold;
    peer.results
        = { { kActionReturn, kAccepted }, { kLocationReturn, QStringLiteral("/outer.png") } };
    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
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
    QCOMPARE(GetCameraFileLocation(service), QStringLiteral("/outer.png"));
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
    QCOMPARE(Exec(next), 1);
    DestroyCameraDlg(next);
    QCOMPARE(peer.requests.size(), 2);
}

void FaultMatrixTest::hostStrings_data()
{
    QTest::addColumn<SetterFn>("setter");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("input");

    const auto &setters = cSetters();
    const QByteArray every = allBytes();
    const QByteArray huge = mebibyteOfAllBytes();
    for (const auto &s : setters) {
        QTest::addRow("%s, bytes 1 to 255", s.key) << s.fn << QString::fromLatin1(s.key) << every;
        QTest::addRow("%s, 1 MiB", s.key) << s.fn << QString::fromLatin1(s.key) << huge;
    }
}

// Latin-1 in, the same code points on the wire (as UTF-8) and in the answer.
void FaultMatrixTest::hostStrings()
{
    QFETCH(SetterFn, setter);
    QFETCH(QString, key);
    QFETCH(QByteArray, input);

    const QString expected = QString::fromLatin1(input);
    QCOMPARE(expected.size(), input.size());
    TestPeer peer;
    QVERIFY(peer.isRegistered());
    // The camera hands the string back as the location: the return trip is checked too.
    peer.results = { { kActionReturn, kAccepted }, { kLocationReturn, expected } };

    CameraUIService *service = CreateCameraUIService(2, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    setter(service, input.constData());
    StdoutCapture trace;
    QCOMPARE(Exec(service), 1);

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
    // Traced in Latin-1: the host's own bytes come back.
    QVERIFY(trace.take().contains(":handleResults:fileLocationReturn = " + input + " \n"));
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

    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    SetCameraFileLocation(service, "/asked.png");
    WarningCapture warnings;
    StdoutCapture trace;
    QCOMPARE(Exec(service), valid ? 1 : 0);
    const QStringList lines = trace.takeLines();
    QTRY_VERIFY_WITH_TIMEOUT(peer.replied, 60000);
    if (valid) {
        QCOMPARE(GetCameraFileLocation(service), QString::fromUtf8(location));
        VERIFY_LINE(lines, svc("handleResults:fileLocationReturn = /tmp/caf\xe9.png "));
    } else {
        QCOMPARE(GetCameraFileLocation(service), kAsked);
        VERIFY_LINE(lines, svc("exec:The user actionReturn is REJECTED"));
        QVERIFY2(warnings.all().contains(QLatin1String("org.freedesktop.DBus.Error.NoReply")),
            qPrintable(warnings.all()));
        QTRY_VERIFY_WITH_TIMEOUT(peer.finished, 60000);
        QVERIFY(peer.droppedByBus);
    }
    peer.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!nameOwned(), 60000);
    launchWorksAgain(service);
}

// A Qt camera cannot send invalid UTF-8: QString's encoder replaces a lone surrogate.
void FaultMatrixTest::unpairedSurrogateLocation()
{
    TestPeer peer;
    QVERIFY(peer.isRegistered());
    const QString sent = QStringLiteral("/tmp/a") + QChar(0xd800) + QStringLiteral("b.png");
    peer.results = { { kLocationReturn, sent } };
    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
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
    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
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
    CameraUIService *service = CreateCameraUIService(1, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
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
        s_beforeRead = [nativePath] { ::truncate(nativePath.constData(), 10); };
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
    if (change == ShrinksWhileRead || change == GrowsWhileRead) {
        QVERIFY2(!s_beforeRead, "the library did not read through fread");
        QCOMPARE(s_readsSeen, readsBefore + 1);
    }
}

void FaultMatrixTest::configurationFiles_data()
{
    QTest::addColumn<QByteArray>("phoneModel"); // null: no file
    QTest::addColumn<QByteArray>("resource");
    QTest::addColumn<QString>("node"); // both files are, instead: "fifo" or "device"
    QTest::addColumn<uint>("minDataSize");
    QTest::addColumn<bool>("photoAutoPost");
    QTest::addColumn<bool>("videoAutoPost");
    QTest::addColumn<QString>("traced"); // a whole line; the model lines have no prefix

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
    QTest::newRow("missing files")
        << QByteArray() << QByteArray() << none << 0u << false << false << enter;
    QTest::newRow("empty files") << QByteArray("") << QByteArray("") << none << fallback << false
                                 << false << unknown;
    QTest::newRow("binary files") << garbage << garbage << none << fallback << false << false
                                  << unknown;
    QTest::newRow("binary, then the entries")
        << garbage + model << garbage + blog << none << kr41 << true << true << kr41Line;
    QTest::newRow("1 MiB line, then the entries")
        << line + model << line + blog << none << kr41 << true << true << kr41Line;
    QTest::newRow("1 MiB values") << "[PHONE_MODEL]\nPhoneModelID=" + line + "TJ72\n"
                                  << "[cameraSetting]\nphotoAutoBlog=" + line
            + "\nvideoAutoBlog=1\n"
                                  << none << 55018u << false << true
                                  << QStringLiteral("____: minDataSize: strPhoneModel = ")
            + QString::fromLatin1(line) + QStringLiteral("TJ72");
    QTest::newRow("64 MiB, then the entries")
        << filler + model << filler + blog << none << kr41 << true << true << kr41Line;
    QTest::newRow("entries outside their group")
        << QByteArray("PhoneModelID=KIV-KR41\n[PHONE]\nPhoneModelID=KIV-KR41\n")
        << QByteArray("photoAutoBlog=yes\n[camerasetting]\nvideoAutoBlog=yes\n") << none << fallback
        << false << false << unknown;
    // Read like missing files, with a warning, instead of blocking or reading forever.
    QTest::newRow("FIFOs without writer")
        << QByteArray() << QByteArray() << QStringLiteral("fifo") << 0u << false << false << enter;
    QTest::newRow("links to /dev/zero") << QByteArray() << QByteArray() << QStringLiteral("device")
                                        << 0u << false << false << enter;
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
        else if (!file.second.isNull())
            QVERIFY(writeFile(file.first, file.second));
    }
    qputenv("KIV_ROOT", QFile::encodeName(root.path()));
    const auto unset = qScopeGuard([] { qunsetenv("KIV_ROOT"); });

    CameraUIService *service = CreateCameraUIService(2, 0);
    const auto destroy = qScopeGuard([service] { DestroyCameraDlg(service); });
    WarningCapture warnings;
    StdoutCapture trace;
    QCOMPARE(GetMinDataSize(service), minDataSize);
    QCOMPARE(GetAutoPostSetting(service, 1), photoAutoPost);
    QCOMPARE(GetAutoPostSetting(service, 2), videoAutoPost);
    const QStringList lines = trace.takeLines();
    VERIFY_LINE(lines, traced);
    // Without a file no model is read at all.
    QCOMPARE(lines.filter(QStringLiteral("strPhoneModel = ")).isEmpty(), phoneModel.isNull());
    if (!node.isEmpty()) {
        QCOMPARE(warnings.all().count(QLatin1String("kiv.config: Cannot read ")), 3);
        QVERIFY2(warnings.all().contains(phonePath + QLatin1String(": not a regular file")),
            qPrintable(warnings.all()));
    } else {
        QCOMPARE(warnings.all(), QString());
    }
    // And a second call reads the files afresh to the same answer.
    QCOMPARE(GetMinDataSize(service), minDataSize);
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
