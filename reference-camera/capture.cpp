#include "capture.h"

#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QRegularExpression>
#include <QSaveFile>

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

// Finishes a QSaveFile and reports the size that actually reached the disk.
WriteResult commit(QSaveFile &file, const QString &path)
{
    WriteResult result;
    if (!file.commit()) {
        result.error = file.errorString();
        return result;
    }
    result.ok = true;
    result.bytes = QFileInfo(path).size();
    return result;
}

WriteResult openFailure(const QSaveFile &file)
{
    WriteResult result;
    result.error = file.errorString();
    return result;
}

// Colour bars over a grey ramp: easy to recognise, and filled row by row so huge sizes stay fast.
QImage testPattern(const QSize &size)
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
    for (int x = 0; x < width; ++x) {
        barRow[size_t(x)] = bars[qMin(barCount - 1, int(qint64(x) * barCount / width))];
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
    const int barX = format.fps > 1 ? index * (width - barWidth) / (format.fps - 1) : 0;
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

WriteResult writePhoto(const QString &path, const QSize &size)
{
    const QImage image = testPattern(size);
    if (image.isNull()) {
        WriteResult result;
        result.error
            = QStringLiteral("cannot allocate a %1x%2 image").arg(size.width()).arg(size.height());
        return result;
    }
    QSaveFile file(path);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        return openFailure(file);
    QImageWriter writer(&file, QByteArrayLiteral("png"));
    if (!writer.write(image)) {
        WriteResult result;
        result.error = writer.errorString();
        file.cancelWriting();
        return result;
    }
    return commit(file, path);
}

WriteResult writeVideo(const QString &path, const VideoFormat &format, int frames)
{
    QSaveFile file(path);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        return openFailure(file);
    const QByteArray header = y4mHeader(format);
    const QByteArray frameMarker = QByteArrayLiteral("FRAME\n");
    QByteArray frame(int(y4mFrameBytes(format) - frameMarker.size()), Qt::Uninitialized);
    bool ok = file.write(header) == header.size();
    for (int i = 0; ok && i < frames; ++i) {
        fillFrame(frame, format, i);
        ok = file.write(frameMarker) == frameMarker.size() && file.write(frame) == frame.size();
    }
    if (!ok) {
        WriteResult result;
        result.error = file.errorString();
        file.cancelWriting();
        return result;
    }
    return commit(file, path);
}

} // namespace refcam
