// SPDX-License-Identifier: MIT
#include "gstcapture.h"

#include "console.h"
#include "kivaction_names_p.h"
#include "targetfile.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QtEndian>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace refcam {

void deliver(quint64 serial, int event, const QString &text);

// ---------------------------------------------------------------------------------------
// Output: a path written through TargetFile, or a caller's descriptor.

class CaptureOutput
{
public:
    virtual ~CaptureOutput() = default;
    virtual bool open(QString *error) = 0;
    virtual int fd() const = 0;
    virtual bool seekable() const { return ::lseek(fd(), 0, SEEK_CUR) >= 0; }
    // Keeps what was written; size is what the file holds then.
    virtual bool commit(qint64 *size, QString *error) = 0;
    virtual void discard() = 0;
    virtual QString name() const = 0;
};

namespace {

class PathOutput : public CaptureOutput
{
public:
    explicit PathOutput(const QString &path)
        : m_path(path)
    { }
    bool open(QString *error) override
    {
        if (m_file.open(m_path))
            return true;
        *error = m_file.errorString();
        return false;
    }
    int fd() const override { return m_file.handle(); }
    bool commit(qint64 *size, QString *error) override
    {
        if (!m_file.commit()) {
            *error = QStringLiteral("cannot write %1: %2").arg(m_path, m_file.errorString());
            return false;
        }
        *size = m_file.size();
        return true;
    }
    void discard() override { m_file.discard(); }
    QString name() const override { return m_path; }
    // The size it would have, before commit.
    qint64 pendingSize() const
    {
        struct stat st = {};
        return ::fstat(m_file.handle(), &st) == 0 ? qint64(st.st_size) : -1;
    }

private:
    QString m_path;
    TargetFile m_file;
};

class FdOutput : public CaptureOutput
{
public:
    explicit FdOutput(int fd)
        : m_fd(fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 3) : -1)
    { }
    ~FdOutput() override
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool open(QString *error) override
    {
        struct stat st = {};
        if (m_fd < 0 || ::fstat(m_fd, &st) != 0) {
            *error = QStringLiteral("the file descriptor is not open");
            return false;
        }
        if (S_ISREG(st.st_mode) && (::ftruncate(m_fd, 0) != 0 || ::lseek(m_fd, 0, SEEK_SET) != 0)) {
            *error = QStringLiteral("cannot rewrite the file: %1")
                         .arg(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        return true;
    }
    int fd() const override { return m_fd; }
    bool commit(qint64 *size, QString *error) override
    {
        struct stat st = {};
        if (::fstat(m_fd, &st) != 0 || (S_ISREG(st.st_mode) && ::fdatasync(m_fd) != 0)) {
            *error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        *size = qint64(st.st_size);
        return true;
    }
    void discard() override
    {
        struct stat st = {};
        if (::fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(m_fd, 0) != 0)
            printErr(programPrefix() + QStringLiteral("cannot empty the file after a failure"));
    }
    QString name() const override { return QStringLiteral("file descriptor %1").arg(m_fd); }

private:
    int m_fd;
};

// ---------------------------------------------------------------------------------------
// Pipelines: GStreamer runs them in its threads; what happens there reaches the main
// thread through queued calls, never a GLib main loop (Qt may not have one).

enum Event
{
    EventEos,
    EventError,
    EventSettled,
    EventView,
    EventTimeout,
};

qint64 nowMs()
{
    return g_get_monotonic_time() / 1000;
}

struct Shared
{
    quint64 serial = 0;
    GstElement *pipeline = nullptr; // not owned
    std::atomic<qint64> frames { 0 };
    std::atomic<qint64> lastFrameMs { 0 };
    std::atomic<qint64> firstFrameMs { 0 };
    // Size limit bookkeeping.
    qint64 limit = 0;
    std::atomic<qint64> payload { 0 };
    std::atomic<qint64> samples { 0 };
    std::atomic<qint64> position { 0 };
    std::atomic<qint64> writtenEnd { 0 };
    std::atomic<bool> limitReached { false };
    std::atomic<qint64> refusedFirst { 0 }; // size of a first frame that did not fit
    // Live source frames.
    QMutex lock;
    GstSample *newest = nullptr;
    QImage view;
    std::atomic<bool> viewPending { false };
    ~Shared()
    {
        if (newest)
            gst_sample_unref(newest);
    }
};

QObject *dispatcher()
{
    static QObject *object = new QObject; // lives as long as the process, in the main thread
    return object;
}

QHash<quint64, Pipeline *> &registry()
{
    static QHash<quint64, Pipeline *> pipelines;
    return pipelines;
}

void post(quint64 serial, int event, const QString &text = QString())
{
    QMetaObject::invokeMethod(
        dispatcher(), [serial, event, text] { deliver(serial, event, text); },
        Qt::QueuedConnection);
}

std::shared_ptr<Shared> *holder(const std::shared_ptr<Shared> &shared)
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

GstBusSyncReply busHandler(GstBus *, GstMessage *message, gpointer data)
{
    Shared *shared = fromHolder(data);
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_EOS:
        post(shared->serial, EventEos);
        break;
    case GST_MESSAGE_ERROR: {
        GError *error = nullptr;
        gchar *debug = nullptr;
        gst_message_parse_error(message, &error, &debug);
        QString text = QString::fromUtf8(error ? error->message : "unknown error");
        if (GST_MESSAGE_SRC(message))
            text += QStringLiteral(" (in %1)")
                        .arg(QString::fromUtf8(GST_OBJECT_NAME(GST_MESSAGE_SRC(message))));
        g_clear_error(&error);
        g_free(debug);
        post(shared->serial, EventError, text);
        break;
    }
    default:
        break;
    }
    // Dropping hands the message back to us: each one holds its source element, so an
    // unreleased message keeps the whole pipeline (threads, bus sockets, buffers) alive.
    gst_message_unref(message);
    return GST_BUS_DROP;
}

GstPadProbeReturn countFrame(GstPad *, GstPadProbeInfo *, gpointer data)
{
    Shared *shared = fromHolder(data);
    const qint64 now = nowMs();
    if (shared->frames.fetch_add(1) == 0)
        shared->firstFrameMs.store(now);
    shared->lastFrameMs.store(now);
    return GST_PAD_PROBE_OK;
}

void sendEos(GstElement *pipeline, gpointer)
{
    gst_element_send_event(pipeline, gst_event_new_eos());
}

// Before the muxer: a frame that would take the file past its limit (with room kept for the
// container's index and trailer) is held back, as is everything after it, and the
// recording ends. Dropping the tail never breaks what came before.
GstPadProbeReturn guardLimit(GstPad *, GstPadProbeInfo *info, gpointer data)
{
    Shared *shared = fromHolder(data);
    GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!buffer)
        return GST_PAD_PROBE_OK;
    if (shared->limitReached.load())
        return GST_PAD_PROBE_DROP;
    const qint64 size = qint64(gst_buffer_get_size(buffer));
    const qint64 samples = shared->samples.load() + 1;
    const qint64 projected
        = shared->payload.load() + size + trailerReserve + samples * reservePerFrame;
    if (shared->limit > 0 && projected > shared->limit) {
        if (samples == 1)
            shared->refusedFirst.store(size);
        if (!shared->limitReached.exchange(true))
            gst_element_call_async(shared->pipeline, sendEos, nullptr, nullptr);
        return GST_PAD_PROBE_DROP;
    }
    shared->payload.fetch_add(size);
    shared->samples.store(samples);
    return GST_PAD_PROBE_OK;
}

// At the file: muxers seek back to patch headers, so the size is the highest end written.
GstPadProbeReturn countWritten(GstPad *, GstPadProbeInfo *info, gpointer data)
{
    Shared *shared = fromHolder(data);
    auto add = [shared](qint64 size) {
        const qint64 end = shared->position.fetch_add(size) + size;
        qint64 known = shared->writtenEnd.load();
        while (end > known && !shared->writtenEnd.compare_exchange_weak(known, end)) { }
    };
    if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
        GstEvent *event = GST_PAD_PROBE_INFO_EVENT(info);
        if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
            const GstSegment *segment = nullptr;
            gst_event_parse_segment(event, &segment);
            if (segment->format == GST_FORMAT_BYTES)
                shared->position.store(qint64(segment->start));
        }
    } else if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
        add(qint64(gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info))));
    } else if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
        add(qint64(gst_buffer_list_calculate_size(GST_PAD_PROBE_INFO_BUFFER_LIST(info))));
    }
    return GST_PAD_PROBE_OK;
}

