#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

#include "platform/dir_watch.h"

namespace {

// A parent is watched for its names only: the server's own log, written
// beside the group directories, is then no report at all.
constexpr uint32_t kNameMask =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr uint32_t kContentMask = kNameMask | IN_ATTRIB | IN_MODIFY | IN_CLOSE_WRITE;

}  // namespace

CDirectoryWatch::~CDirectoryWatch() {
    if (m_nFd >= 0) ::close(m_nFd);
}

bool CDirectoryWatch::Open() {
    if (m_nFd == -2) m_nFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    return m_nFd >= 0;
}

int CDirectoryWatch::Add(const std::string& directory, uint32_t changes, bool extend) {
    if (m_nFd < 0) return -1;
    uint32_t mask = (changes & kContents) ? kContentMask : kNameMask;
    if (extend) mask |= IN_MASK_ADD;
    return ::inotify_add_watch(m_nFd, directory.c_str(), mask | IN_ONLYDIR);
}

void CDirectoryWatch::Remove(int watch) {
    if (m_nFd >= 0 && watch >= 0) ::inotify_rm_watch(m_nFd, watch);
}

void CDirectoryWatch::ReadReports(const std::function<void(const Report&)>& handle) {
    if (m_nFd < 0) return;
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        ssize_t n = ::read(m_nFd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (char* at = buffer; at < buffer + n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            at += sizeof(inotify_event) + event->len;
            Report report;
            report.watch = event->wd;
            report.overflow = (event->mask & IN_Q_OVERFLOW) != 0;
            report.selfGone =
                (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) != 0;
            report.nameGone = (event->mask & (IN_DELETE | IN_MOVED_FROM)) != 0;
            if (event->len > 0) report.name = std::string_view(event->name);
            handle(report);
        }
    }
}
