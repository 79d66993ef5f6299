// The directory batch: tavrik_batch over 2,000 copies of the files of a folder (the
// corpus, or real documents) into an output directory, by title and by first
// line, against the I/O floor, which lists the same directory and reads each file
// whole with read() into one reused buffer. Before every timed run the input
// directory is made anew of hard links to 2,000 distinct copies written once at
// start-up: the batch moves the links away, the copies stay, and no run waits for
// a previous run's writes to reach the disk. Only the run itself is timed.
#include "bench_util.h"
#include "tavrik.h"

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <time.h>
#include <unistd.h>

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
std::vector<std::string> g_copy_names;

fs::path copies_dir() { return g_root / "copies"; }
fs::path input_dir() { return g_root / "in"; }
fs::path output_dir() { return g_root / "out"; }

// kCopies files cycling through the sources, each its own file (its own
// identity, as separate downloads of one document have).
bool write_copies()
{
    std::error_code ec;
    if (!fs::create_directory(copies_dir(), ec)) {
        return false;
    }
    char prefix[16];
    for (int i = 0; i < kCopies; ++i) {
        const source_file& s = g_sources[static_cast<std::size_t>(i) % g_sources.size()];
        std::snprintf(prefix, sizeof prefix, "c%04d-", i);
        g_copy_names.push_back(prefix + s.name);
        if (!bench::write_file(copies_dir() / g_copy_names.back(), s.data.data(), s.data.size())) {
            return false;
        }
    }
    // The copies reach the disk now rather than during a timed run.
    ::sync();
    return true;
}

// A fresh input directory that links every copy, and no output directory.
bool populate()
{
    std::error_code ec;
    fs::remove_all(input_dir(), ec);
    fs::remove_all(output_dir(), ec);
    if (!fs::create_directory(input_dir(), ec)) {
        return false;
    }
    for (const std::string& n : g_copy_names) {
        fs::create_hard_link(copies_dir() / n, input_dir() / n, ec);
        if (ec) {
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
int io_floor(const std::string& dir, std::vector<std::uint8_t>& buffer, std::size_t& bytes)
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
    std::string path;
    for (const std::string& n : names) {
        path.assign(dir).append("/").append(n);
        bytes += bench::read_into(path.c_str(), buffer);
        benchmark::DoNotOptimize(buffer.data());
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
    // Kept across repetitions: the floor grows its buffer once, not per run.
    static std::vector<std::uint8_t> buffer;
    double cpu = 0;
    for (auto _ : state) {
        if (!populate()) {
            state.SkipWithError("cannot create the input files");
            return;
        }
        bytes = 0;
        const double c0 = process_cpu_seconds();
        const auto t0 = std::chrono::steady_clock::now();
        files = io_floor(in, buffer, bytes);
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
    if (!write_copies()) {
        std::fprintf(stderr, "batch_bench: cannot write the copies under %s\n", g_root.c_str());
        return 1;
    }
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
