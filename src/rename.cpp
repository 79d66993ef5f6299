// Renaming: the single-file rename, the directory batch, and the file operations
// they share.
//
// Paths are never cut to fit a capacity: a cut path names another file, and
// moving a file there would be unsafe. A path that does not fit is refused with
// the message of the step that builds it: a target directory of DIR_PATH_BYTES or
// more cannot be created ("cannot create output directory"), a destination of
// DEST_PATH_BYTES or more cannot be moved to ("failed to move %s -> %s", before
// anything is moved), and in a batch a directory too long for its listing pattern
// cannot be opened, while a file path or destination that does not fit counts as
// a failed file.
#include "rename.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "naming.h"
#include "platform.h"

namespace tavrik {

namespace {

constexpr bool is_sep(char c) noexcept { return c == '/' || c == '\\'; }

bool ascii_iequal(const char* a, const char* b) noexcept
{
    for (;; ++a, ++b) {
        auto ca = static_cast<unsigned char>(*a);
        auto cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z')
            ca = static_cast<unsigned char>(ca + 32);
        if (cb >= 'A' && cb <= 'Z')
            cb = static_cast<unsigned char>(cb + 32);
        if (ca != cb)
            return false;
        if (ca == 0)
            return true;
    }
}

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string format(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), fmt, again);
        out.resize(static_cast<std::size_t>(n));
    }
    va_end(again);
    return out;
}

bool entry_taken(const std::string& path, const move_plan* plan)
{
    if (plan != nullptr && plan->taken.count(path) != 0)
        return true;
    if (plan != nullptr && plan->vacated.count(path) != 0)
        return false;
    return platform::path_exists(path.c_str());
}

void plan_move(move_plan& plan, const std::string& from, const std::string& to)
{
    plan.taken.erase(from);
    plan.vacated.insert(from);
    plan.vacated.erase(to);
    plan.taken.insert(to);
}

// The stem that goes before the counter: a final ".pdf" in any letter case is
// dropped, so that a name that already ends so gets no second suffix.
std::string stem_of(const char* name)
{
    std::string stem(name, strnlen(name, STEM_BUF_BYTES - 1));
    if (stem.size() > 3 && ends_with_pdf(stem.c_str()))
        stem.resize(stem.size() - 4);
    return stem;
}

void set_result(const std::string& path) noexcept
{
    // Destinations are below DEST_PATH_BYTES, well inside the result buffer.
    static_assert(DEST_PATH_BYTES <= SUGGEST_BUF_BYTES);
    const std::size_t n = std::min(path.size(), SUGGEST_BUF_BYTES - 1);
    std::memcpy(g_suggest_buf, path.data(), n);
    g_suggest_buf[n] = '\0';
}

}  // namespace

int mkdir_p(const char* directory)
{
    if (directory == nullptr || directory[0] == '\0' || std::strlen(directory) >= DIR_PATH_BYTES)
        return -1;
    std::string path(directory);
    while (path.size() > 1 && is_sep(path.back()))
        path.pop_back();

#if defined(_WIN32)
    const bool drive = path.size() >= 2 && path[1] == ':';
    // "\\server\share\" and "\\?\C:\" are roots that cannot be created level
    // by level: the walk starts after their fourth separator.
    const bool unc = path.size() >= 2 && is_sep(path[0]) && is_sep(path[1]);
#else
    const bool drive = false;   // "C:" is an ordinary name here, created like any other
    const bool unc = false;     // "//x" is the directory "/x"
#endif
    std::size_t start = 0;
    if (unc) {
        int seps = 2;
        start = path.size();
        for (std::size_t i = 2; i < path.size(); ++i) {
            if (is_sep(path[i]) && ++seps == 4) {
                start = i + 1;
                break;
            }
        }
    } else if (drive) {
        start = path.size() > 2 && is_sep(path[2]) ? 3 : 2;
    } else if (is_sep(path[0])) {
        start = 1;
    }

    for (std::size_t i = start; i < path.size(); ++i) {
        if (!is_sep(path[i]))
            continue;
        const std::string prefix = path.substr(0, i);
        if (!prefix.empty() && platform::make_dir(prefix.c_str()) == platform::mkdir_status::failed)
            return -1;
    }
    return platform::make_dir(path.c_str()) == platform::mkdir_status::failed ? -1 : 0;
}

