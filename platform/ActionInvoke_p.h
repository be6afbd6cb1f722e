// SPDX-License-Identifier: MIT
// One invoke in flight.
#pragma once

#include "ActionHandlers_p.h"

namespace kivaction_detail {

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
    CancelTarget target() const { return m_target; }

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
        m_target.destination = m_destination;
        m_target.action = action;
        for (const auto &entry : values.entries) {
            if (entry.first == KivAction::Key::launchId()
                && entry.second.userType() == QMetaType::ULongLong) {
                m_target.hasLaunchId = true;
                m_target.launchId = entry.second.toULongLong();
            }
        }
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

        m_action = action;
        m_values = values;
        m_allowStart = allowStart;
        send();
    }

private:
    void send()
    {
        QDBusMessage call
            = QDBusMessage::createMethodCall(m_destination, kPath, kInterface, kMethod);
        call.setAutoStartService(m_allowStart);
        call << m_action << QVariant::fromValue(m_values);
        // No time limit: the user may take as long as they like (-1 would mean 25 s).
        auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, INT_MAX), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, &PendingInvoke::answered);
    }

    // Drops the descriptors; false when there were none.
    bool dropDescriptors()
    {
        const int before = m_values.entries.size();
        m_values.entries.erase(std::remove_if(m_values.entries.begin(), m_values.entries.end(),
                                   [](const QPair<QString, QVariant> &entry) {
                                       return entry.second.userType()
                                           == qMetaTypeId<QDBusUnixFileDescriptor>();
                                   }),
            m_values.entries.end());
        return m_values.entries.size() != before;
    }

private Q_SLOTS:
    void answered(QDBusPendingCallWatcher *watcher)
    {
        const QDBusMessage reply = watcher->reply();
        watcher->deleteLater();
        // The handler's connection cannot take descriptors (the bus refuses to deliver
        // them): it gets the request without them, as a handler that knows no
        // descriptors would have.
        if (reply.type() == QDBusMessage::ErrorMessage
            && reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NotSupported")
            && (reply.service().isEmpty() || reply.service() == kBusService) && dropDescriptors()) {
            qCDebug(lcAction).noquote()
                << "action to" << m_destination << "sent again without descriptors";
            send();
            return;
        }
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
        // No longer in flight; a cancel() from the signal's handler tells the handler of
        // this invoke through ending instead.
        setParent(nullptr);
        deleteLater();
        if (!request)
            return;
        AM_ActionDataPrivate::of(request)->ending.reset(new CancelTarget(m_target));
        emitSignal(request.data());
        if (request)
            AM_ActionDataPrivate::of(request)->ending.reset();
    }

    QPointer<AM_ActionData> m_request;
    QDBusConnection m_bus;
    QString m_destination;
    QString m_action;
    OrderedValues m_values;
    bool m_allowStart = true;
    QSet<QString> m_owners;
    QPointer<OwnerCache> m_cache;
    CancelTarget m_target;
};

} // namespace kivaction_detail
