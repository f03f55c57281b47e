#include "store/feeds.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/file_util.h"

bool CFeeds::Open(const std::string& baseDir, const CPeers& peers, std::string& error) {
    m_pPeers = &peers;
    m_strDir = baseDir + "/outgoing";
    if (peers.Empty()) return true;
    if (::mkdir(m_strDir.c_str(), 0755) != 0 && errno != EEXIST) {
        error = m_strDir + ": " + std::strerror(errno);
        return false;
    }
    for (const Peer& peer : peers.All()) {
        if (peer.settings.port == 0) continue;
        int fd = ::open(QueuePath(peer).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) {
            error = QueuePath(peer) + ": " + std::strerror(errno);
            return false;
        }
        ::close(fd);
    }
    return true;
}

std::string CFeeds::QueuePath(const Peer& peer) const {
    return m_strDir + "/" + peer.settings.name;
}

bool CFeeds::Enqueue(const StoredArticle& article) {
    if (!m_pPeers) return true;
    // One line per article: its Message-ID and the files it lies in, so the
    // sender can fall back on another copy when one has gone.
    std::string line = article.messageId;
    for (const ArticleCopy& copy : article.copies)
        line += "\t" + copy.group + "/" + std::to_string(copy.number);
    line += "\n";
    bool ok = true;
    for (const Peer* peer : m_pPeers->Recipients(article.groups, article.path)) {
        int fd = ::open(QueuePath(*peer).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0 || !WriteAll(fd, line.data(), line.size())) ok = false;
        if (fd >= 0) ::close(fd);
    }
    return ok;
}
