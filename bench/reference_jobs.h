// Other PDF libraries doing what tavrik_suggest does, as a host would call them,
// so that both sides of a comparison do the same job:
//   title:      open the document, read the Info Title; only when there is none,
//               extract the text of page 1;
//   first line: open the document, extract the text of page 1, keep its first line.
// Each reference is built only when its library was found (TAVRIK_BENCH_POPPLER,
// TAVRIK_BENCH_MUPDF). A run returns the text it found, empty when it found none
// or the library failed: callers only check that the job was really done.
#pragma once

#include <string>
#include <string_view>

#if TAVRIK_BENCH_POPPLER
#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>

#include <memory>
#endif

#if TAVRIK_BENCH_MUPDF
#include <mupdf/fitz.h>
#endif

namespace bench {

enum class job { title, first_line };

// The first line of extracted page text that holds more than spaces, trimmed.
inline std::string first_text_line(std::string_view text)
{
    constexpr std::string_view kSpace = " \t\r\f\v";
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        const std::size_t a = line.find_first_not_of(kSpace);
        if (a != std::string_view::npos) {
            line = line.substr(a, line.find_last_not_of(kSpace) - a + 1);
            return std::string(line);
        }
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
    return {};
}

#if TAVRIK_BENCH_POPPLER
class poppler_reference {
public:
    poppler_reference() { poppler::set_debug_error_function(quiet, nullptr); }

    [[nodiscard]] std::string run(const std::string& path, job j) const
    {
        const std::unique_ptr<poppler::document> doc(poppler::document::load_from_file(path));
        if (!doc) {
            return {};
        }
        if (j == job::title) {
            const poppler::byte_array t = doc->info_key("Title").to_utf8();
            if (!t.empty()) {
                return std::string(t.begin(), t.end());
            }
        }
        if (doc->pages() < 1) {
            return {};
        }
        const std::unique_ptr<poppler::page> page(doc->create_page(0));
        if (!page) {
            return {};
        }
        const poppler::byte_array b = page->text().to_utf8();
        return first_text_line(std::string_view(b.data(), b.size()));
    }

private:
    static void quiet(const std::string& /*message*/, void* /*closure*/) {}
};
#endif

#if TAVRIK_BENCH_MUPDF
// One context for the whole run, as a host keeps it; every run opens and drops
// its own document.
class mupdf_reference {
public:
    mupdf_reference() : ctx_(fz_new_context(nullptr, nullptr, FZ_STORE_DEFAULT))
    {
        if (ctx_ != nullptr) {
            fz_set_warning_callback(ctx_, quiet, nullptr);
            fz_set_error_callback(ctx_, quiet, nullptr);
            fz_register_document_handlers(ctx_);
        }
    }
    ~mupdf_reference()
    {
        if (ctx_ != nullptr) {
            fz_drop_context(ctx_);
        }
    }
    mupdf_reference(const mupdf_reference&) = delete;
    mupdf_reference& operator=(const mupdf_reference&) = delete;

    [[nodiscard]] bool ok() const noexcept { return ctx_ != nullptr; }

    [[nodiscard]] std::string run(const std::string& path, job j) const
    {
        std::string out;
        if (ctx_ == nullptr) {
            return out;
        }
        // MuPDF reports errors by longjmp: what the try block changes lives
        // outside it, and nothing in it owns memory that a jump would leak.
        fz_document* doc = nullptr;
        fz_page* page = nullptr;
        fz_stext_page* text = nullptr;
        fz_var(doc);
        fz_var(page);
        fz_var(text);
        fz_try(ctx_)
        {
            doc = fz_open_document(ctx_, path.c_str());
            bool have_title = false;
            if (j == job::title) {
                char buf[1024];
                have_title = fz_lookup_metadata(ctx_, doc, FZ_META_INFO_TITLE, buf, sizeof buf) > 0 && buf[0] != '\0';
                if (have_title) {
                    out = buf;
                }
            }
            if (!have_title && fz_count_pages(ctx_, doc) > 0) {
                page = fz_load_page(ctx_, doc, 0);
                text = fz_new_stext_page_from_page(ctx_, page, nullptr);
            }
        }
        fz_always(ctx_)
        {
            fz_drop_page(ctx_, page);
            fz_drop_document(ctx_, doc);
        }
        fz_catch(ctx_)
        {
            fz_drop_stext_page(ctx_, text);
            return {};
        }
        if (text != nullptr) {
            out = first_line(text);
            fz_drop_stext_page(ctx_, text);
        }
        return out;
    }

private:
    static void quiet(void* /*user*/, const char* /*message*/) {}

    static std::string first_line(const fz_stext_page* text)
    {
        for (const fz_stext_block* b = text->first_block; b != nullptr; b = b->next) {
            if (b->type != FZ_STEXT_BLOCK_TEXT) {
                continue;
            }
            for (const fz_stext_line* l = b->u.t.first_line; l != nullptr; l = l->next) {
                std::string line;
                char utf8[FZ_UTFMAX];
                for (const fz_stext_char* c = l->first_char; c != nullptr; c = c->next) {
                    line.append(utf8, static_cast<std::size_t>(fz_runetochar(utf8, c->c)));
                }
                std::string trimmed = first_text_line(line);
                if (!trimmed.empty()) {
                    return trimmed;
                }
            }
        }
        return {};
    }

    fz_context* ctx_;
};
#endif

}  // namespace bench
