// The reader's entry: whole-file read, header and version, and the sequence that
// fills the document summary.
#include "pdf_parse.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "platform.h"

#if defined(__SANITIZE_ADDRESS__)
#define TAVRIK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVRIK_ASAN 1
#endif
#endif
#if defined(TAVRIK_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace tavrik {

namespace {

// Under AddressSanitizer the bytes not read yet are poisoned, so that a lookup
// that forgets to ask for them fails at once instead of reading stale memory.
void hide_unread(const std::uint8_t* from, std::size_t n) noexcept
{
#if defined(TAVRIK_ASAN)
    ASAN_POISON_MEMORY_REGION(from, n);
#else
    (void)from;
    (void)n;
#endif
}

void show_read(const std::uint8_t* from, std::size_t n) noexcept
{
#if defined(TAVRIK_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(from, n);
#else
    (void)from;
    (void)n;
#endif
}

// Reads [from, to) of the file into the buffer; what the file no longer holds
// (another process truncated it) reads as zeros.
void fill_range(lazy_bytes& lazy, std::uint64_t from, std::uint64_t to) noexcept
{
    std::uint8_t* at = lazy.buf->data() + from;
    const auto n = static_cast<std::size_t>(to - from);
    show_read(at, n);
    const std::size_t got = lazy.read_at(lazy.user, from, at, n);
    if (got < n)
        std::memset(at + got, 0, n - got);
}

}  // namespace

void load_below(const ppdf_ctx& ctx, std::int64_t pos) noexcept
{
    lazy_bytes& lazy = ctx.lazy;
    if (lazy.lo == 0 || pos < 0)
        return;
    const auto wanted = static_cast<std::uint64_t>(std::max<std::int64_t>(0, pos - NEED_BEFORE_BYTES));
    const std::uint64_t loaded = ctx.file_len - lazy.lo;
    std::uint64_t from = std::min(wanted, lazy.lo > loaded ? lazy.lo - loaded : 0);
    from -= from % lazy.step;
    if (from >= lazy.lo)
        return;
    fill_range(lazy, from, lazy.lo);
    lazy.lo = from;
}

namespace {

// Where "%PDF-" starts: within the first HEADER_SEARCH_BYTES, as a mail or
// download header may come first; -1 when it is missing or leaves no room for
// a version.
std::int64_t find_header(const byte_buffer& b) noexcept
{
    if (b.size() < MIN_FILE_BYTES)
        return -1;
    const std::string_view text(reinterpret_cast<const char*>(b.data()),
                                std::min<std::size_t>(b.size(), HEADER_SEARCH_BYTES + 4));
    const std::size_t at = text.find("%PDF-");
    if (at == std::string_view::npos || at + 8 > b.size())
        return -1;
    return static_cast<std::int64_t>(at);
}

// Major digit, point, minor digit; only one digit after the point is taken.
void read_version(const std::uint8_t* h, char* out) noexcept
{
    if ((h[5] == '1' || h[5] == '2') && h[6] == '.' && is_digit(h[7])) {
        out[0] = static_cast<char>(h[5]);
        out[1] = '.';
        out[2] = static_cast<char>(h[7]);
        out[3] = '\0';
    } else {
        std::memcpy(out, "1.4", 4);
    }
}

// An empty summary. The lines past line_count are never read, and emit_line
// writes a line whole before counting it, so they keep what they held: clearing
// all 200 of them would cost more than reading a small file.
void clear_summary(ppdf_info& info) noexcept
{
    std::memset(info.title, 0, sizeof info.title);
    std::memset(info.creation_date, 0, sizeof info.creation_date);
    std::memset(info.mod_date, 0, sizeof info.mod_date);
    info.line_count = 0;
    info.page_count = 0;
    info.encrypted = 0;
    std::memset(info.version, 0, sizeof info.version);
}

}  // namespace

