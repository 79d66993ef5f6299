// A small JSON reader for test expectations (expected.jsonl): objects, arrays,
// strings with \u escapes (surrogate pairs to UTF-8), numbers, true/false/null.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrik_test {

struct json {
    enum class kind { null, boolean, number, string, array, object } type = kind::null;
    bool b = false;
    double num = 0;
    std::string str;
    std::vector<json> arr;
    std::map<std::string, json> obj;

    const json& operator[](const std::string& key) const
    {
        auto it = obj.find(key);
        if (it == obj.end())
            throw std::runtime_error("missing key " + key);
        return it->second;
    }
    const json& operator[](std::size_t i) const { return arr.at(i); }

    static json parse(const std::string& text)
    {
        std::size_t pos = 0;
        json v = parse_value(text, pos);
        return v;
    }

private:
    static void skip_ws(const std::string& t, std::size_t& p)
    {
        while (p < t.size() && (t[p] == ' ' || t[p] == '\t' || t[p] == '\n' || t[p] == '\r'))
            ++p;
    }
    static void put_utf8(std::string& out, std::uint32_t cp)
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
    static std::uint32_t hex4(const std::string& t, std::size_t p)
    {
        return static_cast<std::uint32_t>(std::stoul(t.substr(p, 4), nullptr, 16));
    }
    static std::string parse_string(const std::string& t, std::size_t& p)
    {
        std::string out;
        ++p;   // opening quote
        while (p < t.size() && t[p] != '"') {
            char c = t[p++];
            if (c != '\\') {
                out += c;
                continue;
            }
            char e = t.at(p++);
            switch (e) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                std::uint32_t cp = hex4(t, p);
                p += 4;
                if (cp >= 0xD800 && cp < 0xDC00 && t.compare(p, 2, "\\u") == 0) {
                    std::uint32_t lo = hex4(t, p + 2);
                    if (lo >= 0xDC00 && lo < 0xE000) {
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                        p += 6;
                    }
                }
                put_utf8(out, cp);
                break;
            }
            default: out += e; break;
            }
        }
        ++p;   // closing quote
        return out;
    }
    static json parse_value(const std::string& t, std::size_t& p)
    {
        skip_ws(t, p);
        json v;
        if (p >= t.size())
            throw std::runtime_error("unexpected end of JSON");
        char c = t[p];
        if (c == '{') {
            v.type = kind::object;
            ++p;
            skip_ws(t, p);
            if (t[p] == '}') { ++p; return v; }
            for (;;) {
                skip_ws(t, p);
                std::string key = parse_string(t, p);
                skip_ws(t, p);
                ++p;   // colon
                v.obj[key] = parse_value(t, p);
                skip_ws(t, p);
                if (t[p++] == '}')
                    return v;
            }
        }
        if (c == '[') {
            v.type = kind::array;
            ++p;
            skip_ws(t, p);
            if (t[p] == ']') { ++p; return v; }
            for (;;) {
                v.arr.push_back(parse_value(t, p));
                skip_ws(t, p);
                if (t[p++] == ']')
                    return v;
            }
        }
        if (c == '"') {
            v.type = kind::string;
            v.str = parse_string(t, p);
            return v;
        }
        if (t.compare(p, 4, "true") == 0) { v.type = kind::boolean; v.b = true; p += 4; return v; }
        if (t.compare(p, 5, "false") == 0) { v.type = kind::boolean; p += 5; return v; }
        if (t.compare(p, 4, "null") == 0) { p += 4; return v; }
        v.type = kind::number;
        char* end = nullptr;
        v.num = std::strtod(t.c_str() + p, &end);
        p = static_cast<std::size_t>(end - t.c_str());
        return v;
    }
};

}  // namespace tavrik_test
