// SPDX-License-Identifier: MIT
// Leak soak: runs create, configure, launch, read, destroy cycles through the C entry
// points, as a host would, against the camera application on the session bus, and prints
// the resident memory after the warm-up (cycle 100) and at the end.

#include <camerauiservice/CameraUIServiceCWrapper.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

const char kUsage[]
    = "Usage: camerauiservice-soak [--cycles N] [--warm-up N] [--max-growth-kib K] [--dir DIR]\n"
      "\n"
      "Runs N (default 2000) cycles of CreateCameraUIService, the four setters, Exec,\n"
      "GetCameraFileLocation, GetCameraData, GetMinDataSize, GetAutoPostSetting and\n"
      "DestroyCameraDlg against the camera application on the session bus, which must\n"
      "accept and write a photo at the location asked for (the reference camera does).\n"
      "The library's trace is discarded. Prints VmRSS after the warm-up (default 100\n"
      "cycles) and at the end. Photos go to DIR (default: a temporary folder).\n"
      "\n"
      "Exit status: 0 done, 1 a cycle failed or the resident memory grew by more than\n"
      "K KiB between the warm-up and the end (not checked under AddressSanitizer, whose\n"
      "quarantine holds freed memory), 2 usage error.\n";

long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return std::strtol(line.constData() + 6, nullptr, 10);
    }
    return -1;
}

bool parseCount(const char *text, long *out)
{
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0)
        return false;
    *out = value;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    long cycles = 2000;
    long warmUp = 100;
    long maxGrowth = -1;
    const char *dirArg = nullptr;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--cycles") == 0 && hasValue && parseCount(argv[i + 1], &cycles)
            && cycles > 0) {
            ++i;
        } else if (std::strcmp(argv[i], "--warm-up") == 0 && hasValue
            && parseCount(argv[i + 1], &warmUp)) {
            ++i;
        } else if (std::strcmp(argv[i], "--max-growth-kib") == 0 && hasValue
            && parseCount(argv[i + 1], &maxGrowth)) {
            ++i;
        } else if (std::strcmp(argv[i], "--dir") == 0 && hasValue) {
            dirArg = argv[++i];
        } else {
            std::fputs(kUsage, std::strcmp(argv[i], "--help") == 0 ? stdout : stderr);
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
        }
    }
    if (warmUp >= cycles) {
        std::fprintf(stderr, "soak: --warm-up must be below --cycles\n\n%s", kUsage);
        return 2;
    }

    QCoreApplication app(argc, argv);
    QTemporaryDir tempDir;
    const QString dir = dirArg ? QFile::decodeName(dirArg) : tempDir.path();
    if (!dirArg && !tempDir.isValid()) {
        std::fprintf(stderr, "soak: cannot create a temporary folder\n");
        return 1;
    }
    const std::string photo = QFile::encodeName(dir + QStringLiteral("/soak.png")).toStdString();

    // The trace would be most of the work and of the output: send it nowhere.
    std::fflush(stdout);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull < 0 || ::dup2(devNull, STDOUT_FILENO) < 0) {
        std::fprintf(stderr, "soak: cannot silence the trace\n");
        return 1;
    }
    ::close(devNull);

    QElapsedTimer clock;
    clock.start();
    long warmRss = -1;
    for (long cycle = 1; cycle <= cycles; ++cycle) {
        // Types 0 (all) and 1 (photo): the reference camera answers both with a PNG.
        CameraUIService *service = CreateCameraUIService(int(cycle % 2), int(cycle));
        SetCameraFileLocation(service, photo.c_str());
        SetCameraPhotoResolution(service, cycle % 2 ? "16x16" : "8x8");
        SetCameraVideoQuality(service, "LOWEST");
        SetCameraHasPostCapturedScreen(service, "NO");
        const int accepted = Exec(service);
        const QString location = GetCameraFileLocation(service);
        const QByteArray data = GetCameraData(service);
        GetMinDataSize(service);
        GetAutoPostSetting(service, int(cycle % 3));
        DestroyCameraDlg(service);

        // Every cycle must do the whole job, or the memory figures mean nothing.
        if (accepted != 1 || QFile::encodeName(location).toStdString() != photo
            || !data.startsWith("\x89PNG")) {
            std::fprintf(stderr,
                "soak: cycle %ld failed: Exec %d, location '%s', %lld bytes read\n", cycle,
                accepted, qPrintable(location), static_cast<long long>(data.size()));
            return 1;
        }
        if (cycle == warmUp) {
            warmRss = residentKiB();
            std::fprintf(stderr, "soak: cycle %ld: VmRSS %ld KiB\n", cycle, warmRss);
        }
    }
    const long endRss = residentKiB();
    const long growth = endRss - warmRss;
    std::fprintf(stderr, "soak: cycle %ld: VmRSS %ld KiB (%+ld KiB since cycle %ld)\n", cycles,
        endRss, growth, warmUp);
    std::fprintf(stderr, "soak: %ld cycles in %.1f s\n", cycles, double(clock.elapsed()) / 1000);
    if (maxGrowth >= 0 && warmRss > 0 && endRss > 0) {
        if (kAddressSanitizer) {
            std::fprintf(stderr, "soak: memory growth not checked under AddressSanitizer\n");
        } else if (growth > maxGrowth) {
            std::fprintf(stderr, "soak: FAIL: VmRSS grew by %ld KiB, more than %ld KiB\n", growth,
                maxGrowth);
            return 1;
        }
    }
    return 0;
}
