// SPDX-License-Identifier: MIT
// CaptureJob's recording: source ! videorate ! crop ! scale ! I420 ! encodebin ! fd (a tee
// before videorate feeds the screen when asked), held within the size limit, ended by the
// timer, stop() or the limit.
#include "capturejob.h"

#include "captureoutput.h"
#include "console.h"
#include "deviceturns.h"
#include "encoding.h"
#include "frames.h"
#include "hostreason.h"
#include "kivaction_names_p.h"
#include "livesource.h"
#include "pipeline.h"
#include "viewbranch.h"

#include <gst/pbutils/encoding-profile.h>

namespace refcam {

namespace {

void sendEosAsync(GstElement *pipeline, gpointer)
{
    gst_element_send_event(pipeline, gst_event_new_eos());
}

// Before the muxer: a frame that would take the file past its limit (with room kept for the
// container's index and trailer) is held back, as is everything after it, and the
// recording ends. Dropping the tail never breaks what came before.
GstPadProbeReturn guardLimit(GstPad *, GstPadProbeInfo *info, gpointer data)
{
    Shared *shared = fromHolder(data);
    GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!buffer)
        return GST_PAD_PROBE_OK;
    if (shared->limitReached.load())
        return GST_PAD_PROBE_DROP;
    const qint64 size = qint64(gst_buffer_get_size(buffer));
    const qint64 samples = shared->samples.load() + 1;
    const qint64 projected
        = shared->payload.load() + size + trailerReserve + samples * reservePerFrame;
    if (shared->limit > 0 && projected > shared->limit) {
        if (samples == 1)
            shared->refusedFirst.store(size);
        if (!shared->limitReached.exchange(true))
            gst_element_call_async(shared->pipeline, sendEosAsync, nullptr, nullptr);
        return GST_PAD_PROBE_DROP;
    }
    shared->payload.fetch_add(size);
    shared->samples.store(samples);
    if (samples == 1)
        shared->firstFrameMs.store(nowMs());
    return GST_PAD_PROBE_OK;
}

// Before the encoder: the timer that ends a recording is late by the frames queued in the
// meantime, so a frame ending past the length asked never reaches the file.
GstPadProbeReturn guardLength(GstPad *, GstPadProbeInfo *info, gpointer data)
{
    Shared *shared = fromHolder(data);
    GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!buffer || shared->lengthLimitNs <= 0 || !GST_BUFFER_PTS_IS_VALID(buffer))
        return GST_PAD_PROBE_OK;
    const qint64 pts = qint64(GST_BUFFER_PTS(buffer));
    qint64 first = -1;
    if (shared->firstPts.compare_exchange_strong(first, pts))
        first = pts;
    // A frame lasts until the next: one that would end past the length is not kept.
    const qint64 lasts
        = GST_BUFFER_DURATION_IS_VALID(buffer) ? qint64(GST_BUFFER_DURATION(buffer)) : 0;
    return pts - first + lasts > shared->lengthLimitNs ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
}

// At the file: muxers seek back to patch headers, so the size is the highest end written.
GstPadProbeReturn countWritten(GstPad *, GstPadProbeInfo *info, gpointer data)
{
    Shared *shared = fromHolder(data);
    auto add = [shared](qint64 size) {
        const qint64 end = shared->position.fetch_add(size) + size;
        qint64 known = shared->writtenEnd.load();
        while (end > known && !shared->writtenEnd.compare_exchange_weak(known, end)) { }
    };
    if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
        GstEvent *event = GST_PAD_PROBE_INFO_EVENT(info);
        if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
            const GstSegment *segment = nullptr;
            gst_event_parse_segment(event, &segment);
            if (segment->format == GST_FORMAT_BYTES)
                shared->position.store(qint64(segment->start));
        }
    } else if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
        add(qint64(gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info))));
    } else if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
        add(qint64(gst_buffer_list_calculate_size(GST_PAD_PROBE_INFO_BUFFER_LIST(info))));
    }
    return GST_PAD_PROBE_OK;
}