// Newest full-size frame, and the settled event after the first few.
GstFlowReturn newFrame(GstAppSink *sink, gpointer data)
{
    Shared *shared = fromHolder(data);
    GstSample *sample = gst_app_sink_pull_sample(sink);
    if (!sample)
        return GST_FLOW_EOS;
    const qint64 frames = shared->frames.fetch_add(1) + 1;
    shared->lastFrameMs.store(nowMs());
    {
        QMutexLocker lock(&shared->lock);
        if (shared->newest)
            gst_sample_unref(shared->newest);
        shared->newest = sample;
    }
    if (frames == settleFrames)
        post(shared->serial, EventSettled);
    return GST_FLOW_OK;
}

GstFlowReturn newViewFrame(GstAppSink *sink, gpointer data)
{
    Shared *shared = fromHolder(data);
    GstSample *sample = gst_app_sink_pull_sample(sink);
    if (!sample)
        return GST_FLOW_EOS;
    {
        const GstStructure *s = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
        int width = 0;
        int height = 0;
        gst_structure_get_int(s, "width", &width);
        gst_structure_get_int(s, "height", &height);
        GstMapInfo map;
        GstBuffer *buffer = gst_sample_get_buffer(sample);
        if (width > 0 && height > 0 && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            const int stride = int(map.size / gsize(height));
            if (stride >= width * 4) {
                QImage image(map.data, width, height, stride, QImage::Format_RGB32);
                QMutexLocker lock(&shared->lock);
                shared->view = image.copy();
            }
            gst_buffer_unmap(buffer, &map);
        }
    }
    gst_sample_unref(sample);
    if (!shared->viewPending.exchange(true))
        post(shared->serial, EventView);
    return GST_FLOW_OK;
}

} // namespace

class Pipeline
{
public:
    explicit Pipeline(GstElement *pipeline)
        : m_pipeline(pipeline)
        , m_shared(std::make_shared<Shared>())
    {
        static quint64 serials = 0;
        gst_object_ref_sink(m_pipeline);
        m_shared->serial = ++serials;
        m_shared->pipeline = m_pipeline;
        dispatcher();
        registry().insert(m_shared->serial, this);
        GstBus *bus = gst_element_get_bus(m_pipeline);
        gst_bus_set_sync_handler(bus, busHandler, holder(m_shared), dropHolder);
        gst_object_unref(bus);
        QObject::connect(&m_watchdog, &QTimer::timeout, [this] { checkFrames(); });
    }
    ~Pipeline()
    {
        registry().remove(m_shared->serial);
        gst_element_set_state(m_pipeline, GST_STATE_NULL);
        GstBus *bus = gst_element_get_bus(m_pipeline);
        gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
        gst_object_unref(bus);
        gst_object_unref(m_pipeline);
    }
    Pipeline(const Pipeline &) = delete;
    Pipeline &operator=(const Pipeline &) = delete;

    GstElement *element() const { return m_pipeline; }
    Shared *shared() const { return m_shared.get(); }
    std::shared_ptr<Shared> sharedPtr() const { return m_shared; }
    GstElement *child(const char *name) const
    {
        return gst_bin_get_by_name(GST_BIN(m_pipeline), name); // new reference
    }

    void probe(
        GstElement *element, const char *pad, GstPadProbeType type, GstPadProbeCallback callback)
    {
        GstPad *p = gst_element_get_static_pad(element, pad);
        gst_pad_add_probe(p, type, callback, holder(m_shared), dropHolder);
        gst_object_unref(p);
    }
    void countFramesAt(GstElement *element)
    {
        probe(element, "src", GST_PAD_PROBE_TYPE_BUFFER, countFrame);
    }

