// The tavrik command: suggest names, show what the reader finds in a PDF, rename
// files, whole directories or trees of them, with a dry run that touches nothing
// and a journal of the moves made, and take the moves of a journal back.
//
// Suggestions and real renames go through the shared library as any host would
// use it; inspect, the dry runs, trees, the journal and undo need the library's
// internals (the reader's summary, the rename plan, the tree walk, the journal)
// and take them from the core linked in beside it. The two keep separate message
// buffers, so each path reads its own.

#include "tavrik.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "journal.h"
#include "naming.h"
#include "pdf_parse.h"
#include "rename.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr const char* VERSION = "1.0.0";

constexpr const char* USAGE =
    "usage: tavrik suggest [-s STRATEGY] FILE...\n"
    "       tavrik inspect FILE\n"
    "       tavrik rename [-s STRATEGY] [-o DIR] [-n] [--journal FILE] FILE...\n"
    "       tavrik batch [-s STRATEGY] [-o DIR] [-n] [-r] [--journal FILE] DIR\n"
    "       tavrik undo [-n] JOURNAL\n"
    "       tavrik --help | --version\n";

constexpr const char* HELP =
    "Gives PDF files meaningful names from their title, first line or date.\n"
    "\n"
    "Commands:\n"
    "  suggest FILE...    print the suggested name of each file, one per line\n"
    "  inspect FILE       print what the reader finds in FILE as one JSON line\n"
    "  rename FILE...     move each file under its suggested name\n"
    "  batch DIR          rename every *.pdf file of DIR\n"
    "  undo JOURNAL       move the files of a journal back, newest first\n"
    "\n"
    "Options:\n"
    "  -s, --strategy=S   title (0, the default), first-line (1) or date+title (2)\n"
    "  -o, --output=DIR   move into DIR instead of the file's own directory\n"
    "  -r, --recursive    batch: also every folder below DIR (symbolic links are not\n"
    "                     followed); with -o, into the same relative folder below DIR\n"
    "  -j, --journal=FILE append one JSON line per move made to FILE, for undo\n"
    "  -n, --dry-run      print OLD -> NEW for what would happen (undo: NEW -> OLD);\n"
    "                     change nothing, and write no journal\n"
    "  -h, --help         show this help and exit\n"
    "  -V, --version      show the version and exit\n"
    "\n"
    "Exit status: 0 when everything went well, 1 when a file failed, 2 for a usage error.\n";

int usage_error(const char* fmt, const char* arg)
{
    std::fputs("tavrik: ", stderr);
    std::fprintf(stderr, fmt, arg);
    std::fputc('\n', stderr);
    std::fputs(USAGE, stderr);
    std::fputs("Try 'tavrik --help' for more information.\n", stderr);
    return EXIT_USAGE;
}

bool parse_strategy(const char* text, int& strategy_out)
{
    static constexpr struct {
        const char* name;
        const char* number;
    } strategies[] = {{"title", "0"}, {"first-line", "1"}, {"date+title", "2"}};
    for (int i = 0; i < 3; ++i) {
        if (std::strcmp(text, strategies[i].name) == 0 || std::strcmp(text, strategies[i].number) == 0) {
            strategy_out = i;
            return true;
        }
    }
    return false;
}

struct options {
    int strategy = 0;
    const char* output_dir = nullptr;
    const char* journal = nullptr;
    bool dry_run = false;
    bool recursive = false;
};

// Parses the options of one command; returns EXIT_OK or the usage error's status,
// or -1 when help was printed. Operands are argv[optind..argc).
enum class takes { help_only, strategy, rename, batch, undo };

