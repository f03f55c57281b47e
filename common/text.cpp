#include "common/text.h"

#include <climits>
#include <cstdarg>
#include <cstdio>

void SplitFields(std::vector<std::string>& fields, std::string_view text,
                 std::string_view delimiters) {
    fields.clear();
    bool isDelimiter[256] = {};
    for (unsigned char c : delimiters) isDelimiter[c] = true;
    size_t start = 0;
    const size_t n = text.size();
    for (size_t i = 0; i <= n; ++i) {
        if (i == n || isDelimiter[static_cast<unsigned char>(text[i])]) {
            if (i > start) fields.emplace_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
}

static bool IsSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

int ToDecimal(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsSpace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        // Keep reading digits but stop growing once past the range.
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

size_t SjisCharLength(std::string_view text, size_t pos) {
    if (pos + 1 < text.size() && IsSjisLead(static_cast<unsigned char>(text[pos])) &&
        IsSjisTrail(static_cast<unsigned char>(text[pos + 1])))
        return 2;
    return 1;
}

size_t SjisFindLast(std::string_view text, char c) {
    size_t found = std::string_view::npos;
    for (size_t i = 0; i < text.size(); i += SjisCharLength(text, i))
        if (text[i] == c) found = i;
    return found;
}

size_t SjisFind(std::string_view text, std::string_view needle, size_t from) {
    if (needle.empty()) return from <= text.size() ? from : std::string_view::npos;
    // Only a valid trail byte can be the second half of a character: where
    // the needle starts with any other byte (a CR or an LF, say),
    // every match a plain search finds starts a character, and the search
    // need not step through the text a character at a time.
    if (!IsSjisTrail(static_cast<unsigned char>(needle[0])))
        return from > text.size() ? std::string_view::npos : text.find(needle, from);
    for (size_t i = from; i + needle.size() <= text.size(); i += SjisCharLength(text, i))
        if (text.compare(i, needle.size(), needle) == 0) return i;
    return std::string_view::npos;
}

std::string SjisUpper(std::string_view text) {
    std::string out(text);
    for (size_t i = 0; i < out.size();) {
        size_t len = SjisCharLength(out, i);
        if (len == 1 && out[i] >= 'a' && out[i] <= 'z') out[i] = static_cast<char>(out[i] - 32);
        i += len;
    }
    return out;
}

std::string SjisTrim(std::string_view text) {
    size_t begin = 0;
    while (begin < text.size() && IsSpace(static_cast<unsigned char>(text[begin]))) ++begin;
    // Walk forward by characters so the end is only ever cut at a character
    // boundary that follows a non-space character.
    size_t end = begin;
    for (size_t i = begin; i < text.size();) {
        size_t len = SjisCharLength(text, i);
        if (len == 2 || !IsSpace(static_cast<unsigned char>(text[i]))) end = i + len;
        i += len;
    }
    return std::string(text.substr(begin, end - begin));
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (needed > 0) {
        out.resize(static_cast<size_t>(needed) + 1);
        std::vsnprintf(out.data(), out.size(), format, args);
        out.resize(static_cast<size_t>(needed));
    }
    va_end(args);
    return out;
}
