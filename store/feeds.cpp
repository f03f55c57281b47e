#include "store/feeds.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "common/text.h"

std::string FormatQueueLine(const StoredArticle& article) {
    std::string line = article.messageId;
    for (const ArticleCopy& copy : article.copies)
        line += "\t" + copy.group + "/" + std::to_string(copy.number);
    return line;
}

bool ParseQueueLine(std::string_view line, StoredArticle& article) {
    std::vector<std::string> fields;
    SplitFields(fields, line, "\t");
    if (fields.empty() || fields[0].size() < 3 || fields[0].front() != '<' ||
        fields[0].back() != '>')
        return false;
    article.messageId = fields[0];
    article.copies.clear();
    for (size_t i = 1; i < fields.size(); ++i) {
        const std::string& field = fields[i];
        size_t slash = field.rfind('/');
        if (slash == std::string::npos || slash == 0 || slash + 1 == field.size()) return false;
        int number = 0;
        for (size_t k = slash + 1; k < field.size(); ++k) {
            if (field[k] < '0' || field[k] > '9' || number > 99999999) return false;
            number = number * 10 + (field[k] - '0');
        }
        if (number <= 0) return false;
        article.copies.push_back(ArticleCopy{field.substr(0, slash), number});
    }
    return true;
}

bool CFeeds::Open(const std::string& baseDir, const CPeers& peers, IServerHost& host,
                  std::string& error) {
    m_pPeers = &peers;
    m_pHost = &host;
    m_strDir = baseDir + "/outgoing";
    m_queues.clear();
    if (peers.Empty()) return true;
    if (::mkdir(m_strDir.c_str(), 0755) != 0 && errno != EEXIST) {
        error = m_strDir + ": " + std::strerror(errno);
        return false;
    }
    for (const Peer& peer : peers.All()) {
        if (peer.settings.port == 0) continue;
        auto queue = std::make_unique<CFeedQueue>();
        if (!queue->Open(QueuePath(peer), error)) return false;
        m_queues.emplace_back(&peer, std::move(queue));
    }
    return true;
}

std::string CFeeds::QueuePath(const Peer& peer) const {
    return m_strDir + "/" + peer.settings.name;
}

CFeedQueue* CFeeds::QueueOf(const Peer& peer) const {
    for (const auto& entry : m_queues)
        if (entry.first == &peer) return entry.second.get();
    return nullptr;
}

bool CFeeds::Enqueue(const StoredArticle& article, CDurableQueue* durable) {
    if (!m_pPeers) return true;
    std::string line = FormatQueueLine(article);
    bool ok = true;
    for (const Peer* peer : m_pPeers->Recipients(article.groups, article.path)) {
        CFeedQueue* queue = QueueOf(*peer);
        std::string error;
        if (queue && queue->Append(line, error)) {
            if (durable) durable->AddOpenFile(queue->Descriptor(), QueuePath(*peer));
            if (m_notice) m_notice(*peer);
            continue;
        }
        ok = false;
        m_pHost->AppendLog("[feed " + peer->settings.name + "] " + article.messageId +
                           " not queued: " + (queue ? error : "no queue") + "\r\n");
    }
    return ok;
}
