// SPDX-License-Identifier: MIT
// The wire contract of the action bus, spelled once: bus names, object path, interface,
// methods, request and answer keys, their enumerated values and the error names. The
// library, the platform layer, the reference camera, the tests and the benchmarks use only
// these; org.kiv.Action.xml beside this file documents each of them. Internal: installed
// nowhere.
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
// Ends one launch, named by its "launchId"; cameras that lack it get Cancel instead.
inline QString cancelLaunchMethod()
{
    return QStringLiteral("CancelLaunch");
}
// The one action a camera application serves.
inline QString cameraAction()
{
    return QStringLiteral("CameraUIService");
}
// The bus name of the camera application.
inline QString cameraBusName()
{
    return busName(cameraAction());
}

// Errors a camera may answer with. Every error name starts with this prefix.
inline QString errorPrefix()
{
    return QStringLiteral("org.kiv.Action.Error.");
}
inline QString unknownActionError()
{
    return QStringLiteral("org.kiv.Action.Error.UnknownAction");
}
inline QString badCameraOptionsError()
{
    return QStringLiteral("org.kiv.Action.Error.BadCameraOptions");
}
// Too many requests wait already, from this caller or from all of them.
inline QString busyError()
{
    return QStringLiteral("org.kiv.Action.Error.Busy");
}

// Request keys (Invoke's "values"), in the order a host writes them.
namespace Key {
inline QString cameraType()
{
    return QStringLiteral("cameraType");
}
inline QString videoSizeLimitation()
{
    return QStringLiteral("videoSizeLimitation");
}
inline QString fileLocation()
{
    return QStringLiteral("fileLocation");
}
inline QString photoResolution()
{
    return QStringLiteral("photoResolution");
}
inline QString videoQuality()
{
    return QStringLiteral("videoQuality");
}
inline QString hasPostCapturedScreen()
{
    return QStringLiteral("hasPostCapturedScreen");
}
// After the values above: this launch's identity (t), unique within the sending process.
inline QString launchId()
{
    return QStringLiteral("launchId");
}

// Answer keys (Invoke's "results").
inline QString actionReturn()
{
    return QStringLiteral("actionReturn");
}
inline QString fileLocationReturn()
{
    return QStringLiteral("fileLocationReturn");
}
} // namespace Key

// Enumerated values.
namespace Value {
inline QString photo()
{
    return QStringLiteral("PHOTO");
}
inline QString video()
{
    return QStringLiteral("VIDEO");
}
inline QString all()
{
    return QStringLiteral("ALL");
}
inline QString max()
{
    return QStringLiteral("MAX");
}
inline QString highest()
{
    return QStringLiteral("HIGHEST");
}
inline QString medium()
{
    return QStringLiteral("MEDIUM");
}
inline QString lowest()
{
    return QStringLiteral("LOWEST");
}
inline QString yes()
{
    return QStringLiteral("YES");
}
inline QString no()
{
    return QStringLiteral("NO");
}
// actionReturn values.
inline QString accepted()
{
    return QStringLiteral("ACCEPTED");
}
inline QString rejected()
{
    return QStringLiteral("REJECTED");
}
inline QString failed()
{
    return QStringLiteral("FAILED");
}
inline QString cancelled()
{
    return QStringLiteral("CANCELLED");
}
} // namespace Value

} // namespace KivAction

#endif
