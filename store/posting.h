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

// Writes one copy of an article into `group`: `prefix`, then the posting
// read through `in` from byte `from` on. The copy is made as a file without
// a name (or, where the file system cannot do that, under a staging name
// that no reader takes for an article) and only given its number, the first
// free one after the group's last, once whole, so a crash or a full disk
// never leaves a cut-short article under a number. Then the entry (`texts`,
// the file's size, `lineCount`) is appended and the group marked dirty;
// `stored`, when given, receives the number. False, leaving the group and
// its directory as they were, when the copy cannot be made whole.
bool StoreInGroup(CServerCore& core, GroupEntry& group, int in, int64_t from,
                  const std::string& prefix, const EntryTexts& texts, int lineCount, int* stored);

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
