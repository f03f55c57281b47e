#include "common/wildmat.h"

#include <vector>

namespace {

// Matches one set "[...]" at `p` against `c`; `p` is left after the set.
bool MatchSet(std::string_view pattern, size_t& p, char c) {
    size_t i = p + 1;
    bool negate = i < pattern.size() && pattern[i] == '^';
    if (negate) ++i;
    bool matched = false;
    bool first = true;
    for (; i < pattern.size() && (first || pattern[i] != ']'); ++i, first = false) {
        char low = pattern[i];
        char high = low;
        if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
            high = pattern[i + 2];
            i += 2;
        }
        if (c >= low && c <= high) matched = true;
    }
    p = i < pattern.size() ? i + 1 : i;
    return matched != negate;
}

bool MatchOne(std::string_view text, std::string_view pattern) {
    size_t t = 0, p = 0;
    size_t starP = std::string_view::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = ++p;
            starT = t;
            continue;
        }
        if (p < pattern.size()) {
            size_t next = p;
            bool ok;
            if (pattern[p] == '?') {
                ok = true;
                next = p + 1;
            } else if (pattern[p] == '[') {
                ok = MatchSet(pattern, next, text[t]);
            } else {
                ok = pattern[p] == text[t];
                next = p + 1;
            }
            if (ok) {
                p = next;
                ++t;
                continue;
            }
        }
        if (starP == std::string_view::npos) return false;
        p = starP;
        t = ++starT;
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace

bool Wildmat(std::string_view text, std::string_view wildmat) {
    bool result = false;
    size_t start = 0;
    while (start <= wildmat.size()) {
        size_t comma = wildmat.find(',', start);
        if (comma == std::string_view::npos) comma = wildmat.size();
        std::string_view pattern = wildmat.substr(start, comma - start);
        bool negate = !pattern.empty() && pattern[0] == '!';
        if (negate) pattern.remove_prefix(1);
        if (MatchOne(text, pattern)) result = !negate;
        start = comma + 1;
    }
    return result;
}
