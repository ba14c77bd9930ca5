#pragma once
// What every benchmark program shares: a console reporter that keeps each run's time by
// name, the start and end of the process, and the ratio table printed after the runs.
//
//   int main(int argc, char **argv)
//   {
//       bench::BenchProgram program(argc, argv);
//       const bench::RatioReporter &runs = program.run();
//       const bench::TimeRatio ratios[] = {{"insert", "insert/HashMap", "insert/std::map"}};
//       bench::print_time_ratios(runs, "HashMap time / std::map time (below 1: HashMap is faster)", ratios);
//       return 0;
//   }
#include <benchmark/benchmark.h>

#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tallow::bench {

/// Console output as usual; each finished run's real time per iteration, and its
/// "bytes_per_second" counter when it sets one, kept under its name. The name is the one
/// the program registered, its arguments and its "threads:N", joined by '/' ("burst/ring",
/// "NameId64/8", "small/generic/threads:4"); timing options such as "real_time" or
/// "min_time:3.000" are left out. Failed runs are not kept. Run with
/// --benchmark_repetitions=N (and --benchmark_enable_random_interleaving=true on a noisy
/// machine, so the runs compared take turns), a run keeps the median of its repetitions.
/// Main thread only.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override;

    /// True when a run of that name finished.
    bool has(std::string_view name) const;
    /// Real seconds per iteration of the named run; 0 when it did not run.
    double seconds(std::string_view name) const;
    /// The named run's bytes per second; 0 when it did not run or counted no bytes.
    double bytes_per_second(std::string_view name) const;

  private:
    struct Result {
        double seconds;
        double bytes_per_second;
        bool median; // the median of repeated runs
    };
    std::map<std::string, Result, std::less<>> _results;
};

/// One line of a ratio table: the time of run `a` over the time of run `b`.
struct TimeRatio {
    std::string label; // what the line is called in the table
    std::string a;     // run names as RatioReporter keeps them
    std::string b;
};

/// Prints a blank line, `heading`, then "  <label> <a time / b time>" for each pair whose
/// two runs both finished (pairs filtered out on the command line are skipped).
void print_time_ratios(const RatioReporter &runs, const char *heading, std::span<const TimeRatio> ratios);

/// Processor time (ms) the calling thread has used.
double this_thread_cpu_ms();
/// Processor time (ms) of this process's threads named `name` (the kernel's short name,
/// at most 15 characters: "thread pool wor"), living ones only.
double threads_cpu_ms(const char *name);

/// The life of a benchmark program, held by its main: the constructor builds the memory
/// globals and reads the benchmark flags (removing them from argv), the destructor shuts
/// benchmark down and tears the memory globals down, so anything the program still holds
/// from the global allocators must be freed before it goes out of scope.
class BenchProgram {
  public:
    BenchProgram(int &argc, char **argv);
    ~BenchProgram();
    BenchProgram(const BenchProgram &) = delete;
    BenchProgram &operator=(const BenchProgram &) = delete;

    /// Runs the benchmarks the command line selects, printing each to the console; the
    /// returned reporter holds their times and lives as long as the program object.
    const RatioReporter &run();

  private:
    RatioReporter _reporter;
};

} // namespace tallow::bench
