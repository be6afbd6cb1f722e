// SPDX-License-Identifier: MIT
#include "portalsource.h"

#include "kivaction_names_p.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <gst/gst.h>

#include <fcntl.h>
#include <unistd.h>

namespace refcam {

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString cameraInterface = QStringLiteral("org.freedesktop.portal.Camera");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");

int g_remoteFd = -1; // the portal's connection, kept for the process's life
GstDeviceProvider *g_provider = nullptr; // started on g_remoteFd
// Of forgotten connections: never stopped (see startedProvider), and never freed so that
// they stay reachable to the end.
QList<GstDeviceProvider *> *g_retired = nullptr;
constexpr int portalSettleMs = 3000;

GstDevice *pickCamera(GstDeviceProvider *provider, const QString &name, QStringList *seen);

QString noPortal(const QString &why)
{
    return QStringLiteral("the Camera portal is not available (%1); install and run "
                          "xdg-desktop-portal with a backend that offers Access (e.g. "
                          "xdg-desktop-portal-gtk), or run with --source pipewire outside a "
                          "sandbox")
        .arg(why);
}

} // namespace

// Receives the Request's Response signal and ends the wait.
class PortalAnswer : public QObject
{
    Q_OBJECT
public:
    QEventLoop loop;
    bool answered = false;
    uint response = 2;

public Q_SLOTS:
    void onResponse(uint code, const QVariantMap &)
    {
        answered = true;
        response = code;
        loop.quit();
    }
};

namespace {

// AccessCamera, then its Request's Response: true when access was granted.
bool askForAccess(QDBusConnection &bus, int timeoutMs, QString *error)
{
    static int requests = 0;
    const QString token = QStringLiteral("refcam%1").arg(++requests);
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    // Subscribed before asking: the answer may come before AccessCamera's reply.
    QString path = QStringLiteral("%1/request/%2/%3").arg(portalPath, sender, token);
    PortalAnswer answer;
    bus.connect(portalService, path, requestInterface, QStringLiteral("Response"), &answer,
        SLOT(onResponse(uint, QVariantMap)));
    QDBusMessage access = QDBusMessage::createMethodCall(
        portalService, portalPath, cameraInterface, QStringLiteral("AccessCamera"));
    access << QVariantMap { { QStringLiteral("handle_token"), token } };
    const QDBusMessage handle = bus.call(access, QDBus::Block, 10000);
    if (handle.type() != QDBusMessage::ReplyMessage) {
        bus.disconnect(portalService, path, requestInterface, QStringLiteral("Response"), &answer,
            SLOT(onResponse(uint, QVariantMap)));
        *error = noPortal(handle.errorMessage());
        return false;
    }
    const QString given = handle.arguments().value(0).value<QDBusObjectPath>().path();
    if (!given.isEmpty() && given != path) { // an old portal ignores handle_token
        bus.disconnect(portalService, path, requestInterface, QStringLiteral("Response"), &answer,
            SLOT(onResponse(uint, QVariantMap)));
        path = given;
        bus.connect(portalService, path, requestInterface, QStringLiteral("Response"), &answer,
            SLOT(onResponse(uint, QVariantMap)));
    }
    if (!answer.answered) {
        QTimer::singleShot(timeoutMs, &answer.loop, &QEventLoop::quit);
        answer.loop.exec();
    }
    bus.disconnect(portalService, path, requestInterface, QStringLiteral("Response"), &answer,
        SLOT(onResponse(uint, QVariantMap)));
    if (!answer.answered) {
        *error = QStringLiteral("the Camera portal did not answer within %1 s; try again")
                     .arg(timeoutMs / 1000);
        return false;
    }
    if (answer.response != 0) {
        *error = QStringLiteral("access to the camera was refused; allow this application to "
                                "use the camera in the desktop's privacy settings");
        return false;
    }
    return true;
}

} // namespace

bool runningInSandbox()
{
    return QFile::exists(QStringLiteral("/.flatpak-info"));
}

