// Storing a posted article: target groups, Message-ID, article files, index
// entries; cancel messages go to the cancel procedure instead.
#pragma once

#include <ctime>
#include <functional>
#include <string>

#include "store/server_core.h"
#include "store/xcontent.h"

enum class StoreResult {
    Stored = 0,    // stored in the target groups, or the cancel carried out
    NoTarget = 4,  // no configured group the user may post to
};

// Whether the poster may post to a group.
using CanPostFn = std::function<bool(const GroupEntry&)>;

// Stores the article collected in the temporary file `tempPath` (every byte
// the client sent after the 340 reply, terminating line included), read
// through `tempFd`, a descriptor of it open for reading (-1 when there is
// none; the caller keeps and closes it). `lineCount` is the number of LF
// bytes received with it. Fills `header` from the article's header. Removes
// the temporary file in every case. Changed groups are marked dirty; writing
// their indexes is the caller's.
// In the standard reader mode (`readerMode`) an article without a Date
// header gets one, and its line count is that of the body alone.
StoreResult StoreArticleFrom(CServerCore& core, const CanPostFn& canPost,
                             const std::string& tempPath, int tempFd, int lineCount,
                             XContent& header, time_t now, bool readerMode = false);

// `now` as an RFC 5322 date in local time: "Mon, 07 Dec 2026 10:19:04 +0900".
std::string FormatArticleDate(time_t now);

// The number of body lines of an article of `lineCount` LF bytes whose header
// block (as read by ReadHeaderBlock) is `headerBlock`: the lines after the
// blank line, without the terminating line.
int BodyLineCount(const std::string& headerBlock, int lineCount);

// Article files are written under this name in the group directory and
// renamed to their number once whole. It does not start with a digit, so the
// rebuild and expiry never take it for an article; a leftover from a crash
// is removed at start-up.
constexpr char kStagingName[] = ".incoming";
std::string StagingPath(const CServerCore& core, const GroupEntry& group);

// A new Message-ID "<counter@YYYYMMDDhhmmss>" from the process-wide 16-bit
// counter, which is seeded from the clock on first use and after it wraps.
std::string GenerateMessageId(time_t now);
