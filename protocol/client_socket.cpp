#include "protocol/client_socket.h"

#include <unistd.h>

#include <cstring>

#include "common/file_cache.h"
#include "common/file_util.h"
#include "common/text.h"
#include "store/server_core.h"

namespace {

// Received blocks go through one buffer: everything runs on one thread, and a
// fresh half-megabyte allocation per receive would cost more than the data.
char* ReceiveBuffer() {
    static std::unique_ptr<char[]> buffer(new char[CClientSocket::kReceiveSize + 1]);
    return buffer.get();
}

// File chunks are read into a buffer of their own, apart from the receive
// buffer, whose contents may still be in use further up the stack.
char* FileChunkBuffer() {
    static std::unique_ptr<char[]> buffer(new char[CClientSocket::kFileChunk]);
    return buffer.get();
}

constexpr char kTerminator[] = "\r\n.\r\n";
constexpr size_t kTailSize = 10;

}  // namespace

CClientSocket::CClientSocket() : m_timeLastActivity(time(nullptr)) {}

CClientSocket::~CClientSocket() {
    // A connection that ends in the middle of a posting leaves nothing behind.
    if (m_nTempFd >= 0) ::close(m_nTempFd);
    if (!m_strTempFilePath.empty()) RemoveFile(m_strTempFilePath);
}

void CClientSocket::Log(const std::string& text) {
    m_pOwner->AppendLog(m_strLogPrefix + text);
}

void CClientSocket::SendAndLog(const std::string& reply) {
    SendText(reply);
    Log(reply);
}

void CClientSocket::Greet() {
    std::string address;
    unsigned port = 0;
    if (!GetPeerName(address, port)) address = "?";
    m_strLogPrefix = "[" + address + "/" + std::to_string(port) + "] ";
    SendAndLog("200 connected!!\r\n");
}

void CClientSocket::SendText(std::string text) {
    auto item = std::make_unique<SendItem>();
    item->length = static_cast<int64_t>(text.size());
    // A caller that hands over a large block (an overview) gives it away
    // rather than having it copied.
    item->data = std::move(text);
    Enqueue(std::move(item));
    AsyncSelect(FD_READ | FD_WRITE | FD_CLOSE);
}

void CClientSocket::QueueListing(std::string& pending, bool last) {
    if (pending.empty() || (!last && pending.size() < kOverviewBlock)) return;
    SendText(std::move(pending));
    pending.clear();
    if (!last) pending.reserve(kOverviewBlock + 4096);
}

void CClientSocket::Enqueue(std::unique_ptr<SendItem> item) {
    if (m_bQueueOverflow) return;
    m_nQueuedBytes += item->length;
    m_sendQueue.push_back(std::move(item));
    if (m_nQueuedBytes <= kMaxQueuedBytes) return;
    Log(Format("Send queue over limit [%lld] bytes dropped!!\r\n",
               static_cast<long long>(m_nQueuedBytes)));
    m_sendQueue.clear();
    m_nQueuedBytes = 0;
    m_bQueueOverflow = 1;
    MarkFinished();
}

static FileReadCache& SentFiles() {
    static FileReadCache cache;
    return cache;
}

int64_t CClientSocket::ArticleFileSize(const std::string& path) {
    return SentFiles().Size(path);
}

size_t CClientSocket::SentFileDescriptors() {
    return SentFiles().HeldDescriptors();
}

void CClientSocket::SendFile(const std::string& path, int64_t from, int64_t size) {
    if (size < 0) size = SentFiles().Size(path);
    if (size < from) size = from;
    // The prefix holds the peer's address, so it is joined as text rather
    // than used as part of a format.
    Log(Format("Size[%3.3f]K\r\n", static_cast<double>(size - from) / 1024.0));
    if (size > from) {
        // A small file goes out of memory: the cache hands over the block of
        // the very file whose size was just taken.
        FileContent content = SentFiles().Content(path);
        if (content && static_cast<int64_t>(content.size) == size) {
            auto item = std::make_unique<SendItem>();
            item->content = std::move(content);
            item->offset = from;
            item->length = size - from;
            Enqueue(std::move(item));
            AsyncSelect(FD_READ | FD_WRITE | FD_CLOSE);
            return;
        }
    }
    for (int64_t offset = from; offset < size; offset += kFileChunk) {
        auto item = std::make_unique<SendItem>();
        item->isFile = 1;
        item->path = path;
        item->offset = offset;
        item->length = std::min(kFileChunk, size - offset);
        Enqueue(std::move(item));
    }
    AsyncSelect(FD_READ | FD_WRITE | FD_CLOSE);
}