// The encoder encodebin made for the profile: where the size limit is kept.
GstElement *findEncoder(GstElement *encodebin, const QString &factory)
{
    GstElement *found = nullptr;
    GstIterator *it = gst_bin_iterate_recurse(GST_BIN(encodebin));
    GValue item = G_VALUE_INIT;
    while (!found && gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        auto *element = GST_ELEMENT(g_value_get_object(&item));
        GstElementFactory *made = gst_element_get_factory(element);
        if (made && factory == QLatin1String(GST_OBJECT_NAME(made)))
            found = element; // the bin keeps it alive
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return found;
}

QString sizeOverLimit(qint64 size, qint64 limit)
{
    return QStringLiteral("the recording came to %1 bytes, over the videoSizeLimitation of %2 "
                          "bytes; no file was kept. Ask for a larger limit or a lower "
                          "videoQuality")
        .arg(size)
        .arg(limit);
}

// The screen keeps showing the camera while it records: raw ! tee, the view branch on the
// tee. Returns the tee to record from, or null when an element is missing.
GstElement *teeForScreen(Pipeline *pipeline, GstElement *raw, const QSize &sourceSize)
{
    GstElement *tee = addElement(GST_BIN(pipeline->element()), "tee");
    if (!tee || !gst_element_link(raw, tee) || !addViewBranch(pipeline, tee, sourceSize))
        return nullptr;
    return tee;
}

} // namespace

bool CaptureJob::chooseEncoder(QString *encoderName)
{
    QString error;
    *encoderName = pickEncoder(m_settings.format, m_settings.encoder, &error);
    if (encoderName->isEmpty()) {
        fail(KivAction::cameraFailedError(), error);
        return false;
    }
    if (m_settings.format == QLatin1String("mp4") && !m_output->seekable()) {
        fail(QString(),
            QStringLiteral("%1 cannot seek, which an MP4 file needs; ask for .mkv or .webm")
                .arg(m_output->name()));
        return false;
    }
    return true;
}

void CaptureJob::startVideo()
{
    // One recording at a time, after the photos asked before it have their pictures.
    DeviceTurns::instance()->ask(this, QString(), true, [this] { record(); });
}

void CaptureJob::record()
{
    LiveSource::instance()->release(true); // the device is ours alone now
    const VideoProfile profile
        = cappedVideoProfile(m_settings.videoQuality, m_source.modes, &m_mode);
    m_size = profile.size;
    m_fps = profile.fps;
    QString encoderName;
    if (!chooseEncoder(&encoderName) || !buildRecording(encoderName, profile))
        return;
    watchRecording();
    m_description = QStringLiteral("%1 %2x%3@%4 %5 (%6) from %7 at %8x%9")
                        .arg(profile.quality)
                        .arg(m_size.width())
                        .arg(m_size.height())
                        .arg(profile.fps)
                        .arg(m_settings.format.toUpper(), encoderName, m_source.name)
                        .arg(m_mode.size.width())
                        .arg(m_mode.size.height());
    printOut(programPrefix()
        + QStringLiteral("recording %1 for %2; qualities: %3")
              .arg(m_description,
                  m_settings.recordMs > 0 ? QStringLiteral("%1 ms").arg(m_settings.recordMs)
                                          : QStringLiteral("until stopped"),
                  videoProfileTable()));
    QString error;
    if (!m_pipeline->play(&error)) {
        forgetSource(m_settings.source);
        fail(KivAction::noCameraDeviceError(),
            QStringLiteral("camera %1 could not start (busy, gone or no permission); close other "
                           "camera programs, or run with --source test for a test picture")
                .arg(m_source.name));
        return;
    }
    if (m_settings.recordMs > 0)
        m_recordTimer.start(m_settings.recordMs);
}

