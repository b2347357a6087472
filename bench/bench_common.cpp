#include "bench_common.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace bench {

std::string make_scratch(const char *base, const char *prefix) {
    struct stat st;
    std::string root;
    if (base != nullptr && stat(base, &st) == 0 && S_ISDIR(st.st_mode)) {
        root = base;
    } else {
        const char *tmp = std::getenv("TMPDIR");
        root = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    }
    std::string pattern = root + "/" + prefix + ".XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) return std::string();
    return std::string(buf.data());
}

void remove_scratch(const std::string &dir) {
    if (dir.empty()) return;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            unlink((dir + "/" + e->d_name).c_str());
        }
        closedir(d);
    }
    rmdir(dir.c_str());
}

namespace {

std::vector<char *> with_default_flags(int argc, char **argv) {
    static char repetitions[] = "--benchmark_repetitions=5";
    static char aggregates[] = "--benchmark_report_aggregates_only=true";
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    std::vector<char *> out;
    out.push_back(argv[0]);
    out.push_back(repetitions);
    out.push_back(aggregates);
    out.push_back(interleave);
    for (int i = 1; i < argc; ++i) out.push_back(argv[i]);
    out.push_back(nullptr);
    return out;
}

}  // namespace

bool run_benchmarks(int argc, char **argv, KeepingReporter *reporter) {
    std::vector<char *> args = with_default_flags(argc, argv);
    int n = static_cast<int>(args.size()) - 1;
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data())) return false;
    benchmark::RunSpecifiedBenchmarks(reporter);
    return true;
}

void KeepingReporter::ReportRuns(const std::vector<Run> &runs) {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &r : runs) {
        if (r.error_occurred) continue;
        const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
        const bool single = r.run_type == Run::RT_Iteration && r.repetitions <= 1;
        if (!median && !single) continue;
        std::string name = r.run_name.function_name;
        if (!r.run_name.args.empty()) name += "/" + r.run_name.args;
        Result &out = results_[name];
        out.real = r.GetAdjustedRealTime();
        out.cpu = r.GetAdjustedCPUTime();
        for (const auto &[key, counter] : r.counters) out.counters[key] = counter.value;
    }
}

const Result *KeepingReporter::find(const std::string &name) const {
    const auto it = results_.find(name);
    return it == results_.end() ? nullptr : &it->second;
}

}  // namespace bench
