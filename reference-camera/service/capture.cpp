// SPDX-License-Identifier: MIT
#include "capture.h"

#include "targetfile.h"

#include <QImageWriter>
#include <QRegularExpression>

#include <cstring>
#include <vector>

namespace refcam {

QSize maxPhotoSize()
{
    return QSize(1600, 1200);
}

QSize parsePhotoResolution(const QString &resolution)
{
    const QString text = resolution.trimmed();
    if (text.compare(QLatin1String("MAX"), Qt::CaseInsensitive) == 0)
        return maxPhotoSize();
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,9})\\s*[xX*]\\s*(\\d{1,9})$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return QSize();
    const int width = match.captured(1).toInt();
    const int height = match.captured(2).toInt();
    if (width < 1 || height < 1 || width > maxPhotoSide || height > maxPhotoSide)
        return QSize();
    return QSize(width, height);
}

VideoFormat videoFormatForQuality(const QString &quality)
{
    if (quality == QLatin1String("MEDIUM") || quality == QLatin1String("LOWEST"))
        return VideoFormat { 176, 144, 15 };
    return VideoFormat { 320, 240, 30 };
}

QByteArray y4mHeader(const VideoFormat &format)
{
    return QStringLiteral("YUV4MPEG2 W%1 H%2 F%3:1 Ip A1:1 C420jpeg\n")
        .arg(format.width)
        .arg(format.height)
        .arg(format.fps)
        .toLatin1();
}

static qint64 chromaPlaneBytes(const VideoFormat &format)
{
    return qint64((format.width + 1) / 2) * ((format.height + 1) / 2);
}

qint64 y4mFrameBytes(const VideoFormat &format)
{
    return qint64(sizeof("FRAME\n") - 1) + qint64(format.width) * format.height
        + 2 * chromaPlaneBytes(format);
}

int y4mFrameCount(const VideoFormat &format, qint64 sizeLimit)
{
    if (sizeLimit <= 0)
        return format.fps;
    const qint64 room = sizeLimit - y4mHeader(format).size();
    if (room <= 0)
        return 0;
    return int(qMin<qint64>(format.fps, room / y4mFrameBytes(format)));
}

namespace {

WriteResult failure(const QString &error)
{
    WriteResult result;
    result.error = error;
    return result;
}

WriteResult commit(TargetFile &file)
{
    if (!file.commit())
        return failure(file.errorString());
    WriteResult result;
    result.ok = true;
    result.bytes = file.size();
    return result;
}

} // namespace

// Easy to recognise, and filled row by row so huge sizes stay fast.
QImage testPattern(const QSize &size, int phase)
{
    QImage image(size, QImage::Format_RGB32);
    if (image.isNull())
        return image;
    const int width = size.width();
    const int height = size.height();
    static const QRgb bars[] = { qRgb(255, 255, 255), qRgb(255, 255, 0), qRgb(0, 255, 255),
        qRgb(0, 255, 0), qRgb(255, 0, 255), qRgb(255, 0, 0), qRgb(0, 0, 255), qRgb(0, 0, 0) };
    constexpr int barCount = int(sizeof(bars) / sizeof(bars[0]));

    std::vector<QRgb> barRow(static_cast<size_t>(width));
    std::vector<QRgb> rampRow(static_cast<size_t>(width));
    // One full turn of the bars every 120 frames (four seconds at 30 fps).
    const qint64 shift = qint64(phase % 120) * width / 120;
    for (int x = 0; x < width; ++x) {
        const qint64 at = (x + shift) % width;
        barRow[size_t(x)] = bars[qMin(barCount - 1, int(at * barCount / width))];
        const int grey = width > 1 ? int(qint64(x) * 255 / (width - 1)) : 128;
        rampRow[size_t(x)] = qRgb(grey, grey, grey);
    }
    const int barHeight = height * 2 / 3;
    const size_t rowBytes = size_t(width) * sizeof(QRgb);
    for (int y = 0; y < height; ++y) {
        const QRgb *source = y < barHeight ? barRow.data() : rampRow.data();
        std::memcpy(image.scanLine(y), source, rowBytes);
    }
    return image;
}

