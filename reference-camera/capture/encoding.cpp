// SPDX-License-Identifier: MIT
#include "encoding.h"

#include "frames.h"
#include "kivaction_names_p.h"
#include "pipeline.h"

#include <QFileInfo>

#include <gst/pbutils/encoding-profile.h>

#include <cstring>

namespace refcam {

VideoProfile videoProfile(const QString &quality)
{
    if (quality == KivAction::Value::medium())
        return VideoProfile { KivAction::Value::medium(), QSize(1280, 720), 30, 2500 };
    if (quality == KivAction::Value::lowest())
        return VideoProfile { KivAction::Value::lowest(), QSize(640, 480), 15, 600 };
    return VideoProfile { KivAction::Value::highest(), QSize(1920, 1080), 30, 5000 };
}

VideoProfile cappedVideoProfile(
    const QString &quality, const QList<SourceMode> &modes, SourceMode *picked)
{
    VideoProfile profile = videoProfile(quality);
    const SourceMode mode = pickMode(modes, profile.size);
    if (mode.size.width() < profile.size.width() || mode.size.height() < profile.size.height())
        profile.size = mode.size;
    profile.size = evenSize(profile.size);
    profile.fps = qMax(1, qMin(profile.fps, mode.maxFps));
    if (picked)
        *picked = mode;
    return profile;
}

QString videoProfileTable()
{
    QStringList lines;
    for (const QString &quality :
        { KivAction::Value::highest(), KivAction::Value::medium(), KivAction::Value::lowest() }) {
        const VideoProfile p = videoProfile(quality);
        lines << QStringLiteral("%1 %2x%3@%4 %5 kbit/s")
                     .arg(p.quality)
                     .arg(p.size.width())
                     .arg(p.size.height())
                     .arg(p.fps)
                     .arg(p.kbps);
    }
    return lines.join(QStringLiteral(", "));
}

QStringList encodersFor(const char *caps)
{
    ensureGstreamer();
    GList *all = gst_element_factory_list_get_elements(
        GST_ELEMENT_FACTORY_TYPE_VIDEO_ENCODER, GST_RANK_MARGINAL);
    GstRef<GstCaps> wanted = adopt(gst_caps_from_string(caps));
    GList *fitting = gst_element_factory_list_filter(all, wanted.get(), GST_PAD_SRC, FALSE);
    gst_plugin_feature_list_free(all);
    QStringList hardware;
    QStringList software;
    fitting = g_list_sort(fitting, gst_plugin_feature_rank_compare_func);
    for (GList *item = fitting; item; item = item->next) {
        GstElementFactory *factory = GST_ELEMENT_FACTORY(item->data);
        const char *klass = gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS);
        const QString name = QString::fromUtf8(GST_OBJECT_NAME(factory));
        if (klass && std::strstr(klass, "Hardware"))
            hardware << name;
        else
            software << name;
    }
    gst_plugin_feature_list_free(fitting);
    return hardware + software;
}

QStringList installedH264Encoders()
{
    return encodersFor("video/x-h264");
}

QString pickH264Encoder(const QString &wanted, QString *error)
{
    const QStringList found = installedH264Encoders();
    if (!wanted.isEmpty()) {
        if (found.contains(wanted))
            return wanted;
        *error
            = QStringLiteral("the H.264 encoder %1 is not installed (installed: %2)")
                  .arg(wanted,
                      found.isEmpty() ? QStringLiteral("none") : found.join(QStringLiteral(", ")));
        return QString();
    }
    if (found.isEmpty())
        *error = QStringLiteral("no H.264 encoder is installed; install gstreamer1.0-plugins-ugly "
                                "(x264enc) or gstreamer1.0-plugins-bad (openh264enc), or ask "
                                "for a .webm file");
    return found.value(0);
}

QString pickEncoder(const QString &format, const QString &wanted, QString *error)
{
    if (format == QLatin1String("mp4") || format == QLatin1String("mkv"))
        return pickH264Encoder(wanted, error);
    const bool webm = format == QLatin1String("webm");
    const QString encoder = encodersFor(webm ? "video/x-vp8" : "application/x-yuv4mpeg").value(0);
    if (encoder.isEmpty())
        *error = QStringLiteral("no %1 encoder is installed; install gstreamer1.0-plugins-good")
                     .arg(webm ? QStringLiteral("VP8") : QStringLiteral("Y4M"));
    return encoder;
}

