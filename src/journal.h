// The journal of moves that the tavrik command keeps on request, and taking the
// moves of a journal back.
//
// A journal is a text file of one JSON object a line, one line per move, appended
// as each move is made:
//
//   {"old":"/scans/scan001.pdf","new":"/scans/Invoice 42.pdf","volume":2049,"index":1837465,"size":38179,"mtime":1733836800123456789}
//
// old and new are absolute paths; volume, index, size and mtime describe the moved
// file right after the move (platform::file_stamp). Paths are written as the bytes
// they are: valid UTF-8 unchanged, '"', '\' and control characters escaped, and a
// byte that is no part of valid UTF-8 as "\udcXX" (its value in the low half of a
// lone surrogate, as Python's surrogateescape reads it back), so that every path
// comes back as the same bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform.h"

namespace tavrik {

// Journals larger than this are not read (about two million moves).
inline constexpr std::uint64_t MAX_JOURNAL_BYTES = std::uint64_t{512} << 20;

struct move_record {
    std::string old_path;
    std::string new_path;
    platform::file_stamp stamp;
};

// The record as one line, '\n' included.
[[nodiscard]] std::string format_move_record(const move_record& record);
// One line (without its '\n'; a '\r' before it is allowed) read back; nullopt for
// anything that is not a complete record. Unknown keys are passed over.
[[nodiscard]] std::optional<move_record> parse_move_record(std::string_view line);

// Appends records to a journal file, each written whole and flushed to the system
// at once, so that a killed run leaves every record of the moves it made.
class journal_writer {
public:
    // Opens path for appending, creating it; false when it cannot be opened.
    [[nodiscard]] bool open(const char* path);
    // Records the move of old_path to new_path, taking the file's stamp at its new
    // path; false when the record could not be written.
    [[nodiscard]] bool record(const char* old_path, const char* new_path);
    // Closes the journal; false when something written could not be kept.
    [[nodiscard]] bool close();

private:
    struct closer {
        void operator()(std::FILE* f) const noexcept { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, closer> file_;
};

// Called per move of an undo, newest first: ok with from and to for a move taken
// back (or, in a dry run, one that would be); otherwise a refusal, with the
// reason in message (from may then be the journal's path, for a line that is no
// record).
struct undo_event {
    bool ok;
    const char* from;
    const char* to;
    const char* message;
};
using undo_report_fn = void (*)(const undo_event& event, void* user);

struct undo_result {
    bool journal_read = false;   // false: the journal could not be read at all
    int undone = 0;
    int refused = 0;
};

// Takes the moves of the journal back, newest first: a file goes back only while
// the file at its new path is still the one moved there (same identity, size and
// modification time) and nothing stands at its old path; its old folder is made
// again if needed. Never overwrites; across file systems as safe as move_file.
// With dry_run nothing changes, and later records see the earlier ones as done.
undo_result undo_flow(const char* journal_path, bool dry_run, undo_report_fn report, void* user);

}  // namespace tavrik
