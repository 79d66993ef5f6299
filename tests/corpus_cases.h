// The real-producer corpus and the results expected of each file.
#pragma once

#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "json_lite.h"
#include "pdf_builder.h"

namespace tavrik_test {

struct corpus_case {
    std::string file;
    json expected;
};

inline void PrintTo(const corpus_case& c, std::ostream* os) { *os << c.file; }

inline std::vector<corpus_case> load_corpus_cases()
{
    std::vector<corpus_case> cases;
    std::ifstream in(fixture("corpus/expected.jsonl"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        json e = json::parse(line);
        cases.push_back({e["file"].str, e});
    }
    return cases;
}

// "p01_lo_annual_report.pdf" -> "p01LoAnnualReport": GoogleTest names have no underscores.
inline std::string corpus_case_name(const std::string& file)
{
    std::string out;
    bool upper = false;
    for (char c : file.substr(0, file.size() - 4)) {
        if (c == '_') {
            upper = true;
            continue;
        }
        out += upper && c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
        upper = false;
    }
    return out;
}

inline std::string replace_all(std::string s, const std::string& from, const std::string& to)
{
    for (std::size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
        s.replace(p, from.size(), to);
    return s;
}

}  // namespace tavrik_test
