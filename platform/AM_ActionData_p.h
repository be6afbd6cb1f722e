// SPDX-License-Identifier: MIT
// Internals of AM_ActionData shared by its source files; not installed.
#pragma once

#include "AM_ActionData.h"
#include "kivaction_names_p.h"
#include "kivlogging_p.h"

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
#include <QDBusServiceWatcher>
#include <QDBusSignature>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QHash>
#include <QList>
#include <QLoggingCategory>
#include <QMutex>
#include <QMutexLocker>
#include <QPair>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QThread>
#include <QVariant>

#include <algorithm>
#include <climits>

namespace kivaction_detail {

inline const QString kPath = KivAction::objectPath();
inline const QString kInterface = KivAction::interfaceName();
inline const QString kMethod = KivAction::invokeMethod();
inline const QString kCancelMethod = KivAction::cancelMethod();
inline const QString kCancelLaunchMethod = KivAction::cancelLaunchMethod();
inline const QString kUnknownMethod = KivAction::unknownMethodError();
inline const QString kCapabilitiesMethod = KivAction::getCapabilitiesMethod();
inline const QString kBusService = QStringLiteral("org.freedesktop.DBus");
inline const QString kBusPath = QStringLiteral("/org/freedesktop/DBus");
inline const QString kBusInterface = QStringLiteral("org.freedesktop.DBus");

// Values in the order they were set. QVariantMap would sort them on the wire.
struct OrderedValues
{
    QList<QPair<QString, QVariant>> entries;
};

// What a handler is told when one of its invokes is abandoned.
struct CancelTarget
{
    QString destination;
    QString action;
    bool hasLaunchId = false;
    quint64 launchId = 0;
};

extern QMutex s_plainCancelMutex;
// Handlers known to lack CancelLaunch, and those that answered it once, by handlerKey().
extern QSet<QString> s_plainCancelOnly;
extern QSet<QString> s_cancelLaunchKnown;

void registerTypes();
// Why an error that the bus (or QtDBus here) sent ended a call.
AM_ActionData::AbortReason busErrorReason(const QString &name);
QString handlerKey(const QDBusConnection &bus, const QString &owner);
bool knowsCancelLaunch(const QDBusConnection &bus, const QString &owner);
bool wantsPlainCancel(const QDBusConnection &bus, const QString &owner);
// Never start a handler just to stop it; no reply wanted.
bool sendPlainCancel(QDBusConnection bus, const QString &destination, const QString &action);

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

// GetCapabilities answers in D-Bus types; hosts get plain Qt values.
QVariant plainValue(const QVariant &value);
int busTimeout(int timeoutMs);
QDBusMessage capabilitiesCall(const QString &destination, const QString &action, bool allowStart);
CapabilitiesAnswer judgeCapabilities(const QDBusMessage &reply, const QDBusConnection &bus,
    const QString &destination, const QSet<QString> &owners, int timeoutMs);

} // namespace kivaction_detail

Q_DECLARE_METATYPE(kivaction_detail::OrderedValues)

class AM_ActionDataPrivate
{
    using OrderedValues = kivaction_detail::OrderedValues;
    using CancelTarget = kivaction_detail::CancelTarget;

public:
public:
    QString object;
    QString action;
    OrderedValues values;
    AM_ActionData::AbortReason abortReason = AM_ActionData::AbortUnknown;
    QString abortMessage;
    // A round trip to the bus daemon queued behind the last Cancel (see cancel()).
    std::unique_ptr<QDBusPendingCall> cancelSent;
    // The invoke whose end is being reported: its handler may still be working on it.
    std::unique_ptr<CancelTarget> ending;
    // CancelLaunch calls whose answer may still ask for a plain Cancel.
    QList<QPointer<QObject>> followUps;

    static AM_ActionDataPrivate *of(AM_ActionData *request) { return request->d.get(); }
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
