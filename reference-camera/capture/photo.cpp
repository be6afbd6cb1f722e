// SPDX-License-Identifier: MIT
// CaptureJob's photo: the newest settled frame of the live source (or the window's frame),
// cropped to the asked aspect, scaled, encoded and tagged.
#include "capturejob.h"

#include "captureoutput.h"
#include "deviceturns.h"
#include "frames.h"
#include "kivaction_names_p.h"
#include "livesource.h"
#include "pipeline.h"

#include <QCoreApplication>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>

namespace refcam {

namespace {

const char *orientationTag(int degrees)
{
    switch (((degrees % 360) + 360) % 360) {
    case 90:
        return "rotate-90";
    case 180:
        return "rotate-180";
    case 270:
        return "rotate-270";
    default:
        return "rotate-0";
    }
}

// What jifmux writes as EXIF: who made the photo, with what, when, and which way is up.
void tagPhoto(GstElement *muxer, const QString &model, int orientationDegrees)
{
    const QByteArray software = QStringLiteral("reference-camera %1")
                                    .arg(QCoreApplication::applicationVersion())
                                    .trimmed()
                                    .toUtf8();
    g_autoptr(GstDateTime) now = gst_date_time_new_now_local_time();
    g_autoptr(GstTagList) tags = gst_tag_list_new(GST_TAG_DEVICE_MANUFACTURER, "libcamerauiservice",
        GST_TAG_DEVICE_MODEL, model.toUtf8().constData(), GST_TAG_APPLICATION_NAME,
        software.constData(), GST_TAG_DATE_TIME, now, GST_TAG_IMAGE_ORIENTATION,
        orientationTag(orientationDegrees), nullptr);
    gst_tag_setter_merge_tags(GST_TAG_SETTER(muxer), tags, GST_TAG_MERGE_REPLACE);
}

// jpegenc starts with a JFIF header and jifmux keeps it before the EXIF segment; EXIF
// readers want EXIF straight after the start of the image, so the JFIF header goes.
QByteArray exifFirst(const QByteArray &jpeg)
{
    const auto at = [&jpeg](int i) { return uchar(jpeg.at(i)); };
    if (jpeg.size() < 6 || at(0) != 0xFF || at(1) != 0xD8 || at(2) != 0xFF || at(3) != 0xE0)
        return jpeg;
    const int end = 4 + ((at(4) << 8) | at(5));
    if (end + 4 > jpeg.size() || at(end) != 0xFF || at(end + 1) != 0xE1)
        return jpeg;
    return jpeg.left(2) + jpeg.mid(end);
}

} // namespace

void CaptureJob::startPhoto()
{
    if (m_settings.frame) {
        m_size = m_settings.photoSize.isValid() ? m_settings.photoSize
                                                : sampleSize(m_settings.frame.get());
        encodePhoto(m_settings.frame.get());
        return;
    }
    m_size
        = m_settings.photoSize.isValid() ? m_settings.photoSize : m_source.modes.constFirst().size;
    m_mode = pickMode(m_source.modes, m_size);
    // Photos in one mode share the live source; others wait their turn.
    const QString use = QStringLiteral("%1 %2x%3 %4")
                            .arg(m_settings.source)
                            .arg(m_mode.size.width())
                            .arg(m_mode.size.height())
                            .arg(QString::fromLatin1(m_mode.media));
    DeviceTurns::instance()->ask(this, use, false, [this] { photoFromLive(); });
}

void CaptureJob::photoFromLive()
{
    LiveSource *live = LiveSource::instance();
    QString errorName;
    QString error;
    if (!live->use(m_settings.source, m_mode, false, &errorName, &error)) {
        fail(errorName, error);
        return;
    }
    auto take = [this, live] {
        disconnect(m_liveConnection);
        GstRef<GstSample> sample = adopt(live->newestFrame());
        live->release();
        // The frame is ours: a recording waiting for the device may have it now.
        DeviceTurns::instance()->leave(this);
        if (!sample) {
            fail(KivAction::cameraFailedError(), QStringLiteral("the camera gave no picture"));
            return;
        }
        encodePhoto(sample.get());
    };
    if (live->isSettled()) {
        take();
        return;
    }
    m_liveConnection = connect(live, &LiveSource::settled, this, take);
    // Whatever happens to the live source, never wait forever.
    QTimer::singleShot(firstFrameTimeoutMs + 2000, this, [this] {
        if (m_running && !m_pipeline)
            fail(KivAction::cameraFailedError(),
                QStringLiteral("camera %1 gave no settled picture within %2 s; check that no "
                               "other program uses it")
                    .arg(m_source.name)
                    .arg(firstFrameTimeoutMs / 1000 + 2));
    });
    connect(live, &LiveSource::failed, this, [this](const QString &name, const QString &text) {
        if (m_running && !m_pipeline)
            fail(name, text);
    });
}

// appsrc ! videocrop ! videoscale ! videoconvert ! caps ! jpegenc ! jifmux ! appsink
void CaptureJob::encodePhoto(GstSample *sample)
{
    const bool png = m_settings.format == QLatin1String("png");
    const QSize from = sampleSize(sample);
    GstElement *bin = gst_pipeline_new("photo");
    m_pipeline = new Pipeline(bin);
    const char *names[] = { "appsrc", "videocrop", "videoscale", "videoconvert", "capsfilter",
        png ? "pngenc" : "jpegenc", png ? "identity" : "jifmux", "appsink" };
    GstElement *elements[8] = {};
    for (int i = 0; i < 8; ++i) {
        elements[i] = addElement(GST_BIN(bin), names[i]);
        if (!elements[i]) {
            fail(KivAction::cameraFailedError(), missingPlugin(names[i]));
            return;
        }
    }
    GstElement *src = elements[0];
    g_object_set(src, "caps", gst_sample_get_caps(sample), "format", GST_FORMAT_TIME, nullptr);
    cropFor(elements[1], from, m_size);
    // 4:2:0 keeps a JPEG a quarter smaller than the 4:4:4 the encoder would pick.
    g_object_set(elements[4], "caps", rawCaps(png ? "RGB" : "I420", m_size).get(), nullptr);
    if (!png) {
        g_object_set(elements[5], "quality", 92, nullptr);
        int degrees = m_settings.orientationDegrees;
        if (degrees < 0)
            degrees = m_settings.frame ? 0 : qMax(0, m_source.rotation);
        tagPhoto(elements[6], m_settings.frame ? m_settings.source : m_source.name, degrees);
    }
    // The encoded photo is pulled once the end is reported, not before.
    m_appsink = elements[7];
    g_object_set(m_appsink, "sync", FALSE, "wait-on-eos", FALSE, nullptr);
    for (int i = 0; i + 1 < 8; ++i)
        gst_element_link(elements[i], elements[i + 1]);
    m_pipeline->onEvent = [this](PipelineEvent event, const QString &text) {
        if (event == PipelineEvent::Eos)
            photoEncoded();
        else if (event == PipelineEvent::Error || event == PipelineEvent::Timeout)
            fail(KivAction::cameraFailedError(),
                QStringLiteral("cannot encode the photo: %1").arg(text));
    };
    QString error;
    if (!m_pipeline->play(&error)) {
        fail(KivAction::cameraFailedError(),
            QStringLiteral("cannot encode the photo: %1").arg(error));
        return;
    }
    m_pipeline->expectEnd();
    // A shallow copy stamped at zero: the live source's clock means nothing here.
    GstBuffer *buffer = gst_buffer_copy(gst_sample_get_buffer(sample));
    GST_BUFFER_PTS(buffer) = 0;
    GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
    gst_app_src_push_buffer(GST_APP_SRC(src), buffer); // takes the buffer
    gst_app_src_end_of_stream(GST_APP_SRC(src));
    m_description = QStringLiteral("%1x%2 %3 from %4 at %5x%6")
                        .arg(m_size.width())
                        .arg(m_size.height())
                        .arg(png ? QStringLiteral("PNG") : QStringLiteral("JPEG"),
                            m_settings.frame ? QStringLiteral("the viewfinder") : m_source.name)
                        .arg(from.width())
                        .arg(from.height());
}

void CaptureJob::photoEncoded()
{
    QByteArray bytes;
    if (GstRef<GstSample> sample
        = adopt(gst_app_sink_try_pull_sample(GST_APP_SINK(m_appsink), 0))) {
        GstBuffer *buffer = gst_sample_get_buffer(sample.get());
        GstMapInfo map;
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            bytes = QByteArray(reinterpret_cast<const char *>(map.data), int(map.size));
            gst_buffer_unmap(buffer, &map);
        }
    }
    Pipeline::release(m_pipeline);
    m_appsink = nullptr;
    if (bytes.isEmpty()) {
        fail(KivAction::cameraFailedError(), QStringLiteral("the photo encoder gave nothing"));
        return;
    }
    if (m_settings.format != QLatin1String("png"))
        bytes = exifFirst(bytes);
    QString error;
    if (!m_output->write(bytes, &error)) {
        fail(QString(), error);
        return;
    }
    succeed(m_description);
}

} // namespace refcam
