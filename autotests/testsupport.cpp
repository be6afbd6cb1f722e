// SPDX-License-Identifier: MIT
#include "testsupport.h"

#include "kivaction_names_p.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QUuid>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

StdoutCapture::StdoutCapture()
{
    fflush(stdout);
    m_path = QFile::encodeName(QDir::tempPath()) + "/camera-trace-"
        + QUuid::createUuid().toString(QUuid::Id128).toLatin1();
    const int fd = ::open(m_path.constData(), O_CREAT | O_TRUNC | O_RDWR, 0600);
    m_savedFd = ::dup(STDOUT_FILENO);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
}

StdoutCapture::~StdoutCapture()
{
    fflush(stdout);
    ::dup2(m_savedFd, STDOUT_FILENO);
    ::close(m_savedFd);
    ::unlink(m_path.constData());
}

QByteArray StdoutCapture::take()
{
    fflush(stdout);
    QFile file(QString::fromLocal8Bit(m_path));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    file.seek(m_offset);
    const QByteArray text = file.readAll();
    m_offset += text.size();
    return text;
}

QStringList StdoutCapture::takeLines()
{
    static const QRegularExpression lineNumber(QStringLiteral("^(Camera LOG in [^:]+):\\d+:"));
    QStringList lines = QString::fromLatin1(take()).split(QLatin1Char('\n'));
    for (QString &line : lines)
        line.replace(lineNumber, QStringLiteral("\\1:#:"));
    return lines;
}

QList<WireValue> wireValues(const QDBusMessage &invoke)
{
    QList<WireValue> values;
    if (invoke.arguments().size() < 2)
        return values;
    const QDBusArgument arg = invoke.arguments().at(1).value<QDBusArgument>();
    arg.beginMap();
    while (!arg.atEnd()) {
        WireValue value;
        QDBusVariant variant;
        arg.beginMapEntry();
        arg >> value.key >> variant;
        arg.endMapEntry();
        value.value = variant.variant();
        switch (value.value.userType()) {
        case QMetaType::QString:
            value.signature = QStringLiteral("s");
            break;
        case QMetaType::Int:
            value.signature = QStringLiteral("i");
            break;
        case QMetaType::ULongLong:
            value.signature = QStringLiteral("t");
            break;
        default:
            value.signature = QString::fromLatin1(value.value.typeName());
        }
        values.append(value);
    }
    arg.endMap();
    return values;
}

TestPeer::TestPeer(const QString &serviceName, QObject *parent)
    : QObject(parent)
    , m_connectionName(QStringLiteral("testpeer-") + QUuid::createUuid().toString(QUuid::Id128))
    , m_serviceName(serviceName)
{
    qDBusRegisterMetaType<QMap<QString, QString>>();
    const QString address = QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS"));
    QDBusConnection bus = QDBusConnection::connectToBus(address, m_connectionName);
    m_registered = bus.isConnected()
        && bus.registerObject(KivAction::objectPath(), this, QDBusConnection::ExportAllSlots)
        && bus.registerService(m_serviceName);
}

TestPeer::~TestPeer()
{
    QDBusConnection::disconnectFromBus(m_connectionName + QStringLiteral("-forger"));
    QDBusConnection::disconnectFromBus(m_connectionName);
}

QString TestPeer::uniqueName() const
{
    return QDBusConnection(m_connectionName).baseService();
}

void TestPeer::Invoke(const QString &, const QVariantMap &)
{
    setDelayedReply(true);
    answer(message(), QVariant::fromValue(results));
}

void TestPeer::GetCapabilities(const QString &)
{
    setDelayedReply(true);
    if (!servesCapabilities) {
        const QDBusMessage msg = message();
        requests.append(msg);
        QDBusConnection(m_connectionName)
            .send(msg.createErrorReply(KivAction::unknownMethodError(),
                QStringLiteral("No such method '%1' in interface '%2' at object path '%3' "
                               "(signature 's')")
                    .arg(msg.member(), msg.interface(), msg.path())));
        Q_EMIT requestReceived();
        return;
    }
    answer(message(), capabilities);
}

void TestPeer::answer(const QDBusMessage &msg, const QVariant &reply)
{
    requests.append(msg);
    QDBusConnection bus(m_connectionName);
    switch (mode) {
    case Reply:
        bus.send(msg.createReply(reply));
        break;
    case Hold:
        m_held = msg;
        break;
    case ErrorReply:
        bus.send(msg.createErrorReply(KivAction::errorPrefix() + QStringLiteral("Busy"),
            QStringLiteral("the camera is busy")));
        break;
    case WrongSignature:
        bus.send(msg.createReply(QVariant(QStringLiteral("ACCEPTED"))));
        break;
    case Forged:
    case ForgedError: {
        // Someone else on the bus, who has seen (or guessed) the serial.
        const QString name = m_connectionName + QStringLiteral("-forger");
        const QString address = QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS"));
        QDBusConnection forger = QDBusConnection::connectToBus(address, name);
        forger.send(mode == Forged
                ? msg.createReply(QVariant::fromValue(forgedResults))
                : msg.createErrorReply(KivAction::errorPrefix() + QStringLiteral("Forged"),
                    QStringLiteral("a third party ended the launch")));
        m_held = msg;
        if (answerAfterForgery) {
            // The bus handles one connection's messages in order: once it has answered
            // this call, the forgery was delivered (or dropped) before our real answer.
            forger.call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                            QStringLiteral("/org/freedesktop/DBus"),
                            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId")),
                QDBus::Block, Bound::quick);
            release();
        }
        break;
    }
    }
    Q_EMIT requestReceived();
}

