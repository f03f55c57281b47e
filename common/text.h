// Byte-string helpers shared by every layer. Text is handled as bytes in the
// system code page (Shift-JIS); nothing here decodes it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Cuts `text` into fields at any byte found in `delimiters`.
// `fields` is emptied first. A run of delimiters counts as one separator
// and delimiters at either end yield nothing, so no field is ever empty.
void SplitFields(std::vector<std::string>& fields, std::string_view text,
                 std::string_view delimiters);

// Converts the leading decimal number of `text`: white space is skipped, an
// optional sign is taken, then digits up to the first other byte. No digits
// give 0. A value outside the 32-bit range saturates at INT_MIN or INT_MAX.
int ToDecimal(std::string_view text);

// Shift-JIS: true for a byte that opens a double-byte character.
inline bool IsSjisLead(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}
inline bool IsSjisTrail(unsigned char c) {
    return c >= 0x40 && c <= 0xFC && c != 0x7F;
}

// Length in bytes of the character that starts at `pos`: 2 for a lead byte
// followed by a valid trail byte, else 1. An invalid pair is two characters,
// so a stray lead byte never swallows the CR or LF behind it.
size_t SjisCharLength(std::string_view text, size_t pos);

// Position of the last `c` that stands as a character of its own (never the
// second byte of a double-byte character), or npos.
size_t SjisFindLast(std::string_view text, char c);

// Position of the first occurrence of `needle` that starts on a character
// boundary, or npos. An empty needle is found at 0.
size_t SjisFind(std::string_view text, std::string_view needle, size_t from = 0);

// Upper-cases ASCII letters that stand as characters of their own; the bytes
// of double-byte characters are left alone.
std::string SjisUpper(std::string_view text);

// Removes leading and trailing space, TAB, CR, LF, VT and FF. A trailing byte
// that is the second half of a double-byte character is never taken for
// white space.
std::string SjisTrim(std::string_view text);

// printf into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
