// SPDX-License-Identifier: MIT
#ifndef AM_ACTIONDATA_H
#define AM_ACTIONDATA_H

#include "AM_ActionResults.h"
#include "kivappbase_export.h"

#include <QObject>
#include <QString>
#include <QVariantMap>

#include <memory>

class AM_ActionDataPrivate;

// This layer offers more than the action framework's basic operations: why an invoke was
// aborted, and cancelling one. Callers test for this macro, so they still build against
// a platform library that offers only the basic ones.
#define AM_ACTIONDATA_HAS_LAUNCH_CONTROL 1
// The same for asking a handler what it can do (queryCapabilities()).
#define AM_ACTIONDATA_HAS_CAPABILITIES 1

// An action request: an action name, an optional target object and named values.
//
// invoke() sends the values set since the previous invoke() to the handler of the
// action and returns at once. Exactly one of the two signals follows, later, through
// the event loop: signalResultsAvailable() with the handler's answer, or
// signalActionAborted() for every other outcome.
class KIVAPPBASE_EXPORT AM_ActionData : public QObject
{
    Q_OBJECT
public:
    explicit AM_ActionData(QObject *parent = nullptr);
    ~AM_ActionData() override;

    // A null or empty object sends to the action's own bus name; otherwise the object
    // is the bus name of the handler.
    void setObject(const QString &object);
    QString object() const;
    void setAction(const QString &action);
    QString action() const;

    // Values keep the order they were first set in; setting a key again replaces its
    // value in place.
    void setValue(const QString &key, const QString &value);
    void setValue(const QString &key, int value);

    // allowStart: let the bus start the handler when none runs.
    // Returns false when the request could not be sent; the abort signal follows then too.
    bool invoke(bool allowStart = true) const;

    enum AbortReason
    {
        AbortUnknown, // no reason known
        AbortNoHandler, // nobody serves the action (not installed, activation failed)
        AbortHandlerFailed, // the handler left, crashed, or answered with an error or junk
        AbortForgedReply, // a reply from a connection that does not own the action's name
        AbortNoBus, // no bus connection, or it was lost
        AbortTimedOut // no answer within the time given (capability queries only)
    };
    // Why the last invoke was aborted: valid from signalActionAborted() until the next
    // invoke(). The message names the D-Bus error or what was wrong with the reply.
    AbortReason abortReason() const;
    QString abortMessage() const;

    // Abandons every invoke in flight: neither signal follows for them, and their handler
    // is asked to end them (org.kiv.Action.Cancel). Does nothing when none is in flight.
    void cancel();

    // Bus name a request with this object and action is sent to.
    static QString destinationFor(const QString &object, const QString &action);

    // Asks the handler of object() and action() what it can do
    // (org.kiv.Action.GetCapabilities), with the same check of who answers as invoke().
    // Blocks the calling thread for at most timeoutMs (0 or less: the bus's default of
    // 25 s) without running its event loop, so nothing else, an invoke's answer included,
    // is delivered meanwhile. True: *capabilities holds the answer as plain Qt values
    // (maps, lists, strings, numbers, bools), empty when the handler is older than the
    // method. False: capabilitiesFailure() and capabilitiesMessage() say why.
    bool queryCapabilities(int timeoutMs, QVariantMap *capabilities, bool allowStart = true);
    // The same without blocking: signalCapabilitiesAvailable() or signalCapabilitiesFailed()
    // follows once, through the event loop. A newer request replaces one still out, which
    // then reports nothing. Values, invokes and cancel() are not affected.
    void requestCapabilities(int timeoutMs, bool allowStart = true);
    // Why the last query failed: valid from its failure until the next query.
    AbortReason capabilitiesFailure() const;
    QString capabilitiesMessage() const;

Q_SIGNALS:
    void signalResultsAvailable(const AM_ActionResults &results);
    void signalActionAborted();
    void signalCapabilitiesAvailable(const QVariantMap &capabilities);
    void signalCapabilitiesFailed();

private:
    friend class AM_ActionDataPrivate;

    std::unique_ptr<AM_ActionDataPrivate> d;
};

#endif
