// SPDX-License-Identifier: MIT
#include "livesource.h"

#include "kivaction_names_p.h"
#include "pipeline.h"
#include "viewbranch.h"

#include <QMutexLocker>
#include <QTimer>

#include <gst/app/gstappsink.h>

namespace refcam {

namespace {

// Newest full-size frame, and the settled note after the first few.
GstFlowReturn newFrame(GstAppSink *sink, gpointer data)
{
    Shared *shared = fromHolder(data);
    GstRef<GstSample> sample = adopt(gst_app_sink_pull_sample(sink));
    if (!sample)
        return GST_FLOW_EOS;
    const qint64 frames = shared->frames.fetch_add(1) + 1;
    shared->lastFrameMs.store(nowMs());
    {
        QMutexLocker lock(&shared->lock);
        shared->newest = std::move(sample);
    }
    if (frames == settleFrames)
        postNote(GST_ELEMENT(sink), PipelineEvent::Settled);
    return GST_FLOW_OK;
}

void setSampleCallback(
    GstElement *sink, Pipeline *pipeline, GstFlowReturn (*callback)(GstAppSink *, gpointer))
{
    GstAppSinkCallbacks callbacks = {};
    callbacks.new_sample = callback;
    gst_app_sink_set_callbacks(
        GST_APP_SINK(sink), &callbacks, holder(pipeline->sharedPtr()), dropHolder);
}

} // namespace

LiveSource *LiveSource::instance()
{
    static LiveSource *live = new LiveSource; // one camera per process
    return live;
}

bool LiveSource::use(const QString &sourceName, const SourceMode &mode, bool viewfinder,
    QString *errorName, QString *error)
{
    if (!m_idle) {
        m_idle = new QTimer(this);
        m_idle->setSingleShot(true);
        connect(m_idle, &QTimer::timeout, this, [this] { stopNow(); });
    }
    m_idle->stop();
    if (m_pipeline && m_sourceName == sourceName && m_mode.size == mode.size
        && m_mode.media == mode.media && (m_viewfinder || !viewfinder))
        return true;
    stopNow();
    if (start(sourceName, mode, viewfinder, errorName, error))
        return true;
    stopNow();
    return false;
}

bool LiveSource::start(const QString &sourceName, const SourceMode &mode, bool viewfinder,
    QString *errorName, QString *error)
{
    GstElement *bin = gst_pipeline_new("live");
    m_pipeline = new Pipeline(bin);
    GstElement *raw = nullptr;
    if (!addSource(GST_BIN(bin), sourceName, mode, errorName, error, &raw))
        return false;
    GstElement *tee = addElement(GST_BIN(bin), "tee");
    GstElement *queue = addElement(GST_BIN(bin), "queue");
    GstElement *sink = addElement(GST_BIN(bin), "appsink", "full");
    if (!tee || !queue || !sink) {
        *errorName = KivAction::cameraFailedError();
        *error = missingPlugin(!tee ? "tee" : !queue ? "queue" : "appsink");
        return false;
    }
    g_object_set(queue, "leaky", 2, "max-size-buffers", 1u, nullptr);
    g_object_set(sink, "max-buffers", 1u, "drop", TRUE, "sync", FALSE, nullptr);
    gst_element_link_many(raw, tee, queue, sink, nullptr);
    setSampleCallback(sink, m_pipeline, newFrame);
    if (viewfinder && !addViewBranch(m_pipeline, tee, mode.size)) {
        *errorName = KivAction::cameraFailedError();
        *error = QStringLiteral("the viewfinder for camera %1 cannot be built; install "
                                "gstreamer1.0-plugins-base")
                     .arg(sourceName);
        return false;
    }
    m_sourceName = sourceName;
    m_mode = mode;
    m_viewfinder = viewfinder;
    m_pipeline->onEvent = [this](PipelineEvent event, const QString &text) {
        if (event == PipelineEvent::Settled)
            Q_EMIT settled();
        else if (event == PipelineEvent::View)
            Q_EMIT viewFrame();
        else
            stopped(m_pipeline->shared()->frames.load() > 0,
                event == PipelineEvent::Eos ? QStringLiteral("the picture stream ended") : text);
    };
    if (m_pipeline->play(error))
        return true;
    forgetSource(sourceName);
    *errorName = KivAction::noCameraDeviceError();
    *error = QStringLiteral("camera %1 could not start (busy, gone or no permission); close "
                            "other camera programs, or run with --source test for a test "
                            "picture")
                 .arg(sourceName);
    return false;
}

// Called from the pipeline's own callback: stopNow() lets the pipeline finish that first.
void LiveSource::stopped(bool started, const QString &why)
{
    const QString sourceName = m_sourceName;
    stopNow();
    forgetSource(sourceName);
    Q_EMIT failed(started ? KivAction::cameraFailedError() : KivAction::noCameraDeviceError(),
        QStringLiteral("camera %1 %2: %3; check that no other program uses it and that "
                       "it is plugged in, or run with --source test for a test picture")
            .arg(sourceName, started ? QStringLiteral("stopped") : QStringLiteral("did not start"),
                why));
}

bool LiveSource::isSettled() const
{
    return m_pipeline && m_pipeline->shared()->frames.load() >= settleFrames;
}

GstSample *LiveSource::newestFrame() const
{
    if (!m_pipeline)
        return nullptr;
    Shared *shared = m_pipeline->shared();
    QMutexLocker lock(&shared->lock);
    return shared->newest ? gst_sample_ref(shared->newest.get()) : nullptr;
}

QImage LiveSource::viewImage() const
{
    return newestView(m_pipeline);
}

void LiveSource::release(bool now)
{
    if (now || !m_idle)
        stopNow();
    else
        m_idle->start(3000);
}

void LiveSource::stopNow()
{
    if (m_idle)
        m_idle->stop();
    Pipeline::release(m_pipeline);
    m_sourceName.clear();
}

} // namespace refcam