void TestPeer::Cancel(const QString &action)
{
    cancels << QStringLiteral("Cancel ") + action;
    Q_EMIT cancelReceived();
}

void TestPeer::CancelLaunch(const QString &action, qulonglong launchId)
{
    if (lacksCancelLaunch) {
        cancels << QStringLiteral("refused CancelLaunch");
        sendErrorReply(QDBusError::UnknownMethod, QStringLiteral("no CancelLaunch here"));
        return;
    }
    cancels << QStringLiteral("CancelLaunch %1 %2").arg(action).arg(launchId);
    Q_EMIT cancelReceived();
}

quint64 launchIdOf(const QDBusMessage &invoke)
{
    for (const WireValue &value : wireValues(invoke))
        if (value.key == KivAction::Key::launchId())
            return value.value.toULongLong();
    return 0;
}

void TestPeer::release()
{
    if (m_held.type() == QDBusMessage::InvalidMessage)
        return;
    // What the fields hold now: a test may change them while the call is held.
    const QVariant reply = m_held.member() == KivAction::getCapabilitiesMethod()
        ? QVariant(capabilities)
        : QVariant::fromValue(results);
    QDBusConnection(m_connectionName).send(m_held.createReply(reply));
    m_held = QDBusMessage();
}

ThreadedPeer::ThreadedPeer(const QString &serviceName)
    : m_peer(new TestPeer(serviceName))
{
    // QtDBus delivers calls to the thread the object lives in when they arrive.
    m_peer->moveToThread(&m_thread);
    m_thread.start();
}

ThreadedPeer::~ThreadedPeer()
{
    m_thread.quit();
    m_thread.wait();
    delete m_peer;
}

void TestPeer::disconnectNow()
{
    m_held = QDBusMessage();
    QDBusConnection::disconnectFromBus(m_connectionName);
    m_registered = false;
}

class RawPeerConnection
{
public:
    explicit RawPeerConnection(const QString &serviceName)
        : m_name(serviceName.toLatin1())
    { }
    ~RawPeerConnection() { stop(); }

