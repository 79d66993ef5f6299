// The journal of moves: its records as lines of JSON, appending them, and undo.
#include "journal.h"

#include <charconv>
#include <cstring>
#include <map>
#include <vector>

#include "rename.h"

namespace tavrik {

namespace {

// ---- writing ------------------------------------------------------------------------------

// Length of the well-formed UTF-8 sequence at s[i] (no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0 when the byte there starts none.
std::size_t utf8_sequence(std::string_view s, std::size_t i)
{
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const unsigned char c = b(0);
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xBF;   // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0)
            lo = 0xA0;
        else if (c == 0xED)
            hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0)
            lo = 0x90;
        else if (c == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size() || b(1) < lo || b(1) > hi)
        return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (b(k) < 0x80 || b(k) > 0xBF)
            return 0;
    return n;
}

void put_json_string(std::string& out, std::string_view text)
{
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20) {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (const std::size_t n = utf8_sequence(text, i); n != 0) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            out += "\\udc";
            out += hex[c >> 4];
            out += hex[c & 15];
            ++i;
        }
    }
    out += '"';
}

// ---- reading ------------------------------------------------------------------------------

class record_reader {
public:
    explicit record_reader(std::string_view text) : t_(text) {}

    std::optional<move_record> read()
    {
        move_record r;
        bool have[6] = {};
        ws();
        if (!eat('{'))
            return std::nullopt;
        ws();
        if (!eat('}')) {
            for (;;) {
                std::string key;
                ws();
                if (!string(key))
                    return std::nullopt;
                ws();
                if (!eat(':'))
                    return std::nullopt;
                ws();
                if (!value(key, r, have))
                    return std::nullopt;
                ws();
                if (eat('}'))
                    break;
                if (!eat(','))
                    return std::nullopt;
            }
        }
        ws();
        if (p_ != t_.size())
            return std::nullopt;
        for (const bool h : have)
            if (!h)
                return std::nullopt;
        if (r.old_path.empty() || r.new_path.empty())
            return std::nullopt;
        return r;
    }

private:
    std::string_view t_;
    std::size_t p_ = 0;

    void ws()
    {
        while (p_ < t_.size() && (t_[p_] == ' ' || t_[p_] == '\t' || t_[p_] == '\r' || t_[p_] == '\n'))
            ++p_;
    }
    bool eat(char c)
    {
        if (p_ < t_.size() && t_[p_] == c) {
            ++p_;
            return true;
        }
        return false;
    }
    bool hex4(unsigned& v)
    {
        if (t_.size() - p_ < 4)
            return false;
        v = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = t_[p_++];
            v <<= 4;
            if (c >= '0' && c <= '9')
                v |= static_cast<unsigned>(c - '0');
            else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')
                v |= static_cast<unsigned>((c | 0x20) - 'a' + 10);
            else
                return false;
        }
        return true;
    }
    static void put_utf8(std::string& out, unsigned cp)
    {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    bool string(std::string& out)
    {
        if (!eat('"'))
            return false;
        for (;;) {
            if (p_ >= t_.size())
                return false;
            const auto c = static_cast<unsigned char>(t_[p_++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return false;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (p_ >= t_.size())
                return false;
            const char e = t_[p_++];
            switch (e) {
            case '"': case '\\': case '/':
                out += e;
                break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned cp;
                if (!hex4(cp))
                    return false;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    unsigned low;
                    if (!eat('\\') || !eat('u') || !hex4(low) || low < 0xDC00 || low > 0xDFFF)
                        return false;
                    put_utf8(out, 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00));
                } else if (cp >= 0xDC80 && cp <= 0xDCFF) {
                    out += static_cast<char>(cp - 0xDC00);   // a byte that was no UTF-8
                } else if (cp >= 0xD800 && cp <= 0xDFFF) {
                    return false;
                } else {
                    put_utf8(out, cp);
                }
                break;
            }
            default:
                return false;
            }
        }
    }
    // A JSON number; integral ones (optionally negative) go to value.
    bool number(std::string_view& text)
    {
        const std::size_t start = p_;
        eat('-');
        while (p_ < t_.size() && ((t_[p_] >= '0' && t_[p_] <= '9') || t_[p_] == '.' || t_[p_] == 'e' ||
                                  t_[p_] == 'E' || t_[p_] == '+' || t_[p_] == '-'))
            ++p_;
        text = t_.substr(start, p_ - start);
        return p_ > start;
    }
    template <typename T>
    static bool integer(std::string_view text, T& out)
    {
        const auto r = std::from_chars(text.data(), text.data() + text.size(), out);
        return r.ec == std::errc() && r.ptr == text.data() + text.size();
    }
    bool word(std::string_view w)
    {
        if (t_.substr(p_, w.size()) != w)
            return false;
        p_ += w.size();
        return true;
    }
    bool value(const std::string& key, move_record& r, bool* have)
    {
        static constexpr const char* keys[] = {"old", "new", "volume", "index", "size", "mtime"};
        int which = -1;
        for (int k = 0; k < 6; ++k)
            if (key == keys[k])
                which = k;
        if (which == 0 || which == 1) {
            std::string s;
            if (!string(s))
                return false;
            (which == 0 ? r.old_path : r.new_path) = std::move(s);
            have[which] = true;
            return true;
        }
        if (which >= 2) {
            std::string_view text;
            if (!number(text))
                return false;
            const bool ok = which == 2   ? integer(text, r.stamp.id.volume)
                            : which == 3 ? integer(text, r.stamp.id.index)
                            : which == 4 ? integer(text, r.stamp.size)
                                         : integer(text, r.stamp.mtime);
            have[which] = ok;
            return ok;
        }
        // Some other key: any plain value is passed over.
        std::string skipped;
        std::string_view text;
        return (p_ < t_.size() && t_[p_] == '"') ? string(skipped)
                                                  : word("true") || word("false") || word("null") || number(text);
    }
};

