// SPDX-License-Identifier: MIT
#pragma once

#include <gst/gst.h>

#include <memory>

namespace refcam {

// One owner type for every GStreamer reference the capture core keeps: GstRef<T> unrefs
// what it holds with T's own unref function. Locals may use g_autoptr just the same.
inline void gstUnref(GstObject *object)
{
    gst_object_unref(object);
}
inline void gstUnref(GstElement *element)
{
    gst_object_unref(element);
}
inline void gstUnref(GstPad *pad)
{
    gst_object_unref(pad);
}
inline void gstUnref(GstBus *bus)
{
    gst_object_unref(bus);
}
inline void gstUnref(GstCaps *caps)
{
    gst_caps_unref(caps);
}
inline void gstUnref(GstSample *sample)
{
    gst_sample_unref(sample);
}
inline void gstUnref(GstBuffer *buffer)
{
    gst_buffer_unref(buffer);
}
inline void gstUnref(GstMessage *message)
{
    gst_message_unref(message);
}

struct GstUnref
{
    template<typename T> void operator()(T *pointer) const { gstUnref(pointer); }
};

template<typename T> using GstRef = std::unique_ptr<T, GstUnref>;

// Takes a reference the caller was given (a "transfer full" return).
template<typename T> GstRef<T> adopt(T *pointer)
{
    return GstRef<T>(pointer);
}

// Takes a new element's floating reference (gst_element_factory_make), or null.
inline GstRef<GstElement> takeFloating(GstElement *element)
{
    return GstRef<GstElement>(element ? GST_ELEMENT(gst_object_ref_sink(element)) : nullptr);
}

// Shares a sample between the live source, the window and a job.
using SharedSample = std::shared_ptr<GstSample>;
inline SharedSample shareSample(GstSample *adopted)
{
    return adopted ? SharedSample(adopted, gst_sample_unref) : SharedSample();
}

} // namespace refcam
