// The history log's lines and the reading of the log file, shared by the
// history and its index; nothing outside the history uses them.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "store/history.h"

// One log line taken apart; the Message-ID points into the line's text.
struct HistoryLine {
    std::string_view messageId;
    HistoryState state = HistoryState::Unknown;
    time_t arrived = 0;
    time_t changed = 0;
};

// The most a line holds after its Message-ID: TAB, "accepted", TAB, two
// times of at most 18 digits with a TAB between them, LF.
constexpr size_t kHistoryLineTail = 1 + 8 + 1 + 18 + 1 + 18 + 1;

// `text` is one line without its LF. False for anything but the four fields
// FormatHistoryLine writes: a Message-ID of at most CHistory::kMaxIdLength
// bytes without TAB, a state, two times of 1 to 18 digits.
bool ParseHistoryLine(std::string_view text, HistoryLine& out);

// The line for an event, LF included. Negative times are written as 0.
std::string FormatHistoryLine(std::string_view messageId, HistoryState state, time_t arrived,
                              time_t changed);

// Calls `fn(offset, line)` for every line (without its LF) that ends between
// byte `from` and byte `to` of the file, in order, until `fn` returns false.
// Reads in blocks of a megabyte; a line longer than that is skipped (it
// cannot be one of ours). False when `fn` stopped or the file could not be
// read.
bool ForEachHistoryLine(int fd, uint64_t from, uint64_t to,
                        const std::function<bool(uint64_t offset, std::string_view line)>& fn);

// Cuts a partial last line (bytes after the last LF) off the log open on
// `fd`. Returns the new size, or -1 when the file cannot be read or cut.
int64_t RepairHistoryLog(int fd);

// pread(2), retried when interrupted.
ssize_t PreadRetry(int fd, char* buffer, size_t size, uint64_t offset);

// A log open for reading and how much of it holds whole lines.
struct HistoryLogView {
    int fd = -1;
    uint64_t size = 0;

    // Reads the line at `offset` into `line` if it is `messageId`'s; false
    // when it is another's, lies beyond `size` or cannot be read. One pread
    // of at most the Message-ID's length plus kHistoryLineTail bytes.
    bool ReadLine(uint64_t offset, std::string_view messageId, HistoryLine& line) const;
};
