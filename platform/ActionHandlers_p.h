// SPDX-License-Identifier: MIT
// Who serves an action on the bus, and cancels that must reach it.
#pragma once

#include "AM_ActionData_p.h"

namespace kivaction_detail {

// The owner of one name on one connection, kept current by a service watcher that lasts,
// so that a launch costs the bus its own call and nothing else.
class OwnerCache : public QObject
{
    Q_OBJECT
public:
    static OwnerCache *get(const QDBusConnection &bus, const QString &name)
    {
        // Per thread: a cache serves the objects of its own thread only. QPointer: the
        // application object that owns a cache may be gone and replaced.
        thread_local QHash<QString, QPointer<OwnerCache>> caches;
        QPointer<OwnerCache> &cache = caches[bus.name() + QLatin1Char('\n') + name];
        if (!cache) {
            // With the application when it lives on this thread, so the cache goes with
            // it; a parent on another thread is not allowed, so there the thread's own
            // holder deletes it when the thread ends.
            QCoreApplication *app = QCoreApplication::instance();
            const bool sameThread = app && app->thread() == QThread::currentThread();
            cache = new OwnerCache(bus, name, sameThread ? app : nullptr);
            if (!sameThread)
                ThreadCaches::get().adopt(cache);
        }
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
    // Caches of a thread on which the application does not live.
    struct ThreadCaches
    {
        static ThreadCaches &get()
        {
            thread_local ThreadCaches holder;
            return holder;
        }
        void adopt(OwnerCache *cache) { caches.append(cache); }
        ~ThreadCaches()
        {
            // Without an application object the bus connections may be gone already:
            // the process is ending, and leaving them is the safe choice.
            if (!QCoreApplication::instance())
                return;
            for (const QPointer<OwnerCache> &cache : std::as_const(caches))
                delete cache.data();
        }
        QList<QPointer<OwnerCache>> caches;
    };

    OwnerCache(const QDBusConnection &bus, const QString &name, QObject *parent)
        : QObject(parent)
        , m_bus(bus)
        , m_name(name)
        , m_watcher(
              new QDBusServiceWatcher(name, bus, QDBusServiceWatcher::WatchForOwnerChange, this))
    {
        // The watch is in place before the query goes out, so no change between the two
        // is missed.
        connect(
            m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &OwnerCache::ownerChanged);
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
    QDBusServiceWatcher *m_watcher;
    QPointer<QDBusPendingCallWatcher> m_ownerCall;
};

// One CancelLaunch on its way. Sent without waiting; when the handler answers that it has
// no such method, the plain Cancel follows. Not a child of the request: a host may destroy
// the request right after cancelling, and the follow-up must still happen.
class CancelFollowUp : public QObject
{
    Q_OBJECT
public:
    CancelFollowUp(const QDBusConnection &bus, const CancelTarget &target)
        : m_bus(bus)
        , m_target(target)
    {
        QDBusMessage stop = QDBusMessage::createMethodCall(
            target.destination, kPath, kInterface, kCancelLaunchMethod);
        stop.setAutoStartService(false);
        stop << target.action << QVariant::fromValue(qulonglong(target.launchId));
        // A handler busy with a capture may answer late; the limit only bounds how long
        // a destroyed request waits for it.
        m_watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(stop, 5000), this);
        connect(m_watcher, &QDBusPendingCallWatcher::finished, this, [this] { answered(false); });
    }

    // The request is going away: settle now, so a needed Cancel is not lost at exit.
    void finishNow()
    {
        m_watcher->waitForFinished();
        answered(true);
    }

private:
    void answered(bool blocking)
    {
        if (m_done)
            return;
        m_done = true;
        const QDBusMessage reply = m_watcher->reply();
        const QString sender = reply.service();
        // Only the handler's own word counts: the bus's errors (nobody owns the name any
        // more) and local ones need no follow-up.
        if (reply.type() == QDBusMessage::ReplyMessage && !sender.isEmpty()) {
            QMutexLocker lock(&s_plainCancelMutex);
            s_cancelLaunchKnown.insert(handlerKey(m_bus, sender));
        }
        if (reply.type() == QDBusMessage::ErrorMessage && reply.errorName() == kUnknownMethod
            && !sender.isEmpty() && sender != kBusService) {
            {
                QMutexLocker lock(&s_plainCancelMutex);
                s_plainCancelOnly.insert(handlerKey(m_bus, sender));
            }
            if (sendPlainCancel(m_bus, m_target.destination, m_target.action) && blocking)
                m_bus.call(QDBusMessage::createMethodCall(kBusService, kBusPath,
                               QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping")),
                    QDBus::Block, 1000);
        }
        deleteLater();
    }

    QDBusConnection m_bus;
    CancelTarget m_target;
    QDBusPendingCallWatcher *m_watcher = nullptr;
    bool m_done = false;
};

} // namespace kivaction_detail
