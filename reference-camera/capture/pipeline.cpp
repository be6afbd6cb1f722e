// SPDX-License-Identifier: MIT
#include "pipeline.h"

#include "frames.h"
#include "kivaction_names_p.h"

#include <QEvent>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>

namespace refcam {

namespace {

// The structure names of the notes postNote() sends.
const char *noteName(PipelineEvent event)
{
    return event == PipelineEvent::Settled ? "refcam-settled" : "refcam-view";
}

QString errorText(GstMessage *message)
{
    g_autoptr(GError) error = nullptr;
    g_autofree gchar *debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    QString text = QString::fromUtf8(error ? error->message : "unknown error");
    if (GST_MESSAGE_SRC(message))
        text += QStringLiteral(" (in %1)")
                    .arg(QString::fromUtf8(GST_OBJECT_NAME(GST_MESSAGE_SRC(message))));
    return text;
}

// The system's words when a sink could not write its file (a full disk, a quota, a sealed
// file), else empty: such an error is the file's, not the camera's.
QString writeErrorText(GstMessage *message)
{
    GstObject *from = GST_MESSAGE_SRC(message);
    if (!from || !GST_IS_ELEMENT(from) || !GST_OBJECT_FLAG_IS_SET(from, GST_ELEMENT_FLAG_SINK))
        return QString();
    g_autoptr(GError) error = nullptr;
    g_autofree gchar *debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    if (!error || error->domain != GST_RESOURCE_ERROR)
        return QString();
    if (error->code == GST_RESOURCE_ERROR_NO_SPACE_LEFT)
        return QString::fromLocal8Bit(std::strerror(ENOSPC));
    if (error->code != GST_RESOURCE_ERROR_WRITE)
        return QString();
    // "Error while writing to file descriptor N: <strerror>"
    const QString detail = QString::fromUtf8(debug ? debug : "");
    const int colon = detail.lastIndexOf(QLatin1String(": "));
    return colon >= 0 ? detail.mid(colon + 2).trimmed() : QString::fromUtf8(error->message);
}

GstPadProbeReturn countFrame(GstPad *, GstPadProbeInfo *, gpointer data)
{
    Shared *shared = fromHolder(data);
    shared->frames.fetch_add(1);
    shared->lastFrameMs.store(nowMs());
    return GST_PAD_PROBE_OK;
}

} // namespace

qint64 nowMs()
{
    return g_get_monotonic_time() / 1000;
}

gpointer holder(const std::shared_ptr<Shared> &shared)
{
    return new std::shared_ptr<Shared>(shared);
}

void dropHolder(gpointer data)
{
    delete static_cast<std::shared_ptr<Shared> *>(data);
}

Shared *fromHolder(gpointer data)
{
    return static_cast<std::shared_ptr<Shared> *>(data)->get();
}

void postNote(GstElement *from, PipelineEvent event)
{
    gst_element_post_message(
        from, gst_message_new_element(GST_OBJECT(from), gst_structure_new_empty(noteName(event))));
}

// QSocketNotifier's activated() is overloaded in Qt 5; the event is the same in both.
class Pipeline::BusNotifier : public QSocketNotifier
{
public:
    BusNotifier(int fd, Pipeline *pipeline)
        : QSocketNotifier(fd, QSocketNotifier::Read)
        , m_pipeline(pipeline)
    { }

protected:
    bool event(QEvent *event) override
    {
        if (event->type() != QEvent::SockAct)
            return QSocketNotifier::event(event);
        m_pipeline->readBus();
        return true;
    }

private:
    Pipeline *m_pipeline;
};

Pipeline::Pipeline(GstElement *pipeline)
    : m_pipeline(GST_ELEMENT(gst_object_ref_sink(pipeline)))
    , m_bus(gst_element_get_bus(pipeline))
    , m_shared(std::make_shared<Shared>())
{
    m_shared->pipeline = pipeline;
    GPollFD poll = {};
    gst_bus_get_pollfd(m_bus.get(), &poll);
    m_notifier = std::make_unique<BusNotifier>(poll.fd, this);
    QObject::connect(&m_watchdog, &QTimer::timeout, [this] { checkFrames(); });
}

Pipeline::~Pipeline()
{
    m_notifier.reset();
    gst_element_set_state(m_pipeline.get(), GST_STATE_NULL);
    // Queued messages hold their source elements: drop them with the pipeline.
    gst_bus_set_flushing(m_bus.get(), TRUE);
}

void Pipeline::release(Pipeline *&pipeline)
{
    Pipeline *p = pipeline;
    pipeline = nullptr;
    if (!p)
        return;
    if (!p->m_inCallback) {
        delete p;
        return;
    }
    // Deleted by deliver()'s caller once the callback has returned; the device is free now.
    p->m_released = true;
    p->m_watchdog.stop();
    p->m_notifier->setEnabled(false);
    gst_element_set_state(p->m_pipeline.get(), GST_STATE_NULL);
}

bool Pipeline::deliver(PipelineEvent event, const QString &text)
{
    if (onEvent && !m_released) {
        m_inCallback = true;
        onEvent(event, text);
        m_inCallback = false;
    }
    if (!m_released)
        return true;
    delete this;
    return false;
}

void Pipeline::readBus()
{
    while (GstRef<GstMessage> message = adopt(gst_bus_pop(m_bus.get()))) {
        bool alive = true;
        switch (GST_MESSAGE_TYPE(message.get())) {
        case GST_MESSAGE_EOS:
            alive = deliver(PipelineEvent::Eos);
            break;
        case GST_MESSAGE_ERROR: {
            const QString written = writeErrorText(message.get());
            alive = written.isEmpty() ? deliver(PipelineEvent::Error, errorText(message.get()))
                                      : deliver(PipelineEvent::WriteError, written);
            break;
        }
        case GST_MESSAGE_ELEMENT: {
            const GstStructure *s = gst_message_get_structure(message.get());
            if (gst_structure_has_name(s, noteName(PipelineEvent::Settled))) {
                alive = deliver(PipelineEvent::Settled);
            } else if (gst_structure_has_name(s, noteName(PipelineEvent::View))) {
                m_shared->viewPending.store(false);
                alive = deliver(PipelineEvent::View);
            }
            break;
        }
        default:
            break;
        }
        if (!alive)
            return; // this is gone: message was released first
    }
}

void Pipeline::probe(
    GstElement *element, const char *pad, GstPadProbeType type, GstPadProbeCallback callback)
{
    g_autoptr(GstPad) p = gst_element_get_static_pad(element, pad);
    gst_pad_add_probe(p, type, callback, holder(m_shared), dropHolder);
}

void Pipeline::countFramesAt(GstElement *element)
{
    probe(element, "src", GST_PAD_PROBE_TYPE_BUFFER, countFrame);
}

bool Pipeline::play(QString *error)
{
    m_started = nowMs();
    m_watchdog.start(250);
    if (gst_element_set_state(m_pipeline.get(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE)
        return true;
    *error = QStringLiteral("the pipeline did not start");
    return false;
}

void Pipeline::sendEos()
{
    expectEnd();
    gst_element_send_event(m_pipeline.get(), gst_event_new_eos());
}

void Pipeline::checkFrames()
{
    const qint64 now = nowMs();
    const qint64 frames = m_shared->frames.load();
    QString text;
    if (m_eosSentMs > 0) {
        if (now - m_eosSentMs > firstFrameTimeoutMs)
            text = QStringLiteral("it did not finish within %1 s of its end")
                       .arg(firstFrameTimeoutMs / 1000);
    } else if (frames == 0 && now - m_started > firstFrameTimeoutMs) {
        text = QStringLiteral("no picture within %1 s").arg(firstFrameTimeoutMs / 1000);
    } else if (frames > 0 && !m_shared->limitReached.load()
        && now - m_shared->lastFrameMs.load() > stallTimeoutMs) {
        text = QStringLiteral("no new picture for %1 s after %2 frames")
                   .arg(stallTimeoutMs / 1000)
                   .arg(frames);
    }
    if (text.isEmpty())
        return;
    m_watchdog.stop();
    deliver(PipelineEvent::Timeout, text);
}

GstElement *addElement(GstBin *bin, const char *factory, const char *name)
{
    GstElement *element = gst_element_factory_make(factory, name);
    if (element)
        gst_bin_add(bin, element);
    return element;
}

bool hasFactory(const char *name)
{
    g_autoptr(GstElementFactory) factory = gst_element_factory_find(name);
    return factory != nullptr;
}

void setArg(GstElement *element, const char *property, const char *value)
{
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(element), property))
        gst_util_set_object_arg(G_OBJECT(element), property, value);
}

QString missingPlugin(const char *factory)
{
    return QStringLiteral("GStreamer's %1 element is missing; install gstreamer1.0-plugins-base, "
                          "-good, -bad and -ugly")
        .arg(QLatin1String(factory));
}

GstElement *addSource(GstBin *bin, const QString &sourceName, const SourceMode &mode,
    QString *errorName, QString *error, GstElement **rawOut)
{
    GstElement *source = createSourceElement(sourceName, errorName, error);
    if (!source)
        return nullptr;
    gst_bin_add(bin, source);
    GstElement *caps = addElement(bin, "capsfilter");
    GstElement *decoder = mode.media == "image/jpeg" ? addElement(bin, "jpegdec") : caps;
    if (!caps || !decoder) {
        *errorName = KivAction::cameraFailedError();
        *error = missingPlugin(caps ? "jpegdec" : "capsfilter");
        return nullptr;
    }
    GstRef<GstCaps> filter = adopt(gst_caps_new_simple(mode.media.constData(), "width", G_TYPE_INT,
        mode.size.width(), "height", G_TYPE_INT, mode.size.height(), nullptr));
    if (mode.askFps > 0)
        gst_caps_set_simple(filter.get(), "framerate", GST_TYPE_FRACTION, mode.askFps, 1, nullptr);
    // The test picture is drawn in whatever format is asked: ask for what a camera gives.
    if (sourceName.startsWith(QLatin1String("test")))
        gst_caps_set_simple(filter.get(), "format", G_TYPE_STRING, "I420", nullptr);
    g_object_set(caps, "caps", filter.get(), nullptr);
    gst_element_link(source, caps);
    if (decoder != caps)
        gst_element_link(caps, decoder);
    *rawOut = decoder;
    return caps;
}

} // namespace refcam