    bool play(QString *error)
    {
        m_started = nowMs();
        m_watchdog.start(250);
        if (gst_element_set_state(m_pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE)
            return true;
        *error = QStringLiteral("the pipeline did not start");
        return false;
    }
    void sendEos()
    {
        expectEnd();
        gst_element_send_event(m_pipeline, gst_event_new_eos());
    }
    // From now on only a bounded wait for the end is watched.
    void expectEnd() { m_eosSentMs = nowMs(); }
    qint64 endRequestedMs() const { return m_eosSentMs; }

    std::function<void(int, const QString &)> onEvent;

private:
    void checkFrames()
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
        if (onEvent)
            onEvent(EventTimeout, text);
    }

    GstElement *m_pipeline;
    std::shared_ptr<Shared> m_shared;
    QTimer m_watchdog;
    qint64 m_started = 0;
    qint64 m_eosSentMs = 0;
};

namespace {

GstElement *make(const char *factory, const char *name = nullptr)
{
    return gst_element_factory_make(factory, name);
}

bool hasFactory(const char *name)
{
    GstElementFactory *factory = gst_element_factory_find(name);
    if (!factory)
        return false;
    gst_object_unref(factory);
    return true;
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

// The source, made raw at mode's size: src ! [jpegdec] ! capsfilter.
GstElement *addSource(GstBin *bin, const QString &sourceName, const SourceMode &mode,
    QString *errorName, QString *error, GstElement **rawOut)
{
    GstElement *source = createSourceElement(sourceName, errorName, error);
    if (!source)
        return nullptr;
    GstElement *caps = make("capsfilter");
    GstCaps *filter = gst_caps_new_simple(mode.media.constData(), "width", G_TYPE_INT,
        mode.size.width(), "height", G_TYPE_INT, mode.size.height(), nullptr);
    if (mode.askFps > 0)
        gst_caps_set_simple(filter, "framerate", GST_TYPE_FRACTION, mode.askFps, 1, nullptr);
    // The test picture is drawn in whatever format is asked: ask for what a camera gives.
    if (sourceName.startsWith(QLatin1String("test")))
        gst_caps_set_simple(filter, "format", G_TYPE_STRING, "I420", nullptr);
    g_object_set(caps, "caps", filter, nullptr);
    gst_caps_unref(filter);
    gst_bin_add_many(bin, source, caps, nullptr);
    gst_element_link(source, caps);
    GstElement *last = caps;
    if (mode.media == "image/jpeg") {
        GstElement *decoder = make("jpegdec");
        if (!decoder) {
            *errorName = KivAction::cameraFailedError();
            *error = missingPlugin("jpegdec");
            return nullptr;
        }
        gst_bin_add(bin, decoder);
        gst_element_link(caps, decoder);
        last = decoder;
    }
    *rawOut = last;
    return caps;
}

// Crops to the aspect of size (centred) and scales to it: never stretched.
void cropFor(GstElement *crop, const QSize &from, const QSize &to)
{
    qint64 left = 0;
    qint64 top = 0;
    const qint64 fw = from.width();
    const qint64 fh = from.height();
    if (fw * to.height() > fh * to.width())
        left = (fw - fh * to.width() / to.height()) / 2;
    else
        top = (fh - fw * to.height() / to.width()) / 2;
    left &= ~qint64(1);
    top &= ~qint64(1);
    g_object_set(
        crop, "left", int(left), "right", int(left), "top", int(top), "bottom", int(top), nullptr);
}

GstCaps *rawCaps(const char *format, const QSize &size, int fps = 0)
{
    GstCaps *caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, format, "width",
        G_TYPE_INT, size.width(), "height", G_TYPE_INT, size.height(), "pixel-aspect-ratio",
        GST_TYPE_FRACTION, 1, 1, nullptr);
    if (fps > 0)
        gst_caps_set_simple(caps, "framerate", GST_TYPE_FRACTION, fps, 1, nullptr);
    return caps;
}

} // namespace

void deliverTo(Pipeline *pipeline, int event, const QString &text)
{
    if (event == EventView)
        pipeline->shared()->viewPending.store(false);
    if (pipeline->onEvent)
        pipeline->onEvent(event, text);
}

void deliver(quint64 serial, int event, const QString &text)
{
    Pipeline *pipeline = registry().value(serial);
    if (pipeline)
        deliverTo(pipeline, event, text);
}

// ---------------------------------------------------------------------------------------

VideoProfile videoProfile(const QString &quality)
{
    if (quality == KivAction::Value::medium())
        return VideoProfile { KivAction::Value::medium(), QSize(1280, 720), 30, 2500 };
    if (quality == KivAction::Value::lowest())
        return VideoProfile { KivAction::Value::lowest(), QSize(640, 480), 15, 600 };
    return VideoProfile { KivAction::Value::highest(), QSize(1920, 1080), 30, 5000 };
}

QString videoProfileTable()
{
    QStringList lines;
    for (const QString &quality :
        { KivAction::Value::highest(), KivAction::Value::medium(), KivAction::Value::lowest() }) {
        const VideoProfile p = videoProfile(quality);
        lines << QStringLiteral("%1 %2x%3@%4 %5 kbit/s")
                     .arg(p.quality)
                     .arg(p.size.width())
                     .arg(p.size.height())
                     .arg(p.fps)
                     .arg(p.kbps);
    }
    return lines.join(QStringLiteral(", "));
}

QStringList installedH264Encoders()
{
    ensureGstreamer();
    QStringList found;
    for (const char *name : { "openh264enc", "x264enc", "v4l2h264enc" })
        if (hasFactory(name))
            found << QLatin1String(name);
    return found;
}

QString pickH264Encoder(const QString &wanted, QString *error)
{
    const QStringList found = installedH264Encoders();
    if (!wanted.isEmpty()) {
        if (found.contains(wanted))
            return wanted;
        *error
            = QStringLiteral("the H.264 encoder %1 is not installed (installed: %2)")
                  .arg(wanted,
                      found.isEmpty() ? QStringLiteral("none") : found.join(QStringLiteral(", ")));
        return QString();
    }
    if (found.isEmpty())
        *error = QStringLiteral("no H.264 encoder is installed; install gstreamer1.0-plugins-bad "
                                "(openh264enc) or gstreamer1.0-plugins-ugly (x264enc), or ask "
                                "for a .webm file");
    return found.value(0);
}

int exifOrientation(int degrees)
{
    switch (((degrees % 360) + 360) % 360) {
    case 90:
        return 6;
    case 180:
        return 3;
    case 270:
        return 8;
    default:
        return 1;
    }
}

