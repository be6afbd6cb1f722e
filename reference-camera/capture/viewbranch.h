// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>
#include <QSize>

typedef struct _GstElement GstElement;

namespace refcam {

class Pipeline;

// The screen's picture for a source of this size: at most a 720p screen's worth, even sides.
QSize viewSize(const QSize &source);

// tee ! queue ! videoscale ! videoconvert ! BGRx ! appsink, added to pipeline: each picture
// is announced as PipelineEvent::View. The queue is leaky, so a slow screen never holds the
// capture up. False when an element is missing.
bool addViewBranch(Pipeline *pipeline, GstElement *tee, const QSize &sourceSize);

// The newest picture of pipeline's view branch, over GStreamer's buffer; null before the first.
QImage newestView(Pipeline *pipeline);

} // namespace refcam
