#include "protocol/send_queue.h"

#include <algorithm>

void CSendQueue::Push(std::unique_ptr<SendItem> item) {
    m_nBytes += item->length;
    m_items.push_back(std::move(item));
}

void CSendQueue::PushText(std::string text) {
    auto item = std::make_unique<SendItem>();
    item->length = static_cast<int64_t>(text.size());
    // A caller that hands over a large block (an overview) gives it away
    // rather than having it copied.
    item->data = std::move(text);
    Push(std::move(item));
}

void CSendQueue::PushContent(FileContent content, int64_t from, int64_t length) {
    auto item = std::make_unique<SendItem>();
    item->content = std::move(content);
    item->offset = from;
    item->length = length;
    Push(std::move(item));
}

void CSendQueue::PushFileChunk(const std::string& path, int64_t offset, int64_t length) {
    auto item = std::make_unique<SendItem>();
    item->isFile = 1;
    item->path = path;
    item->offset = offset;
    item->length = length;
    Push(std::move(item));
}

int CSendQueue::Gather(iovec* parts, char* chunkBuffer) {
    // One send may carry several queued replies in order: an overview of
    // thousands of lines, or a status line and the article behind it, then
    // costs one system call instead of one each.
    int count = 0;
    int64_t total = 0;
    bool fileRead = false;
    for (auto& itemPtr : m_items) {
        SendItem& item = *itemPtr;
        if (count == kMaxGatherParts || total >= kMaxGatherBytes) break;
        if (item.isFile) {
            if (fileRead) break;
            fileRead = true;
            int64_t wanted = std::min(item.length, kFileChunk);
            item.length =
                m_spool.Read(item.path, chunkBuffer, item.offset, static_cast<int>(wanted));
            m_nBytes -= wanted - item.length;
            if (item.length > 0) parts[count++] = {chunkBuffer, static_cast<size_t>(item.length)};
        } else if (item.length > 0) {
            // Offering the kernel far more than the socket can take costs
            // more than a further send: a large block goes out a piece at a time.
            int64_t piece = std::min(item.length, kMaxGatherBytes - total);
            parts[count++] = {const_cast<char*>(item.Bytes()) + item.offset,
                              static_cast<size_t>(piece)};
            total += piece;
            continue;
        }
        total += item.length;
    }
    return count;
}

void CSendQueue::Consume(int64_t sent) {
    int64_t left = sent;
    while (!m_items.empty()) {
        SendItem& head = *m_items.front();
        if (head.length > left) {
            head.length -= left;
            head.offset += left;
            m_nBytes -= left;
            break;
        }
        left -= head.length;
        m_nBytes -= head.length;
        m_items.pop_front();
        if (left == 0 && !m_items.empty() && m_items.front()->length > 0) break;
    }
}

void CSendQueue::Clear() {
    m_items.clear();
    m_nBytes = 0;
}