// ---- undo ----------------------------------------------------------------------------------

std::string folder_of(const std::string& path)
{
    std::size_t sep = path.find_last_of('/');
#if defined(_WIN32)
    const std::size_t back = path.find_last_of('\\');
    if (back != std::string::npos && (sep == std::string::npos || back > sep))
        sep = back;
#endif
    if (sep == std::string::npos)
        return ".";
    return sep == 0 ? path.substr(0, 1) : path.substr(0, sep);
}

// What undo sees at a path: the file system, with its own moves of a dry run laid
// over it, and the files its moves put back, which may be new copies (a move
// across file systems) that later records know only by size and time.
class undo_view {
public:
    explicit undo_view(bool dry_run) : dry_run_(dry_run) {}

    std::optional<platform::file_stamp> at(const std::string& path) const
    {
        if (const auto it = overlay_.find(path); it != overlay_.end())
            return it->second;
        return platform::file_stamp_of(path.c_str());
    }
    bool taken(const std::string& path) const
    {
        if (const auto it = overlay_.find(path); it != overlay_.end())
            return it->second.has_value();
        return platform::path_exists(path.c_str());
    }
    // Whether now, the stamp at a path, is the file a record left there.
    bool is_recorded_file(const std::string& path, const platform::file_stamp& now,
                          const platform::file_stamp& recorded) const
    {
        if (now == recorded)
            return true;
        const auto it = placed_.find(path);
        return it != placed_.end() && it->second.now == now && it->second.was.size == recorded.size &&
               it->second.was.mtime == recorded.mtime;
    }
    void moved_back(const move_record& r)
    {
        placed_.erase(r.new_path);
        platform::file_stamp now = r.stamp;
        if (dry_run_) {
            overlay_[r.new_path] = std::nullopt;
            overlay_[r.old_path] = r.stamp;
        } else if (const auto real = platform::file_stamp_of(r.old_path.c_str())) {
            now = *real;
        }
        placed_[r.old_path] = {now, r.stamp};
    }

private:
    struct placed {
        platform::file_stamp now;   // what stands there since undo put it there
        platform::file_stamp was;   // the stamp of the record it came back from
    };
    bool dry_run_;
    std::map<std::string, std::optional<platform::file_stamp>> overlay_;
    std::map<std::string, placed> placed_;
};

}  // namespace

