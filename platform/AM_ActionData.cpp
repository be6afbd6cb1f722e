// SPDX-License-Identifier: MIT
#include "AM_ActionData.h"
#include "kivaction_names_p.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusSignature>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QHash>
#include <QList>
#include <QLoggingCategory>
#include <QPair>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QVariant>

#include <climits>

#include "kivlogging_p.h"

namespace {

const QString kPath = KivAction::objectPath();
const QString kInterface = KivAction::interfaceName();
const QString kMethod = KivAction::invokeMethod();
const QString kCancelMethod = KivAction::cancelMethod();
const QString kCapabilitiesMethod = KivAction::getCapabilitiesMethod();
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

class AM_ActionDataPrivate
{
public:
    QString object;
    QString action;
    OrderedValues values;
    AM_ActionData::AbortReason abortReason = AM_ActionData::AbortUnknown;
    QString abortMessage;
    // A round trip to the bus daemon queued behind the last Cancel (see cancel()).
    std::unique_ptr<QDBusPendingCall> cancelSent;
    AM_ActionData::AbortReason capabilitiesFailure = AM_ActionData::AbortUnknown;
    QString capabilitiesMessage;

    static void setCapabilitiesFailure(
        AM_ActionData *request, AM_ActionData::AbortReason reason, const QString &message)
    {
        request->d->capabilitiesFailure = reason;
        request->d->capabilitiesMessage = message;
    }