namespace {

// Memory that a thread's parses pass on to the next: the file's bytes and the object
// table. Fresh pages for them cost more than the rest of naming a small file.
struct reader_memory {
    byte_buffer bytes;
    object_table xref;
};

// Beyond this a file buffer goes back to the system after its parse.
inline constexpr std::size_t KEPT_FILE_BYTES = std::size_t{16} << 20;

reader_memory& thread_memory()
{
    thread_local reader_memory memory;
    return memory;
}

// Room kept after a file read in parts for the objects unpacked from its streams:
// the buffer cannot grow while bytes below lo are missing.
inline constexpr std::size_t LAZY_APPEND_ROOM = std::size_t{256} << 10;

// Sizes bytes for a file of `size` bytes and reads its head and its last `tail`
// bytes into it, or all of it when those two meet.
void start_lazy(byte_buffer& bytes, std::uint64_t size, std::uint64_t tail, lazy_bytes& lazy)
{
    bytes.clear();
    const std::size_t room = static_cast<std::size_t>(size) + 1 + LAZY_APPEND_ROOM;
    const bool fresh = bytes.capacity() < room;
    bytes.reserve(room);
    if (fresh)
        platform::advise_huge_pages(bytes.data(), bytes.capacity());
    bytes.resize(static_cast<std::size_t>(size));
    lazy.buf = &bytes;
    lazy.lo = 0;
    const std::uint64_t head = std::min<std::uint64_t>(size, HEADER_SEARCH_BYTES + 8);
    lazy.head = head;
    std::uint64_t lo = size > tail ? size - tail : 0;
    lo -= lo % lazy.step;
    if (lo <= head) {
        fill_range(lazy, 0, size);
        return;
    }
    fill_range(lazy, 0, head);
    fill_range(lazy, lo, size);
    hide_unread(bytes.data() + head, static_cast<std::size_t>(lo - head));
    lazy.lo = lo;
}

// Parses bytes (the file, with room for one more byte) and leaves them in bytes,
// perhaps grown by unpacked objects, for the caller to reuse. With lazy, bytes hold
// only what start_lazy read, and the rest comes from lazy's source as needed.
int parse_document(byte_buffer& bytes, ppdf_info& info, ppdf_need need, ppdf_trace* trace,
                   const lazy_bytes* lazy = nullptr)
{
    clear_summary(info);
    const std::int64_t header = find_header(bytes);
    if (header < 0 || bytes.size() > static_cast<std::uint64_t>(MAX_FILE_BYTES))
        return 0;
    read_version(bytes.data() + header, info.version);

    ppdf_ctx ctx;
    // The buffers go back to where they came from however the parse ends.
    object_table& kept_xref = thread_memory().xref;
    struct give_back {
        ppdf_ctx& c;
        byte_buffer& bytes;
        object_table& xref;
        ppdf_trace* trace;
        ~give_back()
        {
            if (trace != nullptr) {
                trace->object_streams_decoded = c.objstm.decoded;
                trace->repair_scans = c.repaired ? 1 : 0;
                trace->first_read = static_cast<std::int64_t>(c.lazy.lo);
            }
            if (c.lazy.lo > c.lazy.head)
                show_read(c.buf.data() + c.lazy.head, static_cast<std::size_t>(c.lazy.lo - c.lazy.head));
            c.lazy.lo = 0;
            bytes.swap(c.buf);
            std::swap(xref, c.xref);
        }
    } guard{ctx, bytes, kept_xref, trace};
    ctx.len = bytes.size();
    ctx.file_len = ctx.len;
    ctx.header_offset = header;
    ctx.buf.swap(bytes);
    ctx.buf.push_back(0);   // one zero byte after the data, never counted in len
    if (lazy != nullptr) {
        ctx.lazy = *lazy;
        ctx.lazy.buf = &ctx.buf;
    }
    ctx.info = &info;
    std::swap(ctx.xref, kept_xref);
    ctx.xref.reset();

    // Cross-reference sections, newest first; when they gave almost nothing, a scan
    // for object headers; when they name no catalog, the trailer the scan finds.
    // Object streams are unpacked when an object they hold is first needed.
    const std::int64_t startxref = find_startxref(ctx);
    if (startxref >= 0)
        read_xref_chain(ctx, startxref);
    if (ctx.xref_entries < REPAIR_MIN_KNOWN)
        repair_scan(ctx);
    if (!root_resolves(ctx))
        recover_trailer(ctx);

    std::int64_t pos = 0;
    if (ctx.info_obj >= 0 && fetch_obj_dict(ctx, ctx.info_obj, pos))
        read_doc_info(ctx, pos);
    info.encrypted = ctx.encrypted;

    // Nothing the page text holds can change a name that the title or the
    // encryption already decides.
    if (need != ppdf_need::everything && (info.encrypted != 0 ||
                                          (need == ppdf_need::title_else_lines && info.title[0] != '\0')))
        return 1;
    if (need == ppdf_need::first_line) {
        ctx.line_limit = 1;
        ctx.count_all_pages = 0;
    }

    // The page walk keeps views of the buffer across lookups, so nothing may be
    // appended while it runs. By first line, when a few pages give the line, most of
    // a large document's object streams are never needed: the walk runs before they
    // are unpacked, and when it looks for an object still packed it stops, that
    // stream is unpacked, and it starts again. The walk that finishes has found
    // every object it looked for, as if all had been unpacked first.
    ctx_need_all(ctx);
    ctx.lazy_walk = need == ppdf_need::first_line;
    for (int attempt = 0;; ++attempt) {
        if (!ctx.lazy_walk || attempt == MAX_WALK_RESTARTS) {
            ctx.lazy_walk = false;
            unpack_object_streams(ctx);
        }
        ctx.walk_miss = -1;
        ctx.page_count = 0;
        info.line_count = 0;
        if (ctx.root >= 0 && fetch_obj_dict(ctx, ctx.root, pos)) {
            const std::int64_t pages = catalog_pages(ctx, pos);
            std::int64_t pages_pos = 0;
            if (pages >= 0 && fetch_obj_dict(ctx, pages, pages_pos))
                ctx_do_pages_node(ctx, pages_pos, 0);
        }
        if (ctx.walk_miss < 0)
            break;
        unpack_for(ctx, ctx.walk_miss);
    }
    ctx.lazy_walk = false;
    info.page_count = ctx.page_count;

    fm_free(ctx.fonts);
    return 1;
}

}  // namespace

