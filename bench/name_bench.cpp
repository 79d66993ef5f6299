// Naming one file: tavrik_suggest by title and by first line against poppler-cpp
// loading the same document, reading its Title and extracting the text of its
// first page. One benchmark per file and side, all in the same run; bench/run
// takes the median of the repetitions per file and the ratio per file.
#include "bench_util.h"
#include "tavrik.h"

#include <benchmark/benchmark.h>
#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

void quiet(const std::string& /*message*/, void* /*closure*/) {}

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

void run_poppler(benchmark::State& state, const std::string& path)
{
    std::size_t text_bytes = 0;
    for (auto _ : state) {
        std::unique_ptr<poppler::document> doc(poppler::document::load_from_file(path));
        std::string title;
        std::string text;
        if (doc) {
            const poppler::byte_array t = doc->info_key("Title").to_utf8();
            title.assign(t.begin(), t.end());
            if (doc->pages() > 0) {
                std::unique_ptr<poppler::page> page(doc->create_page(0));
                if (page) {
                    const poppler::byte_array b = page->text().to_utf8();
                    text.assign(b.begin(), b.end());
                }
            }
        }
        benchmark::DoNotOptimize(title.data());
        benchmark::DoNotOptimize(text.data());
        text_bytes = text.size();
    }
    state.counters["text_bytes"] = static_cast<double>(text_bytes);
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    poppler::set_debug_error_function(quiet, nullptr);
    const auto dir = bench::corpus_dir(argc, argv);
    const auto files = bench::pdf_files(dir);
    if (files.empty()) {
        std::fprintf(stderr, "name_bench: no *.pdf files in %s\n", dir.c_str());
        return 1;
    }
    for (const auto& f : files) {
        const std::string path = f.string();
        const std::string file = f.filename().string();
        benchmark::RegisterBenchmark(("name/title/" + file).c_str(),
                                     [path](benchmark::State& s) { run_tavrik(s, path, 0); })
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("name/first-line/" + file).c_str(),
                                     [path](benchmark::State& s) { run_tavrik(s, path, 1); })
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("poppler/" + file).c_str(),
                                     [path](benchmark::State& s) { run_poppler(s, path); })
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
