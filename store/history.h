// The Message-ID history: every Message-ID this server accepted, refused or
// saw go, remembered across all groups and restarts, so that a duplicate is
// refused by one lookup instead of a scan of the indexes.
//
// Two files in the base directory:
//   history        the log, appended to and never rewritten in place except by
//                  Compact(). One line per event, readable and greppable:
//                      <message-id> TAB state TAB arrived TAB changed LF
//                  state is "accepted", "refused" or "gone"; the times are
//                  seconds since 1970 (UTC). The newest line of a Message-ID
//                  says what is known of it.
//   history.index  a cache over the log: an open-addressed table of 64-bit
//                  hashes of Message-IDs and the offsets of their newest
//                  lines, used through a shared memory mapping, so it lives
//                  in the page cache and the heap holds nothing per entry.
//                  It records how much of the log it covers; when it is
//                  missing, damaged or behind the log, Open() brings it up to
//                  date or builds it again from the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

enum class HistoryState {
    Unknown,   // never seen, or forgotten by a compaction
    Accepted,  // taken and stored here (and, as far as the history knows, still stored)
    Refused,   // offered or posted and turned away
    Gone,      // expired or cancelled; a cancel may also come before its article
};

struct HistoryEntry {
    HistoryState state = HistoryState::Unknown;
    time_t arrived = 0;  // when first accepted or refused here (or when it went, if
                         // that was the first the history heard of it); 0 when unknown
    time_t changed = 0;  // when it got its present state; equals arrived when accepted
};

// Whether a group still holds an article with this Message-ID.
using StillStoredFn = std::function<bool(std::string_view messageId)>;

class CHistoryIndex;  // the mapped index file (history_index.h)

class CHistory {
public:
    // The longest Message-ID the history takes; longer ones are not valid
    // Message-IDs anyway (250 octets at most), this only bounds a log line.
    static constexpr size_t kMaxIdLength = 1000;

    CHistory();
    ~CHistory();  // Close()
    CHistory(const CHistory&) = delete;
    CHistory& operator=(const CHistory&) = delete;

    // Opens the history in `baseDir`, creating empty files when there are
    // none. A log whose last line was cut short (a crash in the middle of an
    // append) loses that partial line. An index that is missing, damaged,
    // made for another log, or possibly left incomplete by a system crash is
    // built again from the log (reading it whole); one that is merely behind
    // the log takes in the lines after the part it covers. Leftovers of an
    // interrupted growth or compaction are removed. The log is locked, so a
    // second process (or a second CHistory) on the same directory fails here.
    // False with `error` set (an operator-readable sentence) when the history
    // cannot be used; the object is then closed.
    bool Open(const std::string& baseDir, std::string& error);

    // Writes the index out and releases both files. Harmless when not open.
    void Close();

    bool IsOpen() const { return m_nLogFd >= 0; }

    // What is remembered of `messageId` (compared byte for byte). Unknown
    // when not open, for a Message-ID the history cannot hold, or when the
    // log cannot be read. Cost: one hash of the Message-ID; a probe of
    // adjacent 16-byte slots of the index, at most 70% full (about 2 slots
    // on average for a remembered Message-ID, 6 for an unknown one, nearly
    // always within one 4 KB page); and one pread of the log line (one page,
    // two if the line straddles a page boundary) for each slot whose 64-bit
    // hash matches, which in practice is only the right one. The same at ten
    // million entries as at a thousand. Nothing is allocated.
    HistoryEntry Lookup(std::string_view messageId) const;

    // Each appends one line for `messageId` with one write(2) and points the
    // index at it; the newest line decides what Lookup() answers, so callers
    // look the Message-ID up first when an earlier state must not be
    // overwritten (a duplicate offer of an accepted article is refused by
    // the lookup, not remembered as refused). `now` is the event's time.
    // False, with nothing changed, when not open, when `messageId` cannot be
    // held (IsRememberable), or when the line could not be written whole (a
    // short write is cut off again). Expected O(1); growing the index (when
    // it is 70% full) rehashes every entry into a new file of twice the size,
    // which is amortised over the entries that filled it.
    bool RememberAccepted(std::string_view messageId, time_t now);
    bool RememberRefused(std::string_view messageId, time_t now);
    // Records that the article expired or was cancelled at `now`; it stays
    // remembered until a compaction later than `now` plus that compaction's
    // keepDays. The arrival time is kept from the earlier entry, if any.
    // Marking an unknown Message-ID gone is allowed: a cancel that arrives
    // before its article keeps the article out.
    bool MarkGone(std::string_view messageId, time_t now);

    // Rewrites the log with one line per remembered Message-ID, in the order
    // of their newest lines, leaving out every entry that is gone or refused
    // and whose state changed more than `keepDays` days before `now` -
    // unless `stillStored` says a group still holds its article, in which
    // case it is kept as accepted with its arrival time. Accepted entries are
    // always kept, without asking `stillStored`; callers MarkGone() what they
    // remove. Invalid lines are dropped. The new log and its index are
    // written under temporary names and renamed over the old ones, so a
    // crash at any point leaves either the old or the new history, both
    // loadable. Reads the whole log and writes the kept part; a heap buffer
    // of about a megabyte is used. `stillStored` must not call back into
    // the history. False with `error` set, the history unchanged and still
    // open, when the new files cannot be written.
    bool Compact(time_t now, int keepDays, const StillStoredFn& stillStored, std::string& error);

    // Forces the log to disk (fdatasync). The index needs no sync: after a
    // system crash it is rebuilt from the log. False when the sync failed or
    // the history is not open.
    bool Sync();
    // The log, open for appending (-1 when closed), and its path: for syncing
    // it with the article whose reply waits for the disk (SyncWrites).
    int LogDescriptor() const { return m_nLogFd; }
    std::string LogPath() const;

    // How many Message-IDs the index holds (for reports and tests).
    uint64_t Count() const;

    // Whether `messageId` can be held: 1 to kMaxIdLength bytes, none of them
    // a control character, a blank or DEL (so that it fits on one log line
    // as one field).
    static bool IsRememberable(std::string_view messageId);

private:
    bool Append(std::string_view messageId, HistoryState state, time_t arrived, time_t changed);
    bool OpenIndex(uint64_t logInode, std::string& error);
    bool WriteCompacted(int fd, time_t now, int keepDays, const StillStoredFn& stillStored,
                        std::string& error);
    std::string PathOf(const char* name) const;

    std::string m_strDir;
    std::string m_strIndexPath;  // where the index lives, and where it is grown
    std::string m_strIndexTemp;
    int m_nLogFd = -1;
    uint64_t m_nLogSize = 0;     // bytes of whole lines in the log
    bool m_bCutPending = false;  // a failed append left bytes past m_nLogSize
    std::unique_ptr<CHistoryIndex> m_pIndex;
};
