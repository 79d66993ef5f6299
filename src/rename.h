// Moving PDF files under their suggested names: the file operations shared by the
// single rename and the directory batch, and both flows with a dry-run form.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

#include "platform.h"

namespace tavrik {

inline constexpr std::size_t DIR_PATH_BYTES = 4096;    // default target directory, mkdir_p's copy
inline constexpr std::size_t DEST_PATH_BYTES = 4600;   // destination paths, batch input paths
inline constexpr int MAX_NAME_COUNTER = 999;           // stem.pdf, stem-2.pdf ... stem-999.pdf
inline constexpr int MAX_BATCH_FILES = 4096;
inline constexpr std::size_t BATCH_NAME_BYTES = 512;   // one slot of the batch's name table

// What a dry run would have done so far: the destinations it took and the sources
// it moved away. A null plan means the real thing.
struct move_plan {
    std::set<std::string> taken;
    std::set<std::string> vacated;
};

// Creates directory and its missing parents: 0 on success (everything may exist
// already), -1 on failure, also for an empty path or one of DIR_PATH_BYTES or more.
[[nodiscard]] int mkdir_p(const char* directory);

// Destinations that a batch's own moves filled, each with the identity of the file
// moved there (none when it could not be taken). A batch whose files share a title
// would otherwise query every one of them again for each further file, and walk
// past all of them from the first candidate on.
class filled_names {
public:
    void fill(const std::string& path, std::optional<platform::file_id> id);
    // The file at path moved away: its name is no longer known filled.
    void vacate(const std::string& path);
    // The identity recorded for a filled path (itself optional); null when not filled.
    [[nodiscard]] const std::optional<platform::file_id>* find(const std::string& path) const;
    // Whether any filled name holds the file with this identity.
    [[nodiscard]] bool holds(const platform::file_id& id) const;
    // For the candidates of one stem (the path before any counter and ".pdf"): the
    // counter below which every candidate is filled, with its identity known.
    [[nodiscard]] int first_open(const std::string& stem_path) const;
    void note_first_open(const std::string& stem_path, int counter);

private:
    std::unordered_map<std::string, std::optional<platform::file_id>> ids_;
    std::map<platform::file_id, int> held_;           // filled names per identity
    std::unordered_map<std::string, int> first_open_;
};

// The first usable destination among stem.pdf, stem-2.pdf ... stem-999.pdf in
// directory (free, or the file `existing` itself, which sets *is_existing); the last
// candidate when all are taken. False when a candidate would not fit
// DEST_PATH_BYTES: out then holds that candidate, for the message only. Names in
// filled are known taken without asking the file system. existing_id, when given,
// is the identity of `existing` as the caller took it (nullopt: unavailable);
// otherwise it is asked for when a candidate needs it.
[[nodiscard]] bool unique_dest(const char* directory, const char* stem, const char* existing, std::string& out,
                               const move_plan* plan = nullptr, filled_names* filled = nullptr,
                               bool* is_existing = nullptr,
                               const std::optional<platform::file_id>* existing_id = nullptr);

// Whether both paths name the same file (device and inode); when either cannot be
// queried, whether the texts are equal ignoring ASCII letter case.
[[nodiscard]] bool same_file(const char* a, const char* b) noexcept;

// Moves from to to, never replacing an existing entry. Within a file system this
// is one rename. Across file systems the copy is made under no name (or a hidden
// one) in the destination's directory, flushed, given its name, and the
// directory flushed, all before the source is removed: a killed run or a power
// cut leaves the document whole under its old name, its new one, or both, and
// never part of it under a name that looks finished. A failed step removes the
// copy and keeps the source. When given, *copied tells whether a successful move
// was such a copy (a new file).
[[nodiscard]] bool move_file(const char* from, const char* to, bool* copied = nullptr) noexcept;

// The platform operations behind move_file, replaceable so that tests see the
// order of the steps and can fail any of them.
struct move_ops {
    platform::move_status (*rename_noreplace)(const char* from, const char* to) noexcept;
    bool (*stage_copy)(const char* from, const char* to, platform::staged_file& staged) noexcept;
    bool (*flush_staged)(platform::staged_file& staged) noexcept;
    bool (*name_staged)(platform::staged_file& staged, const char* to) noexcept;
    bool (*flush_dir_of)(const char* path) noexcept;
    bool (*remove_file)(const char* path) noexcept;
    bool (*unname_staged)(platform::staged_file& staged) noexcept;
    void (*discard_staged)(platform::staged_file& staged) noexcept;
};
// The system's operations.
[[nodiscard]] const move_ops& system_move_ops() noexcept;
[[nodiscard]] bool move_file_with(const move_ops& ops, const char* from, const char* to,
                                  bool* copied = nullptr) noexcept;

// The single rename. With a plan nothing is created or moved: the destination is
// reported as if, and recorded in the plan.
int rename_flow(const char* input_path, int strategy, const char* output_dir, move_plan* plan);

// One handled file of a batch: dest is its destination, moved telling whether it
// went there (false: already named so, or a dry run); dest is null on failure,
// with a short reason in message.
struct batch_event {
    const char* path;
    const char* dest;
    bool moved;
    const char* message;
};
// Called per handled file; false stops the batch after that file.
using batch_report_fn = bool (*)(const batch_event& event, void* user);
int batch_flow(const char* input_dir, const char* output_dir, int strategy, move_plan* plan,
               batch_report_fn report, void* user);

// Folders a tree batch handles at most; the walk stops there, and says so.
inline constexpr std::size_t MAX_TREE_FOLDERS = 65536;

// The batch over input_dir and every folder below it, symbolic links not
// followed, each folder's files renamed in that folder, or with output_dir in the
// same relative folder below it. Folders without PDF files are passed over (and
// never created below output_dir); output_dir, when it lies in the tree, is not
// walked. Reports like batch_flow, also a folder that fails as a whole (with its
// path and dest null); the summary in g_last_error counts every file.
int tree_flow(const char* input_dir, const char* output_dir, int strategy, move_plan* plan,
              batch_report_fn report, void* user);

}  // namespace tavrik
