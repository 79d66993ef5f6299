// Raw DEFLATE decoding speed: sx_inflate against zlib's raw inflate on the same
// data in the same run. Throughput counts output bytes.
#include "flate.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

// One raw DEFLATE stream and the size it inflates to.
struct stream_item {
    bytes raw;
    std::size_t out_len;
};

struct data_set {
    std::vector<stream_item> streams;
    std::size_t total_out = 0;
    std::size_t max_out = 0;
};

bool zlib_inflate(const std::uint8_t* in, std::size_t in_len, int window_bits, bytes& out)
{
    z_stream z{};
    if (inflateInit2(&z, window_bits) != Z_OK) {
        return false;
    }
    out.assign(std::max<std::size_t>(in_len * 4, 4096), 0);
    z.next_in = const_cast<Bytef*>(in);  // zlib's API is not const-correct
    z.avail_in = static_cast<uInt>(in_len);
    int r = Z_OK;
    for (;;) {
        z.next_out = out.data() + z.total_out;
        z.avail_out = static_cast<uInt>(out.size() - z.total_out);
        r = inflate(&z, Z_FINISH);
        if (r != Z_BUF_ERROR || z.avail_out != 0) {
            break;
        }
        out.resize(out.size() * 2);
    }
    out.resize(z.total_out);
    inflateEnd(&z);
    return r == Z_STREAM_END;
}

void add_stream(data_set& d, bytes raw, std::size_t out_len)
{
    d.total_out += out_len;
    d.max_out = std::max(d.max_out, out_len);
    d.streams.push_back({std::move(raw), out_len});
}

// The data between "stream" + EOL and "endstream" in every corpus PDF, kept when
// zlib inflates it as a zlib stream; the 2-byte header is stripped.
data_set corpus_streams()
{
    data_set d;
    const std::filesystem::path dir = std::filesystem::path(TAVRIK_FIXTURES_DIR) / "corpus";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (entry.path().extension() != ".pdf") {
            continue;
        }
        std::ifstream f(entry.path(), std::ios::binary);
        const std::string pdf((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        std::size_t pos = 0;
        while ((pos = pdf.find("stream", pos)) != std::string::npos) {
            std::size_t start = pos + 6;
            pos = start;
            if (pos >= 9 && pdf.compare(pos - 9, 9, "endstream") == 0) {
                continue;
            }
            if (start < pdf.size() && pdf[start] == '\r') {
                ++start;
            }
            if (start >= pdf.size() || pdf[start] != '\n') {
                continue;
            }
            ++start;
            const std::size_t end = pdf.find("endstream", start);
            if (end == std::string::npos) {
                break;
            }
            const auto* p = reinterpret_cast<const std::uint8_t*>(pdf.data()) + start;
            bytes out;
            if (end - start > 2 && zlib_inflate(p, end - start, 15, out)) {
                add_stream(d, bytes(p + 2, p + (end - start)), out.size());
            }
            pos = end + 9;
        }
    }
    return d;
}

bytes english_like(std::size_t n)
{
    static const char* const words[] = {
        "the",      "of",       "and",     "to",       "in",        "a",        "is",       "that",
        "for",      "it",       "as",      "was",      "with",      "be",       "by",       "on",
        "not",      "he",       "this",    "are",      "or",        "his",      "from",     "at",
        "which",    "but",      "have",    "an",       "had",       "they",     "you",      "were",
        "their",    "one",      "all",     "we",       "there",     "been",     "if",       "more",
        "when",     "will",     "would",   "who",      "so",        "no",       "report",   "annual",
        "results",  "document", "section", "figure",   "table",     "revenue",  "growth",   "market",
        "study",    "sample",   "analysis", "measured", "between",  "however",  "during",   "across",
        "while",    "under",    "through", "second",   "quarter",   "company",  "members",  "committee",
        "handbook", "students", "library", "research", "published", "evidence", "approach", "structure"};
    std::mt19937 rng(2024);
    bytes out;
    out.reserve(n + 32);
    std::size_t line = 0;
    bool cap_next = true;
    while (out.size() < n) {
        std::string w = words[rng() % std::size(words)];
        if (cap_next) {
            w[0] = static_cast<char>(w[0] - 'a' + 'A');
            cap_next = false;
        }
        const unsigned r = rng() % 20;
        if (r == 0) {
            w += ',';
        } else if (r == 1) {
            w += '.';
            cap_next = true;
        }
        out.insert(out.end(), w.begin(), w.end());
        line += w.size() + 1;
        out.push_back(line > 72 ? '\n' : ' ');
        if (line > 72) {
            line = 0;
        }
    }
    out.resize(n);
    return out;
}

data_set text_stream(int level)
{
    const bytes text = english_like(std::size_t{4} << 20);
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    bytes raw(deflateBound(&z, text.size()));
    z.next_in = const_cast<Bytef*>(text.data());
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = raw.data();
    z.avail_out = static_cast<uInt>(raw.size());
    deflate(&z, Z_FINISH);
    raw.resize(z.total_out);
    deflateEnd(&z);
    data_set d;
    add_stream(d, std::move(raw), text.size());
    return d;
}

const data_set& corpus()
{
    static const data_set d = corpus_streams();
    return d;
}
const data_set& text6()
{
    static const data_set d = text_stream(6);
    return d;
}
const data_set& text9()
{
    static const data_set d = text_stream(9);
    return d;
}

void run_tavrik(benchmark::State& state, const data_set& d)
{
    bytes out(d.max_out);
    for (auto _ : state) {
        for (const stream_item& s : d.streams) {
            const std::int64_t n = tavrik::sx_inflate(s.raw.data(), s.raw.size(), out.data(), s.out_len);
            if (n != static_cast<std::int64_t>(s.out_len)) {
                state.SkipWithError("sx_inflate failed");
                return;
            }
            benchmark::DoNotOptimize(out.data());
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * d.total_out));
    state.counters["streams"] = static_cast<double>(d.streams.size());
}

// One inflate state for the whole run, reset per stream, as a careful caller would.
void run_zlib(benchmark::State& state, const data_set& d)
{
    bytes out(d.max_out);
    z_stream z{};
    inflateInit2(&z, -15);
    for (auto _ : state) {
        for (const stream_item& s : d.streams) {
            inflateReset(&z);
            z.next_in = const_cast<Bytef*>(s.raw.data());
            z.avail_in = static_cast<uInt>(s.raw.size());
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(s.out_len);
            if (inflate(&z, Z_FINISH) != Z_STREAM_END) {
                state.SkipWithError("zlib inflate failed");
                inflateEnd(&z);
                return;
            }
            benchmark::DoNotOptimize(out.data());
        }
        benchmark::ClobberMemory();
    }
    inflateEnd(&z);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * d.total_out));
    state.counters["streams"] = static_cast<double>(d.streams.size());
}

void BM_tavrik_corpus(benchmark::State& s) { run_tavrik(s, corpus()); }
void BM_zlib_corpus(benchmark::State& s) { run_zlib(s, corpus()); }
void BM_tavrik_text_level6(benchmark::State& s) { run_tavrik(s, text6()); }
void BM_zlib_text_level6(benchmark::State& s) { run_zlib(s, text6()); }
void BM_tavrik_text_level9(benchmark::State& s) { run_tavrik(s, text9()); }
void BM_zlib_text_level9(benchmark::State& s) { run_zlib(s, text9()); }

BENCHMARK(BM_tavrik_corpus)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_zlib_corpus)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_tavrik_text_level6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_zlib_text_level6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_tavrik_text_level9)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_zlib_text_level9)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
