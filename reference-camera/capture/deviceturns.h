// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <vector>

namespace refcam {

// Who may use the camera now. A recording has it to itself; photos that want the same mode
// share the live source. The others wait in the order they asked: a recording never takes
// the device from photos still waiting for their picture, and a stream of photos never
// holds a recording off for good.
class DeviceTurns : public QObject
{
    Q_OBJECT
public:
    static DeviceTurns *instance();

    // Queues user for the device: alone, or shared with users asking for the same use.
    // granted runs once it is user's turn, at once when nobody is before it.
    void ask(const QObject *user, const QString &use, bool alone, std::function<void()> granted);
    // user is done with the device, or no longer waits for it.
    void leave(const QObject *user);
    bool isWaiting(const QObject *user) const;
    // How many users hold the device or wait before user.
    int ahead(const QObject *user) const;

private:
    struct Turn
    {
        const QObject *user = nullptr;
        QString use;
        bool alone = false;
        bool holding = false;
        std::function<void()> granted;
    };
    DeviceTurns() = default;
    void grant();
    bool fits(const Turn &turn) const;

    std::vector<Turn> m_turns; // in the order asked
    bool m_granting = false;
};

} // namespace refcam
