// SPDX-License-Identifier: MIT
#pragma once

#include "gstref.h"

#include <QImage>
#include <QSize>

namespace refcam {

// Raw video caps at size, square pixels, at fps when it is positive.
GstRef<GstCaps> rawCaps(const char *format, const QSize &size, int fps = 0);
// The picture size a sample's caps give, or an invalid size.
QSize sampleSize(GstSample *sample);
// At least 2x2 and even in both directions, as 4:2:0 encoders want it.
QSize evenSize(const QSize &size);
// Crops from to the aspect of to, centred, on a videocrop: scaled after, never stretched.
void cropFor(GstElement *crop, const QSize &from, const QSize &to);
// A BGRx/BGRA sample as an image over GStreamer's own memory, no copy: the buffer stays
// mapped until the last QImage sharing it lets go. Null for anything else.
QImage wrapSample(GstSample *sample);

} // namespace refcam