QByteArray exifSegment(const ExifFields &fields)
{
    struct Entry
    {
        quint16 tag;
        quint16 type; // 2 ASCII, 3 SHORT, 4 LONG, 7 UNDEFINED
        QByteArray data; // big-endian payload
        quint32 count;
    };
    auto ascii = [](quint16 tag, const QString &text) {
        QByteArray data = text.toUtf8().left(255);
        data.append('\0');
        return Entry { tag, 2, data, quint32(data.size()) };
    };
    auto shortValue = [](quint16 tag, quint16 value) {
        QByteArray data(4, '\0');
        qToBigEndian(value, data.data());
        return Entry { tag, 3, data, 1 };
    };
    auto longValue = [](quint16 tag, quint32 value) {
        QByteArray data(4, '\0');
        qToBigEndian(value, data.data());
        return Entry { tag, 4, data, 1 };
    };
    const QString stamp = fields.taken.toString(QStringLiteral("yyyy:MM:dd HH:mm:ss"));
    QList<Entry> ifd0 { ascii(0x010F, fields.make), ascii(0x0110, fields.model),
        shortValue(0x0112, quint16(fields.orientation)), ascii(0x0131, fields.software),
        ascii(0x0132, stamp), longValue(0x8769, 0) };
    QList<Entry> exif { Entry { 0x9000, 7, QByteArray("0232"), 4 }, ascii(0x9003, stamp),
        longValue(0xA002, quint32(fields.size.width())),
        longValue(0xA003, quint32(fields.size.height())) };

    const quint32 ifd0At = 8;
    const quint32 exifAt = ifd0At + 2 + 12 * quint32(ifd0.size()) + 4;
    quint32 dataAt = exifAt + 2 + 12 * quint32(exif.size()) + 4;
    ifd0.last().data = QByteArray(4, '\0');
    qToBigEndian(exifAt, ifd0.last().data.data());

    QByteArray tiff("MM\0\x2a\0\0\0\x08", 8);
    QByteArray extra;
    auto writeIfd = [&](const QList<Entry> &entries) {
        char word[4];
        qToBigEndian(quint16(entries.size()), word);
        tiff.append(word, 2);
        for (const Entry &e : entries) {
            qToBigEndian(e.tag, word);
            tiff.append(word, 2);
            qToBigEndian(e.type, word);
            tiff.append(word, 2);
            qToBigEndian(e.count, word);
            tiff.append(word, 4);
            if (e.data.size() <= 4) {
                tiff.append(e.data.leftJustified(4, '\0'));
            } else {
                qToBigEndian(dataAt + quint32(extra.size()), word);
                tiff.append(word, 4);
                extra.append(e.data);
                if (extra.size() % 2)
                    extra.append('\0');
            }
        }
        tiff.append(QByteArray(4, '\0')); // no next IFD
    };
    writeIfd(ifd0);
    writeIfd(exif);
    tiff.append(extra);

    QByteArray segment("\xFF\xE1", 2);
    char length[2];
    qToBigEndian(quint16(2 + 6 + tiff.size()), length);
    segment.append(length, 2);
    segment.append(QByteArray("Exif\0\0", 6));
    segment.append(tiff);
    return segment;
}

QByteArray insertExif(const QByteArray &jpeg, const QByteArray &segment)
{
    if (jpeg.size() < 4 || uchar(jpeg[0]) != 0xFF || uchar(jpeg[1]) != 0xD8)
        return jpeg;
    int rest = 2;
    // The JFIF header gives way: EXIF wants to come first.
    if (uchar(jpeg[2]) == 0xFF && uchar(jpeg[3]) == 0xE0 && jpeg.size() > 6)
        rest = 4 + ((uchar(jpeg[4]) << 8) | uchar(jpeg[5]));
    return jpeg.left(2) + segment + jpeg.mid(rest);
}

QString formatForPath(bool video, const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (!video)
        return suffix == QLatin1String("png") ? QStringLiteral("png") : QStringLiteral("jpeg");
    if (suffix == QLatin1String("webm") || suffix == QLatin1String("mkv")
        || suffix == QLatin1String("y4m"))
        return suffix;
    return QStringLiteral("mp4");
}

QString suffixForFormat(const QString &format)
{
    if (format == QLatin1String("jpeg"))
        return QStringLiteral(".jpg");
    return QLatin1Char('.') + format;
}

