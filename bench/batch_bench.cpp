// The directory batch: tavrik_batch over 2,000 copies of corpus files into an
// output directory (title and first-line strategies), against the I/O floor, which lists the same directory and
// reads the same bytes from the same files. Both recreate the input before every
// timed run (the batch moves the files away); only the run itself is timed.
#include "bench_util.h"
#include "tavrik.h"

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kCopies = 2000;

struct source_file {
    std::string name;
    std::vector<std::uint8_t> data;
};

std::vector<source_file> g_sources;
fs::path g_root;

fs::path input_dir() { return g_root / "in"; }
fs::path output_dir() { return g_root / "out"; }

// A fresh input directory with kCopies files cycling through the corpus, and no
// output directory.
bool populate()
{
    std::error_code ec;
    fs::remove_all(input_dir(), ec);
    fs::remove_all(output_dir(), ec);
    if (!fs::create_directory(input_dir(), ec)) {
        return false;
    }
    char prefix[16];
    for (int i = 0; i < kCopies; ++i) {
        const source_file& s = g_sources[static_cast<std::size_t>(i) % g_sources.size()];
        std::snprintf(prefix, sizeof prefix, "c%04d-", i);
        if (!bench::write_file(input_dir() / (prefix + s.name), s.data.data(), s.data.size())) {
            return false;
        }
    }
    return true;
}

// CPU time of the whole process (user and system), in seconds: the machine may be
// shared, and this is what the run itself cost.
double process_cpu_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

bool ends_with_pdf(const char* name)
{
    const std::size_t n = std::strlen(name);
    if (n <= 4) {
        return false;
    }
    const char* e = name + n - 4;
    return e[0] == '.' && (e[1] | 0x20) == 'p' && (e[2] | 0x20) == 'd' && (e[3] | 0x20) == 'f';
}

// What any program that looks at every PDF of the directory must do at least:
// list it, sort the names and read each file whole. Returns the files read.
int io_floor(const std::string& dir, std::size_t& bytes)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            if (ends_with_pdf(e->d_name)) {
                names.emplace_back(e->d_name);
            }
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    int files = 0;
    for (const std::string& n : names) {
        const auto data = bench::read_file((dir + "/" + n).c_str());
        bytes += data.size();
        benchmark::DoNotOptimize(data.data());
        ++files;
    }
    return files;
}

void BM_batch(benchmark::State& state, int strategy)
{
    const std::string in = input_dir().string();
    const std::string out = output_dir().string();
    int renamed = 0;
    double cpu = 0;
    for (auto _ : state) {
        if (!populate()) {
            state.SkipWithError("cannot create the input files");
            return;
        }
        const double c0 = process_cpu_seconds();
        const auto t0 = std::chrono::steady_clock::now();
        renamed = tavrik_batch(in.c_str(), out.c_str(), strategy);
        const auto t1 = std::chrono::steady_clock::now();
        cpu += process_cpu_seconds() - c0;
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
    state.counters["files"] = kCopies;
    state.counters["renamed"] = renamed;
    state.SetLabel(tavrik_last_error());
}

void BM_io_floor(benchmark::State& state)
{
    const std::string in = input_dir().string();
    int files = 0;
    std::size_t bytes = 0;
    double cpu = 0;
    for (auto _ : state) {
        if (!populate()) {
            state.SkipWithError("cannot create the input files");
            return;
        }
        bytes = 0;
        const double c0 = process_cpu_seconds();
        const auto t0 = std::chrono::steady_clock::now();
        files = io_floor(in, bytes);
        const auto t1 = std::chrono::steady_clock::now();
        cpu += process_cpu_seconds() - c0;
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
    state.counters["files"] = files;
    state.counters["MiB"] = static_cast<double>(bytes) / (1 << 20);
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    const auto dir = bench::corpus_dir(argc, argv);
    for (const auto& f : bench::pdf_files(dir)) {
        g_sources.push_back({f.filename().string(), bench::read_file(f.c_str())});
    }
    if (g_sources.empty()) {
        std::fprintf(stderr, "batch_bench: no *.pdf files in %s\n", dir.c_str());
        return 1;
    }
    bench::temp_dir tmp("tavrik-batch-bench");
    if (!tmp.ok()) {
        std::fprintf(stderr, "batch_bench: cannot create a temporary directory\n");
        return 1;
    }
    g_root = tmp.path();
    // One batch run of 2,000 files per repetition.
    // The title strategy reads page text only for documents without a title; the
    // first-line strategy reads every document's first line.
    benchmark::RegisterBenchmark("batch/tavrik", BM_batch, 0)
        ->UseManualTime()->Iterations(1)->Repetitions(7)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("batch/tavrik-first-line", BM_batch, 1)
        ->UseManualTime()->Iterations(1)->Repetitions(7)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("batch/io-floor", BM_io_floor)
        ->UseManualTime()->Iterations(1)->Repetitions(7)->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