void CClientSocket::OnReceive(int) {
    char* buffer = ReceiveBuffer();
    int n = Receive(buffer, kReceiveSize);
    if (n <= 0) return;
    buffer[n] = '\0';
    m_timeLastActivity = time(nullptr);
    HandleReceived(buffer, static_cast<size_t>(n));
}

void CClientSocket::HandleReceived(const char* data, size_t length) {
    // One block may end an article and go on with commands, which in reader
    // mode may start another article, and so on. Each handler hands back
    // what it leaves for the other mode, and it is taken here in turn: passed
    // down instead, a block of many short postings would need stack (and a
    // copy of its rest) for every one of them.
    std::string_view rest(data, length);
    do {
        rest = m_bPostMode ? ReceiveBody(rest.data(), rest.size())
                           : ReceiveCommand(rest.data(), rest.size());
    } while (!rest.empty());
}

std::string_view CClientSocket::ReceiveBody(const char* data, size_t length) {
    // The temporary file stays open while the article arrives. When it cannot
    // be made, the whole article goes unrecorded (and is answered as one
    // without groups), never just the part that happened to come first.
    if (m_nTempFd < 0 && !m_bTempCreateFailed) {
        m_nTempFd = CreateTempFile(m_strTempFilePath);
        if (m_nTempFd < 0) m_bTempCreateFailed = 1;
    }
    size_t textLength = strnlen(data, length);
    std::string_view text(data, textLength);
    // The terminating line may straddle two receives: the tail of the bytes
    // before this block is searched together with the block's first bytes,
    // then the block on its own. Positions count from the tail's start. The
    // block itself is never copied: it may hold many short articles, each
    // handled by a call of its own.
    const size_t terminatorLength = std::strlen(kTerminator);
    std::string seam = m_strCommandText;
    seam.append(text.substr(0, terminatorLength - 1));
    size_t found = SjisFind(seam, kTerminator);
    if (found == std::string::npos) {
        size_t inBlock = SjisFind(text, kTerminator);
        if (inBlock != std::string::npos) found = m_strCommandText.size() + inBlock;
    }
    size_t articleBytes = length;
    if (found != std::string::npos) {
        size_t end = found + terminatorLength;
        articleBytes = end > m_strCommandText.size() ? end - m_strCommandText.size() : 0;
    }
    if (m_nTempFd >= 0 && !WriteAll(m_nTempFd, data, articleBytes)) m_bTempWriteFailed = 1;
    size_t counted = std::min(articleBytes, textLength);
    for (size_t i = 0; i < counted; ++i)
        if (data[i] == '\n') ++m_nPostLineCount;
    if (found == std::string::npos) {
        // Keep the last ten bytes of the tail and the block together.
        if (textLength >= kTailSize) m_strCommandText.clear();
        m_strCommandText.append(text.substr(textLength - std::min(textLength, kTailSize)));
        if (m_strCommandText.size() > kTailSize)
            m_strCommandText.erase(0, m_strCommandText.size() - kTailSize);
        return {};
    }
    std::string tempPath = std::move(m_strTempFilePath);
    int lineCount = m_nPostLineCount;
    m_strCommandText.clear();
    m_strLineBuffer.clear();
    m_strTempFilePath.clear();
    m_nPostLineCount = 0;
    m_bCrSeen = 0;
    bool complete = !m_bTempWriteFailed;
    int tempFd = m_nTempFd;
    m_nTempFd = -1;
    m_bTempWriteFailed = 0;
    m_bTempCreateFailed = 0;
    PostArticle(*this, tempPath, lineCount, complete, tempFd);
    // A client that sends its next command right behind the article: those
    // bytes are commands, not part of the article.
    return std::string_view(data + articleBytes, length - articleBytes);
}

