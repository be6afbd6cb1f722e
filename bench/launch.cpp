// SPDX-License-Identifier: MIT
// Exec against a reference camera that answers at once, against bare QtDBus calls to it.

#include "benchsupport.h"

#include <CameraUIServiceCWrapper.h>
#include <kivaction_names_p.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QVariantMap>

#include <chrono>
#include <climits>
#include <memory>

namespace bench {

namespace {

const QString cameraName = KivAction::busName(KivAction::cameraAction());
const QString busService = QStringLiteral("org.freedesktop.DBus");
const QString busPath = QStringLiteral("/org/freedesktop/DBus");

std::unique_ptr<QProcess> camera;
std::unique_ptr<QTemporaryDir> captureDir;
CameraUIService *service = nullptr;
QString fileLocation;
int execTraceLines = -1;

// What the library sends for a photo job with a file location, in a QVariantMap.
QDBusMessage invokeMessage()
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        cameraName, KivAction::objectPath(), KivAction::interfaceName(), KivAction::invokeMethod());
    QVariantMap values;
    values.insert(KivAction::Key::cameraType(), QStringLiteral("PHOTO"));
    values.insert(KivAction::Key::videoSizeLimitation(), 0);
    values.insert(KivAction::Key::fileLocation(), fileLocation);
    values.insert(KivAction::Key::photoResolution(), QStringLiteral("MAX"));
    values.insert(KivAction::Key::videoQuality(), QStringLiteral("HIGHEST"));
    values.insert(KivAction::Key::hasPostCapturedScreen(), QStringLiteral("YES"));
    call << KivAction::cameraAction() << values;
    return call;
}

bool goodReply(const QDBusMessage &reply)
{
    return reply.type() == QDBusMessage::ReplyMessage
        && reply.signature() == QLatin1String("a{ss}");
}

// Waits for a pending call the way the library does: in a nested event loop.
QDBusMessage waitInLoop(const QDBusPendingCall &pending)
{
    QDBusPendingCallWatcher watcher(pending);
    if (!watcher.isFinished()) {
        QEventLoop loop;
        QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return watcher.reply();
}

void benchLibrary(benchmark::State &state)
{
    for (auto _ : state) {
        if (Exec(service) != 1)
            return fail(state, "launch/library", "Exec did not return 1");
    }
}

QDBusMessage capabilitiesMessage()
{
    QDBusMessage call = QDBusMessage::createMethodCall(cameraName, KivAction::objectPath(),
        KivAction::interfaceName(), KivAction::getCapabilitiesMethod());
    call << KivAction::cameraAction();
    return call;
}

// The same question as GetCameraCapabilities, asked without the library.
void benchCapabilitiesBare(benchmark::State &state)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QDBusMessage call = capabilitiesMessage();
    for (auto _ : state) {
        const QDBusMessage reply = bus.call(call, QDBus::Block);
        if (reply.type() != QDBusMessage::ReplyMessage
            || reply.signature() != QLatin1String("a{sv}"))
            return fail(state, "capabilities/bare", "no a{sv} answer");
    }
}

// The same without the JSON text: the map the C++ API returns.
void benchCapabilitiesMap(benchmark::State &state)
{
    for (auto _ : state) {
        const QVariantMap answer = service->capabilities();
        if (answer.isEmpty())
            return fail(state, "capabilities/map", "CameraUIService::capabilities gave no answer");
        benchmark::DoNotOptimize(answer);
    }
}

void benchCapabilitiesLibrary(benchmark::State &state)
{
    for (auto _ : state) {
        const char *json = GetCameraCapabilities(service);
        if (!json || json[0] != '{' || json[1] == '}')
            return fail(state, "capabilities/library", "GetCameraCapabilities gave no answer");
        benchmark::DoNotOptimize(json);
    }
}

// From CancelCamera to the StartCamera callback: the launch is still out (the camera's
// answer cannot have been read yet), so this is the library's own way back to the host.
void benchCancelToCallback(benchmark::State &state)
{
    for (auto _ : state) {
        bool called = false;
        const auto onFinished
            = [](CameraUIService *, int, void *flag) { *static_cast<bool *>(flag) = true; };
        if (StartCamera(service, onFinished, &called) != 1)
            return fail(state, "launch/cancel-to-callback", "StartCamera refused");
        const auto start = std::chrono::steady_clock::now();
        CancelCamera(service);
        while (!called)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        if (GetCameraOutcome(service) != CameraOutcomeCancelled)
            return fail(state, "launch/cancel-to-callback", "the outcome is not Cancelled");
    }
}

void benchBare(benchmark::State &state)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    for (auto _ : state) {
        const QDBusMessage reply = bus.call(invokeMessage(), QDBus::Block, INT_MAX);
        if (!goodReply(reply))
            return fail(state, "launch/bare", "bad reply to the bare call");
    }
}