bool CaptureJob::buildRecording(const QString &encoderName, const VideoProfile &profile)
{
    const QString &format = m_settings.format;
    GstElement *bin = gst_pipeline_new("recording");
    m_pipeline = new Pipeline(bin);
    GstElement *raw = nullptr;
    QString errorName;
    QString error;
    m_sourceCaps = addSource(GST_BIN(bin), m_settings.source, m_mode, &errorName, &error, &raw);
    if (!m_sourceCaps) {
        fail(errorName, error);
        return false;
    }
    const QList<const char *> chain { "videorate", "videocrop", "videoscale", "videoconvert",
        "capsfilter", "queue", "encodebin", "fdsink" };
    QList<GstElement *> elements;
    for (const char *factory : chain) {
        elements << addElement(GST_BIN(bin), factory);
        if (!elements.last()) {
            fail(KivAction::cameraFailedError(),
                QStringLiteral("an element for %1 recordings is missing (%2); install "
                               "gstreamer1.0-plugins-base, -good, -bad and -ugly")
                    .arg(format, QLatin1String(factory)));
            return false;
        }
    }
    g_object_set(elements[0], "drop-only", TRUE, nullptr);
    cropFor(elements[1], m_mode.size, m_size);
    g_object_set(elements[4], "caps", rawCaps("I420", m_size, profile.fps).get(), nullptr);
    g_object_set(elements[5], "max-size-buffers", 5u, "max-size-bytes", 0u, "max-size-time",
        guint64(0), nullptr);
    GstEncodingProfile *encoding = recordingProfile(format, encoderName, profile);
    g_object_set(elements[6], "profile", encoding, nullptr);
    gst_encoding_profile_unref(encoding);
    m_fileSink = elements.last();
    g_object_set(m_fileSink, "fd", m_output->fd(), "sync", FALSE, nullptr);
    GstElement *from = m_settings.viewfinder ? teeForScreen(m_pipeline, raw, m_mode.size) : raw;
    bool linked = from && gst_element_link(from, elements[0]);
    for (int i = 0; linked && i + 1 < elements.size(); ++i)
        linked = gst_element_link(elements[i], elements[i + 1]);
    m_beforeMux = linked ? findEncoder(elements[6], encoderName) : nullptr;
    if (!m_beforeMux) {
        fail(KivAction::cameraFailedError(),
            QStringLiteral("cannot build the %1 recording with %2 from %3")
                .arg(format, encoderName, m_source.name));
        return false;
    }
    tuneForLive(m_beforeMux, encoderName);
    return true;
}

void CaptureJob::watchRecording()
{
    m_pipeline->shared()->limit = m_settings.sizeLimit;
    m_pipeline->countFramesAt(m_sourceCaps);
    m_pipeline->shared()->lengthLimitNs = qint64(qMax(0, m_settings.recordMs)) * GST_MSECOND;
    m_pipeline->probe(m_beforeMux, "sink", GST_PAD_PROBE_TYPE_BUFFER, guardLength);
    m_pipeline->probe(m_beforeMux, "src", GST_PAD_PROBE_TYPE_BUFFER, guardLimit);
    m_pipeline->probe(m_fileSink, "sink",
        GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST
            | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
        countWritten);
    m_pipeline->onEvent = [this](PipelineEvent event, const QString &text) {
        if (event == PipelineEvent::Eos) {
            videoEnded();
            return;
        }
        if (event == PipelineEvent::View) {
            Q_EMIT viewFrame();
            return;
        }
        if (event == PipelineEvent::WriteError) {
            // The file's fault, not the camera's: answered FAILED, nothing kept.
            const QString remedy = writeRemedy(text);
            fail(QString(),
                QStringLiteral("the recording could not be written to %1: %2; %3")
                    .arg(m_output->name(), text,
                        remedy.isEmpty() ? QStringLiteral("choose another file") : remedy));
            return;
        }
        if (event != PipelineEvent::Error && event != PipelineEvent::Timeout)
            return;
        const bool started = m_pipeline->shared()->frames.load() > 0;
        forgetSource(m_settings.source);
        fail(started ? KivAction::cameraFailedError() : KivAction::noCameraDeviceError(),
            QStringLiteral("camera %1 %2: %3; no file was kept. Check that it is plugged in and "
                           "that no other program uses it, or run with --source test for a test "
                           "picture")
                .arg(m_source.name,
                    started ? QStringLiteral("stopped while recording")
                            : QStringLiteral("did not start"),
                    text));
    };
}

qint64 CaptureJob::bytesWritten() const
{
    // What the size limit counts: the encoded frames let through to the file.
    return m_pipeline ? m_pipeline->shared()->payload.load() : 0;
}

QImage CaptureJob::viewImage() const
{
    return newestView(m_pipeline);
}

void CaptureJob::stop()
{
    if (!m_running || !m_settings.video || !m_pipeline || m_stopRequested)
        return;
    // A recording stopped before its first frame still gets one: an empty file plays nothing.
    if (m_pipeline->shared()->samples.load() == 0) {
        m_stopDeferred = !m_stoppedByTimer;
        m_recordTimer.start(50);
        return;
    }
    m_stopRequested = true;
    m_recordTimer.stop();
    m_pipeline->sendEos();
}