// ---------------------------------------------------------------------------------------

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

    GstElement *pipeline = gst_pipeline_new("live");
    GstElement *raw = nullptr;
    GstElement *caps = addSource(GST_BIN(pipeline), sourceName, mode, errorName, error, &raw);
    if (!caps) {
        gst_object_unref(gst_object_ref_sink(pipeline));
        return false;
    }
    GstElement *tee = make("tee");
    GstElement *queue = make("queue");
    GstElement *sink = make("appsink", "full");
    g_object_set(queue, "leaky", 2, "max-size-buffers", 1u, nullptr);
    g_object_set(sink, "max-buffers", 1u, "drop", TRUE, "sync", FALSE, nullptr);
    gst_bin_add_many(GST_BIN(pipeline), tee, queue, sink, nullptr);
    gst_element_link_many(raw, tee, queue, sink, nullptr);
    auto *p = new Pipeline(pipeline);
    GstAppSinkCallbacks callbacks = {};
    callbacks.new_sample = newFrame;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, holder(p->sharedPtr()), dropHolder);
    if (viewfinder) {
        GstElement *vq = make("queue");
        GstElement *scale = make("videoscale");
        GstElement *convert = make("videoconvert");
        GstElement *vcaps = make("capsfilter");
        GstElement *vsink = make("appsink", "view");
        g_object_set(vq, "leaky", 2, "max-size-buffers", 1u, nullptr);
        QSize small = mode.size;
        small.scale(QSize(640, 360), Qt::KeepAspectRatio);
        GstCaps *c = rawCaps("BGRx", QSize(small.width() & ~1, small.height() & ~1));
        g_object_set(vcaps, "caps", c, nullptr);
        gst_caps_unref(c);
        g_object_set(vsink, "max-buffers", 1u, "drop", TRUE, "sync", FALSE, nullptr);
        gst_bin_add_many(GST_BIN(pipeline), vq, scale, convert, vcaps, vsink, nullptr);
        gst_element_link_many(tee, vq, scale, convert, vcaps, vsink, nullptr);
        GstAppSinkCallbacks viewCallbacks = {};
        viewCallbacks.new_sample = newViewFrame;
        gst_app_sink_set_callbacks(
            GST_APP_SINK(vsink), &viewCallbacks, holder(p->sharedPtr()), dropHolder);
    }
    m_pipeline = p;
    m_sourceName = sourceName;
    m_mode = mode;
    m_viewfinder = viewfinder;
    p->onEvent = [this](int event, const QString &text) {
        switch (event) {
        case EventSettled:
            Q_EMIT settled();
            break;
        case EventView:
            Q_EMIT viewFrame();
            break;
        case EventEos:
        case EventError:
        case EventTimeout: {
            const bool started = m_pipeline && m_pipeline->shared()->frames.load() > 0;
            const QString sourceName = m_sourceName;
            const QString why
                = event == EventEos ? QStringLiteral("the picture stream ended") : text;
            stopNow();
            forgetSource(sourceName);
            Q_EMIT failed(
                started ? KivAction::cameraFailedError() : KivAction::noCameraDeviceError(),
                QStringLiteral("camera %1 %2: %3; check that no other program uses it and that "
                               "it is plugged in, or run with --source test for a test picture")
                    .arg(sourceName,
                        started ? QStringLiteral("stopped") : QStringLiteral("did not start"),
                        why));
            break;
        }
        default:
            break;
        }
    };
    if (!p->play(error)) {
        stopNow();
        forgetSource(sourceName);
        *errorName = KivAction::noCameraDeviceError();
        *error = QStringLiteral("camera %1 could not start (busy, gone or no permission); close "
                                "other camera programs, or run with --source test for a test "
                                "picture")
                     .arg(sourceName);
        return false;
    }
    return true;
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
    return shared->newest ? gst_sample_ref(shared->newest) : nullptr;
}

QImage LiveSource::viewImage() const
{
    if (!m_pipeline)
        return QImage();
    Shared *shared = m_pipeline->shared();
    QMutexLocker lock(&shared->lock);
    return shared->view;
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
    delete m_pipeline;
    m_pipeline = nullptr;
    m_sourceName.clear();
}

// ---------------------------------------------------------------------------------------

namespace {

bool writeAll(int fd, const QByteArray &data, QString *error)
{
    qint64 done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        done += n;
    }
    return true;
}

QSize sampleSize(GstSample *sample)
{
    const GstStructure *s = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
    int width = 0;
    int height = 0;
    gst_structure_get_int(s, "width", &width);
    gst_structure_get_int(s, "height", &height);
    return QSize(width, height);
}

QSize even(const QSize &size)
{
    return QSize(qMax(2, size.width() & ~1), qMax(2, size.height() & ~1));
}

} // namespace

VideoProfile cappedVideoProfile(
    const QString &quality, const QList<SourceMode> &modes, SourceMode *picked)
{
    VideoProfile profile = videoProfile(quality);
    const SourceMode mode = pickMode(modes, profile.size);
    if (mode.size.width() < profile.size.width() || mode.size.height() < profile.size.height())
        profile.size = mode.size;
    profile.size = even(profile.size);
    profile.fps = qMax(1, qMin(profile.fps, mode.maxFps));
    if (picked)
        *picked = mode;
    return profile;
}

