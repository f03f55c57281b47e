// Storing a posted article: target groups, Message-ID, article files, index
// entries; cancel messages go to the cancel procedure instead.
#pragma once

#include <sys/types.h>

#include <cstdint>
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

// An article as a client sent it (every byte after the 340 or 335 reply,
// or after TAKETHIS, terminating line included): in memory, or, once it
// grew past kMaxMemoryBytes, in a temporary file. The temporary file is the
// posting's: it is closed and removed when the posting goes.
class Posting {
public:
    // Larger articles go to a temporary file as they arrive.
    static constexpr size_t kMaxMemoryBytes = 1024 * 1024;

    Posting() = default;
    ~Posting() { Discard(); }
    Posting(Posting&& other) noexcept { *this = std::move(other); }
    Posting& operator=(Posting&& other) noexcept;
    Posting(const Posting&) = delete;
    Posting& operator=(const Posting&) = delete;

    // Appends received bytes; past the memory bound they go to a temporary
    // file. False when some could not be kept: when the file cannot be made
    // at all the article reads as empty from then on (and is answered as
    // one without groups), when it fails later Complete() turns false.
    bool Append(const char* data, size_t length);
    // Reads up to `size` bytes at `offset` into `buffer`: how many, 0 at the
    // end, negative on failure.
    ssize_t ReadAt(char* buffer, size_t size, int64_t offset) const;
    int64_t Size() const { return m_nSize; }
    // Every byte appended was kept.
    bool Complete() const { return m_bComplete; }
    // Closes and removes the temporary file, and forgets the bytes.
    void Discard();

    int lineCount = 0;  // LF bytes received with it

private:
    std::string m_strBytes;  // the article, while it is held in memory
    int m_nFd = -1;          // the temporary file, once it went there
    std::string m_strPath;
    int64_t m_nSize = 0;
    bool m_bComplete = true;
    bool m_bNoFile = false;  // the temporary file could not be made
};

// Stores a posted article in the classic mode. Fills `header` from the
// article's header. Changed groups are marked dirty; writing their indexes
// is the caller's. With `readerMode` (kept for the tests of the old reader
// mode's rules) an article without a Date header gets one, and its line
// count is that of the body alone.
StoreResult StoreArticleFrom(CServerCore& core, const CanPostFn& canPost, const Posting& posting,
                             XContent& header, time_t now, bool readerMode = false);

// Writes one copy of an article into `group`: `prefix`, then the posting
// from byte `from` on. The copy is made as a file without
// a name (or, where the file system cannot do that, under a staging name
// that no reader takes for an article) and only given its number, the first
// free one after the group's last, once whole, so a crash or a full disk
// never leaves a cut-short article under a number. Then the entry (`texts`,
// the file's size, `lineCount`) is appended and the group marked dirty;
// `stored`, when given, receives the number. False, leaving the group and
// its directory as they were, when the copy cannot be made whole.
bool StoreInGroup(CServerCore& core, GroupEntry& group, const Posting& in, int64_t from,
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
