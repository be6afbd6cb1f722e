#include "AM_ActionData.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusVariant>
#include <QHash>
#include <QList>
#include <QLoggingCategory>
#include <QPair>
#include <QPointer>
#include <QSet>
#include <QVariant>

#include <climits>

Q_LOGGING_CATEGORY(lcAction, "kiv.action", QtWarningMsg)

namespace {

const QString kPath = QStringLiteral("/org/kiv/Action");
const QString kInterface = QStringLiteral("org.kiv.Action");
const QString kMethod = QStringLiteral("Invoke");
const QString kBusService = QStringLiteral("org.freedesktop.DBus");
const QString kBusPath = QStringLiteral("/org/freedesktop/DBus");
const QString kBusInterface = QStringLiteral("org.freedesktop.DBus");

// Values in the order they were set. QVariantMap would sort them on the wire.
struct OrderedValues
{
    QList<QPair<QString, QVariant>> entries;
};

} // namespace

Q_DECLARE_METATYPE(OrderedValues)

namespace {

QDBusArgument &operator<<(QDBusArgument &arg, const OrderedValues &values)
{
    arg.beginMap(qMetaTypeId<QString>(), qMetaTypeId<QDBusVariant>());
    for (const auto &entry : values.entries) {
        arg.beginMapEntry();
        arg << entry.first << QDBusVariant(entry.second);
        arg.endMapEntry();
    }
    arg.endMap();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, OrderedValues &values)
{
    values.entries.clear();
    arg.beginMap();
    while (!arg.atEnd()) {
        QString key;
        QDBusVariant value;
        arg.beginMapEntry();
        arg >> key >> value;
        arg.endMapEntry();
        values.entries.append(qMakePair(key, value.variant()));
    }
    arg.endMap();
    return arg;
}

void registerTypes()
{
    static const bool registered = [] {
        qDBusRegisterMetaType<OrderedValues>();
        return true;
    }();
    Q_UNUSED(registered)
}

// The owner of one name on one connection, kept current by a NameOwnerChanged match that
// lasts, so that a launch costs the bus its own call and nothing else.
class OwnerCache : public QObject
{
    Q_OBJECT
public:
    static OwnerCache *get(const QDBusConnection &bus, const QString &name)
    {
        // QPointer: the application object that owns a cache may be gone and replaced.
        thread_local QHash<QString, QPointer<OwnerCache>> caches;
        QPointer<OwnerCache> &cache = caches[bus.name() + QLatin1Char('\n') + name];
        if (!cache)
            cache = new OwnerCache(bus, name, QCoreApplication::instance());
        return cache.data();
    }

    QString knownOwner() const { return m_owner; }

    // Waits for the first answer of the bus when it is still out.
    QString owner()
    {
        if (m_ownerCall) {
            m_ownerCall->waitForFinished();
            if (m_ownerCall)
                ownerKnown(m_ownerCall);
        }
        return m_owner;
    }

Q_SIGNALS:
    void ownerGained(const QString &owner);

private:
    OwnerCache(const QDBusConnection &bus, const QString &name, QObject *parent)
        : QObject(parent)
        , m_bus(bus)
        , m_name(name)
    {
        // The match goes out before the query, so no change between the two is missed.
        m_bus.connect(kBusService, kBusPath, kBusInterface, QStringLiteral("NameOwnerChanged"),
            QStringList { m_name }, QString(), this, SLOT(ownerChanged(QString, QString, QString)));
        QDBusMessage ask = QDBusMessage::createMethodCall(
            kBusService, kBusPath, kBusInterface, QStringLiteral("GetNameOwner"));
        ask << m_name;
        m_ownerCall = new QDBusPendingCallWatcher(m_bus.asyncCall(ask), this);
        connect(m_ownerCall, &QDBusPendingCallWatcher::finished, this, &OwnerCache::ownerKnown);
    }

private Q_SLOTS:
    void ownerChanged(const QString &name, const QString &, const QString &newOwner)
    {
        if (name != m_name)
            return;
        m_owner = newOwner;
        if (!newOwner.isEmpty())
            Q_EMIT ownerGained(newOwner);
    }

    void ownerKnown(QDBusPendingCallWatcher *watcher)
    {
        const QDBusMessage reply = watcher->reply();
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
            m_owner = reply.arguments().constFirst().toString();
            Q_EMIT ownerGained(m_owner);
        }
        m_ownerCall = nullptr;
        watcher->deleteLater();
    }

private:
    QDBusConnection m_bus;
    QString m_name;
    QString m_owner;
    QPointer<QDBusPendingCallWatcher> m_ownerCall;
};

// One invoke in flight. Owns the watchers; reports exactly once, then deletes itself.
class PendingInvoke : public QObject
{
    Q_OBJECT
public:
    PendingInvoke(
        const AM_ActionData *request, const QDBusConnection &bus, const QString &destination)
        : QObject(const_cast<AM_ActionData *>(request))
        , m_request(const_cast<AM_ActionData *>(request))
        , m_bus(bus)
        , m_destination(destination)
    { }

