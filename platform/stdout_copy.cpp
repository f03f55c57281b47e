#include "platform/stdout_copy.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "common/log_text.h"

CStdoutCopy::CStdoutCopy(int fd, bool journal) : m_bJournal(journal) {
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) return;
    m_fd = fd;
    if (S_ISSOCK(st.st_mode)) {
        m_mode = Mode::Socket;
    } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        // Non-blocking on a description of its own: setting O_NONBLOCK on
        // descriptor 1 would change it for every process sharing the pipe or
        // terminal, a shell included.
        std::string self = "/proc/self/fd/" + std::to_string(fd);
        int own = ::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (own >= 0) {
            m_fd = own;
            m_bOwnFd = true;
            m_mode = Mode::Own;
        } else if (errno == ENXIO) {
            m_mode = Mode::Ended;  // a pipe whose reader has gone
        } else {
            m_mode = Mode::Polled;
        }
    } else {
        m_mode = Mode::Blocking;
    }
}

CStdoutCopy::~CStdoutCopy() {
    if (m_bOwnFd) ::close(m_fd);
}

int CStdoutCopy::WatchFd() const {
    return m_mode == Mode::Blocking || m_mode == Mode::Ended ? -1 : m_fd;
}

void CStdoutCopy::Append(std::string_view text) {
    if (m_mode == Mode::Ended || text.empty()) return;
    if (m_bDropping || Pending() + text.size() > kLimit) {
        m_bDropping = true;
        m_nDropped += std::max<size_t>(1, std::count(text.begin(), text.end(), '\n'));
        return;
    }
    if (m_nSent > 0 && m_nSent == m_pending.size()) {
        m_pending.clear();
        m_nSent = 0;
    }
    if (m_bJournal)
        AppendJournalText(m_pending, text);
    else
        m_pending.append(text);
}

long CStdoutCopy::WriteSome(const char* data, size_t length) {
    for (;;) {
        ssize_t n = -1;
        switch (m_mode) {
            case Mode::Socket: n = ::send(m_fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL); break;
            case Mode::Own:
            case Mode::Blocking: n = ::write(m_fd, data, length); break;
            case Mode::Polled: {
                // A pipe that polls writable takes PIPE_BUF bytes without waiting.
                pollfd p{m_fd, POLLOUT, 0};
                if (::poll(&p, 1, 0) == 0) return 0;
                n = ::write(m_fd, data, std::min<size_t>(length, PIPE_BUF));
                break;
            }
            case Mode::Ended: return -1;
        }
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

bool CStdoutCopy::Flush() {
    for (;;) {
        while (Pending() > 0) {
            long n = WriteSome(m_pending.data() + m_nSent, Pending());
            if (n < 0) {
                // The reader has gone: the copy ends, the server goes on.
                if (m_bOwnFd) ::close(m_fd);
                m_bOwnFd = false;
                m_mode = Mode::Ended;
                m_pending = std::string();
                m_nSent = 0;
                return true;
            }
            if (n == 0) return false;
            m_nSent += static_cast<size_t>(n);
        }
        m_pending.clear();
        m_nSent = 0;
        if (!m_bDropping) return true;
        // Everything kept has gone out: say what was lost, where it was lost.
        m_bDropping = false;
        std::string note = "Log copy on stdout: " + std::to_string(m_nDropped) +
                           " lines dropped while stdout was not taking them!!\r\n";
        m_nDropped = 0;
        Append(note);
    }
}

void CStdoutCopy::FlushWaiting(int ms) {
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    while (!Flush() && WatchFd() >= 0) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsed >= ms) return;
        pollfd p{WatchFd(), POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(ms - elapsed));
    }
}
