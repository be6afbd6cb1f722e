// SPDX-License-Identifier: MIT
// GetCameraData on big files already in the page cache, against plain read().

#include "benchsupport.h"

#include <CameraUIServiceCWrapper.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr long long MiB = 1024 * 1024;
constexpr double GiB = 1024.0 * 1024 * 1024;
// Goal: the load costs at most the bytes themselves plus this.
constexpr long long peakSlack = 4 * MiB;

struct DataFile
{
    int sizeMiB = 0;
    long long size = 0;
    QByteArray path;
    // Peak resident bytes of a child that loaded it: before the load and at its peak.
    long long libraryBefore = -1, libraryPeak = -1;
    long long readBefore = -1, readPeak = -1;
};

// Page-aligned: a buffer 8 to 24 bytes past a 64-byte boundary (where new[] puts it)
// makes the kernel's copy about 3x slower on some AMD processors, which would flatter us.
struct PageBuffer
{
    explicit PageBuffer(long long size)
        : data(static_cast<char *>(std::aligned_alloc(4096, static_cast<size_t>(size))))
    { }
    ~PageBuffer() { std::free(data); }
    PageBuffer(const PageBuffer &) = delete;
    PageBuffer &operator=(const PageBuffer &) = delete;
    char *data;
};

std::unique_ptr<QTemporaryDir> dataDir;
std::vector<DataFile> files;
// Where in its page the library's buffer starts.
long long libraryOffset = -1;

std::string label(const DataFile &file)
{
    return std::to_string(file.sizeMiB) + "MiB";
}

// read() until size bytes or EOF; returns the bytes read.
long long readAll(int fd, char *buffer, long long size)
{
    long long done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, buffer + done, static_cast<size_t>(size - done));
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

long long readFile(const QByteArray &path, char *buffer, long long size)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const long long done = readAll(fd, buffer, size);
    ::close(fd);
    return done;
}

bool writeFile(const QByteArray &path, long long size)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    // Real bytes, not holes, so every page is in the page cache.
    std::vector<char> chunk(static_cast<size_t>(MiB));
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<char>((i * 2654435761u) >> 13);
    bool ok = true;
    for (long long done = 0; ok && done < size; done += MiB)
        ok = ::write(fd, chunk.data(), chunk.size()) == static_cast<ssize_t>(chunk.size());
    return ::close(fd) == 0 && ok;
}

bool warm(const DataFile &file)
{
    std::vector<char> buffer(static_cast<size_t>(MiB));
    const int fd = ::open(file.path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    long long total = 0;
    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;)
        total += n;
    ::close(fd);
    return total == file.size;
}

CameraUIService *serviceFor(const DataFile &file)
{
    CameraUIService *service = CreateCameraUIService(CameraTypePhoto, 0);
    SetCameraFileLocation(service, file.path.constData());
    return service;
}

void benchRead(benchmark::State &state, const DataFile &file)
{
    const std::string name = "load/read/" + label(file);
    // Allocated and touched once: the floor a loader cannot beat.
    PageBuffer buffer(file.size);
    std::memset(buffer.data, 0, static_cast<size_t>(file.size));
    for (auto _ : state) {
        if (readFile(file.path, buffer.data, file.size) != file.size)
            return fail(state, name, "short read");
        benchmark::DoNotOptimize(buffer.data);
    }
    state.SetBytesProcessed(state.iterations() * file.size);
}

// read() into a buffer that starts where the library's does within its page.
void benchReadAtOffset(benchmark::State &state, const DataFile &file)
{
    const std::string name = "load/read-offset/" + label(file);
    PageBuffer buffer(file.size + 4096);
    char *start = buffer.data + libraryOffset;
    std::memset(start, 0, static_cast<size_t>(file.size));
    for (auto _ : state) {
        if (readFile(file.path, start, file.size) != file.size)
            return fail(state, name, "short read");
        benchmark::DoNotOptimize(start);
    }
    state.SetBytesProcessed(state.iterations() * file.size);
}

// The fresh-buffer path with transparent huge pages asked for: fewer faults, but huge
// pages must be found (and maybe compacted) first.
void benchHugePages(benchmark::State &state, const DataFile &file)
{
    const std::string name = "load/hugepages-new/" + label(file);
    constexpr uintptr_t huge = 2 * MiB;
    for (auto _ : state) {
        QByteArray data;
        data.resize(static_cast<decltype(data.size())>(file.size));
        const auto begin = (reinterpret_cast<uintptr_t>(data.data()) + huge - 1) & ~(huge - 1);
        const auto end
            = (reinterpret_cast<uintptr_t>(data.data()) + size_t(file.size)) & ~(huge - 1);
        if (end > begin)
            ::madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
        FILE *stream = fopen(file.path.constData(), "rb");
        const size_t n = stream ? fread(data.data(), 1, size_t(file.size), stream) : 0;
        if (stream)
            fclose(stream);
        if (n != size_t(file.size))
            return fail(state, name, "short read");
        benchmark::DoNotOptimize(data.constData());
    }
    state.SetBytesProcessed(state.iterations() * file.size);
}

