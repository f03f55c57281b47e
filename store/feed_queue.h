// One peer's queue of articles still to be sent: a file of lines, appended to
// as articles are stored, and a small companion file saying how much of it
// is done. Both live on disk, so a peer that is down for a day costs disk,
// not memory, and a crash or restart loses nothing: what was taken but not
// done when it happened is taken again.
//
//   <name>       the lines, each ended by LF; only ever appended to, except
//                when Compact() replaces it whole
//   <name>.done  "<offset> <inode>\n": every line before that offset of the
//                queue file with that inode is done. Written under a
//                temporary name and renamed; a companion that is missing,
//                unreadable or made for another file counts as offset 0, so
//                the worst a damaged one does is have lines sent again.
//
// Lines are taken in file order but may be done in any order (replies to
// pipelined offers, deferred articles); the saved offset is that of the
// first line taken and not yet done, and lines done behind it are held in
// memory only until then. Not thread-safe; one object per file.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

class CFeedQueue {
public:
    // Compaction is worth its copy once this much is done and at least as
    // much as is still to be sent. A queue whose every line is done is
    // emptied once it is kAllDoneCompactBytes long.
    static constexpr uint64_t kCompactDoneBytes = 1024 * 1024;
    static constexpr uint64_t kAllDoneCompactBytes = 64 * 1024;
    // A line longer than this is damage: it is handed out cut short.
    static constexpr size_t kMaxLine = 64 * 1024;

    CFeedQueue() = default;
    ~CFeedQueue();  // Close()
    CFeedQueue(const CFeedQueue&) = delete;
    CFeedQueue& operator=(const CFeedQueue&) = delete;

    // Opens the queue file at `path` (created when missing) and its
    // companion, removing leftovers of an interrupted compaction. A last line
    // without its LF (a crash in the middle of an append) is cut off. False
    // with `error` set (the path and the system's reason) when the file
    // cannot be opened or repaired.
    bool Open(const std::string& path, std::string& error);
    // Saves the progress and releases the file. Harmless when not open.
    void Close();
    bool IsOpen() const { return m_nFd >= 0; }
    // The open queue file, for syncing it; -1 when closed.
    int Descriptor() const { return m_nFd; }

    // Appends `line` (without its LF, which is added) with one write. False,
    // with the file as it was, when it could not be written whole; the
    // system's reason is then in `error`.
    bool Append(std::string_view line, std::string& error);

    // Takes the next line not taken yet, without its LF, into `line`, and a
    // ticket that names it to Done(). False when every line has been taken.
    bool Take(std::string& line, uint64_t& ticket);
    // The line of `ticket` is done: it will not be taken again, here or
    // after a restart, once the progress is saved. Unknown tickets are
    // ignored.
    void Done(uint64_t ticket);

    // Writes the companion when the done offset has moved since it was last
    // written. False when it cannot be written (the old one stays).
    bool SaveProgress();

    // Whether Compact() would pay now (see the constants above).
    bool WorthCompacting() const;
    // Rewrites the queue file with only the lines not done: those taken and
    // pending, in order, then those not taken yet. Tickets stay valid. The
    // new file is written and synced under a temporary name, the companion
    // is pointed at it, and then it is renamed over the old one; a crash at
    // any point leaves a queue that loses nothing (at worst, done lines are
    // sent again). False with `error` set and the queue unchanged when the
    // new file cannot be written.
    bool Compact(std::string& error);

    bool HasUntaken() const { return m_nCursor < m_nSize; }
    size_t PendingCount() const { return m_pending.size(); }
    uint64_t Size() const { return m_nSize; }
    // Where the first line not done starts.
    uint64_t DoneOffset() const;
    const std::string& Path() const { return m_strPath; }

private:
    struct Span {
        uint64_t offset;
        uint64_t length;  // with the LF
    };

    uint64_t ReadDoneOffset() const;
    bool WriteDoneFile(uint64_t offset, ino_t inode);
    bool CutPartialLine(std::string& error);
    bool CopyLive(int to, uint64_t& written);
    bool Fill();

    std::string m_strPath;
    int m_nFd = -1;  // read and append
    ino_t m_inode = 0;
    uint64_t m_nSize = 0;    // bytes of whole lines in the file
    uint64_t m_nCursor = 0;  // where the next line to take starts
    // Read ahead from the cursor: m_strBuffer holds the file's bytes from
    // m_nBufferStart (at or before the cursor) on.
    std::string m_strBuffer;
    uint64_t m_nBufferStart = 0;
    std::map<uint64_t, Span> m_pending;  // by ticket: taken, not done
    uint64_t m_nPendingBytes = 0;        // their lengths added up
    uint64_t m_nNextTicket = 1;
    uint64_t m_nSavedOffset = UINT64_MAX;  // what the companion says; MAX: unknown
};
