// The history's index file: an open-addressed table (linear probing) of
// 16-byte slots, each the 64-bit XXH3 hash of a Message-ID and the offset of
// its newest log line, behind a header page. The file is used through a
// shared memory mapping, so the table lives in the page cache, not on the
// heap, and what is written survives the process. Nothing outside the
// history uses it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "store/history_log.h"

struct HistoryIndexHeader;
struct HistorySlot;

class CHistoryIndex {
public:
    CHistoryIndex() = default;
    ~CHistoryIndex();  // Release()
    CHistoryIndex(const CHistoryIndex&) = delete;
    CHistoryIndex& operator=(const CHistoryIndex&) = delete;

    // Creates an empty table of `slotCount` slots (a power of two) at `path`,
    // replacing any file there, marked open in this boot and made for the
    // log with inode `logInode`. Its disk blocks are allocated at once: a
    // store into a hole of a shared mapping on a full disk would kill the
    // process with SIGBUS. False with `error` set.
    bool Create(const std::string& path, uint64_t slotCount, uint64_t logInode, std::string& error);

    // Maps the table at `path` if it can be trusted for `log` (inode
    // `logInode`): the right layout and size, made for that log file,
    // covering no more than the log's whole lines and ending at a line end,
    // and either closed cleanly or left open by a process of this same boot
    // (whose stores the page cache still holds). False, mapping nothing,
    // otherwise.
    bool OpenTrusted(const std::string& path, const HistoryLogView& log, uint64_t logInode);

    // Creates a table at `path` for the whole of `log` (growing it through
    // `growPath`), leaving it mapped; the caller renames it into place.
    bool Build(const HistoryLogView& log, uint64_t logInode, const std::string& path,
               const std::string& growPath, std::string& error);

    // Takes the lines of `log` from `from` to its end into the table, then
    // records that it covers the whole log. Growth goes through `tempPath`
    // renamed to `finalPath`.
    bool TakeLines(const HistoryLogView& log, uint64_t from, const std::string& tempPath,
                   const std::string& finalPath, std::string& error);

    // Makes room for one more entry: at 70% load the table is rehashed into
    // a new file of twice the slots at `tempPath`, renamed to `finalPath`.
    // A failed growth is an error only once the table is 90% full, past
    // which it takes no more entries (so a probe always meets a free slot).
    bool EnsureRoom(const std::string& tempPath, const std::string& finalPath, std::string& error);

    // Finds `messageId`'s newest line in `log`. Probes from the hash's home
    // slot to the first free one, reading the log line of every slot whose
    // hash matches (one in nearly every case) to confirm the Message-ID.
    bool Find(const HistoryLogView& log, std::string_view messageId, HistoryLine& line) const;

    // Points `messageId`'s slot at the line at `offset`, taking a free slot
    // if it has none. False when the table has no room (see EnsureRoom).
    bool Upsert(const HistoryLogView& log, std::string_view messageId, uint64_t offset);

    // Whether the line at `offset` is the newest of `messageId`; compares
    // offsets only, reading no log line.
    bool IsNewest(std::string_view messageId, uint64_t offset) const;

    uint64_t Covered() const;  // the log's first bytes that are in the table
    void SetCovered(uint64_t bytes);
    uint64_t Count() const;  // slots taken

    // Marks the table open on disk in this boot (synced), before any slot
    // changes, so that after a system crash it is never taken for one that
    // was closed cleanly.
    void MarkOpen();
    // Writes every changed page out, then marks the table closed cleanly,
    // then releases it.
    void CloseCleanly();
    // Unmaps and closes without writing anything out.
    void Release();
    // Takes over `other`'s file and mapping, releasing its own.
    void Adopt(CHistoryIndex& other);

private:
    bool Map(int fd, uint64_t bytes);
    bool Rehash(uint64_t slotCount, const std::string& tempPath, const std::string& finalPath,
                std::string& error);
    HistorySlot* Probe(const HistoryLogView& log, uint64_t hash, std::string_view messageId,
                       HistoryLine& line, bool& found) const;
    bool HasRoomFor(uint64_t more, uint64_t percent) const;

    int m_nFd = -1;
    char* m_pBase = nullptr;
    uint64_t m_nBytes = 0;
    HistoryIndexHeader* m_pHeader = nullptr;
    HistorySlot* m_pSlots = nullptr;
    uint64_t m_nMask = 0;  // slot count - 1
};