    void start(const QString &action, const OrderedValues &values, bool allowStart)
    {
        if (m_destination.startsWith(QLatin1Char(':'))) {
            m_owners.insert(m_destination);
        } else {
            // Who may answer: the owner known when the call goes out, and every owner the
            // name gets while we wait. The bus keeps our messages in order, so the cache's
            // first GetNameOwner is answered before this call, and an owner started by
            // activation shows up as NameOwnerChanged before its reply.
            m_cache = OwnerCache::get(m_bus, m_destination);
            connect(m_cache, &OwnerCache::ownerGained, this,
                [this](const QString &owner) { m_owners.insert(owner); });
            if (!m_cache->knownOwner().isEmpty())
                m_owners.insert(m_cache->knownOwner());
        }

        QDBusMessage call
            = QDBusMessage::createMethodCall(m_destination, kPath, kInterface, kMethod);
        call.setAutoStartService(allowStart);
        call << action << QVariant::fromValue(values);
        // No time limit: the user may take as long as they like (-1 would mean 25 s).
        auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, INT_MAX), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, &PendingInvoke::answered);
    }

private Q_SLOTS:
    void answered(QDBusPendingCallWatcher *watcher)
    {
        const QDBusMessage reply = watcher->reply();
        watcher->deleteLater();
        if (m_cache) {
            const QString owner = m_cache->owner();
            if (!owner.isEmpty())
                m_owners.insert(owner);
        }

        if (reply.type() != QDBusMessage::ReplyMessage) {
            abort(QStringLiteral("%1: %2").arg(reply.errorName(), reply.errorMessage()));
            return;
        }
        if (reply.signature() != QLatin1String("a{ss}")) {
            abort(QStringLiteral("reply has signature \"%1\", expected \"a{ss}\"")
                      .arg(reply.signature()));
            return;
        }
        if (!isHandler(reply.service())) {
            abort(QStringLiteral("reply from %1, which does not own %2")
                      .arg(reply.service(), m_destination));
            return;
        }
        const auto results = qdbus_cast<QMap<QString, QString>>(reply.arguments().constFirst());
        finish([&](AM_ActionData *request) {
            Q_EMIT request->signalResultsAvailable(AM_ActionResults(results));
        });
    }

private:
    bool isHandler(const QString &sender)
    {
        if (sender.isEmpty())
            return false;
        if (m_owners.contains(sender))
            return true;
        // A change of owner we have not been told of yet: ask the bus now.
        QDBusConnectionInterface *busIface = m_bus.interface();
        if (!busIface)
            return false;
        const QDBusReply<QString> owner = busIface->serviceOwner(m_destination);
        return owner.isValid() && owner.value() == sender;
    }

    void abort(const QString &why)
    {
        qCWarning(lcAction).noquote() << "action to" << m_destination << "aborted:" << why;
        finish([](AM_ActionData *request) { Q_EMIT request->signalActionAborted(); });
    }

    template<typename Emit> void finish(Emit emitSignal)
    {
        QPointer<AM_ActionData> request = m_request;
        deleteLater();
        if (request)
            emitSignal(request.data());
    }

    QPointer<AM_ActionData> m_request;
    QDBusConnection m_bus;
    QString m_destination;
    QSet<QString> m_owners;
    QPointer<OwnerCache> m_cache;
};

} // namespace

class AM_ActionDataPrivate
{
public:
    QString object;
    QString action;
    OrderedValues values;

    void set(const QString &key, const QVariant &value)
    {
        for (auto &entry : values.entries) {
            if (entry.first == key) {
                entry.second = value;
                return;
            }
        }
        values.entries.append(qMakePair(key, value));
    }
};

AM_ActionData::AM_ActionData(QObject *parent)
    : QObject(parent)
    , d(new AM_ActionDataPrivate)
{
    registerTypes();
}

AM_ActionData::~AM_ActionData() = default;

void AM_ActionData::setObject(const QString &object)
{
    d->object = object;
}

QString AM_ActionData::object() const
{
    return d->object;
}

void AM_ActionData::setAction(const QString &action)
{
    d->action = action;
}

QString AM_ActionData::action() const
{
    return d->action;
}

void AM_ActionData::setValue(const QString &key, const QString &value)
{
    d->set(key, QVariant::fromValue(value));
}

void AM_ActionData::setValue(const QString &key, int value)
{
    d->set(key, QVariant::fromValue(value));
}

QString AM_ActionData::destinationFor(const QString &object, const QString &action)
{
    return object.isEmpty() ? QStringLiteral("org.kiv.Action.") + action : object;
}

bool AM_ActionData::invoke(bool allowStart) const
{
    // Values belong to this one request: the next invoke starts from none.
    OrderedValues values;
    values.entries.swap(d->values.entries);

    const QString destination = destinationFor(d->object, d->action);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCWarning(lcAction).noquote() << "action to" << destination
                                      << "aborted: no session bus:" << bus.lastError().message();
        // Never within invoke(): the caller may not be waiting yet.
        QPointer<AM_ActionData> self = const_cast<AM_ActionData *>(this);
        QMetaObject::invokeMethod(
            self.data(),
            [self] {
                if (self)
                    Q_EMIT self->signalActionAborted();
            },
            Qt::QueuedConnection);
        return false;
    }

    auto *pending = new PendingInvoke(this, bus, destination);
    pending->start(d->action, values, allowStart);
    return true;
}

#include "AM_ActionData.moc"
