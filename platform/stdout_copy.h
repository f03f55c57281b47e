// The operation log's copy on stdout, written without ever blocking the
// server: whatever stdout is (a pipe, a terminal, the journal's socket, a
// file), a write takes what it takes now and the rest waits in a bounded
// buffer. No Qt here; the host watches WatchFd() for room and calls Flush().
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class CStdoutCopy {
public:
    // What may wait for a stdout that does not read. Past it, lines are
    // dropped until everything waiting has gone out; then one line says how
    // many were dropped.
    static constexpr size_t kLimit = 1024 * 1024;

    // Copies to `fd` (stdout, which stays open). With `journal`, every CR is
    // dropped on the way (see AppendJournalText). SIGPIPE must be ignored by
    // the process: a reader that has gone is seen as EPIPE.
    CStdoutCopy(int fd, bool journal);
    ~CStdoutCopy();
    CStdoutCopy(const CStdoutCopy&) = delete;
    CStdoutCopy& operator=(const CStdoutCopy&) = delete;

    // Adds `text`, whole log lines, to what waits; drops it (counting its
    // lines) when it does not fit, or while earlier lines are being dropped.
    // Nothing is written here.
    void Append(std::string_view text);
    // Writes what stdout takes now, without waiting. True when nothing is
    // left waiting. A stdout that is gone (EPIPE, a closed descriptor) ends
    // the copy: from then on everything is dropped silently.
    bool Flush();
    // Flush(), waiting up to `ms` milliseconds in all for stdout to take the
    // rest. For the shutdown, so that the last lines are not lost to a
    // reader that is merely slow.
    void FlushWaiting(int ms);

    // Bytes waiting.
    size_t Pending() const { return m_pending.size() - m_nSent; }
    // The descriptor to watch for room while Pending(); -1 when writes never
    // wait (a file), or the copy has ended.
    int WatchFd() const;
    bool Ended() const { return m_mode == Mode::Ended; }
    // Lines dropped since the last report of drops.
    unsigned long Dropped() const { return m_nDropped; }

private:
    enum class Mode {
        Socket,    // the journal's stream: send() that does not wait
        Own,       // a pipe or terminal opened again without blocking
        Polled,    // the same where it cannot be opened again: write what poll allows
        Blocking,  // a file: writes do not wait for anyone
        Ended,
    };
    // Writes from `data` what the output takes now: bytes taken, 0 when none
    // now (it would block), -1 when the output has gone.
    long WriteSome(const char* data, size_t length);

    Mode m_mode = Mode::Ended;
    int m_fd = -1;          // where the bytes go
    bool m_bOwnFd = false;  // m_fd was opened here
    bool m_bJournal;
    std::string m_pending;
    size_t m_nSent = 0;  // bytes of m_pending already written
    bool m_bDropping = false;
    unsigned long m_nDropped = 0;
};
