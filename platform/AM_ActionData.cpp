// SPDX-License-Identifier: MIT
#include "AM_ActionData.h"

#include "ActionCapabilities_p.h"
#include "ActionInvoke_p.h"

using namespace kivaction_detail;

AM_ActionData::AM_ActionData(QObject *parent)
    : QObject(parent)
    , d(new AM_ActionDataPrivate)
{
    registerTypes();
}

AM_ActionData::~AM_ActionData()
{
    // A host that cancels and then exits must not lose the Cancel on the way out.
    for (const QPointer<QObject> &followUp : std::as_const(d->followUps))
        if (auto *pending = qobject_cast<CancelFollowUp *>(followUp.data())) {
            pending->finishNow();
            // Not left to deleteLater(): the event loop may not run again before exit.
            delete pending;
        }
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

bool AM_ActionData::setFileDescriptor(const QString &key, int fd)
{
    // Over a connection without descriptor passing the message could not be sent at all.
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()
        || !(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing))
        return false;
    const QDBusUnixFileDescriptor descriptor(fd); // a duplicate, closed with the last copy
    if (!descriptor.isValid())
        return false;
    d->set(key, QVariant::fromValue(descriptor));
    return true;
}

void AM_ActionData::setValue(const QString &key, quint64 value)
{
    d->set(key, QVariant::fromValue(qulonglong(value)));
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
    QList<CancelTarget> targets;
    const auto pending = findChildren<PendingInvoke *>(QString(), Qt::FindDirectChildrenOnly);
    for (PendingInvoke *invoke : pending) {
        targets.append(invoke->target());
        delete invoke; // its reply, if it ever comes, goes nowhere
    }
    if (d->ending) {
        targets.append(*d->ending);
        d->ending.reset();
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (targets.isEmpty() || !bus.isConnected())
        return;
    QSet<QString> toldAll; // destinations sent Cancel, which ends all of their invokes
    bool sent = false;
    for (const CancelTarget &target : std::as_const(targets)) {
        if (toldAll.contains(target.destination))
            continue;
        const QString owner = target.destination.startsWith(QLatin1Char(':'))
            ? target.destination
            : OwnerCache::get(bus, target.destination)->knownOwner();
        if (target.hasLaunchId && knowsCancelLaunch(bus, owner)) {
            QDBusMessage stop = QDBusMessage::createMethodCall(
                target.destination, kPath, kInterface, kCancelLaunchMethod);
            stop.setAutoStartService(false);
            stop << target.action << QVariant::fromValue(qulonglong(target.launchId));
            sent |= bus.send(stop);
            continue;
        }
        if (target.hasLaunchId && !wantsPlainCancel(bus, owner)) {
            d->followUps.removeAll(QPointer<QObject>());
            d->followUps.append(new CancelFollowUp(bus, target));
            sent = true;
            continue;
        }
        toldAll.insert(target.destination);
        sent |= sendPlainCancel(bus, target.destination, target.action);
    }
    if (sent) {
        // QtDBus writes from its own thread, so a message sent just before the host exits
        // can be lost. The reply to a ping queued behind it proves it went out; the
        // destructor waits for that reply if it has not come yet.
        QDBusMessage ping = QDBusMessage::createMethodCall(kBusService, kBusPath,
            QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
        d->cancelSent.reset(new QDBusPendingCall(bus.asyncCall(ping, 1000)));
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
            // The cache hears of a new owner through the event loop, which this blocking
            // call does not run: a handler that answers and quits at once would otherwise
            // be taken for a forger. The bus's own word at the call's start settles it.
            QDBusConnectionInterface *busIface = bus.interface();
            const QDBusReply<QString> now
                = busIface ? busIface->serviceOwner(destination) : QDBusReply<QString>();
            if (now.isValid() && !now.value().isEmpty())
                owners.insert(now.value());
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
