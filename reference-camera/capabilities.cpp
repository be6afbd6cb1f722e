// SPDX-License-Identifier: MIT
#include "capabilities.h"

#include "capture.h"
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
    answer.insert(Key::fileDescriptor(), input.fileDescriptor);
    answer.insert(Key::source(), input.source);
    return answer;
}

CapabilityInput testSourceInput()
{
    CapabilityInput input;
    input.source = QStringLiteral("test");
    // The test picture is drawn at any size; these are the common 4:3 steps up to MAX.
    const QSize max = maxPhotoSize();
    input.photoSizes << max;
    for (const QSize &size : { QSize(1280, 960), QSize(640, 480), QSize(320, 240) }) {
        if (size.width() < max.width() && size.height() < max.height())
            input.photoSizes << size;
    }
    input.photoMime = QStringLiteral("image/png");
    input.fileDescriptor = false;

    qint64 smallest = 0;
    const QStringList qualities { KivAction::Value::highest(), KivAction::Value::medium(),
        KivAction::Value::lowest() };
    for (const QString &quality : qualities) {
        const VideoFormat format = videoFormatForQuality(quality);
        VideoMode mode;
        mode.width = format.width;
        mode.height = format.height;
        mode.fps = format.fps;
        // Uncompressed frames: the stream's rate is its frame bytes times the frame rate.
        mode.bitRate = y4mFrameBytes(format) * format.fps * 8;
        mode.mime = QStringLiteral("video/x-yuv4mpeg");
        input.videoModes.insert(quality, mode);
        // A clip under a limit holds as many frames as fit; one frame is the least it is.
        const qint64 least = y4mHeader(format).size() + y4mFrameBytes(format);
        smallest = smallest == 0 ? least : qMin(smallest, least);
    }
    input.minVideoSizeLimit = smallest;
    return input;
}

} // namespace refcam
