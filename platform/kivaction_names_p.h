// SPDX-License-Identifier: MIT
// Names of the action bus, spelled once for the platform layer, the reference camera,
// the tests and the benchmarks. Internal: installed nowhere.
#ifndef KIVACTION_NAMES_P_H
#define KIVACTION_NAMES_P_H

#include <QString>

namespace KivAction {

// An action "X" is served by whoever owns the bus name "org.kiv.Action.X".
inline QString busNamePrefix()
{
    return QStringLiteral("org.kiv.Action.");
}
inline QString busName(const QString &action)
{
    return busNamePrefix() + action;
}
inline QString objectPath()
{
    return QStringLiteral("/org/kiv/Action");
}
inline QString interfaceName()
{
    return QStringLiteral("org.kiv.Action");
}
inline QString invokeMethod()
{
    return QStringLiteral("Invoke");
}
inline QString cancelMethod()
{
    return QStringLiteral("Cancel");
}
// The one action a camera application serves.
inline QString cameraAction()
{
    return QStringLiteral("CameraUIService");
}
inline QString unknownActionError()
{
    return QStringLiteral("org.kiv.Action.Error.UnknownAction");
}
// The camera application found no camera it could open.
inline QString noCameraDeviceError()
{
    return QStringLiteral("org.kiv.Action.Error.NoCameraDevice");
}
// The camera started but the capture failed: it stalled, vanished or broke a promise.
inline QString cameraFailedError()
{
    return QStringLiteral("org.kiv.Action.Error.CameraFailed");
}

} // namespace KivAction

#endif
