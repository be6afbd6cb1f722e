// SPDX-License-Identifier: MIT
#pragma once

#include "gstsource.h"

#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>

typedef struct _GstEncodingProfile GstEncodingProfile;
typedef struct _GstElement GstElement;

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

// Installed encoders whose output can be caps (e.g. "video/x-h264"): hardware encoders
// first, then by rank, best first.
QStringList encodersFor(const char *caps);
// The H.264 encoder a recording uses: wanted when installed, else the first of
// encodersFor("video/x-h264"). Empty with error set when none is installed.
QString pickH264Encoder(const QString &wanted, QString *error);
QStringList installedH264Encoders();

// The encoder for a recording's format ("mp4", "mkv", "webm" or "y4m"): wanted for H.264
// when given. Empty with error set when none is installed.
QString pickEncoder(const QString &format, const QString &wanted, QString *error);
// What encodebin makes of a recording: the container (none for y4m), the stream fed I420,
// encoded by encoder at profile's bit rate with a key frame every two seconds. New reference.
GstEncodingProfile *recordingProfile(
    const QString &format, const QString &encoder, const VideoProfile &profile);

// The most a recording's first frame of profile takes before format's muxer (for y4m, with
// the stream and frame headers the encoder writes).
qint64 firstFrameBytes(const QString &format, const VideoProfile &profile);
// The recording formats, as formatForPath() gives them.
const QStringList &videoFormats();

// The container a target's name asks for ("mp4" for anything unknown), or the photo format.
QString formatForPath(bool video, const QString &path);
QString suffixForFormat(const QString &format);

// Enumerated settings a profile's properties cannot carry (they are set by name): rate
// control and latency for the encoders known here.
void tuneForLive(GstElement *encoder, const QString &name);

} // namespace refcam
