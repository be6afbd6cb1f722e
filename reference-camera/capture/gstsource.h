// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QList>
#include <QSize>
#include <QString>

typedef struct _GstElement GstElement;

namespace refcam {

// One size a source delivers, with the highest frame rate it has at that size.
struct SourceMode
{
    QSize size;
    int maxFps = 30;
    QByteArray media = "video/x-raw"; // or "image/jpeg": decoded before use
    // A source offering a frame rate range is asked for this rate; 0: it has fixed rates.
    int askFps = 0;
    // A source offering a size range delivers any size up to rangeMax (never over 4096x4096)
    // at this mode; empty: size is the only one.
    QSize rangeMax;
};

// What a source offers, as a capture would see it: its name as reported ("test:snow",
// "v4l2:/dev/video0", ...), its modes (largest first), or the D-Bus error a capture
// would answer and its message.
struct SourceModes
{
    QString name;
    QList<SourceMode> modes;
    QString errorName;
    QString errorMessage;
    // Degrees to turn its pictures clockwise for display, as the camera reports its mounting
    // (api.libcamera.rotation); -1: not reported.
    int rotation = -1;
    bool ok() const { return errorName.isEmpty(); }
};

// Initialises GStreamer once; safe to call from anywhere on the main thread.
void ensureGstreamer();

// Empty when sourceName is a source this camera understands, else why not (for option checks).
QString checkSourceSpec(const QString &sourceName);

// Probes a source without keeping it open. Cached per sourceName: a camera that failed is probed
// again by the next call (after forgetSource()).
SourceModes probeSource(const QString &sourceName);
void forgetSource(const QString &sourceName);

// The smallest mode covering size, else the largest one; a size range's mode at size itself.
SourceMode pickMode(const QList<SourceMode> &modes, const QSize &size);

// A new source element (floating ref) for a probed sourceName; null with error set when it
// cannot be made. For "test" sources stopAfter > 0 stops frames after that many, as a
// camera that hangs would (see the test source's ",stop-after=N").
GstElement *createSourceElement(const QString &sourceName, QString *errorName, QString *error);

// The test source's fixed modes: 1920x1080, 1280x720 and 640x480, each up to 30 fps.
QList<SourceMode> testSourceModes();

} // namespace refcam
