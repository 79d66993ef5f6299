// Test helper: writes small PDFs from object bodies, with a correct cross-reference
// table or one that is left out or broken on purpose; and temporary directories.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tavrik_test {

struct pdf_object {
    int num;
    std::string body;   // what stands between "N 0 obj" and "endobj"
};

struct pdf_options {
    std::string header = "%PDF-1.7";
    int root = 1;                    // 0: no Root in the trailer
    int info = 0;                    // 0: no Info in the trailer
    std::string trailer_extra;       // more trailer entries, e.g. "/Encrypt 9 0 R"
    bool write_xref = true;          // false: no table, no trailer, no startxref
    bool write_trailer = true;
    bool write_startxref = true;
    std::string row_eol = "\r\n";    // two bytes keep rows at 20 bytes
    long long offset_shift = 0;      // added to every recorded offset
    bool sparse_xref = false;        // one subsection per object instead of rows 0..max
    std::string leading_bytes;       // written before the header
    bool offsets_from_header = true; // with leading bytes: offsets count from the header
};

// The whole file as bytes. Objects are written in the order given.
std::string build_pdf(const std::vector<pdf_object>& objects, const pdf_options& options = {});

// A stream object body: "<< DICT /Length N >>\nstream\nDATA\nendstream".
std::string stream_body(const std::string& dict_entries, const std::string& data);

// A one-page document whose content stream is `content`, with font /F1 as Helvetica
// (WinAnsi), and an Info dictionary holding `info_entries` when not empty.
std::string simple_pdf(const std::string& content, const std::string& info_entries = "");

// ---- cross-reference streams and object streams (uncompressed data) ----------

// One row of a cross-reference stream: type, second and third field.
struct xref_row {
    long long type;
    long long f2;
    long long f3;
};

// The rows packed big-endian with the given field widths (a width of 0 or less
// writes nothing for that field).
std::string xref_stream_rows(const std::vector<xref_row>& rows, int w1, int w2, int w3);

// An object-stream body holding `objects` in order, each separated by one space:
// "<< /Type /ObjStm /N n /First f EXTRA /Length l >>\nstream\n...".
std::string object_stream_body(const std::vector<pdf_object>& objects, const std::string& extra_dict = "");

// An object that lives in object stream `container` at position `index`.
struct compressed_ref {
    int num;
    int container;
    int index;
};

struct xref_stream_options {
    std::string base;        // an earlier file this update is appended to; empty: a new file
    int root = 1;            // 0: no Root
    int info = 0;            // 0: no Info
    long long prev = -1;     // -1: no Prev
    std::string dict_extra;  // more entries of the stream dictionary
    bool sparse = false;     // rows only for the numbers used, through Index
};

// Writes `objects` (after `base`, or after a header), then a cross-reference stream
// whose object number is one above every number used, W [1 4 2], one row per object
// number from 0 to its own: type 1 for written objects and itself, type 2 for
// `compressed`, type 0 otherwise; then startxref. Sparse: rows only for the numbers
// used, in increasing order, named by Index.
std::string build_pdf_xref_stream(const std::vector<pdf_object>& objects,
                                  const std::vector<compressed_ref>& compressed,
                                  const xref_stream_options& options = {});

// A PDF literal string for text: parentheses and backslashes escaped.
std::string pdf_literal(const std::string& text);

void write_file(const std::filesystem::path& path, const std::string& bytes);
std::string read_file(const std::filesystem::path& path);

// The separator the library inserts between a directory and a name.
#if defined(_WIN32)
inline constexpr char SEP = '\\';
#else
inline constexpr char SEP = '/';
#endif

// A path as the narrow text the library takes (fs::path::c_str() is wide on Windows).
inline std::string narrow(const std::filesystem::path& path) { return path.string(); }

// A fresh directory under the system's temporary directory, removed with its
// contents when the object goes out of scope.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] std::string str() const { return path_.string(); }
private:
    std::filesystem::path path_;
};

// A fresh directory on another file system than the temporary directory, where
// there is one: the RAM file system /dev/shm (under Wine, Z:\dev\shm). path()
// is empty where none could be made. Removed with its contents at the end.
class shm_dir {
public:
    shm_dir();
    ~shm_dir();
    shm_dir(const shm_dir&) = delete;
    shm_dir& operator=(const shm_dir&) = delete;
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] std::string str() const { return path_.string(); }
    // Whether this directory exists and lies on another device (volume) than p.
    [[nodiscard]] bool other_device_than(const std::filesystem::path& p) const;
private:
    std::filesystem::path path_;
};

// Path of a checked-in fixture, e.g. fixture("corpus/p01_lo_annual_report.pdf").
std::string fixture(const std::string& relative);

}  // namespace tavrik_test
