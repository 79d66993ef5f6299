// Big documents: a 2,000-page document, one of 100 MiB, and one flat page tree
// (every page a kid of the root Pages node) of 5,000 pages beside the same of 10
// pages, written at start-up into a temporary directory. tavrik_suggest by first
// line reads the file whole, finds its objects and walks the pages up to the
// first line, which the first page holds; poppler-cpp (for reference) loads the
// document, reads its Title and extracts the text of its first page. Reading the
// 5,000-page file whole is measured too: naming it should cost what naming 10
// pages costs plus what reading the larger file costs, however many pages follow
// the first. bench/run turns the times into ms per MiB.
#include "bench_util.h"
#include "tavrik.h"

#include <benchmark/benchmark.h>
#if TAVRIK_BENCH_POPPLER
#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>
#endif
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Writes numbered objects one after another and ends the file with a classic
// cross-reference table.
class pdf_writer {
public:
    pdf_writer() { out_ = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n"; }

    void object(int num, const std::string& body)
    {
        begin(num);
        out_ += body;
        out_ += "\nendobj\n";
    }

    void stream(int num, const std::string& dict_entries, const std::string& data)
    {
        begin(num);
        out_ += "<< /Length " + std::to_string(data.size()) + dict_entries + " >>\nstream\n";
        out_ += data;
        out_ += "\nendstream\nendobj\n";
    }

    std::string finish(int root, int info)
    {
        const std::size_t xref_pos = out_.size();
        out_ += "xref\n0 " + std::to_string(offsets_.size()) + "\n0000000000 65535 f\r\n";
        char row[32];
        for (std::size_t i = 1; i < offsets_.size(); ++i) {
            std::snprintf(row, sizeof row, "%010llu 00000 n\r\n", static_cast<unsigned long long>(offsets_[i]));
            out_ += row;
        }
        out_ += "trailer\n<< /Size " + std::to_string(offsets_.size()) + " /Root " + std::to_string(root) +
                " 0 R /Info " + std::to_string(info) + " 0 R >>\nstartxref\n" + std::to_string(xref_pos) +
                "\n%%EOF\n";
        return std::move(out_);
    }

    [[nodiscard]] std::size_t size() const noexcept { return out_.size(); }

private:
    void begin(int num)
    {
        if (offsets_.size() <= static_cast<std::size_t>(num)) {
            offsets_.resize(static_cast<std::size_t>(num) + 1, 0);
        }
        offsets_[static_cast<std::size_t>(num)] = out_.size();
        out_ += std::to_string(num) + " 0 obj\n";
    }

    std::string out_;
    std::vector<std::size_t> offsets_{0};
};

std::string deflate_zlib(const std::string& data, int level)
{
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(data.data()),
              static_cast<uLong>(data.size()), level);
    out.resize(size);
    return out;
}

// A page of text: a heading and a dozen lines in the inherited font F1.
std::string page_text(int page, const std::string& extra)
{
    std::string s = extra + "BT /F1 18 Tf 72 740 Td (Chapter " + std::to_string(page) + ": Field notes) Tj\n/F1 11 Tf 14 TL\n";
    for (int line = 0; line < 12; ++line) {
        s += "0 -16 Td (Line " + std::to_string(line) +
             " of page " + std::to_string(page) + ": the river was measured between the two bridges.) Tj\n";
    }
    return s + "ET\n";
}

const char* const kFont = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>";

std::string info_dict(const char* title)
{
    return std::string("<< /Title (") + title + ") /CreationDate (D:20240115093000Z) /Producer (bench) >>";
}

