#include "pdf_builder.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifndef TAVRIK_FIXTURES_DIR
#define TAVRIK_FIXTURES_DIR "tests/fixtures"
#endif

namespace tavrik_test {

std::string build_pdf(const std::vector<pdf_object>& objects, const pdf_options& options)
{
    std::string out = options.leading_bytes + options.header + "\n%\xE2\xE3\xCF\xD3\n";
    const long long base = options.offsets_from_header ? static_cast<long long>(options.leading_bytes.size()) : 0;
    int max_num = 0;
    for (const auto& o : objects)
        max_num = std::max(max_num, o.num);
    std::vector<std::pair<int, long long>> placed;
    for (const auto& o : objects) {
        placed.emplace_back(o.num, static_cast<long long>(out.size()) - base);
        out += std::to_string(o.num) + " 0 obj\n" + o.body + "\nendobj\n";
    }
    if (!options.write_xref)
        return out;
    const long long xref_pos = static_cast<long long>(out.size()) - base;
    char row[64];
    const auto put_row = [&](long long off, int gen, char type) {
        std::snprintf(row, sizeof row, "%010lld %05d %c", off, gen, type);
        out += row + options.row_eol;
    };
    if (options.sparse_xref) {
        out += "xref\n0 1\n";
        put_row(0, 65535, 'f');
        for (const auto& [num, off] : placed) {
            out += std::to_string(num) + " 1\n";
            put_row(off + options.offset_shift, 0, 'n');
        }
    } else {
        std::vector<long long> offsets(static_cast<std::size_t>(max_num) + 1, -1);
        for (const auto& [num, off] : placed)
            offsets[static_cast<std::size_t>(num)] = off;
        out += "xref\n0 " + std::to_string(max_num + 1) + "\n";
        put_row(0, 65535, 'f');
        for (int n = 1; n <= max_num; ++n) {
            const long long off = offsets[static_cast<std::size_t>(n)];
            if (off < 0)
                put_row(0, 0, 'f');
            else
                put_row(off + options.offset_shift, 0, 'n');
        }
    }
    if (options.write_trailer) {
        out += "trailer\n<< /Size " + std::to_string(max_num + 1);
        if (options.root > 0)
            out += " /Root " + std::to_string(options.root) + " 0 R";
        if (options.info > 0)
            out += " /Info " + std::to_string(options.info) + " 0 R";
        if (!options.trailer_extra.empty())
            out += " " + options.trailer_extra;
        out += " >>\n";
    }
    if (options.write_startxref)
        out += "startxref\n" + std::to_string(xref_pos) + "\n%%EOF\n";
    return out;
}

std::string stream_body(const std::string& dict_entries, const std::string& data)
{
    std::string d = "<< " + dict_entries;
    if (!dict_entries.empty())
        d += " ";
    return d + "/Length " + std::to_string(data.size()) + " >>\nstream\n" + data + "\nendstream";
}

std::string simple_pdf(const std::string& content, const std::string& info_entries)
{
    std::vector<pdf_object> objs = {
        {1, "<< /Type /Catalog /Pages 2 0 R >>"},
        {2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"},
        {3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] "
            "/Resources << /Font << /F1 5 0 R >> >> /Contents 4 0 R >>"},
        {4, stream_body("", content)},
        {5, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>"},
    };
    pdf_options opt;
    if (!info_entries.empty()) {
        objs.push_back({6, "<< " + info_entries + " >>"});
        opt.info = 6;
    }
    return build_pdf(objs, opt);
}

std::string xref_stream_rows(const std::vector<xref_row>& rows, int w1, int w2, int w3)
{
    std::string out;
    const auto put = [&out](long long v, int width) {
        for (int i = width - 1; i >= 0; --i)
            out += static_cast<char>(i >= 8 ? 0 : (static_cast<unsigned long long>(v) >> (8 * i)) & 0xFF);
    };
    for (const auto& r : rows) {
        put(r.type, w1);
        put(r.f2, w2);
        put(r.f3, w3);
    }
    return out;
}

std::string object_stream_body(const std::vector<pdf_object>& objects, const std::string& extra_dict)
{
    std::string header;
    std::string data;
    for (const auto& o : objects) {
        header += std::to_string(o.num) + " " + std::to_string(data.size()) + " ";
        data += o.body + " ";
    }
    std::string dict = "/Type /ObjStm /N " + std::to_string(objects.size()) + " /First " +
                       std::to_string(header.size());
    if (!extra_dict.empty())
        dict += " " + extra_dict;
    return stream_body(dict, header + data);
}

std::string build_pdf_xref_stream(const std::vector<pdf_object>& objects,
                                  const std::vector<compressed_ref>& compressed,
                                  const xref_stream_options& options)
{
    std::string out = options.base.empty() ? std::string("%PDF-1.7\n%\xE2\xE3\xCF\xD3\n") : options.base;
    int max_num = 0;
    for (const auto& o : objects)
        max_num = std::max(max_num, o.num);
    for (const auto& c : compressed)
        max_num = std::max(max_num, c.num);
    const int self = max_num + 1;
    std::map<int, xref_row> rows;
    for (const auto& o : objects) {
        rows[o.num] = {1, static_cast<long long>(out.size()), 0};
        out += std::to_string(o.num) + " 0 obj\n" + o.body + "\nendobj\n";
    }
    for (const auto& c : compressed)
        rows[c.num] = {2, c.container, c.index};
    const long long xref_pos = static_cast<long long>(out.size());
    rows[self] = {1, xref_pos, 0};
    std::vector<xref_row> written;
    std::string index;
    if (options.sparse) {
        for (const auto& [num, r] : rows) {
            index += std::to_string(num) + " 1 ";
            written.push_back(r);
        }
    } else {
        for (int n = 0; n <= self; ++n) {
            const auto it = rows.find(n);
            written.push_back(it == rows.end() ? xref_row{0, 0, 0} : it->second);
        }
    }
    std::string dict = "/Type /XRef /Size " + std::to_string(self + 1) + " /W [1 4 2]";
    if (options.sparse)
        dict += " /Index [" + index + "]";
    if (options.root > 0)
        dict += " /Root " + std::to_string(options.root) + " 0 R";
    if (options.info > 0)
        dict += " /Info " + std::to_string(options.info) + " 0 R";
    if (options.prev >= 0)
        dict += " /Prev " + std::to_string(options.prev);
    if (!options.dict_extra.empty())
        dict += " " + options.dict_extra;
    out += std::to_string(self) + " 0 obj\n" + stream_body(dict, xref_stream_rows(written, 1, 4, 2)) + "\nendobj\n";
    out += "startxref\n" + std::to_string(xref_pos) + "\n%%EOF\n";
    return out;
}

std::string pdf_literal(const std::string& text)
{
    std::string out = "(";
    for (char c : text) {
        if (c == '(' || c == ')' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + ")";
}

void write_file(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f)
        throw std::runtime_error("cannot write " + path.string());
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const std::filesystem::path& path)
{
    // Large files are read in one piece, at the size they have.
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = f ? static_cast<std::streamoff>(f.tellg()) : -1;
    if (size > 0 && f.seekg(0)) {
        std::string out(static_cast<std::size_t>(size), '\0');
        f.read(out.data(), size);
        out.resize(static_cast<std::size_t>(f.gcount()));
        if (f.peek() == std::ifstream::traits_type::eof())
            return out;
    }
    std::ifstream again(path, std::ios::binary);
    std::ostringstream s;
    s << again.rdbuf();
    return s.str();
}

temp_dir::temp_dir()
{
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto p = std::filesystem::temp_directory_path() /
                 ("tavrik-test-" + std::to_string(rd()) + "-" + std::to_string(counter++));
        std::error_code ec;
        if (std::filesystem::create_directory(p, ec)) {
            path_ = p;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

temp_dir::~temp_dir()
{
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

namespace {

#if defined(_WIN32)
// The volume serial number of the entry at p, or nothing.
bool volume_of(const std::filesystem::path& p, DWORD& volume)
{
    const HANDLE h = ::CreateFileW(p.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = ::GetFileInformationByHandle(h, &info) != FALSE;
    ::CloseHandle(h);
    volume = info.dwVolumeSerialNumber;
    return ok;
}
#endif

}  // namespace

shm_dir::shm_dir()
{
#if defined(_WIN32)
    // Wine's drive Z: is the Unix root; Windows itself has no such directory.
    const std::filesystem::path base = "Z:\\dev\\shm";
    std::error_code ec;
    if (!std::filesystem::is_directory(base, ec))
        return;
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto p = base / ("tavrik-test-" + std::to_string(rd()));
        if (std::filesystem::create_directory(p, ec)) {
            path_ = p;
            return;
        }
    }
#else
    char tmpl[] = "/dev/shm/tavrik-test-XXXXXX";
    if (::mkdtemp(tmpl) != nullptr)
        path_ = tmpl;
#endif
}

shm_dir::~shm_dir()
{
    std::error_code ec;
    if (!path_.empty())
        std::filesystem::remove_all(path_, ec);
}

bool shm_dir::other_device_than(const std::filesystem::path& p) const
{
    if (path_.empty())
        return false;
#if defined(_WIN32)
    DWORD a = 0, b = 0;
    return volume_of(path_, a) && volume_of(p, b) && a != b;
#else
    struct stat a, b;
    return ::stat(path_.c_str(), &a) == 0 && ::stat(p.c_str(), &b) == 0 && a.st_dev != b.st_dev;
#endif
}

std::string fixture(const std::string& relative) { return std::string(TAVRIK_FIXTURES_DIR) + "/" + relative; }

}  // namespace tavrik_test
