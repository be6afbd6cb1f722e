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
inline QString getCapabilitiesMethod()
{
    return QStringLiteral("GetCapabilities");
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
// The camera application found no camera it could open.
inline QString noCameraDeviceError()
{
    return QStringLiteral("org.kiv.Action.Error.NoCameraDevice");
}
// The camera started but the capture failed: it stalled, vanished or broke the size limit.
inline QString cameraFailedError()
{
    return QStringLiteral("org.kiv.Action.Error.CameraFailed");
}
// What an older camera, one without GetCapabilities, answers: "not known", not a failure.
inline QString unknownMethodError()
{
    return QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod");
}
// The version of this interface a camera speaks (interfaceVersion).
constexpr unsigned int interfaceVersionNumber = 1;

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
// Milliseconds (i) a recording may last; sent only when above 0, after the values above.
inline QString videoDurationLimit()
{
    return QStringLiteral("videoDurationLimit");
}
// D-Bus type h: a file the host opened for writing, sent after the values above.
inline QString fileDescriptor()
{
    return QStringLiteral("fileDescriptor");
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
// "YES" when the capture went through the host's descriptor, not the path.
inline QString fileDescriptorUsed()
{
    return QStringLiteral("fileDescriptorUsed");
}

// Why the capture was not taken, in words for the user; with any actionReturn but ACCEPTED.
inline QString failureReason()
{
    return QStringLiteral("failureReason");
}
// A video's length in milliseconds (decimal text), and what ended it (Value::user() ...).
inline QString videoDurationMs()
{
    return QStringLiteral("videoDurationMs");
}
inline QString videoEndedBy()
{
    return QStringLiteral("videoEndedBy");
}
// The setting the camera used instead of the one asked for.
inline QString photoResolutionUsed()
{
    return QStringLiteral("photoResolutionUsed");
}
inline QString videoQualityUsed()
{
    return QStringLiteral("videoQualityUsed");
}

// Capability keys (GetCapabilities' answer).
inline QString interfaceVersion()
{
    return QStringLiteral("interfaceVersion");
}
inline QString cameraTypes()
{
    return QStringLiteral("cameraTypes");
}
inline QString photoResolutions()
{
    return QStringLiteral("photoResolutions");
}
inline QString videoQualities()
{
    return QStringLiteral("videoQualities");
}
inline QString videoFormats()
{
    return QStringLiteral("videoFormats");
}
inline QString photoMime()
{
    return QStringLiteral("photoMime");
}
inline QString minVideoSizeLimit()
{
    return QStringLiteral("minVideoSizeLimit");
}
// The longest recording the camera makes, in milliseconds (x); 0: no limit of its own.
inline QString maxVideoDuration()
{
    return QStringLiteral("maxVideoDuration");
}
// "fileDescriptor" (b), whether the camera writes through one: fileDescriptor() above.
inline QString source()
{
    return QStringLiteral("source");
}
// Keys of one entry of videoFormats.
inline QString width()
{
    return QStringLiteral("width");
}
inline QString height()
{
    return QStringLiteral("height");
}
inline QString fps()
{
    return QStringLiteral("fps");
}
inline QString bitRate()
{
    return QStringLiteral("bitRate");
}
inline QString mime()
{
    return QStringLiteral("mime");
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
// videoEndedBy values.
inline QString user()
{
    return QStringLiteral("USER");
}
inline QString durationLimit()
{
    return QStringLiteral("DURATION_LIMIT");
}
inline QString sizeLimit()
{
    return QStringLiteral("SIZE_LIMIT");
}
inline QString cameraStopped()
{
    return QStringLiteral("CAMERA_STOPPED");
}
} // namespace Value

} // namespace KivAction

#endif