namespace {

// Diagonal luma stripes drifting per frame plus a sweeping bright bar, so motion is visible.
void fillFrame(QByteArray &frame, const VideoFormat &format, int index)
{
    const int width = format.width;
    const int height = format.height;
    const int chromaWidth = (width + 1) / 2;
    const int chromaHeight = (height + 1) / 2;
    uchar *data = reinterpret_cast<uchar *>(frame.data());
    uchar *lumaPlane = data;
    uchar *uPlane = lumaPlane + qint64(width) * height;
    uchar *vPlane = uPlane + qint64(chromaWidth) * chromaHeight;

    const int barWidth = qMax(1, width / 8);
    // Sweeps once a second; a clip longer than a second starts the sweep again.
    const int sweep = format.fps > 0 ? index % format.fps : 0;
    const int barX = format.fps > 1 ? sweep * (width - barWidth) / (format.fps - 1) : 0;
    for (int y = 0; y < height; ++y) {
        uchar *row = lumaPlane + qint64(y) * width;
        for (int x = 0; x < width; ++x) {
            const bool inBar = x >= barX && x < barX + barWidth;
            row[x] = inBar ? 235 : uchar(16 + ((x + y + 8 * index) & 0xff) * 219 / 255);
        }
    }
    for (int y = 0; y < chromaHeight; ++y) {
        uchar *uRow = uPlane + qint64(y) * chromaWidth;
        uchar *vRow = vPlane + qint64(y) * chromaWidth;
        const uchar v = uchar(78 + ((y + 2 * index) % chromaHeight) * 100 / chromaHeight);
        for (int x = 0; x < chromaWidth; ++x) {
            uRow[x] = uchar(78 + x * 100 / chromaWidth);
            vRow[x] = v;
        }
    }
}

} // namespace

QImage videoFrame(const VideoFormat &format, int index)
{
    const QByteArray marker = QByteArrayLiteral("FRAME\n");
    QByteArray frame(int(y4mFrameBytes(format) - marker.size()), Qt::Uninitialized);
    fillFrame(frame, format, index);
    const int width = format.width;
    const int height = format.height;
    const int chromaWidth = (width + 1) / 2;
    const uchar *luma = reinterpret_cast<const uchar *>(frame.constData());
    const uchar *u = luma + qint64(width) * height;
    const uchar *v = u + qint64(chromaWidth) * ((height + 1) / 2);
    QImage image(width, height, QImage::Format_RGB32);
    // Full-range BT.601, as C420jpeg says.
    for (int y = 0; y < height; ++y) {
        QRgb *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const double l = luma[qint64(y) * width + x];
            const int at = (y / 2) * chromaWidth + x / 2;
            const double cb = u[at] - 128.0;
            const double cr = v[at] - 128.0;
            row[x] = qRgb(qBound(0, int(l + 1.402 * cr), 255),
                qBound(0, int(l - 0.344136 * cb - 0.714136 * cr), 255),
                qBound(0, int(l + 1.772 * cb), 255));
        }
    }
    return image;
}

WriteResult writePhoto(const QString &path, const QSize &size, int phase)
{
    const QImage image = testPattern(size, phase);
    if (image.isNull())
        return failure(
            QStringLiteral("cannot allocate a %1x%2 image").arg(size.width()).arg(size.height()));
    TargetFile file;
    if (!file.open(path))
        return failure(file.errorString());
    QImageWriter writer(file.device(), QByteArrayLiteral("png"));
    if (!writer.write(image))
        return failure(file.writeError(writer.errorString()));
    return commit(file);
}

WriteResult writeVideo(const QString &path, const VideoFormat &format, int frames)
{
    TargetFile file;
    if (!file.open(path))
        return failure(file.errorString());
    const QByteArray header = y4mHeader(format);
    const QByteArray frameMarker = QByteArrayLiteral("FRAME\n");
    QByteArray frame(int(y4mFrameBytes(format) - frameMarker.size()), Qt::Uninitialized);
    QIODevice *out = file.device();
    bool ok = out->write(header) == header.size();
    for (int i = 0; ok && i < frames; ++i) {
        fillFrame(frame, format, i);
        ok = out->write(frameMarker) == frameMarker.size() && out->write(frame) == frame.size();
    }
    if (!ok)
        return failure(file.writeError(out->errorString()));
    return commit(file);
}

} // namespace refcam