void benchReadNew(benchmark::State &state, const DataFile &file)
{
    const std::string name = "load/read-new/" + label(file);
    for (auto _ : state) {
        PageBuffer buffer(file.size);
        if (readFile(file.path, buffer.data, file.size) != file.size)
            return fail(state, name, "short read");
        benchmark::DoNotOptimize(buffer.data);
    }
    state.SetBytesProcessed(state.iterations() * file.size);
}

void benchLibrary(benchmark::State &state, const DataFile &file)
{
    const std::string name = "load/library/" + label(file);
    CameraUIService *service = serviceFor(file);
    // The first load sizes the buffer; later ones reuse it, as read() reuses its own.
    GetCameraData(service);
    for (auto _ : state) {
        const QByteArray &data = GetCameraData(service);
        if (data.size() != file.size) {
            DestroyCameraDlg(service);
            return fail(state, name, "GetCameraData returned a wrong size");
        }
        benchmark::DoNotOptimize(data.constData());
    }
    DestroyCameraDlg(service);
    state.SetBytesProcessed(state.iterations() * file.size);
}

void benchLibraryNew(benchmark::State &state, const DataFile &file)
{
    const std::string name = "load/library-new/" + label(file);
    for (auto _ : state) {
        CameraUIService *service = serviceFor(file);
        const bool ok = GetCameraData(service).size() == file.size;
        DestroyCameraDlg(service);
        if (!ok)
            return fail(state, name, "GetCameraData returned a wrong size");
    }
    state.SetBytesProcessed(state.iterations() * file.size);
}

// A fresh process per size and loader, so no earlier peak hides this one.
bool measurePeak(const DataFile &file, const char *mode, long long *before, long long *peak)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
        { QStringLiteral("--peak-child"), QLatin1String(mode), QString::fromLocal8Bit(file.path),
            QString::number(file.size) });
    if (!child.waitForFinished(120000) || child.exitStatus() != QProcess::NormalExit
        || child.exitCode() != 0)
        return false;
    const QList<QByteArray> fields = child.readAllStandardOutput().trimmed().split(' ');
    if (fields.size() != 2)
        return false;
    *before = fields.at(0).toLongLong();
    *peak = fields.at(1).toLongLong();
    return *before > 0 && *peak > 0;
}

std::string mib(long long bytes)
{
    return format("%.1f MiB", static_cast<double>(bytes) / MiB);
}

} // namespace

void registerFileLoad(const Options &options)
{
    dataDir
        = std::make_unique<QTemporaryDir>(options.dataDir + QStringLiteral("/camera-bench-XXXXXX"));
    if (!dataDir->isValid()) {
        note("file loading skipped: cannot create a folder in " + options.dataDir.toStdString());
        return;
    }
    struct statvfs fs = {};
    long long room = -1;
    if (::statvfs(QFile::encodeName(dataDir->path()).constData(), &fs) == 0)
        room = static_cast<long long>(fs.f_bavail) * static_cast<long long>(fs.f_frsize);
    for (int sizeMiB : options.sizesMiB) {
        DataFile file;
        file.sizeMiB = sizeMiB;
        file.size = sizeMiB * MiB;
        file.path = QFile::encodeName(dataDir->filePath(QStringLiteral("data-%1MiB").arg(sizeMiB)));
        // Keep 256 MiB free for everyone else.
        if (room >= 0 && room - file.size < 256 * MiB) {
            note(format("file loading %d MiB skipped: only %lld MiB free in ", sizeMiB, room / MiB)
                + dataDir->path().toStdString());
            continue;
        }
        if (!writeFile(file.path, file.size) || !warm(file)) {
            note(format("file loading %d MiB skipped: cannot write ", sizeMiB)
                + file.path.toStdString());
            continue;
        }
        room -= file.size;
        files.push_back(file);
    }
    if (!files.empty()) {
        CameraUIService *service = serviceFor(files.front());
        libraryOffset = static_cast<long long>(
            reinterpret_cast<uintptr_t>(GetCameraData(service).constData()) % 4096);
        DestroyCameraDlg(service);
    }
    for (const DataFile &file : files) {
        const std::string size = label(file);
        // Baseline first, then the library, on the same warm file.
        benchmark::RegisterBenchmark(("load/read/" + size).c_str(), benchRead, file)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("load/library/" + size).c_str(), benchLibrary, file)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("load/read-new/" + size).c_str(), benchReadNew, file)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("load/library-new/" + size).c_str(), benchLibraryNew, file)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("load/read-offset/" + size).c_str(), benchReadAtOffset, file)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("load/hugepages-new/" + size).c_str(), benchHugePages, file)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
}