int parse_options(int argc, char** argv, takes which, options& opt)
{
    static const struct option batch_options[] = {
        {"strategy", required_argument, nullptr, 's'}, {"help", no_argument, nullptr, 'h'},
        {"output", required_argument, nullptr, 'o'},   {"dry-run", no_argument, nullptr, 'n'},
        {"journal", required_argument, nullptr, 'j'},  {"recursive", no_argument, nullptr, 'r'},
        {nullptr, 0, nullptr, 0},
    };
    static const struct option rename_options[] = {
        {"strategy", required_argument, nullptr, 's'}, {"help", no_argument, nullptr, 'h'},
        {"output", required_argument, nullptr, 'o'},   {"dry-run", no_argument, nullptr, 'n'},
        {"journal", required_argument, nullptr, 'j'},  {nullptr, 0, nullptr, 0},
    };
    static const struct option suggest_options[] = {
        {"strategy", required_argument, nullptr, 's'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    static const struct option undo_options[] = {
        {"dry-run", no_argument, nullptr, 'n'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    static const struct option inspect_options[] = {
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const char* short_options = ":h";
    const struct option* long_options = inspect_options;
    switch (which) {
    case takes::help_only:
        break;
    case takes::strategy:
        short_options = ":s:h";
        long_options = suggest_options;
        break;
    case takes::rename:
        short_options = ":s:ho:nj:";
        long_options = rename_options;
        break;
    case takes::batch:
        short_options = ":s:ho:nj:r";
        long_options = batch_options;
        break;
    case takes::undo:
        short_options = ":hn";
        long_options = undo_options;
        break;
    }
    opterr = 0;
    optind = 1;
    optopt = 0;
    for (;;) {
        const int c = getopt_long(argc, argv, short_options, long_options, nullptr);
        if (c == -1)
            return EXIT_OK;
        switch (c) {
        case 's':
            if (!parse_strategy(optarg, opt.strategy))
                return usage_error("invalid strategy '%s' (title, first-line, date+title or 0, 1, 2)", optarg);
            break;
        case 'o':
            opt.output_dir = optarg;
            break;
        case 'j':
            opt.journal = optarg;
            break;
        case 'n':
            opt.dry_run = true;
            break;
        case 'r':
            opt.recursive = true;
            break;
        case 'h':
            std::fputs(USAGE, stdout);
            std::fputs(HELP, stdout);
            return -1;
        case ':':
            return usage_error("option '%s' needs an argument", argv[optind - 1]);
        default:
            if (optopt != 0) {
                const char shown[3] = {'-', static_cast<char>(optopt), '\0'};
                return usage_error("unknown option '%s'", shown);
            }
            return usage_error("unknown option '%s'", argv[optind - 1]);
        }
    }
}

// ---- suggest -----------------------------------------------------------------

int run_suggest(int argc, char** argv)
{
    options opt;
    if (const int rc = parse_options(argc, argv, takes::strategy, opt); rc != EXIT_OK)
        return rc < 0 ? EXIT_OK : rc;
    if (optind >= argc)
        return usage_error("%s: missing FILE operand", "suggest");
    int status = EXIT_OK;
    for (int i = optind; i < argc; ++i) {
        const char* name = tavrik_suggest(argv[i], opt.strategy);
        if (name[0] != '\0') {
            std::printf("%s\n", name);
        } else {
            std::fprintf(stderr, "%s: %s\n", argv[i], tavrik_last_error());
            status = EXIT_FAILED;
        }
    }
    return status;
}

// ---- inspect -----------------------------------------------------------------

// Text bytes pass through unchanged; only what JSON requires is escaped.
void json_string(std::string& out, const char* text, std::size_t cap)
{
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    const std::size_t n = strnlen(text, cap);
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

// The shortest text that reads back as the same double, always with a point or
// an exponent so that it reads as a number with a fraction; locale-free.
void json_double(std::string& out, double value)
{
    if (!std::isfinite(value)) {
        out += "null";   // JSON has no infinities or NaN
        return;
    }
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    const std::string_view text(buf, static_cast<std::size_t>(r.ptr - buf));
    out += text;
    if (text.find_first_of(".e") == std::string_view::npos)
        out += ".0";
}

int run_inspect(int argc, char** argv)
{
    options opt;
    if (const int rc = parse_options(argc, argv, takes::help_only, opt); rc != EXIT_OK)
        return rc < 0 ? EXIT_OK : rc;
    if (optind >= argc)
        return usage_error("%s: missing FILE operand", "inspect");
    if (argc - optind > 1)
        return usage_error("inspect: extra operand '%s'", argv[optind + 1]);

    auto info = std::make_unique<tavrik::ppdf_info>();
    if (!tavrik::ppdf_parse(argv[optind], *info)) {
        std::fputs("{\"ok\":false}\n", stdout);
        return EXIT_FAILED;
    }
    std::string out = "{\"ok\":true,\"version\":";
    json_string(out, info->version, sizeof info->version);
    out += ",\"encrypted\":" + std::to_string(info->encrypted);
    out += ",\"page_count\":" + std::to_string(info->page_count);
    out += ",\"title\":";
    json_string(out, info->title, sizeof info->title);
    out += ",\"creation_date\":";
    json_string(out, info->creation_date, sizeof info->creation_date);
    out += ",\"mod_date\":";
    json_string(out, info->mod_date, sizeof info->mod_date);
    out += ",\"lines\":[";
    const int count = info->line_count < 0 ? 0 : std::min<int>(info->line_count, tavrik::MAX_LINES);
    for (int i = 0; i < count; ++i) {
        out += i == 0 ? "{\"text\":" : ",{\"text\":";
        json_string(out, info->lines[i].text, sizeof info->lines[i].text);
        out += ",\"font_size\":";
        json_double(out, info->lines[i].font_size);
        out += '}';
    }
    out += "]}\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    return EXIT_OK;
}

// ---- rename and batch ----------------------------------------------------------

// The journal a run writes, when it was asked for one (never in a dry run).
class run_journal {
public:
    // False, with the reason on stderr, when the journal cannot be opened.
    bool open(const options& opt)
    {
        if (opt.journal == nullptr || opt.dry_run)
            return true;
        path_ = opt.journal;
        if (writer_.open(path_))
            return true;
        std::fprintf(stderr, "tavrik: cannot open journal %s\n", path_);
        return false;
    }
    // Records a move made; false, with the reason on stderr, when it could not be.
    bool record(const char* from, const char* to)
    {
        if (path_ == nullptr || writer_.record(from, to))
            return true;
        std::fprintf(stderr, "tavrik: cannot write to journal %s: the move %s -> %s is not recorded; stopping\n",
                     path_, from, to);
        return false;
    }
    bool close()
    {
        if (path_ == nullptr || writer_.close())
            return true;
        std::fprintf(stderr, "tavrik: cannot write to journal %s\n", path_);
        return false;
    }

private:
    const char* path_ = nullptr;
    tavrik::journal_writer writer_;
};

int run_rename(int argc, char** argv)
{
    options opt;
    if (const int rc = parse_options(argc, argv, takes::rename, opt); rc != EXIT_OK)
        return rc < 0 ? EXIT_OK : rc;
    if (optind >= argc)
        return usage_error("%s: missing FILE operand", "rename");
    run_journal journal;
    if (!journal.open(opt))
        return EXIT_FAILED;
    tavrik::move_plan plan;
    int status = EXIT_OK;
    for (int i = optind; i < argc; ++i) {
        bool ok;
        const char* dest;
        const char* message;
        if (opt.dry_run) {
            ok = tavrik::rename_flow(argv[i], opt.strategy, opt.output_dir, &plan) == 1;
            dest = tavrik::g_suggest_buf;
            message = tavrik::g_last_error;
        } else {
            ok = tavrik_rename(argv[i], opt.strategy, opt.output_dir) == 1;
            dest = tavrik_last_result_path();
            message = tavrik_last_error();
        }
        if (ok) {
            std::printf("%s -> %s\n", argv[i], dest);
            std::fflush(stdout);
            const bool moved = !opt.dry_run && std::strcmp(message, "already named correctly") != 0;
            if (moved && !journal.record(argv[i], dest))
                return EXIT_FAILED;
        } else {
            std::fprintf(stderr, "%s: %s\n", argv[i], message);
            status = EXIT_FAILED;
        }
    }
    return journal.close() ? status : EXIT_FAILED;
}

struct batch_run {
    run_journal journal;
    int failed = 0;
    bool journal_failed = false;
};

bool report_file(const tavrik::batch_event& e, void* user)
{
    auto& run = *static_cast<batch_run*>(user);
    if (e.dest == nullptr) {
        std::fprintf(stderr, "%s: %s\n", e.path, e.message);
        ++run.failed;
        return true;
    }
    std::printf("%s -> %s\n", e.path, e.dest);
    std::fflush(stdout);
    if (e.moved && !run.journal.record(e.path, e.dest)) {
        run.journal_failed = true;
        return false;
    }
    return true;
}

int run_batch(int argc, char** argv)
{
    options opt;
    if (const int rc = parse_options(argc, argv, takes::batch, opt); rc != EXIT_OK)
        return rc < 0 ? EXIT_OK : rc;
    if (optind >= argc)
        return usage_error("%s: missing DIR operand", "batch");
    if (argc - optind > 1)
        return usage_error("batch: extra operand '%s'", argv[optind + 1]);
    batch_run run;
    if (!run.journal.open(opt))
        return EXIT_FAILED;
    tavrik::move_plan plan;
    using flow_fn = int (*)(const char*, const char*, int, tavrik::move_plan*, tavrik::batch_report_fn, void*);
    const flow_fn flow = opt.recursive ? flow_fn{&tavrik::tree_flow} : flow_fn{&tavrik::batch_flow};
    const int renamed =
        flow(argv[optind], opt.output_dir, opt.strategy, opt.dry_run ? &plan : nullptr, report_file, &run);
    const bool journal_kept = run.journal.close() && !run.journal_failed;
    const bool all_well = renamed > 0 && run.failed == 0 && journal_kept;
    std::fprintf(all_well ? stdout : stderr, "%s\n", tavrik::g_last_error);
    return all_well ? EXIT_OK : EXIT_FAILED;
}

// ---- undo ----------------------------------------------------------------------

void report_undo(const tavrik::undo_event& e, void*)
{
    if (e.ok) {
        std::printf("%s -> %s\n", e.from, e.to);
        std::fflush(stdout);
    } else {
        std::fprintf(stderr, "%s: %s\n", e.from, e.message);
    }
}

int run_undo(int argc, char** argv)
{
    options opt;
    if (const int rc = parse_options(argc, argv, takes::undo, opt); rc != EXIT_OK)
        return rc < 0 ? EXIT_OK : rc;
    if (optind >= argc)
        return usage_error("%s: missing JOURNAL operand", "undo");
    if (argc - optind > 1)
        return usage_error("undo: extra operand '%s'", argv[optind + 1]);
    const tavrik::undo_result r = tavrik::undo_flow(argv[optind], opt.dry_run, report_undo, nullptr);
    if (!r.journal_read) {
        std::fprintf(stderr, "tavrik: cannot read journal %s\n", argv[optind]);
        return EXIT_FAILED;
    }
    return r.refused == 0 ? EXIT_OK : EXIT_FAILED;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        if (argc < 2)
            return usage_error("%s", "missing command");
        const std::string_view command = argv[1];
        if (command == "--help" || command == "-h") {
            std::fputs(USAGE, stdout);
            std::fputs(HELP, stdout);
            return EXIT_OK;
        }
        if (command == "--version" || command == "-V") {
            std::printf("tavrik %s\n", VERSION);
            return EXIT_OK;
        }
        // Each command parses its own options, with its name as argv[0].
        if (command == "suggest")
            return run_suggest(argc - 1, argv + 1);
        if (command == "inspect")
            return run_inspect(argc - 1, argv + 1);
        if (command == "rename")
            return run_rename(argc - 1, argv + 1);
        if (command == "batch")
            return run_batch(argc - 1, argv + 1);
        if (command == "undo")
            return run_undo(argc - 1, argv + 1);
        if (command.size() > 1 && command[0] == '-')
            return usage_error("unknown option '%s'", argv[1]);
        return usage_error("unknown command '%s'", argv[1]);
    } catch (const std::bad_alloc&) {
        std::fputs("tavrik: out of memory\n", stderr);
        return EXIT_FAILED;
    }
}