void filled_names::fill(const std::string& path, std::optional<platform::file_id> id)
{
    vacate(path);
    if (id)
        ++held_[*id];
    ids_[path] = id;
}

void filled_names::vacate(const std::string& path)
{
    const auto it = ids_.find(path);
    if (it == ids_.end())
        return;
    if (it->second) {
        const auto held = held_.find(*it->second);
        if (held != held_.end() && --held->second == 0)
            held_.erase(held);
    }
    ids_.erase(it);
    first_open_.clear();   // some stem has a gap now; which one is not worth knowing
}

const std::optional<platform::file_id>* filled_names::find(const std::string& path) const
{
    const auto it = ids_.find(path);
    return it == ids_.end() ? nullptr : &it->second;
}

bool filled_names::holds(const platform::file_id& id) const
{
    return held_.count(id) != 0;
}

int filled_names::first_open(const std::string& stem_path) const
{
    const auto it = first_open_.find(stem_path);
    return it == first_open_.end() ? 1 : it->second;
}

void filled_names::note_first_open(const std::string& stem_path, int counter)
{
    int& known = first_open_[stem_path];
    known = std::max(known, counter);
}

bool unique_dest(const char* directory, const char* stem, const char* existing, std::string& out,
                 const move_plan* plan, filled_names* filled, bool* is_existing,
                 const std::optional<platform::file_id>* existing_id_given)
{
    if (is_existing != nullptr)
        *is_existing = false;
    // The existing file's identity is taken once, and only when a candidate needs
    // it: most first candidates are free and of another name.
    platform::file_id existing_id{};
    int existing_known = -1;   // -1: not asked yet; 0: unavailable; 1: in existing_id
    if (existing_id_given != nullptr) {
        existing_known = existing_id_given->has_value() ? 1 : 0;
        if (*existing_id_given)
            existing_id = **existing_id_given;
    }
    const auto have_existing_id = [&] {
        if (existing_known < 0) {
            existing_known = 0;
            if (existing != nullptr) {
                if (const auto id = platform::file_identity(existing)) {
                    existing_id = *id;
                    existing_known = 1;
                }
            }
        }
        return existing_known == 1;
    };
    // Whether out names the existing file: by identity, or when either identity
    // is unknown, by the text ignoring ASCII letter case.
    const auto is_existing_file = [&] {
        const auto id = platform::file_identity(out.c_str());
        return id && have_existing_id() ? *id == existing_id : ascii_iequal(out.c_str(), existing);
    };
    const auto found = [is_existing] {
        if (is_existing != nullptr)
            *is_existing = true;
        return true;
    };
    std::string stem_path = directory;
    stem_path += platform::PATH_SEP;
    stem_path += stem;
    // Candidates that the batch's own moves filled, and that do not hold the
    // existing file, would each be passed over: start after them.
    int first = filled != nullptr ? filled->first_open(stem_path) : 1;
    if (first > 1 && (!have_existing_id() || filled->holds(existing_id)))
        first = 1;
    bool noted = false;
    for (int counter = first; counter <= MAX_NAME_COUNTER; ++counter) {
        out = stem_path;
        if (counter > 1)
            out += '-' + std::to_string(counter);
        out += ".pdf";
        if (out.size() >= DEST_PATH_BYTES)
            return false;
        if (filled != nullptr) {
            const std::optional<platform::file_id>* known = filled->find(out);
            if (known != nullptr && *known && have_existing_id()) {
                if (**known == existing_id)
                    return found();
                continue;
            }
            if (!noted) {
                filled->note_first_open(stem_path, counter);
                noted = true;
            }
        }
        if (!entry_taken(out, plan)) {
            // A free name may still be the file's own in another letter case, and a
            // dry run's vacated name may still hold the file itself.
            if (existing != nullptr && (plan != nullptr || ascii_iequal(out.c_str(), existing)) && is_existing_file())
                return found();
            return true;
        }
        const bool planned = plan != nullptr && plan->taken.count(out) != 0;
        if (existing != nullptr && !planned && is_existing_file())
            return found();
    }
    return true;   // the last candidate, taken: the move will fail, never overwrite
}