void benchBareLoop(benchmark::State &state)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    for (auto _ : state) {
        if (!goodReply(waitInLoop(bus.asyncCall(invokeMessage(), INT_MAX))))
            return fail(state, "launch/bare-loop", "bad reply to the bare call");
    }
}

QDBusMessage getNameOwner()
{
    QDBusMessage ask = QDBusMessage::createMethodCall(
        busService, busPath, busService, QStringLiteral("GetNameOwner"));
    ask << cameraName;
    return ask;
}

} // namespace

// Receiver for the NameOwnerChanged match, as the library sets one up per launch.
class OwnerWatch : public QObject
{
    Q_OBJECT
public Q_SLOTS:
    void ownerChanged(const QString &, const QString &, const QString &) { }
};

namespace {

// The library's bus traffic without the library: match, owner query, call, unmatch.
void benchOwnerCheck(benchmark::State &state)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    OwnerWatch watch;
    const QString signal = QStringLiteral("NameOwnerChanged");
    for (auto _ : state) {
        bus.connect(busService, busPath, busService, signal, { cameraName }, QString(), &watch,
            SLOT(ownerChanged(QString, QString, QString)));
        QDBusPendingCall owner = bus.asyncCall(getNameOwner());
        const QDBusMessage reply = waitInLoop(bus.asyncCall(invokeMessage(), INT_MAX));
        owner.waitForFinished();
        const QDBusMessage ownerReply = owner.reply();
        bus.disconnect(busService, busPath, busService, signal, { cameraName }, QString(), &watch,
            SLOT(ownerChanged(QString, QString, QString)));
        if (!goodReply(reply) || ownerReply.arguments().isEmpty()
            || ownerReply.arguments().constFirst().toString() != reply.service())
            return fail(state, "launch/bare-owner-check", "bad reply or owner");
    }
}

// The proposed scheme: one match and one owner query per connection, then plain calls.
void benchCachedOwner(benchmark::State &state)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    OwnerWatch watch;
    const QString signal = QStringLiteral("NameOwnerChanged");
    bus.connect(busService, busPath, busService, signal, { cameraName }, QString(), &watch,
        SLOT(ownerChanged(QString, QString, QString)));
    const QDBusMessage ownerReply = bus.call(getNameOwner());
    const QString owner = ownerReply.arguments().isEmpty()
        ? QString()
        : ownerReply.arguments().constFirst().toString();
    for (auto _ : state) {
        const QDBusMessage reply = waitInLoop(bus.asyncCall(invokeMessage(), INT_MAX));
        if (!goodReply(reply) || reply.service() != owner) {
            fail(state, "launch/bare-cached-owner", "bad reply or owner");
            break;
        }
    }
    bus.disconnect(busService, busPath, busService, signal, { cameraName }, QString(), &watch,
        SLOT(ownerChanged(QString, QString, QString)));
}

// What the library's trace costs per launch: the same number of flushed lines.
void benchTrace(benchmark::State &state)
{
    const int lines = execTraceLines > 0 ? execTraceLines : 15;
    for (auto _ : state) {
        for (int i = 0; i < lines; ++i) {
            printf("Camera LOG in %s:%d:%s:%s\n", "CameraUIService.cpp", __LINE__, "exec", "enter");
            fflush(stdout);
        }
    }
}

void benchGetNameOwner(benchmark::State &state)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    for (auto _ : state) {
        const QDBusMessage reply = bus.call(getNameOwner());
        if (reply.type() != QDBusMessage::ReplyMessage)
            return fail(state, "launch/get-name-owner", "GetNameOwner failed");
    }
}

void benchMatch(benchmark::State &state)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    OwnerWatch watch;
    const QString signal = QStringLiteral("NameOwnerChanged");
    for (auto _ : state) {
        bus.connect(busService, busPath, busService, signal, { cameraName }, QString(), &watch,
            SLOT(ownerChanged(QString, QString, QString)));
        bus.disconnect(busService, busPath, busService, signal, { cameraName }, QString(), &watch,
            SLOT(ownerChanged(QString, QString, QString)));
    }
}

bool startCamera(const Options &options)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") || !bus.isConnected()) {
        note("launch skipped: no private session bus (run through bench/run)");
        return false;
    }
    if (bus.interface()->isServiceRegistered(cameraName)) {
        note("launch skipped: " + cameraName.toStdString()
            + " already has an owner on this bus; run on a private bus");
        return false;
    }
    captureDir = std::make_unique<QTemporaryDir>();
    fileLocation = captureDir->filePath(QStringLiteral("bench-capture.png"));
    camera = std::make_unique<QProcess>();
    // Its per-request lines cost the same in both measurements; nobody reads them.
    camera->setStandardOutputFile(QProcess::nullDevice());
    camera->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    camera->start(options.camera,
        { QStringLiteral("--no-file"), QStringLiteral("--source"), QStringLiteral("test"),
            QStringLiteral("--output-dir"), captureDir->path() });
    if (!camera->waitForStarted(10000)) {
        note("launch skipped: cannot start " + options.camera.toStdString());
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    while (!bus.interface()->isServiceRegistered(cameraName)) {
        if (clock.elapsed() > 10000 || camera->state() != QProcess::Running) {
            note("launch skipped: the reference camera did not take its name");
            return false;
        }
        QThread::msleep(10);
    }
    return true;
}

} // namespace