void fileLoadRows(std::vector<Row> &rows)
{
    for (DataFile &file : files) {
        const std::string size = label(file);
        const auto throughput = [&](const std::string &name) {
            const double s = seconds(name);
            return s > 0 ? static_cast<double>(file.size) / GiB / s : -1;
        };
        const auto gibs = [](double v) { return v > 0 ? format("%.2f GiB/s", v) : "n/a"; };
        const auto loadRow
            = [&](const std::string &figure, const std::string &library,
                  const std::string &baseline, const std::string &baselineText, bool goal) {
                  const double lib = throughput(library);
                  const double base = throughput(baseline);
                  const bool have = lib > 0 && base > 0;
                  rows.push_back({ figure, gibs(lib), baselineText + " " + gibs(base),
                      ratioText(lib, base), goal ? "≥ 0.90×" : "(breakdown)",
                      goal && have ? yesNo(lib / base >= 0.9) : "n/a" });
              };
        const std::string one = "read() into one page-aligned buffer:";
        loadRow("GetCameraData " + size + ", buffer reused", "load/library/" + size,
            "load/read/" + size, one, true);
        loadRow(
            format("  read() into one buffer at the library's page offset (+%lld)", libraryOffset),
            "load/read-offset/" + size, "load/read/" + size, one, false);
        loadRow("GetCameraData " + size + ", new service per call", "load/library-new/" + size,
            "load/read/" + size, one, true);
        loadRow("  read() into a new buffer per call", "load/read-new/" + size, "load/read/" + size,
            one, false);
        loadRow("  tried: new QByteArray + MADV_HUGEPAGE + fread", "load/hugepages-new/" + size,
            "load/read/" + size, one, false);

        const bool haveLibrary
            = measurePeak(file, "library", &file.libraryBefore, &file.libraryPeak);
        const bool haveRead = measurePeak(file, "read", &file.readBefore, &file.readPeak);
        if (!haveLibrary)
            note("peak memory of GetCameraData " + size + ": the child process failed");
        if (!haveRead)
            note("peak memory of read() " + size + ": the child process failed");
        // Growth over what the process held before: the program itself (Qt, libstdc++,
        // the benchmark library) is no cost of loading a file.
        const auto peakText = [&](bool have, long long before, long long peak) {
            if (!have)
                return std::string("n/a");
            return format("file + %s (VmHWM %s, %s before)", mib(peak - before - file.size).c_str(),
                mib(peak).c_str(), mib(before).c_str());
        };
        const long long growth = file.libraryPeak - file.libraryBefore;
        rows.push_back({ "Peak memory growth, GetCameraData " + size,
            peakText(haveLibrary, file.libraryBefore, file.libraryPeak),
            "read(): " + peakText(haveRead, file.readBefore, file.readPeak),
            haveLibrary ? format("%.3f× file", double(growth) / double(file.size)) : "n/a",
            "≤ file + 4 MiB", haveLibrary ? yesNo(growth <= file.size + peakSlack) : "n/a" });
    }
    files.clear();
    dataDir.reset();
}

int peakChild(int argc, char **argv)
{
    if (argc != 5)
        return 2;
    const std::string mode = argv[2];
    const char *path = argv[3];
    const long long size = std::atoll(argv[4]);
    TraceSilencer silencer;
    const long long before = peakResidentBytes();
    bool ok = false;
    if (mode == "library") {
        CameraUIService *service = CreateCameraUIService(CameraTypePhoto, 0);
        SetCameraFileLocation(service, path);
        ok = GetCameraData(service).size() == size;
        const long long peak = peakResidentBytes();
        DestroyCameraDlg(service);
        fprintf(silencer.out(), "%lld %lld\n", before, peak);
    } else if (mode == "read") {
        PageBuffer buffer(size);
        ok = readFile(path, buffer.data, size) == size;
        fprintf(silencer.out(), "%lld %lld\n", before, peakResidentBytes());
    }
    return ok ? 0 : 1;
}

} // namespace bench
