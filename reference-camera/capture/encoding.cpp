// SPDX-License-Identifier: MIT
#include "encoding.h"

#include "frames.h"
#include "kivaction_names_p.h"
#include "pipeline.h"

#include <QFileInfo>

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

QStringList installedH264Encoders()
{
    ensureGstreamer();
    QStringList found;
    for (const char *name : { "openh264enc", "x264enc", "v4l2h264enc" })
        if (hasFactory(name))
            found << QLatin1String(name);
    return found;
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
        *error = QStringLiteral("no H.264 encoder is installed; install gstreamer1.0-plugins-bad "
                                "(openh264enc) or gstreamer1.0-plugins-ugly (x264enc), or ask "
                                "for a .webm file");
    return found.value(0);
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

} // namespace refcam
