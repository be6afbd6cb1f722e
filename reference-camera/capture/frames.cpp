// SPDX-License-Identifier: MIT
#include "frames.h"

#include <gst/video/video.h>

namespace refcam {

GstRef<GstCaps> rawCaps(const char *format, const QSize &size, int fps)
{
    GstRef<GstCaps> caps = adopt(gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, format,
        "width", G_TYPE_INT, size.width(), "height", G_TYPE_INT, size.height(),
        "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr));
    if (fps > 0)
        gst_caps_set_simple(caps.get(), "framerate", GST_TYPE_FRACTION, fps, 1, nullptr);
    return caps;
}

QSize sampleSize(GstSample *sample)
{
    GstCaps *caps = sample ? gst_sample_get_caps(sample) : nullptr;
    GstVideoInfo info;
    if (caps && gst_video_info_from_caps(&info, caps))
        return QSize(GST_VIDEO_INFO_WIDTH(&info), GST_VIDEO_INFO_HEIGHT(&info));
    // Encoded frames (a JPEG camera's) have no video info, only a size.
    const GstStructure *s = caps ? gst_caps_get_structure(caps, 0) : nullptr;
    int width = 0;
    int height = 0;
    if (s && gst_structure_get_int(s, "width", &width)
        && gst_structure_get_int(s, "height", &height))
        return QSize(width, height);
    return QSize();
}

QSize evenSize(const QSize &size)
{
    return QSize(qMax(2, size.width() & ~1), qMax(2, size.height() & ~1));
}

void cropFor(GstElement *crop, const QSize &from, const QSize &to)
{
    qint64 left = 0;
    qint64 top = 0;
    const qint64 fw = from.width();
    const qint64 fh = from.height();
    if (fw * to.height() > fh * to.width())
        left = (fw - fh * to.width() / to.height()) / 2;
    else
        top = (fh - fw * to.height() / to.width()) / 2;
    // Even offsets keep 4:2:0 chroma aligned.
    left &= ~qint64(1);
    top &= ~qint64(1);
    g_object_set(
        crop, "left", int(left), "right", int(left), "top", int(top), "bottom", int(top), nullptr);
}

namespace {

void unmapFrame(void *data)
{
    auto *frame = static_cast<GstVideoFrame *>(data);
    gst_video_frame_unmap(frame);
    delete frame;
}

} // namespace

QImage wrapSample(GstSample *sample)
{
    GstVideoInfo info;
    if (!sample || !gst_video_info_from_caps(&info, gst_sample_get_caps(sample)))
        return QImage();
    const GstVideoFormat format = GST_VIDEO_INFO_FORMAT(&info);
    if (format != GST_VIDEO_FORMAT_BGRx && format != GST_VIDEO_FORMAT_BGRA)
        return QImage();
    // The mapped frame holds its own reference to the buffer.
    auto *frame = new GstVideoFrame;
    if (!gst_video_frame_map(frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ)) {
        delete frame;
        return QImage();
    }
    return QImage(static_cast<const uchar *>(GST_VIDEO_FRAME_PLANE_DATA(frame, 0)),
        GST_VIDEO_FRAME_WIDTH(frame), GST_VIDEO_FRAME_HEIGHT(frame),
        GST_VIDEO_FRAME_PLANE_STRIDE(frame, 0), QImage::Format_RGB32, unmapFrame, frame);
}

} // namespace refcam