void CaptureJob::videoEnded()
{
    Shared *shared = m_pipeline->shared();
    const bool limited = shared->limitReached.load();
    const qint64 samples = shared->samples.load();
    const qint64 refused = shared->refusedFirst.load();
    const qint64 written = shared->writtenEnd.load();
    const qint64 frames = shared->frames.load();
    const qint64 firstMs = shared->firstFrameMs.load();
    const qint64 spanMs = m_pipeline->endRequestedMs() - firstMs;
    Pipeline::release(m_pipeline);
    m_recordTimer.stop();
    if (!m_stopRequested && !limited) {
        fail(KivAction::cameraFailedError(),
            QStringLiteral("camera %1 stopped sending pictures after %2 ms (%3 frames); no file "
                           "was kept. Check that it is still plugged in")
                .arg(m_source.name)
                .arg(m_elapsed.elapsed())
                .arg(frames));
        return;
    }
    if (!checkRecordingSize(samples, refused, written)
        || (!limited && !checkFrameCount(samples, firstMs, spanMs)))
        return;
    const QString endedBy = limited ? KivAction::Value::sizeLimit()
        : m_stoppedByTimer          ? KivAction::Value::durationLimit()
                                    : KivAction::Value::user();
    succeed(m_description
            + QStringLiteral(", %1 frames%2")
                  .arg(samples)
                  .arg(limited ? QStringLiteral(", ended early at the size limit of %1 bytes")
                                     .arg(m_settings.sizeLimit)
                               : QString()),
        -1, endedBy, m_fps > 0 ? samples * 1000 / m_fps : 0);
}

// Before the commit: a path that was replaced must keep its earlier file when the
// recording breaks the limit.
bool CaptureJob::checkRecordingSize(qint64 samples, qint64 refused, qint64 written)
{
    const qint64 limit = m_settings.sizeLimit;
    if (samples == 0) {
        // Nothing is lower than LOWEST: then only a larger limit helps.
        const bool lowest = m_settings.videoQuality == KivAction::Value::lowest();
        fail(KivAction::cameraFailedError(),
            QStringLiteral("videoSizeLimitation %1 bytes is too small for one key frame of %2 "
                           "(%3 bytes with the container's reserve of %4); ask for a larger "
                           "limit%5")
                .arg(limit)
                .arg(m_description)
                .arg(refused + trailerReserve + reservePerFrame)
                .arg(trailerReserve + reservePerFrame)
                .arg(lowest ? QStringLiteral(", at least the camera's minVideoSizeLimit")
                            : QStringLiteral(" or a lower videoQuality")));
        return false;
    }
    if (limit <= 0)
        return true;
    const qint64 size = qMax(written, m_output->pendingSize());
    if (size > limit) {
        fail(KivAction::cameraFailedError(), sizeOverLimit(size, limit));
        return false;
    }
    return true;
}

// Far fewer frames than the length calls for plays as a still picture: not a recording.
// Frames past the length asked are never kept, however late a busy machine ends it.
bool CaptureJob::checkFrameCount(qint64 samples, qint64 firstMs, qint64 spanMs)
{
    if (m_settings.recordMs > 0)
        spanMs = qMin(spanMs, qint64(m_settings.recordMs));
    const int fps = cappedVideoProfile(m_settings.videoQuality, m_source.modes).fps;
    const qint64 expected = firstMs > 0 ? fps * spanMs / 1000 : 0;
    if (samples * 5 >= expected * 4)
        return true;
    fail(KivAction::cameraFailedError(),
        QStringLiteral("camera %1 gave %2 frames for %3 ms at %4 fps, fewer than 80 % of the %5 "
                       "expected; no file was kept. Check that no other program uses the "
                       "camera%6")
            .arg(m_source.name)
            .arg(samples)
            .arg(spanMs)
            .arg(fps)
            .arg(expected)
            .arg(m_settings.videoQuality == KivAction::Value::lowest()
                    ? QString()
                    : QStringLiteral(", or ask for a lower videoQuality")));
    return false;
}

} // namespace refcam
