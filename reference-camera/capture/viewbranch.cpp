// SPDX-License-Identifier: MIT
// The screen's picture, branched off a tee: the live source's viewfinder and a recording
// that keeps the screen going share it.
#include "viewbranch.h"

#include "frames.h"
#include "pipeline.h"

#include <QMutexLocker>

#include <gst/app/gstappsink.h>

namespace refcam {

namespace {

GstFlowReturn newViewFrame(GstAppSink *sink, gpointer data)
{
    Shared *shared = fromHolder(data);
    GstRef<GstSample> sample = adopt(gst_app_sink_pull_sample(sink));
    if (!sample)
        return GST_FLOW_EOS;
    // No copy per frame: the picture keeps the buffer until the screen has drawn it.
    QImage image = wrapSample(sample.get());
    if (!image.isNull()) {
        QMutexLocker lock(&shared->lock);
        shared->view = std::move(image);
    }
    // One note in flight at a time: a slow window skips pictures, it never queues them.
    if (!shared->viewPending.exchange(true))
        postNote(GST_ELEMENT(sink), PipelineEvent::View);
    return GST_FLOW_OK;
}

} // namespace

QSize viewSize(const QSize &source)
{
    QSize size = source;
    if (size.width() > 1280 || size.height() > 720)
        size.scale(QSize(1280, 720), Qt::KeepAspectRatio);
    return evenSize(size);
}

bool addViewBranch(Pipeline *pipeline, GstElement *tee, const QSize &sourceSize)
{
    GstBin *bin = GST_BIN(pipeline->element());
    GstElement *queue = addElement(bin, "queue");
    GstElement *scale = addElement(bin, "videoscale");
    GstElement *convert = addElement(bin, "videoconvert");
    GstElement *caps = addElement(bin, "capsfilter");
    GstElement *sink = addElement(bin, "appsink", "view");
    if (!queue || !scale || !convert || !caps || !sink)
        return false;
    g_object_set(queue, "leaky", 2, "max-size-buffers", 1u, nullptr);
    g_object_set(caps, "caps", rawCaps("BGRx", viewSize(sourceSize)).get(), nullptr);
    g_object_set(sink, "max-buffers", 1u, "drop", TRUE, "sync", FALSE, nullptr);
    if (!gst_element_link_many(tee, queue, scale, convert, caps, sink, nullptr))
        return false;
    GstAppSinkCallbacks callbacks = {};
    callbacks.new_sample = newViewFrame;
    gst_app_sink_set_callbacks(
        GST_APP_SINK(sink), &callbacks, holder(pipeline->sharedPtr()), dropHolder);
    return true;
}

QImage newestView(Pipeline *pipeline)
{
    if (!pipeline)
        return QImage();
    Shared *shared = pipeline->shared();
    QMutexLocker lock(&shared->lock);
    return shared->view;
}

} // namespace refcam
