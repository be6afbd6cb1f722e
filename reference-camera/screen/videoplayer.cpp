// SPDX-License-Identifier: MIT
#include "videoplayer.h"

#include "frames.h"
#include "gstsource.h"

#include <QFileInfo>
#include <QPointer>
#include <QUrl>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

namespace refcam {

namespace {

// The decoded frame over GStreamer's own memory: no copy, released with the last QImage
// that shares it.
GstFlowReturn handSample(GstRef<GstSample> sample, gpointer data)
{
    if (!sample)
        return GST_FLOW_EOS;
    const QImage image = wrapSample(sample.get());
    auto *player = static_cast<QPointer<VideoPlayer> *>(data);
    if (!image.isNull() && *player) {
        // Posted to the player's thread; dropped with the player if it is gone by then.
        QMetaObject::invokeMethod(
            player->data(), [p = *player, image] { Q_EMIT p->frame(image); }, Qt::QueuedConnection);
    }
    return GST_FLOW_OK;
}

GstFlowReturn newSample(GstAppSink *sink, gpointer data)
{
    return handSample(adopt(gst_app_sink_pull_sample(sink)), data);
}

GstFlowReturn newPreroll(GstAppSink *sink, gpointer data)
{
    return handSample(adopt(gst_app_sink_pull_preroll(sink)), data);
}

void deletePointer(gpointer data)
{
    delete static_cast<QPointer<VideoPlayer> *>(data);
}

} // namespace

VideoPlayer::VideoPlayer(QObject *parent)
    : QObject(parent)
{
    m_poll.setInterval(100);
    connect(&m_poll, &QTimer::timeout, this, &VideoPlayer::poll);
    connect(this, &VideoPlayer::frame, this, [this] { ++m_frames; });
}

VideoPlayer::~VideoPlayer()
{
    close();
}

bool VideoPlayer::open(const QString &path)
{
    close();
    ensureGstreamer();
    GstRef<GstElement> playbin = takeFloating(gst_element_factory_make("playbin", nullptr));
    GstRef<GstElement> sink = takeFloating(gst_element_factory_make("appsink", nullptr));
    if (!playbin || !sink) {
        m_error = QStringLiteral("cannot play the clip: GStreamer's playbin or appsink is "
                                 "missing; install gstreamer1.0-plugins-base");
        Q_EMIT stateChanged();
        return false;
    }
    GstRef<GstCaps> caps
        = adopt(gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRx", nullptr));
    // sync: frames at the clip's pace; max-buffers keeps a slow screen from piling up frames.
    g_object_set(
        sink.get(), "caps", caps.get(), "sync", TRUE, "max-buffers", 2u, "drop", TRUE, nullptr);
    GstAppSinkCallbacks callbacks = {};
    callbacks.new_sample = newSample;
    callbacks.new_preroll = newPreroll;
    gst_app_sink_set_callbacks(
        GST_APP_SINK(sink.get()), &callbacks, new QPointer<VideoPlayer>(this), deletePointer);
    const QByteArray uri = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toEncoded();
    g_object_set(playbin.get(), "uri", uri.constData(), "video-sink", sink.get(), nullptr);
    if (GstElement *audio = gst_element_factory_make("fakesink", nullptr))
        g_object_set(playbin.get(), "audio-sink", audio, nullptr);
    m_pipeline = std::move(playbin);
    m_error.clear();
    m_ready = false;
    m_atEnd = false;
    m_position = 0;
    m_duration = 0;
    if (gst_element_set_state(m_pipeline.get(), GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE) {
        close();
        m_error = QStringLiteral("cannot play %1: GStreamer refused it").arg(path);
        Q_EMIT stateChanged();
        return false;
    }
    m_poll.start();
    Q_EMIT stateChanged();
    return true;
}

void VideoPlayer::close()
{
    m_poll.stop();
    if (m_pipeline) {
        // Joins the streaming threads: no frame arrives after this.
        gst_element_set_state(m_pipeline.get(), GST_STATE_NULL);
        m_pipeline.reset();
    }
    const bool changed = m_playing || m_ready;
    m_playing = false;
    m_ready = false;
    if (changed)
        Q_EMIT stateChanged();
}

void VideoPlayer::play()
{
    if (!m_pipeline || m_playing)
        return;
    if (m_atEnd) {
        m_atEnd = false;
        seek(0);
    }
    gst_element_set_state(m_pipeline.get(), GST_STATE_PLAYING);
    m_playing = true;
    Q_EMIT stateChanged();
}

void VideoPlayer::pause()
{
    if (!m_pipeline || !m_playing)
        return;
    gst_element_set_state(m_pipeline.get(), GST_STATE_PAUSED);
    m_playing = false;
    Q_EMIT stateChanged();
}

void VideoPlayer::toggle()
{
    if (m_playing)
        pause();
    else
        play();
}

void VideoPlayer::seek(int ms)
{
    if (!m_pipeline)
        return;
    ms = qBound(0, ms, m_duration > 0 ? m_duration : ms);
    gst_element_seek_simple(m_pipeline.get(), GST_FORMAT_TIME,
        GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), gint64(ms) * GST_MSECOND);
    m_atEnd = false;
    m_position = ms;
    Q_EMIT positionChanged();
}

void VideoPlayer::poll()
{
    if (!m_pipeline)
        return;
    GstRef<GstBus> bus = adopt(gst_element_get_bus(m_pipeline.get()));
    const auto wanted
        = GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR | GST_MESSAGE_ASYNC_DONE);
    while (GstRef<GstMessage> message = adopt(gst_bus_pop_filtered(bus.get(), wanted))) {
        switch (GST_MESSAGE_TYPE(message.get())) {
        case GST_MESSAGE_EOS:
            m_atEnd = true;
            m_playing = false;
            gst_element_set_state(m_pipeline.get(), GST_STATE_PAUSED);
            m_position = m_duration;
            Q_EMIT stateChanged();
            Q_EMIT positionChanged();
            break;
        case GST_MESSAGE_ERROR: {
            g_autoptr(GError) error = nullptr;
            gst_message_parse_error(message.get(), &error, nullptr);
            m_error = QStringLiteral("cannot play the clip: %1")
                          .arg(QString::fromUtf8(error ? error->message : "unknown error"));
            m_playing = false;
            Q_EMIT stateChanged();
            break;
        }
        default:
            if (!m_ready) {
                m_ready = true;
                Q_EMIT stateChanged();
            }
            break;
        }
    }
    gint64 value = 0;
    bool changed = false;
    if (m_duration <= 0 && gst_element_query_duration(m_pipeline.get(), GST_FORMAT_TIME, &value)) {
        m_duration = int(value / GST_MSECOND);
        changed = true;
    }
    if (m_playing && gst_element_query_position(m_pipeline.get(), GST_FORMAT_TIME, &value)) {
        m_position = int(value / GST_MSECOND);
        changed = true;
    }
    if (changed)
        Q_EMIT positionChanged();
}

} // namespace refcam
