// SPDX-License-Identifier: MIT
#include "benchsupport.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace bench {

namespace {

std::map<std::string, std::vector<double>> &samples()
{
    static std::map<std::string, std::vector<double>> all;
    return all;
}

std::set<std::string> &failures()
{
    static std::set<std::string> all;
    return all;
}

std::vector<std::string> &noteList()
{
    static std::vector<std::string> all;
    return all;
}

} // namespace

TraceSilencer::TraceSilencer()
{
    fflush(stdout);
    m_saved = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (m_saved < 0 || null < 0) {
        perror("camerauiservice-bench: cannot silence fd 1");
        std::exit(1);
    }
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
    m_out = ::fdopen(m_saved, "w");
}

TraceSilencer::~TraceSilencer()
{
    restore();
}

void TraceSilencer::restore()
{
    if (!m_out)
        return;
    fflush(stdout);
    fflush(m_out);
    ::dup2(m_saved, STDOUT_FILENO);
    fclose(m_out); // closes m_saved too
    m_out = nullptr;
    m_saved = -1;
}

int traceLines(const std::function<void()> &fn)
{
    char path[] = "/tmp/camera-bench-trace-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0)
        return -1;
    ::unlink(path);
    fflush(stdout);
    const int previous = ::dup(STDOUT_FILENO);
    ::dup2(fd, STDOUT_FILENO);
    fn();
    fflush(stdout);
    ::dup2(previous, STDOUT_FILENO);
    ::close(previous);

    int lines = 0;
    char buffer[4096];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        lines += static_cast<int>(std::count(buffer, buffer + n, '\n'));
    ::close(fd);
    return lines;
}

double seconds(const std::string &name)
{
    if (failures().count(name))
        return -1;
    const auto it = samples().find(name);
    if (it == samples().end() || it->second.empty())
        return -1;
    std::vector<double> sorted = it->second;
    std::sort(sorted.begin(), sorted.end());
    const size_t n = sorted.size();
    return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

void recordIteration(const std::string &name, double secondsPerIteration)
{
    samples()[name].push_back(secondsPerIteration);
}

void fail(benchmark::State &state, const std::string &name, const std::string &why)
{
    if (failures().insert(name).second)
        note(name + ": " + why);
    state.SkipWithError(why.c_str());
}

bool failed(const std::string &name)
{
    return failures().count(name) > 0;
}

void note(const std::string &text)
{
    noteList().push_back(text);
}

const std::vector<std::string> &notes()
{
    return noteList();
}

Collector::Collector()
    : ConsoleReporter(OO_Tabular)
{
    SetOutputStream(&std::cerr);
    SetErrorStream(&std::cerr);
}

void Collector::ReportRuns(const std::vector<Run> &runs)
{
    std::vector<Run> shown;
    for (const Run &run : runs) {
        if (run.run_type == Run::RT_Iteration && run.iterations > 0)
            recordIteration(run.run_name.function_name,
                run.real_accumulated_time / static_cast<double>(run.iterations));
        // Repetitions show as their statistics only, unless there is just one.
        if (run.run_type == Run::RT_Aggregate || run.repetitions <= 1)
            shown.push_back(run);
    }
    if (!shown.empty())
        ConsoleReporter::ReportRuns(shown);
}

std::string format(const char *fmt, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return buffer;
}

std::string ratioText(double measured, double baseline)
{
    if (measured <= 0 || baseline <= 0)
        return "n/a";
    return format("%.3f×", measured / baseline);
}

std::string yesNo(bool met)
{
    return met ? "yes" : "**no**";
}

long long peakResidentBytes()
{
    if (FILE *status = fopen("/proc/self/status", "r")) {
        char line[256];
        long long kib = -1;
        while (fgets(line, sizeof line, status)) {
            if (std::strncmp(line, "VmHWM:", 6) == 0) {
                kib = std::atoll(line + 6);
                break;
            }
        }
        fclose(status);
        if (kib >= 0)
            return kib * 1024;
    }
    struct rusage usage = {};
    if (getrusage(RUSAGE_SELF, &usage) == 0)
        return static_cast<long long>(usage.ru_maxrss) * 1024;
    return -1;
}

} // namespace bench
