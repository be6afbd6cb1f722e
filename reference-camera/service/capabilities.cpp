// SPDX-License-Identifier: MIT
#include "capabilities.h"

#include "gstcapture.h"
#include "kivaction_names_p.h"

#include <QDBusMetaType>
#include <QStringList>

#include <algorithm>

namespace refcam {

using FormatMap = QMap<QString, QVariantMap>;

void registerCapabilityTypes()
{
    static const bool registered = [] {
        qDBusRegisterMetaType<FormatMap>();
        return true;
    }();
    Q_UNUSED(registered)
}

QVariantMap buildCapabilities(const CapabilityInput &input)
{
    using namespace KivAction;
    registerCapabilityTypes();

    // Best first, whatever order the input map keeps.
    const QStringList qualityOrder { Value::highest(), Value::medium(), Value::lowest() };
    QStringList qualities;
    FormatMap formats;
    for (const QString &quality : qualityOrder) {
        const auto it = input.videoModes.constFind(quality);
        if (it == input.videoModes.constEnd())
            continue;
        qualities << quality;
        QVariantMap format;
        format.insert(Key::width(), it->width);
        format.insert(Key::height(), it->height);
        format.insert(Key::fps(), it->fps);
        format.insert(Key::bitRate(), it->bitRate);
        format.insert(Key::mime(), it->mime);
        formats.insert(quality, format);
    }

    QStringList types;
    if (!input.photoSizes.isEmpty())
        types << Value::photo();
    if (!qualities.isEmpty())
        types << Value::video();

    QList<QSize> sizes = input.photoSizes;
    std::stable_sort(sizes.begin(), sizes.end(), [](const QSize &a, const QSize &b) {
        return qint64(a.width()) * a.height() > qint64(b.width()) * b.height();
    });
    QStringList resolutions;
    if (!sizes.isEmpty())
        resolutions << Value::max();
    for (const QSize &size : std::as_const(sizes)) {
        const QString text = QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
        if (!resolutions.contains(text))
            resolutions << text;
    }

    QVariantMap answer;
    answer.insert(Key::interfaceVersion(), interfaceVersionNumber);
    answer.insert(Key::cameraTypes(), types);
    answer.insert(Key::photoResolutions(), resolutions);
    answer.insert(Key::videoQualities(), qualities);
    answer.insert(Key::videoFormats(), QVariant::fromValue(formats));
    answer.insert(Key::photoMime(), input.photoMime);
    answer.insert(Key::minVideoSizeLimit(), input.minVideoSizeLimit);
    answer.insert(Key::maxVideoDuration(), input.maxVideoDurationMs);
    answer.insert(Key::fileDescriptor(), input.fileDescriptor);
    answer.insert(Key::source(), input.source);
    return answer;
}

CapabilityInput sourceInput(const SourceModes &modes)
{
    using namespace KivAction;
    CapabilityInput input;
    input.source = modes.name;
    for (const SourceMode &mode : modes.modes) {
        if (!input.photoSizes.contains(mode.size))
            input.photoSizes << mode.size;
    }
    input.photoMime = QStringLiteral("image/jpeg");
    input.fileDescriptor = true; // written through, see targetaccess.h
    if (modes.modes.isEmpty())
        return input;

    for (const QString &quality : { Value::highest(), Value::medium(), Value::lowest() }) {
        const VideoProfile profile = cappedVideoProfile(quality, modes.modes);
        VideoMode mode;
        mode.width = profile.size.width();
        mode.height = profile.size.height();
        mode.fps = profile.fps;
        mode.bitRate = qint64(profile.kbps) * 1000;
        mode.mime = QStringLiteral("video/mp4");
        input.videoModes.insert(quality, mode);
    }
    // A recording keeps at least its first key frame or fails: the container's reserve, one
    // frame's index entry and the largest first frame any format writes at LOWEST is a limit
    // every source and format meets.
    const VideoProfile lowest = cappedVideoProfile(Value::lowest(), modes.modes);
    qint64 firstFrame = 0;
    for (const QString &format : videoFormats())
        firstFrame = qMax(firstFrame, firstFrameBytes(format, lowest));
    input.minVideoSizeLimit = trailerReserve + reservePerFrame + firstFrame;
    return input;
}

} // namespace refcam
