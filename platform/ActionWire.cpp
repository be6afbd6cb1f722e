// SPDX-License-Identifier: MIT
// AM_ActionData's values on the wire, the bus's errors and capabilities answers.
#include "ActionHandlers_p.h"

namespace kivaction_detail {

QMutex s_plainCancelMutex;
QSet<QString> s_plainCancelOnly;
QSet<QString> s_cancelLaunchKnown;

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
        || name.startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn."))
        // The bus gave up waiting for an activated handler to take its name.
        || name == QLatin1String("org.freedesktop.DBus.Error.TimedOut"))
        return AM_ActionData::AbortNoHandler;
    if (name == QLatin1String("org.freedesktop.DBus.Error.Disconnected"))
        return AM_ActionData::AbortNoBus;
    return AM_ActionData::AbortHandlerFailed;
}

// Handlers known to lack CancelLaunch, by connection and unique name: learnt from their
// answer, so each is asked once and later cancels go straight to Cancel.

// Handlers that have answered CancelLaunch once: later ones want no reply, so a host that
// gives up often does not pile up calls the bus counts against it.

QString handlerKey(const QDBusConnection &bus, const QString &owner)
{
    return bus.name() + QLatin1Char('\n') + owner;
}

bool knowsCancelLaunch(const QDBusConnection &bus, const QString &owner)
{
    if (owner.isEmpty())
        return false;
    QMutexLocker lock(&s_plainCancelMutex);
    return s_cancelLaunchKnown.contains(handlerKey(bus, owner));
}

bool wantsPlainCancel(const QDBusConnection &bus, const QString &owner)
{
    if (owner.isEmpty())
        return false;
    QMutexLocker lock(&s_plainCancelMutex);
    return s_plainCancelOnly.contains(handlerKey(bus, owner));
}

// Never start a handler just to stop it; no reply wanted, so a handler without the
// method has nothing to answer.
bool sendPlainCancel(QDBusConnection bus, const QString &destination, const QString &action)
{
    QDBusMessage stop
        = QDBusMessage::createMethodCall(destination, kPath, kInterface, kCancelMethod);
    stop.setAutoStartService(false);
    stop << action;
    return bus.send(stop);
}

// GetCapabilities answers in D-Bus types; hosts get plain Qt values: a{s*} as QVariantMap,
// "as" as QStringList, other arrays and structures as QVariantList, paths and
// signatures as strings. File descriptors mean nothing to a host and are dropped.

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

} // namespace kivaction_detail