// 2,000 pages under 20 intermediate Pages nodes, each page with its own small
// Flate content stream.
std::string two_thousand_pages()
{
    constexpr int kPages = 2000;
    constexpr int kNodes = 20;
    constexpr int kFirstNode = 5;
    constexpr int kFirstPage = kFirstNode + kNodes;
    pdf_writer w;
    w.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    std::string kids;
    for (int n = 0; n < kNodes; ++n) {
        kids += std::to_string(kFirstNode + n) + " 0 R ";
    }
    w.object(2, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(kPages) +
                    " /Resources << /Font << /F1 3 0 R >> >> /MediaBox [0 0 612 792] >>");
    w.object(3, kFont);
    w.object(4, info_dict("Two thousand pages"));
    const int per_node = kPages / kNodes;
    for (int n = 0; n < kNodes; ++n) {
        std::string node_kids;
        for (int p = n * per_node; p < (n + 1) * per_node; ++p) {
            node_kids += std::to_string(kFirstPage + 2 * p) + " 0 R ";
        }
        w.object(kFirstNode + n, "<< /Type /Pages /Parent 2 0 R /Kids [" + node_kids + "] /Count " +
                                     std::to_string(per_node) + " >>");
    }
    for (int p = 0; p < kPages; ++p) {
        const int page = kFirstPage + 2 * p;
        w.object(page, "<< /Type /Page /Parent " + std::to_string(kFirstNode + p / per_node) + " 0 R /Contents " +
                           std::to_string(page + 1) + " 0 R >>");
        w.stream(page + 1, " /Filter /FlateDecode", deflate_zlib(page_text(p + 1, ""), 6));
    }
    return w.finish(1, 4);
}

// pages pages, all kids of the root Pages node, each with its own small Flate
// content stream.
std::string flat_pages(int pages)
{
    constexpr int kFirstPage = 5;
    pdf_writer w;
    w.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    w.object(3, kFont);
    w.object(4, info_dict("Flat page tree"));
    std::string kids;
    for (int p = 0; p < pages; ++p) {
        const int page = kFirstPage + 2 * p;
        w.object(page, "<< /Type /Page /Parent 2 0 R /Contents " + std::to_string(page + 1) + " 0 R >>");
        w.stream(page + 1, " /Filter /FlateDecode", deflate_zlib(page_text(p + 1, ""), 6));
        kids += std::to_string(page) + " 0 R ";
    }
    w.object(2, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) +
                    " /Resources << /Font << /F1 3 0 R >> >> /MediaBox [0 0 612 792] >>");
    return w.finish(1, 4);
}

std::string flat_10_pages() { return flat_pages(10); }
std::string flat_5000_pages() { return flat_pages(5000); }

// Text pages, each drawing a 512x512 RGB image: raw noise on even pages, a noisy
// Flate-compressed gradient on odd ones; pages are added until 100 MiB.
std::string hundred_mib()
{
    constexpr std::size_t kTarget = std::size_t{100} << 20;
    constexpr int kSide = 512;
    constexpr int kFirstPage = 5;
    std::mt19937 rng(7);
    pdf_writer w;
    w.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    w.object(3, kFont);
    w.object(4, info_dict("One hundred mebibytes"));
    const std::string image_dict = " /Type /XObject /Subtype /Image /Width " + std::to_string(kSide) + " /Height " +
                                   std::to_string(kSide) + " /ColorSpace /DeviceRGB /BitsPerComponent 8";
    std::string kids;
    int pages = 0;
    std::string pixels(std::size_t{kSide} * kSide * 3, '\0');
    while (w.size() < kTarget) {
        const int page = kFirstPage + 3 * pages;
        const bool raw = pages % 2 == 0;
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            const std::size_t x = (i / 3) % kSide;
            const std::size_t y = i / 3 / kSide;
            const unsigned noise = rng();
            pixels[i] = static_cast<char>(raw ? noise : (x + y + (noise & 15)) & 0xFF);
        }
        w.object(page, "<< /Type /Page /Parent 2 0 R /Contents " + std::to_string(page + 1) +
                           " 0 R /Resources << /Font << /F1 3 0 R >> /XObject << /Im1 " + std::to_string(page + 2) +
                           " 0 R >> >> >>");
        w.stream(page + 1, " /Filter /FlateDecode",
                 deflate_zlib(page_text(pages + 1, "q 400 0 0 400 100 200 cm /Im1 Do Q\n"), 6));
        if (raw) {
            w.stream(page + 2, image_dict, pixels);
        } else {
            w.stream(page + 2, image_dict + " /Filter /FlateDecode", deflate_zlib(pixels, 1));
        }
        kids += std::to_string(page) + " 0 R ";
        ++pages;
    }
    w.object(2, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) +
                    " /MediaBox [0 0 612 792] >>");
    return w.finish(1, 4);
}