int portalRemoteFd(QString *errorName, QString *error, int timeoutMs)
{
    if (g_remoteFd >= 0)
        return g_remoteFd;
    *errorName = KivAction::noCameraDeviceError();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        *error = noPortal(QStringLiteral("no session bus"));
        return -1;
    }
    QDBusMessage get = QDBusMessage::createMethodCall(portalService, portalPath,
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << cameraInterface << QStringLiteral("IsCameraPresent");
    const QDBusMessage present = bus.call(get, QDBus::Block, 10000);
    if (present.type() != QDBusMessage::ReplyMessage) {
        *error = noPortal(present.errorMessage());
        return -1;
    }
    if (!present.arguments().value(0).value<QDBusVariant>().variant().toBool()) {
        *error = QStringLiteral("the Camera portal reports no camera; connect one (`wpctl "
                                "status` lists what PipeWire sees), or run with --source test "
                                "for a test picture");
        return -1;
    }

    if (!askForAccess(bus, timeoutMs, error))
        return -1;
    QDBusMessage open = QDBusMessage::createMethodCall(
        portalService, portalPath, cameraInterface, QStringLiteral("OpenPipeWireRemote"));
    open << QVariantMap();
    const QDBusMessage remote = bus.call(open, QDBus::Block, 10000);
    const auto fd = remote.arguments().value(0).value<QDBusUnixFileDescriptor>();
    if (remote.type() != QDBusMessage::ReplyMessage || !fd.isValid()) {
        *error = QStringLiteral("the Camera portal gave no PipeWire connection: %1")
                     .arg(remote.errorMessage());
        return -1;
    }
    g_remoteFd = ::fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 3);
    errorName->clear();
    return g_remoteFd;
}

void forgetPortalRemote()
{
    if (g_remoteFd >= 0)
        ::close(g_remoteFd);
    g_remoteFd = -1;
    if (g_provider) {
        if (!g_retired)
            g_retired = new QList<GstDeviceProvider *>;
        g_retired->append(g_provider);
    }
    g_provider = nullptr;
}

// One started provider per portal connection, kept for the process's life. Probing an
// unstarted provider connects and disconnects each time, and PipeWire's GStreamer provider
// was seen to crash on a callback that outlived such a probe; a started one connects once
// and is never stopped. A camera opens one portal connection, so this holds one.
static GstDeviceProvider *startedProvider(int fd, QString *error)
{
    if (g_provider)
        return g_provider;
    g_autoptr(GstDeviceProviderFactory) factory
        = gst_device_provider_factory_find("pipewiredeviceprovider");
    g_autoptr(GstPluginFeature) loaded
        = factory ? gst_plugin_feature_load(GST_PLUGIN_FEATURE(factory)) : nullptr;
    if (!loaded) {
        *error = QStringLiteral("GStreamer's PipeWire support is missing; install "
                                "gstreamer1.0-pipewire");
        return nullptr;
    }
    const GType type
        = gst_device_provider_factory_get_device_provider_type(GST_DEVICE_PROVIDER_FACTORY(loaded));
    GstDeviceProvider *provider
        = GST_DEVICE_PROVIDER(gst_object_ref_sink(g_object_new(type, "fd", fd, nullptr)));
    // Nobody reads its device-added messages: drop them instead of queueing them forever.
    g_autoptr(GstBus) bus = gst_device_provider_get_bus(provider);
    gst_bus_set_flushing(bus, TRUE);
    if (!gst_device_provider_start(provider)) {
        gst_object_unref(provider);
        *error = QStringLiteral("cannot list the cameras of the Camera portal's PipeWire "
                                "connection; check that PipeWire and its session manager run");
        return nullptr;
    }
    g_provider = provider;
    return provider;
}

GstDevice *findPortalCamera(int fd, const QString &name, QString *error, QStringList *seen)
{
    // A provider of our own: the shared one may already be connected without the portal.
    GstDeviceProvider *provider = startedProvider(fd, error);
    if (!provider)
        return nullptr;
    GstDevice *found = nullptr;
    // The session manager opens the cameras to a new portal connection a moment after the
    // portal handed it out: look again for a short while before saying there is none.
    QElapsedTimer waited;
    waited.start();
    while (!(found = pickCamera(provider, name, seen)) && waited.elapsed() < portalSettleMs)
        g_usleep(50 * 1000);
    if (!found)
        *error = name.isEmpty() ? QStringLiteral("the Camera portal shows no camera")
                                : QStringLiteral("the Camera portal shows no camera %1").arg(name);
    return found;
}

namespace {

GstDevice *pickCamera(GstDeviceProvider *provider, const QString &name, QStringList *seen)
{
    seen->clear();
    GList *devices = gst_device_provider_get_devices(provider);
    GstDevice *found = nullptr;
    for (GList *item = devices; item; item = item->next) {
        GstDevice *device = GST_DEVICE(item->data);
        if (!gst_device_has_classes(device, "Video/Source"))
            continue;
        g_autofree gchar *display = gst_device_get_display_name(device);
        g_autoptr(GstStructure) properties = gst_device_get_properties(device);
        const QString nodeName = properties
            ? QString::fromUtf8(gst_structure_get_string(properties, "node.name"))
            : QString();
        const QString shown = QString::fromUtf8(display);
        *seen << shown;
        if (!found && (name.isEmpty() || name == shown || name == nodeName))
            found = GST_DEVICE(gst_object_ref(device));
    }
    g_list_free_full(devices, gst_object_unref);
    return found;
}

} // namespace

} // namespace refcam

#include "portalsource.moc"