std::string format_move_record(const move_record& record)
{
    std::string out = "{\"old\":";
    put_json_string(out, record.old_path);
    out += ",\"new\":";
    put_json_string(out, record.new_path);
    out += ",\"volume\":" + std::to_string(record.stamp.id.volume);
    out += ",\"index\":" + std::to_string(record.stamp.id.index);
    out += ",\"size\":" + std::to_string(record.stamp.size);
    out += ",\"mtime\":" + std::to_string(record.stamp.mtime);
    out += "}\n";
    return out;
}

std::optional<move_record> parse_move_record(std::string_view line)
{
    return record_reader(line).read();
}

bool journal_writer::open(const char* path)
{
    file_.reset(std::fopen(path, "ab"));
    return file_ != nullptr;
}

bool journal_writer::record(const char* old_path, const char* new_path)
{
    if (!file_)
        return false;
    move_record r;
    // Absolute, so that the journal can be undone from any working directory.
    r.old_path = platform::absolute_path(old_path);
    r.new_path = platform::absolute_path(new_path);
    if (r.old_path.empty())
        r.old_path = old_path;
    if (r.new_path.empty())
        r.new_path = new_path;
    if (const auto stamp = platform::file_stamp_of(new_path))
        r.stamp = *stamp;
    const std::string line = format_move_record(r);
    return std::fwrite(line.data(), 1, line.size(), file_.get()) == line.size() && std::fflush(file_.get()) == 0;
}

bool journal_writer::close()
{
    if (!file_)
        return true;
    const bool flushed = std::fflush(file_.get()) == 0;
    return std::fclose(file_.release()) == 0 && flushed;
}

undo_result undo_flow(const char* journal_path, bool dry_run, undo_report_fn report, void* user)
{
    undo_result result;
    byte_buffer text;
    if (!platform::read_file(journal_path, MAX_JOURNAL_BYTES, text)) {
        // An empty file is a journal of no moves (a folder is none).
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(journal_path, "rb"), &std::fclose);
        if (f == nullptr || std::fgetc(f.get()) != EOF || std::ferror(f.get()) != 0)
            return result;
    }
    result.journal_read = true;

    struct line {
        int number;
        std::string_view text;
    };
    std::vector<line> lines;
    const std::string_view all(reinterpret_cast<const char*>(text.data()), text.size());
    int number = 0;
    for (std::size_t start = 0; start < all.size();) {
        std::size_t end = all.find('\n', start);
        if (end == std::string_view::npos)
            end = all.size();
        ++number;
        std::string_view l = all.substr(start, end - start);
        if (!l.empty() && l.back() == '\r')
            l.remove_suffix(1);
        if (l.find_first_not_of(" \t") != std::string_view::npos)
            lines.push_back({number, l});
        start = end + 1;
    }

    const auto refuse = [&](const std::string& from, const std::string& message) {
        ++result.refused;
        report({false, from.c_str(), nullptr, message.c_str()}, user);
    };
    undo_view view(dry_run);
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        const auto r = parse_move_record(it->text);
        if (!r) {
            refuse(journal_path, "line " + std::to_string(it->number) + ": not a move record");
            continue;
        }
        const auto now = view.at(r->new_path);
        if (!now) {
            refuse(r->new_path, "not moved back: nothing there any more");
            continue;
        }
        if (!view.is_recorded_file(r->new_path, *now, r->stamp)) {
            refuse(r->new_path, now->id == r->stamp.id ? "not moved back: the file has changed since the move"
                                                       : "not moved back: another file is there now");
            continue;
        }
        if (view.taken(r->old_path)) {
            refuse(r->new_path, "not moved back: " + r->old_path + " is taken");
            continue;
        }
        if (!dry_run) {
            const std::string folder = folder_of(r->old_path);
            if (mkdir_p(folder.c_str()) != 0) {
                refuse(r->new_path, "not moved back: cannot create folder " + folder);
                continue;
            }
            if (!move_file(r->new_path.c_str(), r->old_path.c_str())) {
                refuse(r->new_path, "failed to move " + r->new_path + " -> " + r->old_path);
                continue;
            }
        }
        view.moved_back(*r);
        ++result.undone;
        report({true, r->new_path.c_str(), r->old_path.c_str(), nullptr}, user);
    }
    return result;
}

}  // namespace tavrik
