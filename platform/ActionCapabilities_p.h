// SPDX-License-Identifier: MIT
// One asynchronous GetCapabilities.
#pragma once

#include "ActionHandlers_p.h"

namespace kivaction_detail {

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

} // namespace kivaction_detail