bool same_file(const char* a, const char* b) noexcept
{
    const auto ia = platform::file_identity(a);
    const auto ib = platform::file_identity(b);
    if (ia && ib)
        return *ia == *ib;
    return ascii_iequal(a, b);
}

bool move_file_with(const move_ops& ops, const char* from, const char* to, bool* copied) noexcept
{
    if (copied != nullptr)
        *copied = false;
    switch (ops.rename_noreplace(from, to)) {
    case platform::move_status::moved:
        // One rename is atomic: after a power cut the file has its old name or its
        // new one. Waiting for the disk here would cost each rename a thousand
        // times its own time; the batch flushes its directories once at its end.
        return true;
    case platform::move_status::failed:
        return false;
    case platform::move_status::cross_device:
        break;
    }
    platform::staged_file staged;
    // Nothing of the copy has a visible name until it is complete and on the disk.
    if (!ops.stage_copy(from, to, staged) || !ops.flush_staged(staged) || !ops.name_staged(staged, to)) {
        ops.discard_staged(staged);
        return false;   // the source untouched, no copy left
    }
    // The new name must be on the disk before the old one goes: otherwise a power
    // cut could keep the removal and lose the name, and with it the document.
    if (!ops.flush_dir_of(to) || !ops.remove_file(from)) {
        // The file must never live in two places: drop the copy, keep the source.
        (void)ops.unname_staged(staged);
        ops.discard_staged(staged);
        return false;
    }
    ops.discard_staged(staged);
    // The move is done whatever this gives: should the removal not reach the
    // disk, a power cut leaves the document in both places, never in none.
    (void)ops.flush_dir_of(from);
    if (copied != nullptr)
        *copied = true;
    return true;
}

const move_ops& system_move_ops() noexcept
{
    static constexpr move_ops ops = {&platform::rename_noreplace, &platform::stage_copy,   &platform::flush_staged,
                                     &platform::name_staged,      &platform::flush_dir_of, &platform::remove_file,
                                     &platform::unname_staged,    &platform::discard_staged};
    return ops;
}

bool move_file(const char* from, const char* to, bool* copied) noexcept
{
    return move_file_with(system_move_ops(), from, to, copied);
}

int rename_flow(const char* input_path, int strategy, const char* output_dir, move_plan* plan)
{
    set_error("no error");
    if (input_path == nullptr || input_path[0] == '\0') {
        set_error("input_path is NULL or empty");
        return 0;
    }
    if (static_cast<unsigned>(strategy) > 2) {
        set_error("invalid strategy %d", strategy);
        return 0;
    }
    if (suggest_flow(input_path, strategy)[0] == '\0')
        return 0;

    std::string directory;
    if (output_dir != nullptr && output_dir[0] != '\0') {
        directory = output_dir;
    } else {
        const char* last = nullptr;
        for (const char* p = input_path; *p != '\0'; ++p)
            if (is_sep(*p))
                last = p;
        if (last != nullptr && last != input_path)
            directory.assign(input_path, static_cast<std::size_t>(last - input_path));
        else
            directory = ".";
    }
    const bool creatable = directory.size() < DIR_PATH_BYTES && (plan != nullptr || mkdir_p(directory.c_str()) == 0);
    if (!creatable) {
        set_error("cannot create output directory: %s", directory.c_str());
        return 0;
    }

    const std::string stem = stem_of(g_suggest_buf);
    std::string dest;
    bool is_self = false;
    if (!unique_dest(directory.c_str(), stem.c_str(), input_path, dest, plan, nullptr, &is_self)) {
        set_error("failed to move %s -> %s", input_path, dest.c_str());
        return 0;
    }
    if (is_self) {
        set_result(dest);
        set_error("already named correctly");
        return 1;
    }
    if (plan != nullptr ? entry_taken(dest, plan) : !move_file(input_path, dest.c_str())) {
        set_error("failed to move %s -> %s", input_path, dest.c_str());
        return 0;
    }
    if (plan != nullptr)
        plan_move(*plan, input_path, dest);
    set_result(dest);
    return 1;
}