    static void setAbort(
        AM_ActionData *request, AM_ActionData::AbortReason reason, const QString &message)
    {
        request->d->abortReason = reason;
        request->d->abortMessage = message;
    }

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

// Why an error that the bus (or QtDBus here) sent ended a call.
AM_ActionData::AbortReason busErrorReason(const QString &name)
{
    if (name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")
        || name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")
        || name.startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn.")))
        return AM_ActionData::AbortNoHandler;
    if (name == QLatin1String("org.freedesktop.DBus.Error.Disconnected"))
        return AM_ActionData::AbortNoBus;
    return AM_ActionData::AbortHandlerFailed;
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

    QString destination() const { return m_destination; }

    // Never within invoke(): the caller may not be waiting yet. A cancel() before then
    // deletes this object and the abort with it.
    void failLater(AM_ActionData::AbortReason reason, const QString &why)
    {
        qCWarning(lcAction).noquote() << "action to" << m_destination << "aborted:" << why;
        QMetaObject::invokeMethod(
            this, [this, reason, why] { report(reason, why); }, Qt::QueuedConnection);
    }

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

        const QString sender = reply.service();
        const bool isError = reply.type() != QDBusMessage::ReplyMessage;
        // Errors the bus daemon sends, or QtDBus makes here, are the bus's word; every
        // other reply, error or not, must come from the connection that owns the name.
        if (isError && (sender.isEmpty() || sender == kBusService)) {
            abort(busErrorReason(reply.errorName()),
                QStringLiteral("%1: %2").arg(reply.errorName(), reply.errorMessage()));
            return;
        }
        if (!isHandler(sender)) {
            abort(AM_ActionData::AbortForgedReply,
                QStringLiteral("%1 from %2, which does not own %3")
                    .arg(isError ? QStringLiteral("error %1").arg(reply.errorName())
                                 : QStringLiteral("reply"),
                        sender, m_destination));
            return;
        }
        if (isError) {
            abort(AM_ActionData::AbortHandlerFailed,
                QStringLiteral("%1: %2").arg(reply.errorName(), reply.errorMessage()));
            return;
        }
        if (reply.signature() != QLatin1String("a{ss}")) {
            abort(AM_ActionData::AbortHandlerFailed,
                QStringLiteral("reply has signature \"%1\", expected \"a{ss}\"")
                    .arg(reply.signature()));
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

    void abort(AM_ActionData::AbortReason reason, const QString &why)
    {
        qCWarning(lcAction).noquote() << "action to" << m_destination << "aborted:" << why;
        report(reason, why);
    }

    void report(AM_ActionData::AbortReason reason, const QString &why)
    {
        finish([reason, why](AM_ActionData *request) {
            AM_ActionDataPrivate::setAbort(request, reason, why);
            Q_EMIT request->signalActionAborted();
        });
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

// GetCapabilities answers in D-Bus types; hosts get plain Qt values: a{s*} as QVariantMap,
// "as" as QStringList, other arrays and structures as QVariantList, paths and
// signatures as strings. File descriptors mean nothing to a host and are dropped.
QVariant plainValue(const QVariant &value);

QVariant plainArgument(const QDBusArgument &arg)
{
    switch (arg.currentType()) {
    case QDBusArgument::BasicType:
        return plainValue(arg.asVariant());
    case QDBusArgument::VariantType: {
        QDBusVariant variant;
        arg >> variant;
        return plainValue(variant.variant());
    }
    case QDBusArgument::ArrayType: {
        const QString signature = arg.currentSignature();
        if (signature == QLatin1String("as")) {
            QStringList strings;
            arg >> strings;
            return strings;
        }
        if (signature == QLatin1String("ay")) {
            QByteArray bytes;
            arg >> bytes;
            return bytes;
        }
        QVariantList list;
        arg.beginArray();
        while (!arg.atEnd() && arg.currentType() != QDBusArgument::UnknownType)
            list << plainArgument(arg);
        arg.endArray();
        return list;
    }
    case QDBusArgument::StructureType: {
        QVariantList fields;
        arg.beginStructure();
        while (!arg.atEnd() && arg.currentType() != QDBusArgument::UnknownType)
            fields << plainArgument(arg);
        arg.endStructure();
        return fields;
    }
    case QDBusArgument::MapType: {
        QVariantMap map;
        arg.beginMap();
        while (!arg.atEnd() && arg.currentType() == QDBusArgument::MapEntryType) {
            arg.beginMapEntry();
            const QVariant key = plainArgument(arg);
            const QVariant entry = plainArgument(arg);
            arg.endMapEntry();
            map.insert(key.toString(), entry);
        }
        arg.endMap();
        return map;
    }
    case QDBusArgument::MapEntryType:
    case QDBusArgument::UnknownType:
        break;
    }
    return QVariant();
}

QVariant plainValue(const QVariant &value)
{
    const int type = value.userType();
    if (type == qMetaTypeId<QDBusArgument>())
        return plainArgument(value.value<QDBusArgument>());
    if (type == qMetaTypeId<QDBusVariant>())
        return plainValue(value.value<QDBusVariant>().variant());
    if (type == qMetaTypeId<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    if (type == qMetaTypeId<QDBusSignature>())
        return value.value<QDBusSignature>().signature();
    if (type == qMetaTypeId<QDBusUnixFileDescriptor>())
        return QVariant();
    return value;
}

// What became of one GetCapabilities call.
struct CapabilitiesAnswer
{
    bool ok = false;
    QVariantMap capabilities;
    AM_ActionData::AbortReason reason = AM_ActionData::AbortUnknown;
    QString message;

    static CapabilitiesAnswer failed(AM_ActionData::AbortReason reason, const QString &message)
    {
        CapabilitiesAnswer answer;
        answer.reason = reason;
        answer.message = message;
        return answer;
    }
};

int busTimeout(int timeoutMs)
{
    return timeoutMs > 0 ? timeoutMs : -1; // -1: QtDBus's default, 25 s
}

QDBusMessage capabilitiesCall(const QString &destination, const QString &action, bool allowStart)
{
    QDBusMessage call
        = QDBusMessage::createMethodCall(destination, kPath, kInterface, kCapabilitiesMethod);
    call.setAutoStartService(allowStart);
    call << action;
    return call;
}

// The same rules as an invoke's answer: the bus speaks for itself, everyone else must
// own the name (owners: those known while the call was out; else the bus is asked now).
CapabilitiesAnswer judgeCapabilities(const QDBusMessage &reply, const QDBusConnection &bus,
    const QString &destination, const QSet<QString> &owners, int timeoutMs)
{
    const QString sender = reply.service();
    const bool isError = reply.type() != QDBusMessage::ReplyMessage;
    const QString error = QStringLiteral("%1: %2").arg(reply.errorName(), reply.errorMessage());
    if (isError && (sender.isEmpty() || sender == kBusService)) {
        // QtDBus ends a call that outlived its time with NoReply and no sender; when the
        // handler leaves without answering, the bus sends NoReply in its own name.
        if (sender.isEmpty()
            && reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply"))
            return CapabilitiesAnswer::failed(AM_ActionData::AbortTimedOut,
                QStringLiteral("no answer from %1 within %2 ms")
                    .arg(destination)
                    .arg(timeoutMs > 0 ? timeoutMs : 25000));
        return CapabilitiesAnswer::failed(busErrorReason(reply.errorName()), error);
    }
    bool owner = !sender.isEmpty() && owners.contains(sender);
    if (!owner && !sender.isEmpty() && !destination.startsWith(QLatin1Char(':'))) {
        QDBusConnectionInterface *busIface = bus.interface();
        const QDBusReply<QString> current
            = busIface ? busIface->serviceOwner(destination) : QDBusReply<QString>();
        owner = current.isValid() && current.value() == sender;
    }
    if (!owner)
        return CapabilitiesAnswer::failed(AM_ActionData::AbortForgedReply,
            QStringLiteral("%1 from %2, which does not own %3")
                .arg(isError ? QStringLiteral("error %1").arg(reply.errorName())
                             : QStringLiteral("reply"),
                    sender, destination));
    CapabilitiesAnswer answer;
    if (isError) {
        // A handler older than the method: what it can do is not known, and that is fine.
        if (reply.errorName() == KivAction::unknownMethodError()) {
            answer.ok = true;
            return answer;
        }
        return CapabilitiesAnswer::failed(AM_ActionData::AbortHandlerFailed, error);
    }
    if (reply.signature() != QLatin1String("a{sv}"))
        return CapabilitiesAnswer::failed(AM_ActionData::AbortHandlerFailed,
            QStringLiteral("reply has signature \"%1\", expected \"a{sv}\"")
                .arg(reply.signature()));
    answer.ok = true;
    answer.capabilities = plainValue(reply.arguments().constFirst()).toMap();
    return answer;
}

// One asynchronous GetCapabilities. Reports once through the request, then deletes itself.
class PendingCapabilities : public QObject
{
    Q_OBJECT
public:
    PendingCapabilities(AM_ActionData *request, const QDBusConnection &bus,
        const QString &destination, int timeoutMs)
        : QObject(request)
        , m_request(request)
        , m_bus(bus)
        , m_destination(destination)
        , m_timeoutMs(timeoutMs)
    { }

    void failLater(AM_ActionData::AbortReason reason, const QString &why)
    {
        QMetaObject::invokeMethod(
            this, [this, reason, why] { report(CapabilitiesAnswer::failed(reason, why)); },
            Qt::QueuedConnection);
    }

    void start(const QString &action, bool allowStart)
    {
        if (m_destination.startsWith(QLatin1Char(':'))) {
            m_owners.insert(m_destination);
        } else {
            m_cache = OwnerCache::get(m_bus, m_destination);
            connect(m_cache, &OwnerCache::ownerGained, this,
                [this](const QString &owner) { m_owners.insert(owner); });
            if (!m_cache->knownOwner().isEmpty())
                m_owners.insert(m_cache->knownOwner());
        }
        auto *watcher = new QDBusPendingCallWatcher(
            m_bus.asyncCall(
                capabilitiesCall(m_destination, action, allowStart), busTimeout(m_timeoutMs)),
            this);
        connect(
            watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
                const QDBusMessage reply = w->reply();
                w->deleteLater();
                if (m_cache && !m_cache->knownOwner().isEmpty())
                    m_owners.insert(m_cache->knownOwner());
                report(judgeCapabilities(reply, m_bus, m_destination, m_owners, m_timeoutMs));
            });
    }

private:
    void report(const CapabilitiesAnswer &answer)
    {
        QPointer<AM_ActionData> request = m_request;
        deleteLater();
        if (!request)
            return;
        if (!answer.ok) {
            qCWarning(lcAction).noquote()
                << "capabilities of" << m_destination << "not known:" << answer.message;
            AM_ActionDataPrivate::setCapabilitiesFailure(request, answer.reason, answer.message);
            Q_EMIT request->signalCapabilitiesFailed();
            return;
        }
        Q_EMIT request->signalCapabilitiesAvailable(answer.capabilities);
    }

    QPointer<AM_ActionData> m_request;
    QDBusConnection m_bus;
    QString m_destination;
    int m_timeoutMs;
    QSet<QString> m_owners;
    QPointer<OwnerCache> m_cache;
};

} // namespace

AM_ActionData::AM_ActionData(QObject *parent)
    : QObject(parent)
    , d(new AM_ActionDataPrivate)
{
    registerTypes();
}

AM_ActionData::~AM_ActionData()
{
    // A host that cancels and then exits must not lose the Cancel on the way out.
    if (d->cancelSent && !d->cancelSent->isFinished())
        d->cancelSent->waitForFinished();
}

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
    return object.isEmpty() ? KivAction::busName(action) : object;
}

bool AM_ActionData::invoke(bool allowStart) const
{
    // Values belong to this one request: the next invoke starts from none.
    OrderedValues values;
    values.entries.swap(d->values.entries);

    const QString destination = destinationFor(d->object, d->action);
    d->abortReason = AbortUnknown;
    d->abortMessage.clear();
    QDBusConnection bus = QDBusConnection::sessionBus();
    auto *pending = new PendingInvoke(this, bus, destination);
    if (!bus.isConnected()) {
        pending->failLater(
            AbortNoBus, QStringLiteral("no session bus: ") + bus.lastError().message());
        return false;
    }
    pending->start(d->action, values, allowStart);
    return true;
}

AM_ActionData::AbortReason AM_ActionData::abortReason() const
{
    return d->abortReason;
}

QString AM_ActionData::abortMessage() const
{
    return d->abortMessage;
}

void AM_ActionData::cancel()
{
    const auto pending = findChildren<PendingInvoke *>(QString(), Qt::FindDirectChildrenOnly);
    QSet<QString> told;
    bool sent = false;
    for (PendingInvoke *invoke : pending) {
        const QString destination = invoke->destination();
        delete invoke; // its reply, if it ever comes, goes nowhere
        if (told.contains(destination))
            continue;
        told.insert(destination);
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected())
            continue;
        // Never start a camera just to stop it. send() marks the call as wanting no reply,
        // so a camera without Cancel has nothing to answer.
        QDBusMessage stop
            = QDBusMessage::createMethodCall(destination, kPath, kInterface, kCancelMethod);
        stop.setAutoStartService(false);
        stop << d->action;
        sent |= bus.send(stop);
    }
    if (sent) {
        // QtDBus writes from its own thread, so a message sent just before the host exits
        // can be lost. The reply to a ping queued behind it proves it went out; the
        // destructor waits for that reply if it has not come yet.
        QDBusMessage ping = QDBusMessage::createMethodCall(kBusService, kBusPath,
            QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
        d->cancelSent.reset(
            new QDBusPendingCall(QDBusConnection::sessionBus().asyncCall(ping, 1000)));
    }
}

bool AM_ActionData::queryCapabilities(int timeoutMs, QVariantMap *capabilities, bool allowStart)
{
    d->capabilitiesFailure = AbortUnknown;
    d->capabilitiesMessage.clear();
    if (capabilities)
        capabilities->clear();
    const QString destination = destinationFor(d->object, d->action);
    QDBusConnection bus = QDBusConnection::sessionBus();
    CapabilitiesAnswer answer;
    if (!bus.isConnected()) {
        answer = CapabilitiesAnswer::failed(
            AbortNoBus, QStringLiteral("no session bus: ") + bus.lastError().message());
    } else {
        QSet<QString> owners;
        OwnerCache *cache = nullptr;
        if (destination.startsWith(QLatin1Char(':'))) {
            owners.insert(destination);
        } else {
            cache = OwnerCache::get(bus, destination);
            const QString owner = cache->owner();
            if (!owner.isEmpty())
                owners.insert(owner);
        }
        // QDBus::Block waits on the socket, not in an event loop: no slot of the caller's
        // runs before this returns.
        const QDBusMessage reply = bus.call(capabilitiesCall(destination, d->action, allowStart),
            QDBus::Block, busTimeout(timeoutMs));
        if (cache && !cache->knownOwner().isEmpty())
            owners.insert(cache->knownOwner());
        answer = judgeCapabilities(reply, bus, destination, owners, timeoutMs);
    }
    if (!answer.ok) {
        qCWarning(lcAction).noquote()
            << "capabilities of" << destination << "not known:" << answer.message;
        d->capabilitiesFailure = answer.reason;
        d->capabilitiesMessage = answer.message;
        return false;
    }
    if (capabilities)
        *capabilities = answer.capabilities;
    return true;
}

void AM_ActionData::requestCapabilities(int timeoutMs, bool allowStart)
{
    // Only the latest request reports.
    const auto earlier = findChildren<PendingCapabilities *>(QString(), Qt::FindDirectChildrenOnly);
    for (PendingCapabilities *pending : earlier)
        delete pending;
    d->capabilitiesFailure = AbortUnknown;
    d->capabilitiesMessage.clear();
    const QString destination = destinationFor(d->object, d->action);
    QDBusConnection bus = QDBusConnection::sessionBus();
    auto *pending = new PendingCapabilities(this, bus, destination, timeoutMs);
    if (!bus.isConnected()) {
        pending->failLater(
            AbortNoBus, QStringLiteral("no session bus: ") + bus.lastError().message());
        return;
    }
    pending->start(d->action, allowStart);
}

AM_ActionData::AbortReason AM_ActionData::capabilitiesFailure() const
{
    return d->capabilitiesFailure;
}

QString AM_ActionData::capabilitiesMessage() const
{
    return d->capabilitiesMessage;
}

#include "AM_ActionData.moc"