int ppdf_parse_bytes(const std::vector<std::uint8_t>& bytes, ppdf_info& info, ppdf_need need, ppdf_trace* trace,
                     std::uint64_t tail_bytes)
{
    byte_buffer copy;
    if (need != ppdf_need::title_else_lines || bytes.empty()) {
        copy.reserve(bytes.size() + 1);
        copy.assign(bytes.begin(), bytes.end());
        return parse_document(copy, info, need, trace);
    }
    // Read the way a file is: its tail first, the rest as the lookups need it.
    const auto from_memory = [](void* user, std::uint64_t offset, std::uint8_t* out, std::size_t n) noexcept {
        const auto& src = *static_cast<const std::vector<std::uint8_t>*>(user);
        const std::size_t have = offset < src.size() ? std::min<std::size_t>(n, src.size() - offset) : 0;
        if (have > 0)
            std::memcpy(out, src.data() + offset, have);
        return have;
    };
    lazy_bytes lazy;
    lazy.step = std::clamp<std::uint64_t>(tail_bytes, 1, LAZY_STEP_BYTES);
    lazy.read_at = from_memory;
    lazy.user = const_cast<std::vector<std::uint8_t>*>(&bytes);   // only read
    start_lazy(copy, bytes.size(), tail_bytes, lazy);
    if (trace != nullptr)
        trace->first_unread = static_cast<std::int64_t>(lazy.lo);
    return parse_document(copy, info, need, trace, &lazy);
}

int ppdf_parse(const char* path, ppdf_info& info, ppdf_need need)
{
    byte_buffer& bytes = thread_memory().bytes;
    struct trim {
        byte_buffer& b;
        ~trim()
        {
            b.clear();
            if (b.capacity() > KEPT_FILE_BYTES)
                byte_buffer().swap(b);
        }
    } guard{bytes};
    // The size is taken as 64 bits: a file over 4 GiB must not wrap into range.
    const auto max_bytes = static_cast<std::uint64_t>(MAX_FILE_BYTES);
    if (need != ppdf_need::title_else_lines) {
        if (!platform::read_file(path, max_bytes, bytes)) {
            clear_summary(info);
            return 0;
        }
        return parse_document(bytes, info, need, nullptr);
    }
    // A title decides most names and lies near the end of the file: the rest is
    // read only when the lookups reach it, or the page text is needed.
    platform::read_handle file;
    if (!file.open(path, max_bytes)) {
        clear_summary(info);
        return 0;
    }
    lazy_bytes lazy;
    lazy.read_at = [](void* user, std::uint64_t offset, std::uint8_t* out, std::size_t n) noexcept {
        return static_cast<platform::read_handle*>(user)->read_at(offset, out, n);
    };
    lazy.user = &file;
    start_lazy(bytes, file.size(), TAIL_FIRST_BYTES, lazy);
    return parse_document(bytes, info, need, nullptr, &lazy);
}

}  // namespace tavrik
