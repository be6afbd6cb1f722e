// SPDX-License-Identifier: MIT
#ifndef CAMERA_BENCHSUPPORT_H
#define CAMERA_BENCHSUPPORT_H

#include <benchmark/benchmark.h>

#include <QString>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace bench {

struct Options
{
    QString dataDir; // where the big files go
    QString camera; // reference-camera program
    std::vector<int> sizesMiB { 64, 512 };
};

// One line of the final table.
struct Row
{
    std::string figure;
    std::string measured;
    std::string baseline;
    std::string ratio;
    std::string goal;
    std::string met; // "yes", "**no**" or "n/a"
};

// Points fd 1 at /dev/null so the library's printf trace costs what a discarded trace
// costs and does not mix with our output; restore() brings the original back.
class TraceSilencer
{
public:
    TraceSilencer();
    ~TraceSilencer();
    void restore();
    // The original standard output, for results while fd 1 is silenced.
    FILE *out() const { return m_out; }

private:
    int m_saved = -1;
    FILE *m_out = nullptr;
};

// Lines the library writes to fd 1 while fn runs.
int traceLines(const std::function<void()> &fn);

// Medians of what the reporter saw, in seconds per iteration; < 0 when missing.
double seconds(const std::string &name);
void recordIteration(const std::string &name, double secondsPerIteration);
// A benchmark that could not measure: its figures are dropped and the reason noted.
void fail(benchmark::State &state, const std::string &name, const std::string &why);
bool failed(const std::string &name);

void note(const std::string &text);
const std::vector<std::string> &notes();

// Forwards the console lines to stderr and keeps every repetition for our medians.
class Collector : public benchmark::ConsoleReporter
{
public:
    Collector();
    void ReportRuns(const std::vector<Run> &runs) override;
};

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string ratioText(double measured, double baseline);
std::string yesNo(bool met);

// Peak resident size of this process in bytes (VmHWM, else ru_maxrss).
long long peakResidentBytes();

// Every module registers its benchmarks, then turns the medians into rows.
void registerFileLoad(const Options &options);
void fileLoadRows(std::vector<Row> &rows);
void registerLaunch(const Options &options);
void launchRows(std::vector<Row> &rows);
void stopLaunch();
void registerQueries(const Options &options);
void queryRows(std::vector<Row> &rows);

// Child mode: "--peak-child library|read FILE" prints "before peak size" in bytes.
int peakChild(int argc, char **argv);

} // namespace bench

#endif