int batch_flow(const char* input_dir, const char* output_dir, int strategy, move_plan* plan,
               batch_report_fn report, void* user)
{
    set_error("no error");
    if (input_dir == nullptr || input_dir[0] == '\0') {
        set_error("input_dir is NULL or empty");
        return 0;
    }
    if (static_cast<unsigned>(strategy) > 2) {
        set_error("invalid strategy %d", strategy);
        return 0;
    }
    const char* target = output_dir != nullptr && output_dir[0] != '\0' ? output_dir : input_dir;
    const bool creatable = std::strlen(target) < DIR_PATH_BYTES && (plan != nullptr || mkdir_p(target) == 0);
    if (!creatable) {
        set_error("cannot create output directory");
        return 0;
    }

    // The listing pattern is the directory, a separator and "*.pdf".
    constexpr std::size_t PATTERN_EXTRA_BYTES = sizeof "/*.pdf" - 1;
    std::optional<std::vector<platform::dir_entry>> entries;
    if (std::strlen(input_dir) + PATTERN_EXTRA_BYTES < DEST_PATH_BYTES)
        entries = platform::list_pdf_entries(input_dir);
    if (!entries || entries->empty()) {
        set_error("cannot open directory: %s", input_dir);
        return 0;
    }

    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(MAX_BATCH_FILES));
    for (const auto& e : *entries) {
        if (e.is_dir)
            continue;
        if (names.size() == static_cast<std::size_t>(MAX_BATCH_FILES))
            break;
        // A name that would not fit its table slot is left alone rather than cut.
        if (e.name.size() > 4 && e.name.size() < BATCH_NAME_BYTES && ends_with_pdf(e.name.c_str()))
            names.push_back(e.name);
    }
    entries.reset();
    if (names.empty()) {
        set_error("no PDF files found in %s", input_dir);
        return 0;
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return std::strcmp(a.c_str(), b.c_str()) < 0; });

    const auto info = std::make_unique<ppdf_info>();
    filled_names filled;
    int renamed = 0;
    int failed = 0;
    // A file moved within its file system by one rename; its directories are
    // flushed once at the end, so that the batch's new names are on the disk when
    // it returns (a copy across file systems flushes itself).
    std::string last_renamed_from, last_renamed_to;
    bool go_on = true;
    const auto fail = [&](const std::string& path, const std::string& message) {
        ++failed;
        if (report != nullptr)
            go_on = report({path.c_str(), nullptr, false, message.c_str()}, user);
    };
    for (const std::string& name : names) {
        if (!go_on)
            break;
        std::string path = input_dir;
        path += platform::PATH_SEP;
        path += name;
        if (path.size() >= DEST_PATH_BYTES) {
            fail(path, "path too long");
            continue;
        }
        if (!ppdf_parse(path.c_str(), *info, need_for(strategy))) {
            // Asked only now, as most files are there: one that has gone since the
            // listing is passed over without being counted.
            if (entry_taken(path, plan))
                fail(path, format("failed to parse PDF: %s (not a PDF or unreadable)", path.c_str()));
            continue;
        }
        if (info->encrypted) {
            fail(path, format("PDF is encrypted; cannot read content: %s", path.c_str()));
            continue;
        }
        const char* raw = suggest_stem(*info, strategy);
        if (raw[0] == '\0') {
            fail(path, g_last_error);
            continue;
        }
        const char* clean = sanitize_name(raw);
        if (clean[0] == '\0') {
            fail(path, "suggested name is empty after sanitization");
            continue;
        }
        const std::string stem = stem_of(clean);
        std::string dest;
        bool is_self = false;
        // Taken once: it tells the file apart among the names the batch filled, and
        // a renamed file keeps it.
        const std::optional<platform::file_id> source_id = platform::file_identity(path.c_str());
        if (!unique_dest(target, stem.c_str(), path.c_str(), dest, plan, &filled, &is_self, &source_id)) {
            fail(path, format("failed to move %s -> %s", path.c_str(), dest.c_str()));
            continue;
        }
        bool copied = false;
        bool moved = false;
        if (is_self) {
            ++renamed;
        } else if (plan != nullptr ? !entry_taken(dest, plan) : move_file(path.c_str(), dest.c_str(), &copied)) {
            if (plan != nullptr) {
                plan_move(*plan, path, dest);
            } else {
                if (!copied) {
                    last_renamed_from = path;
                    last_renamed_to = dest;
                }
                filled.vacate(path);
                filled.fill(dest, copied ? platform::file_identity(dest.c_str()) : source_id);
                moved = true;
            }
            ++renamed;
        } else {
            fail(path, format("failed to move %s -> %s", path.c_str(), dest.c_str()));
            continue;
        }
        if (report != nullptr)
            go_on = report({path.c_str(), dest.c_str(), moved, nullptr}, user);
    }

    if (!last_renamed_to.empty()) {
        (void)platform::flush_dir_of(last_renamed_to.c_str());
        if (std::strcmp(target, input_dir) != 0)
            (void)platform::flush_dir_of(last_renamed_from.c_str());
    }

    if (renamed == 0)
        set_error("no PDFs could be renamed in %s", input_dir);
    else if (failed != 0)
        set_error("renamed %d file(s), %d failed", renamed, failed);
    else
        set_error("renamed %d file(s)", renamed);
    return renamed;
}