    // Connects, authenticates and takes the camera's name; false with error otherwise.
    bool start(const QByteArray &location, QString *error)
    {
        m_location = location;
        if (!connectToBus(error) || !hello(error) || !requestName(error))
            return false;
        // Served until stop() shuts the socket.
        setReadBound(0);
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

    // Bounds each read of the socket (0: no bound).
    void setReadBound(int ms)
    {
        const timeval bound { ms / 1000, (ms % 1000) * 1000 };
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
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
        // A bus that never answers fails the start, not the whole test.
        setReadBound(Bound::quick);
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
        body.string(m_name);
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
    QByteArray m_name;
    std::thread m_thread;
};

RawPeer::RawPeer(const QString &serviceName)
    : d(new RawPeerConnection(serviceName))
{ }

RawPeer::~RawPeer() = default;

bool RawPeer::start(const QByteArray &location, QString *error)
{
    return d->start(location, error);
}

void RawPeer::stop()
{
    d->stop();
}

bool RawPeer::replied() const
{
    return d->replied;
}

bool RawPeer::droppedByBus() const
{
    return d->droppedByBus;
}

bool RawPeer::finished() const
{
    return d->finished;
}

FolderWatch::FolderWatch(const QString &folder)
    : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    if (m_fd >= 0
        && ::inotify_add_watch(m_fd, QFile::encodeName(folder).constData(),
               IN_OPEN | IN_CREATE | IN_MODIFY | IN_MOVED_TO | IN_DELETE)
            < 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

FolderWatch::~FolderWatch()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QStringList FolderWatch::take()
{
    QStringList events;
    alignas(struct inotify_event) char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(m_fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        for (ssize_t at = 0; at < got;) {
            const auto *event = reinterpret_cast<const struct inotify_event *>(buffer + at);
            const QString name = QFile::decodeName(event->len ? event->name : "");
            const char *what = (event->mask & IN_OPEN) ? "open"
                : (event->mask & IN_CREATE)            ? "create"
                : (event->mask & IN_MODIFY)            ? "modify"
                : (event->mask & IN_MOVED_TO)          ? "moved-to"
                                                       : "delete";
            events << QLatin1String(what) + QLatin1Char(' ') + name;
            at += ssize_t(sizeof(struct inotify_event) + event->len);
        }
    }
    return events;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

QString capturedFile(const QString &name)
{
    static QTemporaryDir folder;
    const QString path = folder.filePath(name);
    if (!QFileInfo::exists(path))
        putFile(path, QByteArray());
    return path;
}

bool putFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QStringList hiddenEntries(const QString &folder)
{
    return QDir(folder).entryList(QStringList { QStringLiteral(".*") },
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

int openDescriptorCount()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                   .size());
}

bool cameraNameOwned()
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() && bus.interface()->isServiceRegistered(KivAction::cameraBusName());
}

AnswerLog::~AnswerLog() = default;

int AnswerLog::send(QDBusConnection bus, const QDBusMessage &call, int timeoutMs)
{
    qDBusRegisterMetaType<QMap<QString, QString>>();
    const int n = int(m_calls.size());
    m_calls.push_back(Call());
    m_calls.back().watcher
        = std::make_unique<QDBusPendingCallWatcher>(bus.asyncCall(call, timeoutMs));
    QDBusPendingCallWatcher *watcher = m_calls.back().watcher.get();
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [this, n, watcher] {
        Call &done = m_calls[size_t(n)];
        const QDBusMessage reply = watcher->reply();
        if (reply.type() == QDBusMessage::ReplyMessage) {
            done.results = qdbus_cast<QMap<QString, QString>>(reply.arguments().value(0));
            done.answer = done.results.value(KivAction::Key::actionReturn());
        } else {
            done.answer = reply.errorName();
            done.message = reply.errorMessage();
        }
        if (done.answer.isEmpty())
            done.answer = QStringLiteral("(no actionReturn)");
        m_order << n;
    });
    return n;
}

int AnswerLog::count(const QString &answer) const
{
    int found = 0;
    for (const Call &call : m_calls)
        found += call.answer == answer ? 1 : 0;
    return found;
}

CameraProcess::~CameraProcess()
{
    stop();
}

bool CameraProcess::start(const QString &outputDir, const QStringList &options,
    const QProcessEnvironment &environment, const QString &workingDirectory)
{
    if (!stop())
        return false;
    m_log.clear();
    m_process = std::make_unique<QProcess>();
    m_process->setProcessEnvironment(environment);
    if (!workingDirectory.isEmpty())
        m_process->setWorkingDirectory(workingDirectory);
    m_errors.clear();
    QProcess *process = m_process.get();
    QObject::connect(process, &QProcess::readyReadStandardOutput, process,
        [this, process] { m_log += process->readAllStandardOutput(); });
    // Still reaches our stderr, and is kept for the tests that check it.
    QObject::connect(process, &QProcess::readyReadStandardError, process, [this, process] {
        const QByteArray text = process->readAllStandardError();
        m_errors += text;
        fputs(text.constData(), stderr);
    });
    const QString camera = QStringLiteral(CAMERA_BIN_DIR "/reference-camera");
    const QStringList arguments = QStringList { QStringLiteral("--source"), QStringLiteral("test"),
        QStringLiteral("--output-dir"), outputDir }
        + options;
    if (m_launcher.isEmpty())
        m_process->start(camera, arguments);
    else
        m_process->start(m_launcher.first(), m_launcher.mid(1) + QStringList(camera) + arguments);
    if (!m_process->waitForStarted(Bound::camera))
        return false;
    return QTest::qWaitFor(
               [process] { return cameraNameOwned() || process->state() == QProcess::NotRunning; },
               Bound::camera)
        && cameraNameOwned();
}

bool CameraProcess::stop()
{
    if (!m_process)
        return true;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(Bound::quick))
            m_process->kill();
        m_process->waitForFinished(Bound::quick);
    }
    m_log += m_process->readAllStandardOutput();
    m_process.reset();
    return QTest::qWaitFor([] { return !cameraNameOwned(); }, Bound::quick);
}

bool CameraProcess::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

QByteArray CameraProcess::log()
{
    if (m_process)
        m_log += m_process->readAllStandardOutput();
    return m_log;
}

QByteArray CameraProcess::errors()
{
    if (m_process) {
        const QByteArray text = m_process->readAllStandardError();
        m_errors += text;
        fputs(text.constData(), stderr);
    }
    return m_errors;
}

void CameraProcess::clearLog()
{
    log();
    m_log.clear();
}

namespace {
QString g_exifError;
}

QVariantMap readExif(const QString &path)
{
    QProcess tool;
    tool.start(QStringLiteral("exiftool"), { QStringLiteral("-json"), QStringLiteral("-n"), path });
    if (!tool.waitForFinished(Bound::camera) || tool.exitCode() != 0) {
        g_exifError
            = QStringLiteral("exiftool could not read %1 (%2); install "
                             "libimage-exiftool-perl")
                  .arg(path, tool.errorString() + QString::fromUtf8(tool.readAllStandardError()));
        return QVariantMap();
    }
    const QJsonArray files = QJsonDocument::fromJson(tool.readAllStandardOutput()).array();
    g_exifError = files.isEmpty() ? QStringLiteral("exiftool gave no answer") : QString();
    return files.isEmpty() ? QVariantMap() : files.first().toObject().toVariantMap();
}

QString exifError()
{
    return g_exifError;
}
