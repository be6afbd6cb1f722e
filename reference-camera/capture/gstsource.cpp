// SPDX-License-Identifier: MIT
#include "gstsource.h"

#include "devicemonitor.h"
#include "encoding.h"
#include "gstref.h"
#include "kivaction_names_p.h"
#include "portalsource.h"

#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

#include <gst/gst.h>

#include <algorithm>

namespace refcam {

namespace {

struct ParsedSpec
{
    QString kind; // auto, test, v4l2, libcamera, pipewire, portal
    QString detail; // pattern, device path or name
    int stopAfter = 0;
};

QString noDeviceHint()
{
    return QStringLiteral("; connect a camera or run with --source test for a test picture");
}

bool parseSpec(const QString &sourceName, ParsedSpec *parsed, QString *error)
{
    const QString text = sourceName.trimmed();
    const int colon = text.indexOf(QLatin1Char(':'));
    parsed->kind = (colon < 0 ? text : text.left(colon)).toLower();
    parsed->detail = colon < 0 ? QString() : text.mid(colon + 1).trimmed();
    if (parsed->kind == QLatin1String("auto")) {
        if (colon >= 0) {
            *error = QStringLiteral("'auto' takes no name; use v4l2:, libcamera: or pipewire:");
            return false;
        }
        return true;
    }
    if (parsed->kind == QLatin1String("test")) {
        const int comma = parsed->detail.indexOf(QLatin1Char(','));
        if (comma >= 0) {
            const QString extra = parsed->detail.mid(comma + 1).trimmed();
            parsed->detail = parsed->detail.left(comma).trimmed();
            bool ok = false;
            if (extra.startsWith(QLatin1String("stop-after=")))
                parsed->stopAfter = extra.mid(11).toInt(&ok);
            if (!ok || parsed->stopAfter < 1) {
                *error = QStringLiteral("'%1' is not understood; the test source takes "
                                        "test:PATTERN or test:PATTERN,stop-after=FRAMES")
                             .arg(extra);
                return false;
            }
        }
        if (parsed->detail.isEmpty())
            parsed->detail = QStringLiteral("smpte");
        ensureGstreamer();
        GstElement *made = gst_element_factory_make("videotestsrc", nullptr);
        if (!made) {
            *error = QStringLiteral(
                "GStreamer's videotestsrc is missing; install gstreamer1.0-plugins-base");
            return false;
        }
        GstRef<GstElement> probe(GST_ELEMENT(gst_object_ref_sink(made)));
        GParamSpec *property
            = g_object_class_find_property(G_OBJECT_GET_CLASS(probe.get()), "pattern");
        g_autoptr(GEnumClass) patterns = G_ENUM_CLASS(g_type_class_ref(property->value_type));
        const bool known = g_enum_get_value_by_nick(patterns, parsed->detail.toUtf8().constData());
        QStringList names;
        for (guint i = 0; i < patterns->n_values; ++i)
            names << QString::fromUtf8(patterns->values[i].value_nick);
        if (!known) {
            *error = QStringLiteral("the test source has no pattern '%1'; use one of %2")
                         .arg(parsed->detail, names.join(QStringLiteral(", ")));
            return false;
        }
        return true;
    }
    if (parsed->kind == QLatin1String("v4l2")) {
        if (!parsed->detail.startsWith(QLatin1String("/dev/"))) {
            *error = QStringLiteral("v4l2: wants a device path, e.g. v4l2:/dev/video0");
            return false;
        }
        return true;
    }
    if (parsed->kind == QLatin1String("libcamera") || parsed->kind == QLatin1String("pipewire")
        || parsed->kind == QLatin1String("portal"))
        return true;
    *error = QStringLiteral("unknown source '%1'; use auto, test[:PATTERN], v4l2:/dev/videoN, "
                            "libcamera[:NAME], pipewire[:NAME] or portal[:NAME]")
                 .arg(text.left(80));
    return false;
}

QString canonicalName(const ParsedSpec &parsed)
{
    return parsed.detail.isEmpty() ? parsed.kind : parsed.kind + QLatin1Char(':') + parsed.detail;
}

int maxFraction(const GValue *value)
{
    if (!value)
        return 0;
    if (GST_VALUE_HOLDS_FRACTION(value)) {
        const int d = gst_value_get_fraction_denominator(value);
        return d > 0 ? gst_value_get_fraction_numerator(value) / d : 0;
    }
    if (GST_VALUE_HOLDS_FRACTION_RANGE(value))
        return maxFraction(gst_value_get_fraction_range_max(value));
    if (GST_VALUE_HOLDS_LIST(value)) {
        int best = 0;
        for (guint i = 0; i < gst_value_list_get_size(value); ++i)
            best = std::max(best, maxFraction(gst_value_list_get_value(value, i)));
        return best;
    }
    return 0;
}

int maxInt(const GValue *value)
{
    if (!value)
        return 0;
    if (G_VALUE_HOLDS_INT(value))
        return g_value_get_int(value);
    if (GST_VALUE_HOLDS_INT_RANGE(value))
        return gst_value_get_int_range_max(value);
    if (GST_VALUE_HOLDS_LIST(value)) {
        int best = 0;
        for (guint i = 0; i < gst_value_list_get_size(value); ++i)
            best = std::max(best, maxInt(gst_value_list_get_value(value, i)));
        return best;
    }
    return 0;
}

int minInt(const GValue *value)
{
    return value && GST_VALUE_HOLDS_INT_RANGE(value) ? gst_value_get_int_range_min(value)
                                                     : maxInt(value);
}

// Larger than any camera's sensor a phone app would ask for; a range's top is not a mode.
constexpr int largestFromRange = 4096;

// The sizes one caps structure stands for: its size, or for a size range the quality
// table's sizes inside it, with the range's top (at most 4096x4096) in *rangeMax.
QList<QSize> sizesOf(const GstStructure *s, QSize *rangeMax)
{
    const GValue *width = gst_structure_get_value(s, "width");
    const GValue *height = gst_structure_get_value(s, "height");
    const QSize top(maxInt(width), maxInt(height));
    if (!GST_VALUE_HOLDS_INT_RANGE(width) && !GST_VALUE_HOLDS_INT_RANGE(height))
        return { QSize(std::min(top.width(), 8192), std::min(top.height(), 8192)) };
    const QSize bottom(minInt(width), minInt(height));
    *rangeMax
        = QSize(std::min(top.width(), largestFromRange), std::min(top.height(), largestFromRange));
    QList<QSize> sizes;
    for (const QString &quality :
        { KivAction::Value::highest(), KivAction::Value::medium(), KivAction::Value::lowest() }) {
        const QSize size = videoProfile(quality).size;
        if (size.width() >= bottom.width() && size.height() >= bottom.height()
            && size.width() <= rangeMax->width() && size.height() <= rangeMax->height())
            sizes << size;
    }
    return sizes;
}

void addMode(QList<SourceMode> *modes, const SourceMode &mode);

QList<SourceMode> modesFromCaps(GstCaps *caps)
{
    QList<SourceMode> modes;
    if (!caps)
        return modes;
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        const GstStructure *s = gst_caps_get_structure(caps, i);
        const QByteArray media = gst_structure_get_name(s);
        if (media != "video/x-raw" && media != "image/jpeg")
            continue;
        const GstCapsFeatures *features = gst_caps_get_features(caps, i);
        if (features && !gst_caps_features_is_any(features)
            && !gst_caps_features_contains(features, GST_CAPS_FEATURE_MEMORY_SYSTEM_MEMORY))
            continue;
        SourceMode base;
        const GValue *rate = gst_structure_get_value(s, "framerate");
        base.maxFps = maxFraction(rate);
        base.media = media;
        if (base.maxFps <= 0)
            base.maxFps = 30;
        // Left to itself, a rate range fixates to its lowest rate (0/1 for some sources).
        if (rate && GST_VALUE_HOLDS_FRACTION_RANGE(rate)) {
            const int lowest = maxFraction(gst_value_get_fraction_range_min(rate));
            base.maxFps = std::max(std::min(base.maxFps, 30), std::max(lowest, 1));
            base.askFps = base.maxFps;
        }
        for (const QSize &size : sizesOf(s, &base.rangeMax)) {
            SourceMode mode = base;
            mode.size = size;
            if (mode.size.width() < 16 || mode.size.height() < 16)
                continue;
            addMode(&modes, mode);
        }
    }
    std::sort(modes.begin(), modes.end(), [](const SourceMode &a, const SourceMode &b) {
        return qint64(a.size.width()) * a.size.height() > qint64(b.size.width()) * b.size.height();
    });
    return modes;
}

using SharedDevice = std::shared_ptr<GstDevice>;

SharedDevice shareDevice(GstDevice *device)
{
    return device ? SharedDevice(GST_DEVICE(gst_object_ref(device)), gst_object_unref)
                  : SharedDevice();
}

// Raw modes win over JPEG ones of the same size: no decoder in the way.
void addMode(QList<SourceMode> *modes, const SourceMode &mode)
{
    bool merged = false;
    for (SourceMode &known : *modes) {
        if (known.size != mode.size)
            continue;
        merged = true;
        if (mode.media == "video/x-raw" && known.media != "video/x-raw")
            known = mode;
        else if (mode.media == known.media && mode.maxFps > known.maxFps)
            known = mode;
    }
    if (!merged)
        *modes << mode;
}

struct Entry
{
    SourceModes modes;
    ParsedSpec parsed;
    SharedDevice device; // when found by the device monitor
    quint64 generation = 0; // deviceGeneration() when it was found
    int portalFd = -1; // the Camera portal's PipeWire connection
};

QMutex g_cacheLock;
QHash<QString, Entry> g_cache;

QString factoryOf(GstElement *element)
{
    GstElementFactory *factory = element ? gst_element_get_factory(element) : nullptr;
    return factory ? QString::fromUtf8(GST_OBJECT_NAME(factory)) : QString();
}

struct Found
{
    SharedDevice device;
    QString kind;
    QString name;
    QString nodeName; // PipeWire's node.name, also accepted as NAME
};

// Every camera the monitor reports, PipeWire first, then libcamera, then V4L2.
QList<Found> monitorDevices()
{
    QList<Found> found;
    GList *devices = gst_device_monitor_get_devices(cameraMonitor());
    for (GList *item = devices; item; item = item->next) {
        GstDevice *device = GST_DEVICE(item->data);
        GstRef<GstElement> element;
        if (GstElement *made = gst_device_create_element(device, nullptr))
            element.reset(GST_ELEMENT(gst_object_ref_sink(made)));
        const QString factory = factoryOf(element.get());
        Found entry;
        g_autofree gchar *display = gst_device_get_display_name(device);
        entry.name = QString::fromUtf8(display);
        if (factory == QLatin1String("pipewiresrc")) {
            entry.kind = QStringLiteral("pipewire");
            g_autoptr(GstStructure) properties = gst_device_get_properties(device);
            if (properties)
                entry.nodeName
                    = QString::fromUtf8(gst_structure_get_string(properties, "node.name"));
        } else if (factory == QLatin1String("libcamerasrc")) {
            entry.kind = QStringLiteral("libcamera");
        } else if (factory == QLatin1String("v4l2src")) {
            entry.kind = QStringLiteral("v4l2");
            g_autofree gchar *path = nullptr;
            g_object_get(element.get(), "device", &path, nullptr);
            entry.name = QString::fromUtf8(path);
        }
        if (!entry.kind.isEmpty()) {
            entry.device = shareDevice(device);
            found << entry;
        }
    }
    g_list_free_full(devices, gst_object_unref);
    const QStringList order
        = { QStringLiteral("pipewire"), QStringLiteral("libcamera"), QStringLiteral("v4l2") };
    std::stable_sort(found.begin(), found.end(), [&](const Found &a, const Found &b) {
        return order.indexOf(a.kind) < order.indexOf(b.kind);
    });
    return found;
}

// Opens the element just long enough to ask what it can deliver.
QList<SourceMode> probeElement(GstElement *made, QString *error)
{
    QList<SourceMode> modes;
    GstRef<GstElement> element(GST_ELEMENT(gst_object_ref_sink(made)));
    if (gst_element_set_state(element.get(), GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
        *error = QStringLiteral("it cannot be opened (busy, missing or no permission)");
    } else {
        g_autoptr(GstPad) pad = gst_element_get_static_pad(element.get(), "src");
        g_autoptr(GstCaps) caps = pad ? gst_pad_query_caps(pad, nullptr) : nullptr;
        modes = modesFromCaps(caps);
        if (modes.isEmpty())
            *error = QStringLiteral("it offers no picture format this camera can use");
    }
    gst_element_set_state(element.get(), GST_STATE_NULL);
    return modes;
}

// A sensor mounted turned: PipeWire carries libcamera's value as a text property.
int deviceRotation(GstDevice *device)
{
    g_autoptr(GstStructure) properties = gst_device_get_properties(device);
    if (!properties)
        return -1;
    int degrees = -1;
    if (const gchar *text = gst_structure_get_string(properties, "api.libcamera.rotation")) {
        bool ok = false;
        degrees = QByteArray(text).trimmed().toInt(&ok);
        if (!ok)
            degrees = -1;
    } else if (!gst_structure_get_int(properties, "api.libcamera.rotation", &degrees)) {
        degrees = -1;
    }
    return degrees >= 0 && degrees < 360 && degrees % 90 == 0 ? degrees : -1;
}

// Through the Camera portal: the only way to a camera from inside a sandbox.
Entry probePortal(Entry entry)
{
    const QString wanted
        = entry.parsed.kind == QLatin1String("portal") ? entry.parsed.detail : QString();
    QString error;
    const int fd = portalRemoteFd(&entry.modes.errorName, &entry.modes.errorMessage);
    if (fd < 0)
        return entry;
    QStringList seen;
    g_autoptr(GstDevice) device = findPortalCamera(fd, wanted, &error, &seen);
    g_autoptr(GstCaps) caps = device ? gst_device_get_caps(device) : nullptr;
    entry.modes.modes = modesFromCaps(caps);
    if (entry.modes.modes.isEmpty()) {
        entry.modes.errorName = KivAction::noCameraDeviceError();
        entry.modes.errorMessage
            = (device ? QStringLiteral("the portal's camera offers no picture format this "
                                       "camera can use")
                      : QStringLiteral("%1 (found: %2)")
                            .arg(error,
                                seen.isEmpty() ? QStringLiteral("none")
                                               : seen.join(QStringLiteral(", "))))
            + noDeviceHint();
        return entry;
    }
    g_autofree gchar *display = gst_device_get_display_name(device);
    entry.modes.name = QStringLiteral("portal:") + QString::fromUtf8(display);
    entry.modes.rotation = deviceRotation(device);
    entry.device = SharedDevice(GST_DEVICE(g_steal_pointer(&device)), gst_object_unref);
    entry.portalFd = fd;
    return entry;
}

Entry probe(const QString &sourceName)
{
    Entry entry;
    QString error;
    if (!parseSpec(sourceName, &entry.parsed, &error)) {
        entry.modes.name = sourceName;
        entry.modes.errorName = KivAction::noCameraDeviceError();
        entry.modes.errorMessage = QStringLiteral("source '%1': %2").arg(sourceName, error);
        return entry;
    }
    const ParsedSpec &parsed = entry.parsed;
    entry.modes.name = canonicalName(parsed);
    if (parsed.kind == QLatin1String("test")) {
        entry.modes.modes = testSourceModes();
        return entry;
    }
    auto fail = [&](const QString &text) {
        entry.modes.errorName = KivAction::noCameraDeviceError();
        entry.modes.errorMessage = text + noDeviceHint();
        return entry;
    };
    if (parsed.kind == QLatin1String("v4l2")) {
        GstElement *element = gst_element_factory_make("v4l2src", nullptr);
        if (!element)
            return fail(QStringLiteral("V4L2 support is missing (v4l2src); install "
                                       "gstreamer1.0-plugins-good"));
        g_object_set(element, "device", parsed.detail.toUtf8().constData(), nullptr);
        entry.modes.modes = probeElement(element, &error);
        if (entry.modes.modes.isEmpty())
            return fail(QStringLiteral("camera %1: %2").arg(parsed.detail, error));
        return entry;
    }
    if (parsed.kind == QLatin1String("portal")
        || (parsed.kind == QLatin1String("auto") && runningInSandbox()))
        return probePortal(entry);
    entry.generation = deviceGeneration();
    const QList<Found> found = monitorDevices();
    QStringList seen;
    for (const Found &candidate : found) {
        seen << candidate.kind + QLatin1Char(':') + candidate.name;
        const bool wanted = parsed.kind == QLatin1String("auto")
            || (candidate.kind == parsed.kind
                && (parsed.detail.isEmpty() || parsed.detail == candidate.name
                    || (!candidate.nodeName.isEmpty() && parsed.detail == candidate.nodeName)));
        if (!wanted || entry.device)
            continue;
        g_autoptr(GstCaps) caps = gst_device_get_caps(candidate.device.get());
        const QList<SourceMode> modes = modesFromCaps(caps);
        if (modes.isEmpty())
            continue;
        entry.device = candidate.device;
        entry.modes.modes = modes;
        entry.modes.rotation = deviceRotation(candidate.device.get());
        entry.modes.name = candidate.kind + QLatin1Char(':') + candidate.name;
    }
    if (entry.device)
        return entry;
    if (parsed.kind == QLatin1String("auto"))
        return fail(QStringLiteral("no camera device found"));
    return fail(QStringLiteral("no camera %1 found (found: %2)")
                    .arg(canonicalName(parsed),
                        seen.isEmpty() ? QStringLiteral("none") : seen.join(QStringLiteral(", "))));
}

// Holds back every frame after the first n, as a camera that hangs does.
GstPadProbeReturn stopAfterFrames(GstPad *, GstPadProbeInfo *info, gpointer data)
{
    auto *count = static_cast<gint *>(data);
    if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER)
        return g_atomic_int_add(&count[1], 1) < count[0] ? GST_PAD_PROBE_OK : GST_PAD_PROBE_DROP;
    return GST_PAD_PROBE_OK;
}

} // namespace

