// Moving a file: across file systems (from the RAM file system /dev/shm to a
// folder under the temporary directory, like a USB stick to disk) against plain
// copying the same bytes, and within one folder against a bare rename(2).
//
// Each iteration runs every contender once, in an order that rotates, and times
// each by the wall clock (flushing waits for the disk, which CPU time does not
// show); preparing the source and removing the result are not timed. The
// counters give the median of each contender and the ratios of the medians, so
// every figure compares things measured in the same run.
#include "bench_util.h"
#include "rename.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

constexpr std::size_t kChunk = 65536;   // the size the library copies in
constexpr int kRenamesPerIteration = 64;

fs::path g_disk;   // a folder on the temporary directory's file system
fs::path g_shm;    // a folder on another one

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

template <typename F>
double timed(F&& f)
{
    const auto start = clock_type::now();
    f();
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// What cp does: read the source and write a new file; with flush, fsync it too.
bool plain_copy(const char* from, const char* to, bool flush)
{
    const int in = ::open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return false;
    }
    const int out = ::open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        ::close(in);
        return false;
    }
    static char buf[kChunk];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(in, buf, sizeof buf);
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        if (::write(out, buf, static_cast<std::size_t>(n)) != n) {
            ok = false;
            break;
        }
    }
    if (flush) {
        ok = ::fsync(out) == 0 && ok;
    }
    ok = ::close(out) == 0 && ok;
    ::close(in);
    return ok;
}

void BM_AcrossFileSystems(benchmark::State& state)
{
    const std::size_t bytes = static_cast<std::size_t>(state.range(0)) << 20;
    std::vector<char> data(bytes);
    for (std::size_t i = 0; i < bytes; ++i) {
        data[i] = static_cast<char>((i * 2654435761u) >> 13);
    }
    const std::string src = (g_shm / "scan.pdf").string();
    const std::string dst = (g_disk / "Annual Report.pdf").string();
    std::vector<double> copy, flushed_copy, move;
    int turn = 0;
    for (auto _ : state) {
        for (int k = 0; k < 3; ++k) {
            const int which = (turn + k) % 3;
            if (!bench::write_file(src, data.data(), data.size())) {
                state.SkipWithError("cannot write the source");
                return;
            }
            bool ok = false;
            const double t = timed([&] {
                if (which == 2) {
                    ok = tavrik::move_file(src.c_str(), dst.c_str());
                } else {
                    ok = plain_copy(src.c_str(), dst.c_str(), which == 1) && ::unlink(src.c_str()) == 0;
                }
            });
            if (!ok) {
                state.SkipWithError("a move or copy failed");
                return;
            }
            (which == 0 ? copy : which == 1 ? flushed_copy : move).push_back(t);
            ::unlink(dst.c_str());
            ::unlink(src.c_str());
        }
        ++turn;
        state.SetIterationTime(move.back());
    }
    const double c = median(copy), f = median(flushed_copy), m = median(move);
    state.counters["copy_ms"] = c * 1e3;
    state.counters["flushed_copy_ms"] = f * 1e3;
    state.counters["move_ms"] = m * 1e3;
    state.counters["move_per_copy"] = c > 0 ? m / c : 0;
    state.counters["move_per_flushed_copy"] = f > 0 ? m / f : 0;
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes) * state.iterations());
}

// A rename within one folder: the library's move (which also makes the new
// name durable) against the bare system call.
void BM_WithinOneFolder(benchmark::State& state)
{
    const fs::path dir = g_disk / "same";
    fs::create_directories(dir);
    std::vector<std::string> a, b;
    for (int i = 0; i < kRenamesPerIteration; ++i) {
        a.push_back((dir / ("scan" + std::to_string(i) + ".pdf")).string());
        b.push_back((dir / ("Report-" + std::to_string(i) + ".pdf")).string());
        bench::write_file(a.back(), "%PDF-1.7\n", 9);
    }
    std::vector<double> bare, move;
    int turn = 0;
    for (auto _ : state) {
        for (int k = 0; k < 2; ++k) {
            const bool library = (turn + k) % 2 == 1;
            bool ok = true;
            const double t = timed([&] {
                for (int i = 0; i < kRenamesPerIteration; ++i) {
                    ok = (library ? tavrik::move_file(a[i].c_str(), b[i].c_str())
                                  : ::rename(a[i].c_str(), b[i].c_str()) == 0) &&
                         ok;
                }
            });
            for (int i = 0; i < kRenamesPerIteration; ++i) {
                ok = ::rename(b[i].c_str(), a[i].c_str()) == 0 && ok;
            }
            if (!ok) {
                state.SkipWithError("a rename failed");
                return;
            }
            (library ? move : bare).push_back(t / kRenamesPerIteration);
        }
        ++turn;
        state.SetIterationTime(move.back() * kRenamesPerIteration);
    }
    const double r = median(bare), m = median(move);
    state.counters["rename_us"] = r * 1e6;
    state.counters["move_us"] = m * 1e6;
    state.counters["move_per_rename"] = r > 0 ? m / r : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    bench::temp_dir disk("tavrik-move-bench");
    const fs::path shm_root = "/dev/shm";
    struct stat a{}, b{};
    if (!disk.ok() || ::stat(disk.path().c_str(), &a) != 0 || ::stat(shm_root.c_str(), &b) != 0 ||
        a.st_dev == b.st_dev) {
        std::fprintf(stderr, "move_bench: needs /dev/shm on another file system than the temporary directory\n");
        return 1;
    }
    std::string shm_templ = (shm_root / "tavrik-move-bench-XXXXXX").string();
    if (::mkdtemp(shm_templ.data()) == nullptr) {
        std::fprintf(stderr, "move_bench: cannot create a folder in /dev/shm\n");
        return 1;
    }
    g_disk = disk.path();
    g_shm = shm_templ;
    benchmark::RegisterBenchmark("move/across-file-systems", BM_AcrossFileSystems)
        ->Arg(4)
        ->Arg(64)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("move/within-one-folder", BM_WithinOneFolder)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    fs::remove_all(g_shm, ec);
    return 0;
}
