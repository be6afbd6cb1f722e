// SPDX-License-Identifier: MIT
#pragma once

#include <QtGlobal>

typedef struct _GstDeviceMonitor GstDeviceMonitor;

namespace refcam {

// The one device monitor the camera keeps for its whole life, watching video sources.
// Started once: its device list follows cameras as they come and go (PipeWire nodes, V4L2
// devices). Never stopped: some device providers crash when torn down at exit.
GstDeviceMonitor *cameraMonitor();

// Counts the devices added and removed since the start; what was looked up under an older
// count may be stale.
quint64 deviceGeneration();

} // namespace refcam