void ensureGstreamer()
{
    static const bool once = [] {
        gst_init(nullptr, nullptr);
        return true;
    }();
    Q_UNUSED(once)
}

QString checkSourceSpec(const QString &sourceName)
{
    ParsedSpec parsed;
    QString error;
    return parseSpec(sourceName, &parsed, &error) ? QString() : error;
}

SourceModes probeSource(const QString &sourceName)
{
    ensureGstreamer();
    {
        QMutexLocker lock(&g_cacheLock);
        const auto it = g_cache.constFind(sourceName);
        // A device came or went since: "auto" may mean another one now, or this one is gone.
        if (it != g_cache.constEnd()
            && (!it->device || it->portalFd >= 0 || it->generation == deviceGeneration()))
            return it->modes;
    }
    Entry entry = probe(sourceName);
    QMutexLocker lock(&g_cacheLock);
    // A failure is not cached: the camera may be plugged in before the next request.
    if (!entry.modes.ok())
        return entry.modes;
    g_cache.insert(sourceName, entry);
    return entry.modes;
}

void forgetSource(const QString &sourceName)
{
    QMutexLocker lock(&g_cacheLock);
    g_cache.remove(sourceName);
}

SourceMode pickMode(const QList<SourceMode> &modes, const QSize &size)
{
    SourceMode best = modes.value(0);
    for (const SourceMode &mode : modes)
        if (mode.size.width() >= size.width() && mode.size.height() >= size.height())
            best = mode; // largest first: the last that covers is the smallest
    const QSize even(size.width() & ~1, size.height() & ~1);
    if (best.rangeMax.isValid() && even.width() >= 16 && even.height() >= 16
        && even.width() <= best.rangeMax.width() && even.height() <= best.rangeMax.height())
        best.size = even; // the source makes it: nothing to crop or scale
    return best;
}