void run_tavrik(benchmark::State& state, const std::string& path, double mib)
{
    std::string name;
    for (auto _ : state) {
        const char* r = tavrik_suggest(path.c_str(), 1);
        benchmark::DoNotOptimize(r);
        name = r;
    }
    state.counters["MiB"] = mib;
    state.SetLabel(name.empty() ? std::string("failed: ") + tavrik_last_error() : name);
}

// What any reader of the whole file spends: open, read() into a buffer kept from
// run to run, close.
void run_read(benchmark::State& state, const std::string& path, double mib)
{
    std::vector<std::uint8_t> buffer;
    std::size_t bytes = 0;
    for (auto _ : state) {
        bytes = bench::read_into(path.c_str(), buffer);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.counters["MiB"] = mib;
    if (bytes == 0) {
        state.SkipWithError("cannot read the document");
    }
}

#if TAVRIK_BENCH_POPPLER
void quiet(const std::string& /*message*/, void* /*closure*/) {}

void run_poppler(benchmark::State& state, const std::string& path, double mib)
{
    std::size_t text_bytes = 0;
    for (auto _ : state) {
        std::unique_ptr<poppler::document> doc(poppler::document::load_from_file(path));
        if (!doc) {
            state.SkipWithError("poppler cannot load the document");
            return;
        }
        const poppler::byte_array title = doc->info_key("Title").to_utf8();
        benchmark::DoNotOptimize(title.data());
        std::unique_ptr<poppler::page> page(doc->create_page(0));
        const poppler::byte_array text = page ? page->text().to_utf8() : poppler::byte_array();
        benchmark::DoNotOptimize(text.data());
        text_bytes = text.size();
    }
    state.counters["MiB"] = mib;
    state.counters["text_bytes"] = static_cast<double>(text_bytes);
}
#endif

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
#if TAVRIK_BENCH_POPPLER
    poppler::set_debug_error_function(quiet, nullptr);
#endif
    // TAVRIK_BENCH_KEEP names a folder that receives the documents and keeps them
    // (for profiling); otherwise they live in a temporary directory.
    bench::temp_dir tmp("tavrik-big-bench");
    const char* keep = std::getenv("TAVRIK_BENCH_KEEP");
    const fs::path dir = keep != nullptr && *keep != '\0' ? fs::path(keep) : tmp.path();
    if (dir.empty()) {
        std::fprintf(stderr, "big_bench: cannot create a temporary directory\n");
        return 1;
    }
    const struct {
        const char* label;
        std::string (*make)();
        bool with_poppler;
        bool with_read;
    } docs[] = {{"2000-pages", two_thousand_pages, true, false},
                {"100-MiB", hundred_mib, true, false},
                {"flat-10", flat_10_pages, false, false},
                {"flat-5000", flat_5000_pages, false, true}};
    for (const auto& d : docs) {
        const std::string pdf = d.make();
        const std::string path = (dir / (std::string(d.label) + ".pdf")).string();
        if (!bench::write_file(path, pdf.data(), pdf.size())) {
            std::fprintf(stderr, "big_bench: cannot write %s\n", path.c_str());
            return 1;
        }
        const double mib = static_cast<double>(pdf.size()) / (1 << 20);
        benchmark::RegisterBenchmark((std::string("big/tavrik/") + d.label).c_str(),
                                     [path, mib](benchmark::State& s) { run_tavrik(s, path, mib); })
            ->Unit(benchmark::kMicrosecond);
        if (d.with_read) {
            benchmark::RegisterBenchmark((std::string("big/read/") + d.label).c_str(),
                                         [path, mib](benchmark::State& s) { run_read(s, path, mib); })
                ->Unit(benchmark::kMicrosecond);
        }
#if TAVRIK_BENCH_POPPLER
        if (d.with_poppler) {
            benchmark::RegisterBenchmark((std::string("big/poppler/") + d.label).c_str(),
                                         [path, mib](benchmark::State& s) { run_poppler(s, path, mib); })
                ->Unit(benchmark::kMillisecond);
        }
#endif
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