namespace {

// One folder of a tree: its path, and its path relative to the tree's top (empty
// for the top itself).
struct tree_folder {
    std::string path;
    std::string relative;
};

// The PDF names a batch of dir would take up.
std::size_t batch_names_in(const char* dir)
{
    const auto entries = platform::list_pdf_entries(dir);
    std::size_t n = 0;
    if (entries) {
        for (const auto& e : *entries)
            n += !e.is_dir && e.name.size() > 4 && e.name.size() < BATCH_NAME_BYTES;
    }
    return std::min(n, static_cast<std::size_t>(MAX_BATCH_FILES));
}

// Counts what a folder's batch reports, and passes it on.
struct tree_tally {
    batch_report_fn report;
    void* user;
    int failed = 0;
    bool go_on = true;
    static bool count(const batch_event& e, void* self)
    {
        auto& t = *static_cast<tree_tally*>(self);
        t.failed += e.dest == nullptr;
        if (t.report != nullptr)
            t.go_on = t.report(e, t.user) && t.go_on;
        return t.go_on;
    }
};

}  // namespace

int tree_flow(const char* input_dir, const char* output_dir, int strategy, move_plan* plan,
              batch_report_fn report, void* user)
{
    set_error("no error");
    if (input_dir == nullptr || input_dir[0] == '\0') {
        set_error("input_dir is NULL or empty");
        return 0;
    }
    if (static_cast<unsigned>(strategy) > 2) {
        set_error("invalid strategy %d", strategy);
        return 0;
    }
    const bool into_output = output_dir != nullptr && output_dir[0] != '\0';
    // The output folder, where it exists in the tree already, holds what earlier
    // runs moved there: walking it would move those files again, one level deeper.
    const std::optional<platform::file_id> output_id =
        into_output ? platform::file_identity(output_dir) : std::nullopt;

    tree_tally tally{report, user};
    // A folder that fails as a whole counts each of its files (at least one).
    const auto folder_fails = [&](const std::string& path, std::size_t files, const std::string& message) {
        (void)tree_tally::count({path.c_str(), nullptr, false, message.c_str()}, &tally);
        if (files > 1)
            tally.failed += static_cast<int>(files - 1);
    };

    // Depth first, each folder before the folders in it, names in byte order; the
    // whole tree is listed before anything moves.
    std::vector<tree_folder> folders;
    std::vector<tree_folder> pending = {{input_dir, ""}};
    bool listed_top = false;
    bool cut_short = false;
    while (!pending.empty()) {
        tree_folder folder = std::move(pending.back());
        pending.pop_back();
        const auto subdirs = platform::list_subdirs(folder.path.c_str());
        if (!subdirs) {
            if (folder.relative.empty())
                break;   // the top cannot be read: nothing to do
            folder_fails(folder.path, 0, format("cannot open directory: %s", folder.path.c_str()));
            continue;
        }
        listed_top = true;
        std::vector<std::string> names = *subdirs;
        std::sort(names.begin(), names.end(), std::greater<>());   // popped in ascending order
        for (const std::string& name : names) {
            tree_folder sub{folder.path + platform::PATH_SEP + name,
                            folder.relative.empty() ? name : folder.relative + platform::PATH_SEP + name};
            if (sub.path.size() >= DIR_PATH_BYTES) {
                folder_fails(sub.path, 0, "path too long");
                continue;
            }
            if (output_id && platform::file_identity(sub.path.c_str()) == output_id)
                continue;
            pending.push_back(std::move(sub));
        }
        folders.push_back(std::move(folder));
        if (folders.size() + pending.size() > MAX_TREE_FOLDERS) {
            cut_short = true;
            break;
        }
    }
    if (!listed_top) {
        set_error("cannot open directory: %s", input_dir);
        return 0;
    }
    if (cut_short) {
        folder_fails(input_dir, 0,
                     "more than " + std::to_string(MAX_TREE_FOLDERS) + " folders: only the first " +
                         std::to_string(folders.size()) + " are handled");
    }

    int renamed = 0;
    bool any_pdfs = false;
    for (const tree_folder& folder : folders) {
        if (!tally.go_on)
            break;
        const std::size_t files = batch_names_in(folder.path.c_str());
        if (files == 0)
            continue;
        any_pdfs = true;
        std::string target;
        if (into_output) {
            target = output_dir;
            if (!folder.relative.empty())
                target += platform::PATH_SEP + folder.relative;
        }
        const int failed_before = tally.failed;
        const int n = batch_flow(folder.path.c_str(), into_output ? target.c_str() : nullptr, strategy, plan,
                                 &tree_tally::count, &tally);
        renamed += n;
        // A folder that failed as a whole reported none of its files.
        if (n == 0 && tally.failed == failed_before && std::strncmp(g_last_error, "no PDF", 6) != 0)
            folder_fails(folder.path, files, g_last_error);
    }

    if (renamed == 0)
        set_error(any_pdfs || tally.failed != 0 ? "no PDFs could be renamed in %s" : "no PDF files found in %s",
                  input_dir);
    else if (tally.failed != 0)
        set_error("renamed %d file(s), %d failed", renamed, tally.failed);
    else
        set_error("renamed %d file(s)", renamed);
    return renamed;
}

// The exported entry points take the real path, without a plan.
int rename_flow(const char* input_path, int strategy, const char* output_dir)
{
    return rename_flow(input_path, strategy, output_dir, nullptr);
}

int batch_flow(const char* input_dir, const char* output_dir, int strategy)
{
    return batch_flow(input_dir, output_dir, strategy, nullptr, nullptr, nullptr);
}

}  // namespace tavrik
