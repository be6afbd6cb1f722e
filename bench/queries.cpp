// SPDX-License-Identifier: MIT
// GetMinDataSize and GetAutoPostSetting on small config files, against reading the file.

#include "benchsupport.h"

#include <CameraUIServiceCWrapper.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace bench {

namespace {

// KR41 at HIGHEST: (512000 + 12800) / 8 + 30 * 160 + 1414 + 2 * (320 * 240 / 5).
constexpr unsigned int expectedMinDataSize = 102534;

std::unique_ptr<QTemporaryDir> root;
CameraUIService *service = nullptr;
QByteArray modelPath, cameraPath;
int minSizeTraceLines = -1, autoPostTraceLines = -1;

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(path.left(path.lastIndexOf(QLatin1Char('/'))));
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The least a query that rereads its file can cost.
bool readSmallFile(const QByteArray &path)
{
    char buffer[4096];
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    benchmark::DoNotOptimize(buffer);
    ::close(fd);
    return n > 0;
}

void useRoot()
{
    qputenv("KIV_ROOT", QFile::encodeName(root->path()));
}

void benchMinDataSize(benchmark::State &state)
{
    useRoot();
    for (auto _ : state) {
        if (GetMinDataSize(service) != expectedMinDataSize)
            return fail(state, "query/min-data-size", "unexpected GetMinDataSize value");
    }
}

void benchAutoPost(benchmark::State &state)
{
    useRoot();
    for (auto _ : state) {
        if (!GetAutoPostSetting(service, CameraTypePhoto))
            return fail(state, "query/auto-post", "unexpected GetAutoPostSetting value");
    }
}

void benchReadModel(benchmark::State &state)
{
    for (auto _ : state) {
        if (!readSmallFile(modelPath))
            return fail(state, "query/read-model", "cannot read the phone model file");
    }
}

void benchReadCamera(benchmark::State &state)
{
    for (auto _ : state) {
        if (!readSmallFile(cameraPath))
            return fail(state, "query/read-camera", "cannot read the camera resource file");
    }
}

} // namespace

void registerQueries(const Options &)
{
    root = std::make_unique<QTemporaryDir>();
    const QString model = root->filePath(QStringLiteral("usr/securesetup/tq_phonemodel.cfg"));
    const QString resource = root->filePath(
        QStringLiteral("kivlocal/download/appwrite/setup/kiv_camera_resource.cfg"));
    if (!root->isValid() || !writeFile(model, "[PHONE_MODEL]\nPhoneModelID=KIV-KR41\n")
        || !writeFile(resource, "[cameraSetting]\nphotoAutoBlog=true\nvideoAutoBlog=false\n")) {
        note("queries skipped: cannot write the config files");
        return;
    }
    modelPath = QFile::encodeName(model);
    cameraPath = QFile::encodeName(resource);
    useRoot();
    // Video, so GetMinDataSize goes all the way to the table lookup.
    service = CreateCameraUIService(CameraTypeVideo, 0);
    if (GetMinDataSize(service) != expectedMinDataSize || !GetAutoPostSetting(service, 1)
        || GetAutoPostSetting(service, 2))
        note("queries: the library read other values than the files hold");
    minSizeTraceLines = traceLines([] { GetMinDataSize(service); });
    autoPostTraceLines = traceLines([] { GetAutoPostSetting(service, 1); });

    const auto add = [](const char *name, void (*fn)(benchmark::State &)) {
        benchmark::RegisterBenchmark(name, fn)->UseRealTime()->Unit(benchmark::kMicrosecond);
    };
    add("query/read-model", benchReadModel);
    add("query/min-data-size", benchMinDataSize);
    add("query/read-camera", benchReadCamera);
    add("query/auto-post", benchAutoPost);
}

void queryRows(std::vector<Row> &rows)
{
    if (!service)
        return;
    const auto us = [](double s) { return s > 0 ? format("%.2f µs", s * 1e6) : "n/a"; };
    const auto row = [&](const std::string &figure, const char *name, const char *baseline) {
        const double s = seconds(name);
        const double base = seconds(baseline);
        rows.push_back({ figure, us(s), "open+read+close of the file: " + us(base),
            ratioText(s, base), "< 50 µs", s > 0 ? yesNo(s < 50e-6) : "n/a" });
    };
    row("GetMinDataSize (KIV-KR41, video)", "query/min-data-size", "query/read-model");
    row("GetAutoPostSetting (photo)", "query/auto-post", "query/read-camera");
    note(format("GetMinDataSize writes %d trace lines, GetAutoPostSetting %d", minSizeTraceLines,
        autoPostTraceLines));
    DestroyCameraDlg(service);
    service = nullptr;
    root.reset();
}

} // namespace bench
