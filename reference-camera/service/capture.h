// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

namespace refcam {

constexpr int maxPhotoSide = 8192;

QSize maxPhotoSize();

// "MAX" or "WxH"; anything else yields an invalid QSize so the caller can warn and fall back.
QSize parsePhotoResolution(const QString &resolution);

struct VideoFormat
{
    int width = 320;
    int height = 240;
    int fps = 30;
};

// HIGHEST (and anything unknown) is 320x240@30, MEDIUM and LOWEST are 176x144@15.
VideoFormat videoFormatForQuality(const QString &quality);

QByteArray y4mHeader(const VideoFormat &format);
qint64 y4mFrameBytes(const VideoFormat &format);

// One second of video, cut down so the file fits a positive limit (0 or less: no limit).
int y4mFrameCount(const VideoFormat &format, qint64 sizeLimit);

struct WriteResult
{
    bool ok = false;
    QString error;
    qint64 bytes = 0;
};

// Colour bars over a grey ramp; phase (in frames) slides the bars so a viewfinder moves.
QImage testPattern(const QSize &size, int phase = 0);
// Frame index of the clip writeVideo() writes, as RGB.
QImage videoFrame(const VideoFormat &format, int index);

// Both write through TargetFile: an absolute path, never a link or special file.
WriteResult writePhoto(const QString &path, const QSize &size, int phase = 0);
WriteResult writeVideo(const QString &path, const VideoFormat &format, int frames);

} // namespace refcam