QList<SourceMode> testSourceModes()
{
    return { SourceMode { QSize(1920, 1080), 30, "video/x-raw", 0, QSize() },
        SourceMode { QSize(1280, 720), 30, "video/x-raw", 0, QSize() },
        SourceMode { QSize(640, 480), 30, "video/x-raw", 0, QSize() } };
}

GstElement *createSourceElement(const QString &sourceName, QString *errorName, QString *error)
{
    const SourceModes modes = probeSource(sourceName);
    if (!modes.ok()) {
        *errorName = modes.errorName;
        *error = modes.errorMessage;
        return nullptr;
    }
    Entry entry;
    {
        QMutexLocker lock(&g_cacheLock);
        entry = g_cache.value(sourceName);
    }
    GstElement *element = nullptr;
    const ParsedSpec &parsed = entry.parsed;
    if (parsed.kind == QLatin1String("test")) {
        element = gst_element_factory_make("videotestsrc", nullptr);
        if (element) {
            g_object_set(element, "is-live", TRUE, nullptr);
            gst_util_set_object_arg(
                G_OBJECT(element), "pattern", parsed.detail.toUtf8().constData());
            if (parsed.stopAfter > 0) {
                auto *count = g_new0(gint, 2);
                count[0] = parsed.stopAfter;
                g_autoptr(GstPad) pad = gst_element_get_static_pad(element, "src");
                gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, stopAfterFrames, count, g_free);
            }
        }
    } else if (parsed.kind == QLatin1String("v4l2")) {
        element = gst_element_factory_make("v4l2src", nullptr);
        if (element)
            g_object_set(element, "device", parsed.detail.toUtf8().constData(), nullptr);
    } else if (entry.device) {
        element = gst_device_create_element(entry.device.get(), nullptr);
    }
    // pipewiresrc stamps only its first buffer; a recording drops every unstamped one.
    if (element && factoryOf(element) == QLatin1String("pipewiresrc"))
        g_object_set(element, "do-timestamp", TRUE, nullptr);
    if (element && entry.portalFd >= 0)
        g_object_set(element, "fd", entry.portalFd, nullptr);
    if (!element) {
        *errorName = KivAction::noCameraDeviceError();
        *error = QStringLiteral("cannot create the source for %1").arg(modes.name) + noDeviceHint();
    }
    return element;
}

} // namespace refcam
