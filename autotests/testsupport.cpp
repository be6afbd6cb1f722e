#include "testsupport.h"

#include "kivaction_names_p.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QUuid>

#include <cstdio>
#include <fcntl.h>
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
    const QDBusMessage msg = message();
    requests.append(msg);
    setDelayedReply(true);
    QDBusConnection bus(m_connectionName);
    switch (mode) {
    case Reply:
        bus.send(msg.createReply(QVariant::fromValue(results)));
        break;
    case Hold:
        m_held = msg;
        break;
    case ErrorReply:
        bus.send(msg.createErrorReply(
            QStringLiteral("org.kiv.Action.Error.Busy"), QStringLiteral("the camera is busy")));
        break;
    case WrongSignature:
        bus.send(msg.createReply(QVariant(QStringLiteral("ACCEPTED"))));
        break;
    case Forged: {
        // Someone else on the bus, who has seen (or guessed) the serial.
        const QString name = m_connectionName + QStringLiteral("-forger");
        const QString address = QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS"));
        QDBusConnection forger = QDBusConnection::connectToBus(address, name);
        forger.send(msg.createReply(QVariant::fromValue(forgedResults)));
        m_held = msg;
        break;
    }
    }
    Q_EMIT requestReceived();
}

void TestPeer::release()
{
    if (m_held.type() == QDBusMessage::InvalidMessage)
        return;
    QDBusConnection(m_connectionName).send(m_held.createReply(QVariant::fromValue(results)));
    m_held = QDBusMessage();
}

void TestPeer::disconnectNow()
{
    m_held = QDBusMessage();
    QDBusConnection::disconnectFromBus(m_connectionName);
    m_registered = false;
}
