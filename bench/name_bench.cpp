// Naming one file: tavrik_suggest by title and by first line against poppler-cpp
// and MuPDF doing the same job in the same process (see reference_jobs.h). One
// benchmark per file, side and job, all in the same run; bench/run takes the
// median of the repetitions per file and the ratio per file.
#include "bench_util.h"
#include "reference_jobs.h"
#include "tavrik.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

void run_tavrik(benchmark::State& state, const std::string& path, int strategy)
{
    std::size_t named = 0;
    for (auto _ : state) {
        const char* name = tavrik_suggest(path.c_str(), strategy);
        benchmark::DoNotOptimize(name);
        named += name[0] != '\0' ? 1 : 0;
    }
    state.counters["named"] = named > 0 ? 1 : 0;
}

template <class Reference>
void run_reference(benchmark::State& state, const Reference& ref, const std::string& path, bench::job j)
{
    std::size_t found = 0;
    for (auto _ : state) {
        const std::string text = ref.run(path, j);
        benchmark::DoNotOptimize(text.data());
        found = text.size();
    }
    state.counters["text_bytes"] = static_cast<double>(found);
}

struct job_name {
    bench::job job;
    int strategy;
    const char* label;
};
constexpr job_name kJobs[] = {{bench::job::title, 0, "title"}, {bench::job::first_line, 1, "first-line"}};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    const auto dir = bench::corpus_dir(argc, argv);
    const auto files = bench::pdf_files(dir);
    if (files.empty()) {
        std::fprintf(stderr, "name_bench: no *.pdf files in %s\n", dir.c_str());
        return 1;
    }
#if TAVRIK_BENCH_POPPLER
    static const bench::poppler_reference poppler;
#endif
#if TAVRIK_BENCH_MUPDF
    static const bench::mupdf_reference mupdf;
    if (!mupdf.ok()) {
        std::fprintf(stderr, "name_bench: cannot create a MuPDF context\n");
        return 1;
    }
#endif
    for (const auto& f : files) {
        const std::string path = f.string();
        const std::string file = f.filename().string();
        for (const job_name& j : kJobs) {
            const std::string suffix = std::string(j.label) + "/" + file;
            benchmark::RegisterBenchmark(("name/" + suffix).c_str(),
                                         [path, s = j.strategy](benchmark::State& st) { run_tavrik(st, path, s); })
                ->Unit(benchmark::kMicrosecond);
#if TAVRIK_BENCH_POPPLER
            benchmark::RegisterBenchmark(("poppler/" + suffix).c_str(), [path, jj = j.job](benchmark::State& st) {
                run_reference(st, poppler, path, jj);
            })->Unit(benchmark::kMicrosecond);
#endif
#if TAVRIK_BENCH_MUPDF
            benchmark::RegisterBenchmark(("mupdf/" + suffix).c_str(), [path, jj = j.job](benchmark::State& st) {
                run_reference(st, mupdf, path, jj);
            })->Unit(benchmark::kMicrosecond);
#endif
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
