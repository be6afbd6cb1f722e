// SPDX-License-Identifier: MIT
#include "deviceturns.h"

#include <algorithm>

namespace refcam {

DeviceTurns *DeviceTurns::instance()
{
    static DeviceTurns *turns = new DeviceTurns; // one camera per process
    return turns;
}

void DeviceTurns::ask(
    const QObject *user, const QString &use, bool alone, std::function<void()> granted)
{
    leave(user);
    Turn turn;
    turn.user = user;
    turn.use = use;
    turn.alone = alone;
    turn.granted = std::move(granted);
    m_turns.push_back(std::move(turn));
    grant();
}

void DeviceTurns::leave(const QObject *user)
{
    const auto it = std::find_if(
        m_turns.begin(), m_turns.end(), [user](const Turn &turn) { return turn.user == user; });
    if (it == m_turns.end())
        return;
    m_turns.erase(it);
    // Whoever waits starts from the event loop, not from inside the one that left (often a
    // pipeline's callback or a signal of the live source).
    QMetaObject::invokeMethod(this, &DeviceTurns::grant, Qt::QueuedConnection);
}

bool DeviceTurns::isWaiting(const QObject *user) const
{
    return std::any_of(m_turns.cbegin(), m_turns.cend(),
        [user](const Turn &turn) { return turn.user == user && !turn.holding; });
}

int DeviceTurns::ahead(const QObject *user) const
{
    int count = 0;
    for (const Turn &turn : m_turns) {
        if (turn.user == user)
            break;
        ++count;
    }
    return count;
}

bool DeviceTurns::fits(const Turn &turn) const
{
    for (const Turn &other : m_turns)
        if (other.holding && (turn.alone || other.alone || other.use != turn.use))
            return false;
    return true;
}

// First come, first served: one that must wait holds up everyone behind it.
void DeviceTurns::grant()
{
    if (m_granting)
        return; // the loop below goes on
    m_granting = true;
    for (;;) {
        const auto next = std::find_if(
            m_turns.begin(), m_turns.end(), [](const Turn &turn) { return !turn.holding; });
        if (next == m_turns.end() || !fits(*next))
            break;
        next->holding = true;
        // It may leave, or others may, while it starts: the list is searched again after.
        const std::function<void()> granted = next->granted;
        granted();
    }
    m_granting = false;
}

} // namespace refcam
