// SPDX-License-Identifier: MIT
#include "devicemonitor.h"

#include "gstsource.h"

#include <gst/gst.h>

#include <atomic>

namespace refcam {

namespace {

std::atomic<quint64> g_generation { 0 };

// Runs in the provider's thread: only counts, the lookup happens on the next request.
GstBusSyncReply countChange(GstBus *, GstMessage *message, gpointer)
{
    const GstMessageType type = GST_MESSAGE_TYPE(message);
    if (type == GST_MESSAGE_DEVICE_ADDED || type == GST_MESSAGE_DEVICE_REMOVED
        || type == GST_MESSAGE_DEVICE_CHANGED)
        g_generation.fetch_add(1);
    gst_message_unref(message);
    return GST_BUS_DROP;
}

} // namespace

GstDeviceMonitor *cameraMonitor()
{
    static GstDeviceMonitor *monitor = [] {
        ensureGstreamer();
        GstDeviceMonitor *made = gst_device_monitor_new();
        gst_device_monitor_add_filter(made, "Video/Source", nullptr);
        g_autoptr(GstBus) bus = gst_device_monitor_get_bus(made);
        gst_bus_set_sync_handler(bus, countChange, nullptr, nullptr);
        // Not started (no provider could be): every lookup probes afresh, which still works.
        gst_device_monitor_start(made);
        return made;
    }();
    return monitor;
}

quint64 deviceGeneration()
{
    return g_generation.load();
}

} // namespace refcam
