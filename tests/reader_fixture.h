// A reader context over bytes in memory, for the tests of the reader's inner steps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "pdf_parse.h"

namespace tavrik_test {

struct reader {
    std::unique_ptr<tavrik::ppdf_info> info = std::make_unique<tavrik::ppdf_info>();
    tavrik::ppdf_ctx ctx;

    explicit reader(const std::string& bytes)
    {
        std::memset(info.get(), 0, sizeof(tavrik::ppdf_info));
        ctx.buf.assign(bytes.begin(), bytes.end());
        ctx.len = bytes.size();
        ctx.buf.push_back(0);
        ctx.info = info.get();
        ctx.xref.reset();
        ctx.file_len = ctx.len;
    }
    ~reader() { tavrik::fm_free(ctx.fonts); }
    reader(const reader&) = delete;
    reader& operator=(const reader&) = delete;

    void load_xref()
    {
        const std::int64_t start = tavrik::find_startxref(ctx);
        if (start >= 0)
            tavrik::read_xref_chain(ctx, start);
    }
    tavrik::xref_entry& slot(int objnum) { return ctx.xref.slot(static_cast<std::size_t>(objnum)); }
    void place(int objnum, std::int64_t offset) { slot(objnum).offset = offset; }
    [[nodiscard]] std::int64_t offset(int objnum) const { return ctx.xref[static_cast<std::size_t>(objnum)].offset; }
    // The text of an unpacked object, from its header to "endobj".
    [[nodiscard]] std::string object_text(int objnum) const
    {
        const std::int64_t at = offset(objnum);
        if (at < 0)
            return "";
        const std::string all(ctx.buf.begin(), ctx.buf.begin() + static_cast<std::ptrdiff_t>(ctx.len));
        const auto end = all.find("\nendobj\n", static_cast<std::size_t>(at));
        return all.substr(static_cast<std::size_t>(at), end - static_cast<std::size_t>(at));
    }
};

}  // namespace tavrik_test