CaptureJob::CaptureJob(const CaptureSettings &settings, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
{
    ensureGstreamer();
    qRegisterMetaType<refcam::CaptureResult>();
    if (m_settings.frame)
        gst_sample_ref(m_settings.frame);
    if (m_settings.format.isEmpty())
        m_settings.format = settings.video ? QStringLiteral("mp4") : QStringLiteral("jpeg");
    m_recordTimer.setSingleShot(true);
    connect(&m_recordTimer, &QTimer::timeout, this, &CaptureJob::stop);
}

CaptureJob *CaptureJob::intoPath(
    const CaptureSettings &settings, const QString &path, QObject *parent)
{
    auto *job = new CaptureJob(settings, parent);
    job->m_output.reset(new PathOutput(path));
    return job;
}

CaptureJob *CaptureJob::intoFd(const CaptureSettings &settings, int fd, QObject *parent)
{
    auto *job = new CaptureJob(settings, parent);
    job->m_output.reset(new FdOutput(fd));
    return job;
}

CaptureJob::~CaptureJob()
{
    cancel();
    if (m_settings.frame)
        gst_sample_unref(m_settings.frame);
}

void CaptureJob::start()
{
    if (m_running)
        return;
    m_running = true;
    m_elapsed.start();
    QString error;
    if (!m_output->open(&error)) {
        fail(QString(), error);
        return;
    }
    if (!m_settings.frame) {
        m_source = probeSource(m_settings.source);
        if (!m_source.ok()) {
            fail(m_source.errorName, m_source.errorMessage);
            return;
        }
    }
    if (m_settings.video)
        startVideo();
    else
        startPhoto();
}

void CaptureJob::startPhoto()
{
    if (m_settings.frame) {
        m_size
            = m_settings.photoSize.isValid() ? m_settings.photoSize : sampleSize(m_settings.frame);
        encodePhoto(m_settings.frame);
        return;
    }
    m_size
        = m_settings.photoSize.isValid() ? m_settings.photoSize : m_source.modes.constFirst().size;
    m_mode = pickMode(m_source.modes, m_size);
    LiveSource *live = LiveSource::instance();
    QString errorName;
    QString error;
    if (!live->use(m_settings.source, m_mode, false, &errorName, &error)) {
        fail(errorName, error);
        return;
    }
    auto take = [this, live] {
        disconnect(m_liveConnection);
        GstSample *sample = live->newestFrame();
        live->release();
        if (!sample) {
            fail(KivAction::cameraFailedError(), QStringLiteral("the camera gave no picture"));
            return;
        }
        encodePhoto(sample);
        gst_sample_unref(sample);
    };
    if (live->isSettled()) {
        take();
        return;
    }
    m_liveConnection = connect(live, &LiveSource::settled, this, take);
    // Whatever happens to the live source (another capture may take it), never wait forever.
    QTimer::singleShot(firstFrameTimeoutMs + 2000, this, [this] {
        if (m_running && !m_pipeline)
            fail(KivAction::cameraFailedError(),
                QStringLiteral("camera %1 gave no settled picture within %2 s; check that no "
                               "other program uses it")
                    .arg(m_source.name)
                    .arg(firstFrameTimeoutMs / 1000 + 2));
    });
    connect(live, &LiveSource::failed, this, [this](const QString &name, const QString &text) {
        if (m_running && !m_pipeline)
            fail(name, text);
    });
}

void CaptureJob::encodePhoto(GstSample *sample)
{
    const bool png = m_settings.format == QLatin1String("png");
    const QSize from = sampleSize(sample);
    GstElement *pipeline = gst_pipeline_new("photo");
    GstElement *src = make("appsrc");
    GstElement *crop = make("videocrop");
    GstElement *scale = make("videoscale");
    GstElement *convert = make("videoconvert");
    GstElement *caps = make("capsfilter");
    GstElement *encoder = make(png ? "pngenc" : "jpegenc");
    GstElement *sink = make("appsink");
    if (!src || !crop || !scale || !convert || !caps || !encoder || !sink) {
        gst_object_unref(gst_object_ref_sink(pipeline));
        fail(KivAction::cameraFailedError(), missingPlugin(png ? "pngenc" : "jpegenc"));
        return;
    }
    g_object_set(src, "caps", gst_sample_get_caps(sample), "format", GST_FORMAT_TIME, nullptr);
    cropFor(crop, from, m_size);
    // 4:2:0 keeps a JPEG a quarter smaller than the 4:4:4 the encoder would pick.
    GstCaps *filter = rawCaps(png ? "RGB" : "I420", m_size);
    g_object_set(caps, "caps", filter, nullptr);
    gst_caps_unref(filter);
    if (!png)
        g_object_set(encoder, "quality", 92, nullptr);
    // The encoded photo is pulled once the end is reported, not before.
    g_object_set(sink, "sync", FALSE, "wait-on-eos", FALSE, nullptr);
    gst_bin_add_many(GST_BIN(pipeline), src, crop, scale, convert, caps, encoder, sink, nullptr);
    gst_element_link_many(src, crop, scale, convert, caps, encoder, sink, nullptr);
    m_appsink = sink;
    m_pipeline = new Pipeline(pipeline);
    m_pipeline->onEvent = [this](int event, const QString &text) {
        if (event == EventEos)
            photoEncoded();
        else if (event == EventError || event == EventTimeout)
            fail(KivAction::cameraFailedError(),
                QStringLiteral("cannot encode the photo: %1").arg(text));
    };
    QString error;
    if (!m_pipeline->play(&error)) {
        fail(KivAction::cameraFailedError(),
            QStringLiteral("cannot encode the photo: %1").arg(error));
        return;
    }
    m_pipeline->expectEnd();
    // A shallow copy stamped at zero: the live source's clock means nothing here.
    GstBuffer *buffer = gst_buffer_copy(gst_sample_get_buffer(sample));
    GST_BUFFER_PTS(buffer) = 0;
    GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
    gst_app_src_push_buffer(GST_APP_SRC(src), buffer);
    gst_app_src_end_of_stream(GST_APP_SRC(src));
    m_description = QStringLiteral("%1x%2 %3 from %4 at %5x%6")
                        .arg(m_size.width())
                        .arg(m_size.height())
                        .arg(png ? QStringLiteral("PNG") : QStringLiteral("JPEG"),
                            m_settings.frame ? QStringLiteral("the viewfinder") : m_source.name)
                        .arg(from.width())
                        .arg(from.height());
}

void CaptureJob::photoEncoded()
{
    GstSample *sample = gst_app_sink_try_pull_sample(GST_APP_SINK(m_appsink), 0);
    QByteArray bytes;
    if (sample) {
        GstBuffer *buffer = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            bytes = QByteArray(reinterpret_cast<const char *>(map.data), int(map.size));
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
    }
    delete m_pipeline;
    m_pipeline = nullptr;
    m_appsink = nullptr;
    if (bytes.isEmpty()) {
        fail(KivAction::cameraFailedError(), QStringLiteral("the photo encoder gave nothing"));
        return;
    }
    if (m_settings.format != QLatin1String("png")) {
        ExifFields exif;
        exif.make = QStringLiteral("libcamerauiservice");
        exif.model = m_settings.frame ? m_settings.source : m_source.name;
        exif.software = QStringLiteral("reference-camera %1")
                            .arg(QCoreApplication::applicationVersion())
                            .trimmed();
        exif.taken = QDateTime::currentDateTime();
        exif.size = m_size;
        int degrees = m_settings.orientationDegrees;
        if (degrees < 0)
            degrees = m_settings.frame ? 0 : qMax(0, m_source.rotation);
        exif.orientation = exifOrientation(degrees);
        bytes = insertExif(bytes, exifSegment(exif));
    }
    QString error;
    if (!writeAll(m_output->fd(), bytes, &error)) {
        fail(QString(), QStringLiteral("cannot write %1: %2").arg(m_output->name(), error));
        return;
    }
    succeed(m_description);
}

void CaptureJob::startVideo()
{
    LiveSource::instance()->release(true); // the device is ours alone now
    const QString format = m_settings.format;
    const VideoProfile profile
        = cappedVideoProfile(m_settings.videoQuality, m_source.modes, &m_mode);
    const QSize size = profile.size;
    m_size = size;
    const int fps = profile.fps;

    QString error;
    QString encoderName;
    if (format == QLatin1String("mp4") || format == QLatin1String("mkv")) {
        encoderName = pickH264Encoder(m_settings.encoder, &error);
        if (encoderName.isEmpty()) {
            fail(KivAction::cameraFailedError(), error);
            return;
        }
    } else if (format == QLatin1String("webm")) {
        encoderName = QStringLiteral("vp8enc");
    }
    if (format == QLatin1String("mp4") && !m_output->seekable()) {
        fail(QString(),
            QStringLiteral("%1 cannot seek, which an MP4 file needs; ask for .mkv or .webm")
                .arg(m_output->name()));
        return;
    }

    GstElement *pipeline = gst_pipeline_new("recording");
    GstElement *raw = nullptr;
    QString errorName;
    GstElement *sourceCaps
        = addSource(GST_BIN(pipeline), m_settings.source, m_mode, &errorName, &error, &raw);
    if (!sourceCaps) {
        gst_object_unref(gst_object_ref_sink(pipeline));
        fail(errorName, error);
        return;
    }
    GstElement *rate = make("videorate");
    GstElement *crop = make("videocrop");
    GstElement *scale = make("videoscale");
    GstElement *convert = make("videoconvert");
    GstElement *caps = make("capsfilter");
    GstElement *queue = make("queue");
    GstElement *encoder
        = encoderName.isEmpty() ? make("y4menc") : make(encoderName.toUtf8().constData());
    GstElement *parse = nullptr;
    GstElement *parsed = nullptr;
    GstElement *mux = nullptr;
    if (format == QLatin1String("mp4"))
        mux = make("mp4mux");
    else if (format == QLatin1String("mkv"))
        mux = make("matroskamux");
    else if (format == QLatin1String("webm"))
        mux = make("webmmux");
    if (format == QLatin1String("mp4") || format == QLatin1String("mkv")) {
        parse = make("h264parse");
        parsed = make("capsfilter");
    }
    GstElement *sink = make("fdsink");
    const bool needsMux = format != QLatin1String("y4m");
    if (!rate || !crop || !scale || !convert || !caps || !queue || !encoder || !sink
        || (needsMux && !mux) || ((parse == nullptr) != (parsed == nullptr))) {
        gst_object_unref(gst_object_ref_sink(pipeline));
        fail(KivAction::cameraFailedError(),
            QStringLiteral("an element for %1 recordings is missing (%2); install "
                           "gstreamer1.0-plugins-base, -good, -bad and -ugly")
                .arg(format, encoderName.isEmpty() ? QStringLiteral("y4menc") : encoderName));
        return;
    }
    g_object_set(rate, "drop-only", TRUE, nullptr);
    cropFor(crop, m_mode.size, size);
    // 8-bit 4:2:0 for every encoder: anything else may not play elsewhere.
    GstCaps *filter = rawCaps("I420", size, fps);
    g_object_set(caps, "caps", filter, nullptr);
    gst_caps_unref(filter);
    g_object_set(
        queue, "max-size-buffers", 5u, "max-size-bytes", 0u, "max-size-time", guint64(0), nullptr);
    const QByteArray gop = QByteArray::number(fps * 2);
    if (encoderName == QLatin1String("x264enc")) {
        g_object_set(encoder, "bitrate", guint(profile.kbps), nullptr);
        setArg(encoder, "speed-preset", "fast");
        setArg(encoder, "tune", "zerolatency");
        setArg(encoder, "key-int-max", gop.constData());
    } else if (encoderName == QLatin1String("openh264enc")) {
        g_object_set(encoder, "bitrate", guint(profile.kbps * 1000), nullptr);
        setArg(encoder, "rate-control", "bitrate");
        setArg(encoder, "gop-size", gop.constData());
    } else if (encoderName == QLatin1String("vp8enc")) {
        // Realtime deadlines, or it falls far behind a live source under load.
        g_object_set(encoder, "target-bitrate", gint(profile.kbps * 1000), nullptr);
        setArg(encoder, "deadline", "1");
        setArg(encoder, "cpu-used", "8");
        setArg(encoder, "lag-in-frames", "0");
        setArg(encoder, "end-usage", "cbr");
        setArg(encoder, "keyframe-max-dist", gop.constData());
        setArg(encoder, "threads", "2");
    }
    g_object_set(sink, "fd", m_output->fd(), "sync", FALSE, nullptr);
    gst_bin_add_many(
        GST_BIN(pipeline), rate, crop, scale, convert, caps, queue, encoder, sink, nullptr);
    bool linked
        = gst_element_link_many(raw, rate, crop, scale, convert, caps, queue, encoder, nullptr);
    GstElement *beforeMux = encoder;
    if (parse) {
        GstCaps *avc = gst_caps_new_simple("video/x-h264", "stream-format", G_TYPE_STRING, "avc",
            "alignment", G_TYPE_STRING, "au", nullptr);
        g_object_set(parsed, "caps", avc, nullptr);
        gst_caps_unref(avc);
        gst_bin_add_many(GST_BIN(pipeline), parse, parsed, nullptr);
        linked = linked && gst_element_link_many(encoder, parse, parsed, nullptr);
        beforeMux = parsed;
    }
    if (mux) {
        gst_bin_add(GST_BIN(pipeline), mux);
        linked = linked && gst_element_link_many(beforeMux, mux, sink, nullptr);
    } else {
        linked = linked && gst_element_link(beforeMux, sink);
    }
    m_pipeline = new Pipeline(pipeline);
    if (!linked) {
        fail(KivAction::cameraFailedError(),
            QStringLiteral("cannot build the %1 recording from %2").arg(format, m_source.name));
        return;
    }
    m_pipeline->shared()->limit = m_settings.sizeLimit;
    m_pipeline->countFramesAt(sourceCaps);
    m_pipeline->probe(beforeMux, "src", GST_PAD_PROBE_TYPE_BUFFER, guardLimit);
    m_pipeline->probe(sink, "sink",
        GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST
            | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
        countWritten);
    m_pipeline->onEvent = [this](int event, const QString &text) {
        if (event == EventEos) {
            videoEnded();
            return;
        }
        if (event != EventError && event != EventTimeout)
            return;
        const bool started = m_pipeline->shared()->frames.load() > 0;
        forgetSource(m_settings.source);
        fail(started ? KivAction::cameraFailedError() : KivAction::noCameraDeviceError(),
            QStringLiteral("camera %1 %2: %3; no file was kept. Check that it is plugged in and "
                           "that no other program uses it, or run with --source test for a test "
                           "picture")
                .arg(m_source.name,
                    started ? QStringLiteral("stopped while recording")
                            : QStringLiteral("did not start"),
                    text));
    };
    m_description
        = QStringLiteral("%1 %2x%3@%4 %5%6 from %7 at %8x%9")
              .arg(profile.quality)
              .arg(size.width())
              .arg(size.height())
              .arg(fps)
              .arg(format.toUpper(),
                  encoderName.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(encoderName),
                  m_source.name)
              .arg(m_mode.size.width())
              .arg(m_mode.size.height());
    printOut(programPrefix()
        + QStringLiteral("recording %1 for %2; qualities: %3")
              .arg(m_description,
                  m_settings.recordMs > 0 ? QStringLiteral("%1 ms").arg(m_settings.recordMs)
                                          : QStringLiteral("until stopped"),
                  videoProfileTable()));
    if (!m_pipeline->play(&error)) {
        forgetSource(m_settings.source);
        fail(KivAction::noCameraDeviceError(),
            QStringLiteral("camera %1 could not start (busy, gone or no permission); close other "
                           "camera programs, or run with --source test for a test picture")
                .arg(m_source.name));
        return;
    }
    if (m_settings.recordMs > 0)
        m_recordTimer.start(m_settings.recordMs);
}

void CaptureJob::stop()
{
    if (!m_running || !m_settings.video || !m_pipeline || m_stopRequested)
        return;
    // A recording stopped before its first frame still gets one: an empty file plays nothing.
    if (m_pipeline->shared()->samples.load() == 0) {
        m_recordTimer.start(50);
        return;
    }
    m_stopRequested = true;
    m_recordTimer.stop();
    m_pipeline->sendEos();
}

void CaptureJob::videoEnded()
{
    Shared *shared = m_pipeline->shared();
    const bool limited = shared->limitReached.load();
    const qint64 samples = shared->samples.load();
    const qint64 refused = shared->refusedFirst.load();
    const qint64 written = shared->writtenEnd.load();
    const qint64 frames = shared->frames.load();
    const qint64 firstMs = shared->firstFrameMs.load();
    const qint64 spanMs = m_pipeline->endRequestedMs() - firstMs;
    delete m_pipeline;
    m_pipeline = nullptr;
    m_recordTimer.stop();
    if (!m_stopRequested && !limited) {
        fail(KivAction::cameraFailedError(),
            QStringLiteral("camera %1 stopped sending pictures after %2 ms (%3 frames); no file "
                           "was kept. Check that it is still plugged in")
                .arg(m_source.name)
                .arg(m_elapsed.elapsed())
                .arg(frames));
        return;
    }
    const qint64 limit = m_settings.sizeLimit;
    if (samples == 0) {
        fail(KivAction::cameraFailedError(),
            QStringLiteral("videoSizeLimitation %1 bytes is too small for one key frame of %2 "
                           "(%3 bytes with the container's reserve of %4); ask for a larger "
                           "limit or a lower videoQuality")
                .arg(limit)
                .arg(m_description)
                .arg(refused + trailerReserve + reservePerFrame)
                .arg(trailerReserve + reservePerFrame));
        return;
    }
    // Far fewer frames than the length calls for plays as a still picture: not a recording.
    const int fps = cappedVideoProfile(m_settings.videoQuality, m_source.modes).fps;
    const qint64 expected = firstMs > 0 ? fps * spanMs / 1000 : 0;
    if (!limited && samples * 5 < expected * 4) {
        fail(KivAction::cameraFailedError(),
            QStringLiteral("camera %1 gave %2 frames for %3 ms at %4 fps, fewer than 80 % of "
                           "the %5 expected; no file was kept. Check that no other program "
                           "uses the camera, or ask for a lower videoQuality")
                .arg(m_source.name)
                .arg(samples)
                .arg(spanMs)
                .arg(fps)
                .arg(expected));
        return;
    }
    qint64 size = 0;
    QString error;
    if (limit > 0 && written > limit) {
        fail(KivAction::cameraFailedError(),
            QStringLiteral("the recording came to %1 bytes, over the videoSizeLimitation of %2 "
                           "bytes; no file was kept. Ask for a larger limit or a lower "
                           "videoQuality")
                .arg(written)
                .arg(limit));
        return;
    }
    if (!m_output->commit(&size, &error)) {
        fail(QString(), error);
        return;
    }
    if (limit > 0 && size > limit) {
        // Committed already: a path is replaced, so remove what broke the promise.
        m_output->discard();
        if (auto *path = dynamic_cast<PathOutput *>(m_output.get()))
            ::unlink(QFile::encodeName(path->name()).constData());
        fail(KivAction::cameraFailedError(),
            QStringLiteral("the recording came to %1 bytes, over the videoSizeLimitation of %2 "
                           "bytes; no file was kept. Ask for a larger limit or a lower "
                           "videoQuality")
                .arg(size)
                .arg(limit));
        return;
    }
    m_running = false;
    CaptureResult result;
    result.ok = true;
    result.bytes = size;
    result.description = m_description
        + QStringLiteral(", %1 frames%2")
              .arg(samples)
              .arg(limited
                      ? QStringLiteral(", ended early at the size limit of %1 bytes").arg(limit)
                      : QString());
    QMetaObject::invokeMethod(
        this, [this, result] { Q_EMIT finished(result); }, Qt::QueuedConnection);
}

void CaptureJob::succeed(const QString &description)
{
    qint64 size = 0;
    QString error;
    if (!m_output->commit(&size, &error)) {
        fail(QString(), error);
        return;
    }
    m_running = false;
    CaptureResult result;
    result.ok = true;
    result.bytes = size;
    result.description = description;
    QMetaObject::invokeMethod(
        this, [this, result] { Q_EMIT finished(result); }, Qt::QueuedConnection);
}

void CaptureJob::fail(const QString &errorName, const QString &message)
{
    if (!m_running)
        return;
    m_running = false;
    disconnect(m_liveConnection);
    m_recordTimer.stop();
    delete m_pipeline;
    m_pipeline = nullptr;
    m_appsink = nullptr;
    if (m_output)
        m_output->discard();
    CaptureResult result;
    result.errorName = errorName;
    result.message = message;
    QMetaObject::invokeMethod(
        this, [this, result] { Q_EMIT finished(result); }, Qt::QueuedConnection);
}

void CaptureJob::cancel()
{
    const bool wasRunning = m_running;
    m_running = false;
    disconnect(m_liveConnection);
    m_recordTimer.stop();
    delete m_pipeline;
    m_pipeline = nullptr;
    m_appsink = nullptr;
    if (wasRunning && m_output)
        m_output->discard();
    // No finished() for a cancelled job, even one already queued.
    blockSignals(true);
}

} // namespace refcam