void registerLaunch(const Options &options)
{
    if (!startCamera(options))
        return;
    service = CreateCameraUIService(CameraTypePhoto, 0);
    // A fixed location keeps every request the same: the camera answers it back.
    SetCameraFileLocation(service, fileLocation.toLatin1().constData());
    for (int i = 0; i < 20; ++i)
        Exec(service);
    execTraceLines = traceLines([] { Exec(service); });
    if (GetCameraFileLocation(service) != fileLocation)
        note("launch: the camera answered another file location");
    for (int i = 0; i < 20; ++i)
        QDBusConnection::sessionBus().call(invokeMessage());

    const auto add = [](const char *name, void (*fn)(benchmark::State &)) {
        benchmark::RegisterBenchmark(name, fn)->UseRealTime()->Unit(benchmark::kMicrosecond);
    };
    add("launch/bare", benchBare);
    add("launch/library", benchLibrary);
    add("launch/bare-loop", benchBareLoop);
    add("launch/bare-owner-check", benchOwnerCheck);
    add("launch/get-name-owner", benchGetNameOwner);
    add("launch/add-remove-match", benchMatch);
    add("launch/bare-cached-owner", benchCachedOwner);
    add("launch/trace", benchTrace);
    add("capabilities/bare", benchCapabilitiesBare);
    add("capabilities/library", benchCapabilitiesLibrary);
    add("capabilities/map", benchCapabilitiesMap);
    benchmark::RegisterBenchmark("launch/cancel-to-callback", benchCancelToCallback)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
}

void launchRows(std::vector<Row> &rows)
{
    if (!service)
        return;
    const double bare = seconds("launch/bare");
    const auto us = [](double s) { return s > 0 ? format("%.1f µs", s * 1e6) : "n/a"; };
    const double library = seconds("launch/library");
    rows.push_back({ "Exec round trip (reference camera --no-file)", us(library),
        "bare QDBusConnection::call: " + us(bare), ratioText(library, bare), "≤ 1.10×",
        library > 0 && bare > 0 ? yesNo(library / bare <= 1.1) : "n/a" });
    const auto info = [&](const std::string &figure, const char *name) {
        const double s = seconds(name);
        rows.push_back(
            { figure, us(s), "bare call: " + us(bare), ratioText(s, bare), "(breakdown)", "n/a" });
    };
    info("  bare asyncCall waited in a QEventLoop", "launch/bare-loop");
    info("  same + AddMatch, async GetNameOwner, RemoveMatch", "launch/bare-owner-check");
    info("  GetNameOwner alone (bus daemon round trip)", "launch/get-name-owner");
    info("  connect + disconnect of the NameOwnerChanged match", "launch/add-remove-match");
    info(format("  the trace: %d printf, each flushed, to /dev/null (upper bound)", execTraceLines),
        "launch/trace");
    info("  proposed: asyncCall in a QEventLoop, owner cached by one lasting match",
        "launch/bare-cached-owner");
    const double capsBare = seconds("capabilities/bare");
    const double caps = seconds("capabilities/library");
    rows.push_back({ "GetCameraCapabilities round trip", us(caps),
        "bare QDBusConnection::call of GetCapabilities: " + us(capsBare), ratioText(caps, capsBare),
        "≤ 1.10×", caps > 0 && capsBare > 0 ? yesNo(caps / capsBare <= 1.1) : "n/a" });
    const double capsMap = seconds("capabilities/map");
    rows.push_back({ "  CameraUIService::capabilities() (the map, no JSON)", us(capsMap),
        "bare call: " + us(capsBare), ratioText(capsMap, capsBare), "(breakdown)", "n/a" });
    const double cancel = seconds("launch/cancel-to-callback");
    rows.push_back(
        { "CancelCamera to the StartCamera callback", us(cancel), "—", "—", "(figure)", "n/a" });
    if (execTraceLines >= 0)
        note(format(
            "Exec writes %d trace lines per launch, flushed once per operation", execTraceLines));
}

void stopLaunch()
{
    if (service) {
        DestroyCameraDlg(service);
        service = nullptr;
    }
    if (camera) {
        camera->terminate();
        if (!camera->waitForFinished(5000)) {
            camera->kill();
            camera->waitForFinished(5000);
        }
        camera.reset();
    }
    captureDir.reset();
}

} // namespace bench

#include "launch.moc"
