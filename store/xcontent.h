// The parsed header of one article: the few values the store files, indexes
// and cancels by.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class XContent {
public:
    std::string subject;
    std::string newsgroups;
    std::string from;
    std::string date;
    std::string messageId;
    std::string references;
    int bytes = 0;
    int lines = 0;
    std::string control;

    // Empties every string and zeroes both numbers.
    void Clear();

    // Clears the record, then fills it from `text`, which begins with the
    // first header line. Names are matched exactly and case-sensitively at
    // the first byte of a line; the last occurrence of a header wins;
    // continuation lines extend only the current recognised header; the line
    // "\r\n" ends the header and bytes after the last LF are never looked at.
    // Afterwards no string holds CR, LF or TAB or begins or ends with blanks.
    void ParseHeader(const std::string& text);
};

// Removes every CR and turns every LF and TAB into a blank.
void NormalizeValue(std::string& value);

// The start of the file at `path`, read in 1000-byte blocks up to and
// including the block in which "\r\n\r\n" is first seen (the whole file when
// it has none). A NUL byte cuts its block's contribution there. Empty when the
// file cannot be opened.
std::string ReadHeaderBlock(const std::string& path);

// The same, from the start of a file already open for reading (the
// descriptor's position is not used or moved).
std::string ReadHeaderBlockFrom(int fd);

// The same, from whatever `readAt` reads: up to `size` bytes at `offset` into
// the buffer, returning how many (0 at the end, negative on failure).
std::string ReadHeaderBlockWith(
    const std::function<ssize_t(char* buffer, size_t size, int64_t offset)>& readAt);

// Splits a header block as HEAD and BODY need it: `head` receives the header
// lines (each with its CR LF, without the blank line); the result is where
// the body starts in the file. An article without a blank line is all
// header: its terminating line, when present, is left out of `head`.
int64_t SplitHeaderBlock(const std::string& block, std::string& head);

// The value of the header `name` (any letter case) in `block`: unfolded,
// trimmed, TABs as blanks; the first occurrence counts; empty when absent.
std::string HeaderValueOf(const std::string& block, std::string_view name);

// --- every field of a header, for the checks a posted or fed article must pass ---

// One header field of an article as it was written.
struct HeaderField {
    std::string name;   // as written, without the colon
    std::string value;  // unfolded (line breaks before blanks removed), blanks around trimmed
};

// An article's header cut into all of its fields, and what follows it.
struct HeaderFields {
    std::vector<HeaderField> fields;  // in article order, repeated names included
    bool ended = false;               // a blank line closed the header
    size_t bodyOffset = 0;            // where the body starts; the text's size when none
    bool bodyEmpty = true;            // the body holds nothing but blanks and line ends
    std::string badLine;              // the first line that is no field: no colon, a name
                                      // not of printable ASCII, no blank after the colon,
                                      // a continuation with no field before it, a NUL or
                                      // a lone CR; empty when there is none

    // The value of the first field named `name` in any letter case, or null.
    const std::string* Find(std::string_view name) const;
    // How many fields are named `name` in any letter case.
    int Count(std::string_view name) const;
};

// Cuts `text`, an article from its first header line on (CR LF or bare LF
// line ends, as much of it as the caller has), into `out`, which is reset
// first. A line beginning with a blank continues the field before it. The
// header ends at the first empty line; a last line without its LF is taken
// as it is. In the body a last line "." (the terminating line of an article
// as received) does not count.
void ParseHeaderFields(std::string_view text, HeaderFields& out);

// `header` (header lines with their line ends) without every line of the
// fields named `name` in any letter case, their continuation lines included.
std::string WithoutHeaderField(std::string_view header, std::string_view name);
