// bench_common.h - what the benchmark programs share: a scratch folder for
// their files, default flags (repetitions, medians), and a console reporter
// that also keeps each benchmark's median for the summary a program prints
// at its end.
#ifndef BENCH_BENCH_COMMON_H
#define BENCH_BENCH_COMMON_H

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

// A fresh folder under `base` (or $TMPDIR, or /tmp when `base` is not a
// folder), removed with its files by remove_scratch().  Empty on failure.
std::string make_scratch(const char *base, const char *prefix);
void remove_scratch(const std::string &dir);

struct Result {
    double real = 0;  // per iteration, in the benchmark's time unit (manual time when used)
    double cpu = 0;
    std::map<std::string, double> counters;
};

// Prints as the console reporter does and keeps, per benchmark (the name
// without its aggregate suffix), the median when there are repetitions,
// else the single run.
class KeepingReporter : public benchmark::ConsoleReporter {
  public:
    // Plain text, counters as name=value: the output is kept in files.
    KeepingReporter() : ConsoleReporter(OO_None) {}
    void ReportRuns(const std::vector<Run> &runs) override;
    const Result *find(const std::string &name) const;

  private:
    std::map<std::string, Result> results_;
};

// Runs the registered benchmarks with the defaults put ahead of the caller's
// own flags, which win: 5 repetitions, only the aggregates reported, random
// interleaving of the runs (so a slow spell of a shared machine does not fall
// on one benchmark).  false on an unrecognised flag.
bool run_benchmarks(int argc, char **argv, KeepingReporter *reporter);

}  // namespace bench

#endif  // BENCH_BENCH_COMMON_H
