// SPDX-License-Identifier: MIT
// Benchmarks of libcamerauiservice: file loading, launch round trip and queries, each
// against a baseline measured in the same run. Figures only: nothing fails on speed.
//
//   camerauiservice-bench [--data-dir DIR] [--camera PATH] [--sizes 64,512] [benchmark flags]

#include "benchsupport.h"

#include <QCoreApplication>
#include <QDir>

#include <cstring>

#ifndef CAMERA_BENCH_BUILD_TYPE
#define CAMERA_BENCH_BUILD_TYPE "unknown"
#endif

namespace {

void usage()
{
    fprintf(stderr,
        "Usage: camerauiservice-bench [--data-dir DIR] [--camera PATH] [--sizes MIB,...] "
        "[--benchmark_* flags]\n"
        "Run it through bench/run, which gives it a private session bus.\n");
}

void printTable(FILE *out, const std::vector<bench::Row> &rows)
{
    fprintf(out, "| Figure | Measured | Baseline | Ratio | Goal | Meets goal |\n");
    fprintf(out, "| --- | --- | --- | --- | --- | --- |\n");
    for (const bench::Row &row : rows)
        fprintf(out, "| %s | %s | %s | %s | %s | %s |\n", row.figure.c_str(), row.measured.c_str(),
            row.baseline.c_str(), row.ratio.c_str(), row.goal.c_str(), row.met.c_str());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "--peak-child") == 0)
        return bench::peakChild(argc, argv);

    bench::Options options;
    // Ours first; the rest goes to Google Benchmark. Unless told otherwise: repetitions,
    // shuffled so a busy moment of the machine does not land on one side of a ratio.
    std::vector<char *> rest { argv[0], const_cast<char *>("--benchmark_repetitions=7"),
        const_cast<char *>("--benchmark_enable_random_interleaving=true") };
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--data-dir") == 0 && hasValue) {
            options.dataDir = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strcmp(argv[i], "--camera") == 0 && hasValue) {
            options.camera = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strcmp(argv[i], "--sizes") == 0 && hasValue) {
            options.sizesMiB.clear();
            for (const QByteArray &size : QByteArray(argv[++i]).split(',')) {
                const int mib = size.toInt();
                if (mib <= 0) {
                    usage();
                    return 2;
                }
                options.sizesMiB.push_back(mib);
            }
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            usage();
            return 0;
        } else {
            rest.push_back(argv[i]);
        }
    }
    int restCount = static_cast<int>(rest.size());
    rest.push_back(nullptr);
    benchmark::Initialize(&restCount, rest.data());
    if (benchmark::ReportUnrecognizedArguments(restCount, rest.data()))
        return 2;

    QCoreApplication app(argc, argv);
    if (options.dataDir.isEmpty())
        options.dataDir = QDir::tempPath();
    if (options.camera.isEmpty())
        options.camera
            = QCoreApplication::applicationDirPath() + QStringLiteral("/reference-camera");

    bench::TraceSilencer silencer;
    bench::registerFileLoad(options);
    bench::registerLaunch(options);
    bench::registerQueries(options);

    bench::Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);

    std::vector<bench::Row> rows;
    bench::fileLoadRows(rows);
    bench::launchRows(rows);
    bench::stopLaunch();
    bench::queryRows(rows);
    silencer.restore();
    benchmark::Shutdown();

    printTable(stdout, rows);
    printf("\nBuild type: %s. Medians of the repetitions.\n", CAMERA_BENCH_BUILD_TYPE);
    for (const std::string &text : bench::notes())
        printf("- %s\n", text.c_str());
    return 0;
}
