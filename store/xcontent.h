// The parsed header of one article: the few values the store files, indexes
// and cancels by.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

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
