// SPDX-License-Identifier: MIT
#pragma once

#include <QList>
#include <QMap>
#include <QSize>
#include <QString>
#include <QVariantMap>

#include "gstsource.h"

namespace refcam {

// What a recording at one video quality is.
struct VideoMode
{
    int width = 0;
    int height = 0;
    int fps = 0;
    qint64 bitRate = 0; // bits per second of the written stream
    QString mime;
};

// Everything the answer to GetCapabilities is made from: what the source the camera captures
// from offers.
struct CapabilityInput
{
    QString source; // the source sourceName captured from: "test", "v4l2:/dev/video0", ...
    QList<QSize> photoSizes; // largest first
    // Per quality ("HIGHEST", "MEDIUM", "LOWEST"); qualities without an entry are not offered.
    QMap<QString, VideoMode> videoModes;
    QString photoMime;
    bool fileDescriptor = false;
    qint64 minVideoSizeLimit = 0;
    qint64 maxVideoDurationMs = 0; // the longest recording; 0: no limit of its own
};

// The GetCapabilities answer (a{sv}); videoFormats is a QMap<QString, QVariantMap> so it
// goes on the wire as a{sa{sv}} (registerCapabilityTypes() must have run).
QVariantMap buildCapabilities(const CapabilityInput &input);
void registerCapabilityTypes();

// The input for a probed source: its modes as a capture would use them.
CapabilityInput sourceInput(const SourceModes &modes);

} // namespace refcam
