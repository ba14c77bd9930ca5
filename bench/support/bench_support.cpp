#include "bench/support/bench_support.h"

#include "foundation/memory/memory_globals.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <unistd.h>

namespace tallow::bench {

namespace {

// Without the timing options the name stays the same whatever flags a run was given, so
// a program looks its runs up by the names it registered.
std::string key_of(const benchmark::BenchmarkName &name)
{
    std::string key = name.function_name;
    for (const std::string *part : {&name.args, &name.threads})
        if (!part->empty())
            key += "/" + *part;
    return key;
}

} // namespace

void RatioReporter::ReportRuns(const std::vector<Run> &runs)
{
    for (const Run &run : runs) {
        if (run.error_occurred)
            continue;
        // Repeated runs (--benchmark_repetitions) keep their median; a single run itself.
        const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
        if (!median && run.run_type != Run::RT_Iteration)
            continue;
        const std::string key = key_of(run.run_name);
        auto kept = _results.find(key);
        if (!median && kept != _results.end() && kept->second.median)
            continue;
        auto rate = run.counters.find("bytes_per_second");
        _results[key] = {run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit),
                         rate == run.counters.end() ? 0.0 : double(rate->second), median};
    }
    ConsoleReporter::ReportRuns(runs);
}

bool RatioReporter::has(std::string_view name) const { return _results.find(name) != _results.end(); }

double RatioReporter::seconds(std::string_view name) const
{
    auto it = _results.find(name);
    return it == _results.end() ? 0.0 : it->second.seconds;
}

double RatioReporter::bytes_per_second(std::string_view name) const
{
    auto it = _results.find(name);
    return it == _results.end() ? 0.0 : it->second.bytes_per_second;
}

double this_thread_cpu_ms()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1000.0 + double(t.tv_nsec) / 1e6;
}

double threads_cpu_ms(const char *name)
{
    double ms = 0;
    std::error_code ignored;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task", ignored)) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        if (!std::getline(comm, line) || line != name)
            continue;
        std::ifstream stat(task.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const size_t close = text.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14)
                utime = std::stoull(field);
            if (i == 15)
                stime = std::stoull(field);
        }
        ms += double(utime + stime) * 1000.0 / double(sysconf(_SC_CLK_TCK));
    }
    return ms;
}

void print_time_ratios(const RatioReporter &runs, const char *heading, std::span<const TimeRatio> ratios)
{
    size_t width = 0;
    for (const TimeRatio &r : ratios)
        width = std::max(width, r.label.size());
    std::printf("\n%s\n", heading);
    for (const TimeRatio &r : ratios) {
        const double a = runs.seconds(r.a), b = runs.seconds(r.b);
        if (a > 0 && b > 0)
            std::printf("  %-*s %6.2f\n", int(width), r.label.c_str(), a / b);
    }
}

BenchProgram::BenchProgram(int &argc, char **argv)
{
    memory_globals_init();
    benchmark::Initialize(&argc, argv);
}

BenchProgram::~BenchProgram()
{
    benchmark::Shutdown();
    memory_globals_shutdown();
}

const RatioReporter &BenchProgram::run()
{
    benchmark::RunSpecifiedBenchmarks(&_reporter);
    return _reporter;
}

} // namespace tallow::bench