namespace {

// Bit rate and a key frame every two seconds, with the live settings the known encoders
// need to keep up with a camera; others get their defaults.
QString encoderProperties(const QString &encoder, const VideoProfile &profile)
{
    const int gop = profile.fps * 2;
    if (encoder == QLatin1String("x264enc"))
        return QStringLiteral("element-properties, bitrate=(uint)%1, key-int-max=(uint)%2")
            .arg(profile.kbps)
            .arg(gop);
    if (encoder == QLatin1String("openh264enc"))
        return QStringLiteral("element-properties, bitrate=(uint)%1, gop-size=(uint)%2")
            .arg(profile.kbps * 1000)
            .arg(gop);
    if (encoder == QLatin1String("vp8enc"))
        return QStringLiteral("element-properties, target-bitrate=(int)%1, deadline=(int64)1, "
                              "cpu-used=(int)8, lag-in-frames=(int)0, "
                              "keyframe-max-dist=(int)%2, threads=(int)2")
            .arg(profile.kbps * 1000)
            .arg(gop);
    return QString();
}

GstEncodingProfile *videoStream(const char *caps, const QString &encoder)
{
    GstRef<GstCaps> format = adopt(gst_caps_from_string(caps));
    // 8-bit 4:2:0 for every encoder: x264 picks 4:4:4 10-bit otherwise, which players
    // cannot decode.
    GstRef<GstCaps> restriction = adopt(gst_caps_from_string("video/x-raw, format=I420"));
    GstEncodingVideoProfile *video
        = gst_encoding_video_profile_new(format.get(), nullptr, restriction.get(), 0);
    gst_encoding_profile_set_preset_name(GST_ENCODING_PROFILE(video), encoder.toUtf8().constData());
    return GST_ENCODING_PROFILE(video);
}

} // namespace

void tuneForLive(GstElement *encoder, const QString &name)
{
    if (name == QLatin1String("x264enc")) {
        // "fast" holds about 16 fps at 1080p on a busy two-core machine: a recording would
        // lose every other frame. "veryfast" keeps real time there.
        setArg(encoder, "speed-preset", "veryfast");
        setArg(encoder, "tune", "zerolatency");
    } else if (name == QLatin1String("openh264enc")) {
        setArg(encoder, "rate-control", "bitrate");
    } else if (name == QLatin1String("vp8enc")) {
        setArg(encoder, "end-usage", "cbr");
    }
}

GstEncodingProfile *recordingProfile(
    const QString &format, const QString &encoder, const VideoProfile &profile)
{
    const bool h264 = format == QLatin1String("mp4") || format == QLatin1String("mkv");
    const bool webm = format == QLatin1String("webm");
    GstEncodingProfile *video = videoStream(h264 ? "video/x-h264"
            : webm                               ? "video/x-vp8"
                                                 : "application/x-yuv4mpeg, y4mversion=2",
        encoder);
    const QString properties = encoderProperties(encoder, profile);
    if (!properties.isEmpty())
        gst_encoding_profile_set_element_properties(
            video, gst_structure_from_string(properties.toUtf8().constData(), nullptr));
    if (!h264 && !webm)
        return video; // Y4M: the encoder writes the whole file
    const char *container = format == QLatin1String("mp4") ? "video/quicktime, variant=iso"
        : webm                                             ? "video/webm"
                                                           : "video/x-matroska";
    GstRef<GstCaps> caps = adopt(gst_caps_from_string(container));
    GstEncodingContainerProfile *profileOut = gst_encoding_container_profile_new(
        format.toUtf8().constData(), nullptr, caps.get(), nullptr);
    gst_encoding_container_profile_add_profile(profileOut, video); // takes video
    return GST_ENCODING_PROFILE(profileOut);
}

const QStringList &videoFormats()
{
    static const QStringList formats { QStringLiteral("mp4"), QStringLiteral("mkv"),
        QStringLiteral("webm"), QStringLiteral("y4m") };
    return formats;
}

QString formatForPath(bool video, const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (!video)
        return suffix == QLatin1String("png") ? QStringLiteral("png") : QStringLiteral("jpeg");
    if (suffix == QLatin1String("webm") || suffix == QLatin1String("mkv")
        || suffix == QLatin1String("y4m"))
        return suffix;
    return QStringLiteral("mp4");
}

QString suffixForFormat(const QString &format)
{
    if (format == QLatin1String("jpeg"))
        return QStringLiteral(".jpg");
    return QLatin1Char('.') + format;
}

qint64 firstFrameBytes(const QString &format, const VideoProfile &profile)
{
    // A key frame of the worst content (noise) stays within the raw I420 frame.
    const qint64 raw = qint64(profile.size.width()) * profile.size.height() * 3 / 2;
    if (format != QLatin1String("y4m"))
        return raw;
    // y4menc's first buffer: the stream header, then each frame's own "FRAME\n".
    const QString header = QStringLiteral("YUV4MPEG2 C420 W%1 H%2 Ip F%3:1 A1:1\n")
                               .arg(profile.size.width())
                               .arg(profile.size.height())
                               .arg(profile.fps);
    return header.size() + qint64(sizeof("FRAME\n") - 1) + raw;
}

} // namespace refcam
