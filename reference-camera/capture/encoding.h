// SPDX-License-Identifier: MIT
#pragma once

#include "gstsource.h"

#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>

namespace refcam {

// videoQuality as a size, frame rate and bit rate; capped by the source's modes.
struct VideoProfile
{
    QString quality;
    QSize size;
    int fps = 30;
    int kbps = 0;
};
VideoProfile videoProfile(const QString &quality);
// videoProfile(quality) as a recording from modes gets it: the size of the mode picked for
// it when that is smaller (even-sized for the encoder), the frame rate at most the mode's.
VideoProfile cappedVideoProfile(
    const QString &quality, const QList<SourceMode> &modes, SourceMode *picked = nullptr);
// The whole table, one line per quality, for the log and --help.
QString videoProfileTable();

// The H.264 encoder a recording uses: wanted when installed, else the first of
// openh264enc, x264enc, v4l2h264enc. Empty with error set when none is installed.
QString pickH264Encoder(const QString &wanted, QString *error);
// Encoders of the list above that are installed.
QStringList installedH264Encoders();

// The container a target's name asks for ("mp4" for anything unknown), or the photo format.
QString formatForPath(bool video, const QString &path);
QString suffixForFormat(const QString &format);

} // namespace refcam