std::string_view CClientSocket::ReceiveCommand(const char* data, size_t length) {
    if (m_pOwner->m_bUseRfc3977) return ReceiveLines(data, length);
    std::string_view text(data, strnlen(data, length));
    m_strLineBuffer.append(text);
    if (text.find('\r') != std::string_view::npos) m_bCrSeen = 1;
    if (text.find('\n') != std::string_view::npos && m_bCrSeen) {
        m_strCommandText = std::move(m_strLineBuffer);
        m_strLineBuffer.clear();
        m_bCrSeen = 0;
        std::string command = std::move(m_strCommandText);
        m_strCommandText.clear();
        ProcessCommand(command);
        return {};
    }
    CutOffLongCommand();
    return {};
}

std::string_view CClientSocket::ReceiveLines(const char* data, size_t length) {
    size_t textLength = strnlen(data, length);
    // The block is taken up to one LF at a time, so only the line in hand is
    // ever copied: a block that goes on in body mode after a POST line is
    // not copied again for every article it holds.
    size_t pos = 0;
    while (pos < textLength) {
        const void* lf = std::memchr(data + pos, '\n', textLength - pos);
        size_t next =
            lf ? static_cast<size_t>(static_cast<const char*>(lf) - data) + 1 : textLength;
        m_strLineBuffer.append(data + pos, next - pos);
        pos = next;
        size_t size = m_strLineBuffer.size();
        if (size < 2 || m_strLineBuffer.compare(size - 2, 2, "\r\n") != 0) continue;
        std::string line = std::move(m_strLineBuffer);
        m_strLineBuffer.clear();
        ProcessCommand(line);
        if (m_bFinished) {
            // Nothing after QUIT is answered.
            m_strLineBuffer.clear();
            return {};
        }
        // What follows POST in the same block is the article's beginning.
        if (m_bPostMode) return std::string_view(data + pos, textLength - pos);
    }
    CutOffLongCommand();
    return {};
}

void CClientSocket::CutOffLongCommand() {
    if (m_strLineBuffer.size() <= kMaxPendingCommand) return;
    Log(Format("Command too long [%zu] bytes dropped!!\r\n", m_strLineBuffer.size()));
    m_strLineBuffer.clear();
    m_strLineBuffer.shrink_to_fit();
    m_bCrSeen = 0;
    MarkFinished();
}

void CClientSocket::MarkFinished() {
    m_bFinished = 1;
    m_pOwner->PostTimerMessage();
}

void CClientSocket::OnSend(int) {
    if (m_sendQueue.empty()) return;
    m_timeLastActivity = time(nullptr);
    m_pOwner->FlushLog();
    // One send per notification, but it may carry several queued replies in
    // order: an overview of thousands of lines, or a status line and the
    // article behind it, then costs one system call instead of one each.
    // At most one file chunk is read per send, into the shared buffer.
    iovec parts[kMaxGatherParts];
    int count = 0;
    int64_t total = 0;
    bool fileRead = false;
    for (auto& itemPtr : m_sendQueue) {
        SendItem& item = *itemPtr;
        if (count == kMaxGatherParts || total >= kMaxGatherBytes) break;
        if (item.isFile) {
            if (fileRead) break;
            fileRead = true;
            char* buffer = FileChunkBuffer();
            int64_t wanted = std::min(item.length, kFileChunk);
            item.length =
                SentFiles().Read(item.path, buffer, item.offset, static_cast<int>(wanted));
            m_nQueuedBytes -= wanted - item.length;
            if (item.length > 0) parts[count++] = {buffer, static_cast<size_t>(item.length)};
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
    int sent = count > 0 ? SendVector(parts, count) : 0;
    if (sent != SOCKET_ERROR) {
        int64_t left = sent;
        while (!m_sendQueue.empty()) {
            SendItem& head = *m_sendQueue.front();
            if (head.length > left) {
                head.length -= left;
                head.offset += left;
                m_nQueuedBytes -= left;
                break;
            }
            left -= head.length;
            m_nQueuedBytes -= head.length;
            m_sendQueue.pop_front();
            if (left == 0 && !m_sendQueue.empty() && m_sendQueue.front()->length > 0) break;
        }
    }
    AsyncSelect(FD_READ | FD_WRITE | FD_CLOSE);
}

void CClientSocket::OnClose(int) {
    MarkFinished();
}
