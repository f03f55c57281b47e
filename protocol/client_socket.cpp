#include "protocol/client_socket.h"

#include <unistd.h>

#include <cstring>
#include <utility>

#include "common/file_util.h"
#include "common/text.h"
#include "platform/tls_context.h"
#include "protocol/replies.h"

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
    static std::unique_ptr<char[]> buffer(new char[CSendQueue::kFileChunk]);
    return buffer.get();
}

constexpr char kTerminator[] = "\r\n.\r\n";
constexpr size_t kTailSize = 10;

}  // namespace

CClientSocket::CClientSocket(IServerHost& host, CServerCore& server)
    : m_pOwner(&host),
      m_server(server),
      m_session(*this, server),
      m_timeLastActivity(host.Now()),
      m_sendQueue(server.m_spool) {}

// A connection that ends in the middle of a posting leaves nothing behind:
// the posting's temporary file, if it needed one, goes with it.
CClientSocket::~CClientSocket() = default;

void CClientSocket::Log(const std::string& text) {
    m_pOwner->AppendLog(m_strLogPrefix + text);
}

void CClientSocket::SendAndLog(const std::string& reply) {
    SendText(reply);
    Log(reply);
}

void CClientSocket::IdentifyPeer() {
    unsigned port = 0;
    if (!GetPeerName(m_strPeerAddress, port)) m_strPeerAddress = "?";
    m_strLogPrefix = "[" + m_strPeerAddress + "/" + std::to_string(port) + "] ";
    // Peers feed the reader mode only; the classic mode knows no feeds.
    if (m_server.m_bUseRfc3977) m_session.SetPeer(m_server.m_peers.FindByAddress(m_strPeerAddress));
}

void CClientSocket::Greet() {
    if (m_strLogPrefix.empty()) IdentifyPeer();
    SendAndLog(replies::kGreeting);
}

bool CClientSocket::GreetOverTls() {
    return StartImplicitTls(replies::kGreeting, false);
}

void CClientSocket::Refuse(const std::string& reply, bool overTls) {
    if (overTls) {
        StartImplicitTls(reply, true);
        return;
    }
    if (m_strLogPrefix.empty()) IdentifyPeer();
    SendAndLog(reply);
    MarkFinished();
}

bool CClientSocket::StartImplicitTls(const std::string& firstReply, bool thenFinish) {
    if (m_strLogPrefix.empty()) IdentifyPeer();
    if (!TlsAvailable() || !StartTls(*m_pTlsContext)) {
        Log(replies::TlsFailed(TlsAvailable() ? LastError() : "no certificate loaded"));
        MarkFinished();
        return false;
    }
    m_strAfterHandshake = firstReply;
    m_bFinishAfterHandshake = thenFinish ? 1 : 0;
    return true;
}

void CClientSocket::OnTlsEstablished(const std::string& version, const std::string& cipher) {
    Log(replies::TlsEstablished(version, cipher));
    if (!m_strAfterHandshake.empty()) {
        // Logged after the handshake line, in the order things happened.
        SendAndLog(std::exchange(m_strAfterHandshake, std::string()));
        if (m_bFinishAfterHandshake) MarkFinished();
        return;
    }
    m_session.ForgetBeforeTls();
}

bool CClientSocket::TlsAvailable() const {
    return m_pTlsContext && m_pTlsContext->IsLoaded();
}

bool CClientSocket::StartTlsAfterReply() {
    if (!TlsAvailable() || IsTls() || m_bTlsPending) return false;
    m_bTlsPending = 1;
    return true;
}

void CClientSocket::DiscardBeforeTls(size_t bytes) {
    if (bytes > 0) Log(replies::TlsDiscarded(bytes));
}

void CClientSocket::SendText(std::string text) {
    if (m_bQueueOverflow) return;
    m_sendQueue.PushText(std::move(text));
    CheckQueueLimit();
    WantToSend();
}

void CClientSocket::SendFile(const ArticleFile& file, int64_t from) {
    int64_t size = file.size >= 0 ? file.size : m_server.m_spool.Size(file.path);
    if (size < from) size = from;
    // The prefix holds the peer's address, so it is joined as text rather
    // than used as part of a format.
    Log(replies::SizeLine(size - from));
    FileContent content;
    // A small file goes out of memory: the spool hands over the block of the
    // very file whose size was just taken.
    if (size > from && !m_bQueueOverflow) content = m_server.m_spool.Content(file.path);
    if (content && static_cast<int64_t>(content.size) == size) {
        m_sendQueue.PushContent(std::move(content), from, size - from);
        CheckQueueLimit();
    } else {
        for (int64_t offset = from; offset < size && !m_bQueueOverflow;
             offset += CSendQueue::kFileChunk) {
            m_sendQueue.PushFileChunk(file.path, offset,
                                      std::min(CSendQueue::kFileChunk, size - offset));
            CheckQueueLimit();
        }
    }
    if (!m_bQueueOverflow) WantToSend();
}

void CClientSocket::CheckQueueLimit() {
    if (m_sendQueue.Bytes() <= kMaxQueuedBytes) return;
    Log(replies::QueueOverLimit(static_cast<long long>(m_sendQueue.Bytes())));
    m_sendQueue.Clear();
    m_bQueueOverflow = 1;
    MarkFinished();
}

void CClientSocket::WantToSend() {
    AsyncSelect(m_bReadStopped ? FD_WRITE : FD_READ | FD_WRITE | FD_CLOSE);
}

void CClientSocket::OnReceive(int) {
    char* buffer = ReceiveBuffer();
    int n = Receive(buffer, kReceiveSize);
    if (n <= 0) return;
    buffer[n] = '\0';
    m_timeLastActivity = m_pOwner->Now();
    HandleReceived(buffer, static_cast<size_t>(n));
}

void CClientSocket::HandleReceived(const char* data, size_t length) {
    if (m_bTlsPending) {
        // The client has not yet had the whole 382 line, so whatever it sends
        // now is not its handshake: bytes slipped in by someone on the path,
        // to be run as commands inside the encrypted session. They have been
        // read (the socket must not stay readable) and are dropped here.
        DiscardBeforeTls(length);
        return;
    }
    if (m_bHeld) return KeepHeldBlock(std::string_view(data, length), false);
    // One block may end an article and go on with commands, which in the
    // reader mode may start another article, and so on. Each handler hands
    // back what it leaves for the other mode, and it is taken here in turn:
    // passed down instead, a block of many short postings would need stack
    // (and a copy of its rest) for every one of them.
    ++m_nHandling;
    std::string_view rest(data, length);
    do {
        rest = m_bPostMode ? ReceiveBody(rest.data(), rest.size())
                           : ReceiveCommand(rest.data(), rest.size());
        // A reply now waits for the disk: the rest waits behind it.
        if (m_bHeld && !rest.empty()) {
            KeepHeldBlock(rest, true);
            break;
        }
    } while (!rest.empty());
    --m_nHandling;
}

void CClientSocket::KeepHeldBlock(std::string_view block, bool first) {
    if (first)
        m_heldBlocks.emplace_front(block);
    else
        m_heldBlocks.emplace_back(block);
    m_nHeldBytes += block.size();
    if (m_nHeldBytes > static_cast<size_t>(kReceiveSize) && !m_bReadStopped) {
        // The client may send on; the kernel's buffers hold it from here.
        m_bReadStopped = 1;
        AsyncSelect(0);
    }
}

void CClientSocket::ResumeInput() {
    m_bHeld = 0;
    // Called from within a block's handling, that block goes on by itself.
    if (m_nHandling > 0) return;
    while (!m_bHeld && !m_bFinished && !m_heldBlocks.empty()) {
        std::string block = std::move(m_heldBlocks.front());
        m_heldBlocks.pop_front();
        m_nHeldBytes -= block.size();
        HandleReceived(block.data(), block.size());
    }
    if (m_bReadStopped && !m_bHeld) {
        m_bReadStopped = 0;
        WantToSend();
    }
}

std::string_view CClientSocket::ReceiveBody(const char* data, size_t length) {
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
    // An article held in memory is written once, as the article file; only
    // one past the memory bound goes through a temporary file. Bytes that
    // could not be kept make the whole article one that is not stored.
    m_posting.Append(data, articleBytes);
    size_t counted = std::min(articleBytes, textLength);
    for (size_t i = 0; i < counted; ++i)
        if (data[i] == '\n') ++m_posting.lineCount;
    if (found == std::string::npos) {
        // Keep the last ten bytes of the tail and the block together.
        if (textLength >= kTailSize) m_strCommandText.clear();
        m_strCommandText.append(text.substr(textLength - std::min(textLength, kTailSize)));
        if (m_strCommandText.size() > kTailSize)
            m_strCommandText.erase(0, m_strCommandText.size() - kTailSize);
        return {};
    }
    FinishArticle();
    // A client that sends its next command right behind the article: those
    // bytes are commands, not part of the article.
    return std::string_view(data + articleBytes, length - articleBytes);
}

void CClientSocket::FinishArticle() {
    m_strCommandText.clear();
    m_strLineBuffer.clear();
    m_bCrSeen = 0;
    m_bPostMode = 0;
    m_session.ArticleArrived(std::move(m_posting));
}

std::string_view CClientSocket::ReceiveCommand(const char* data, size_t length) {
    if (m_server.m_bUseRfc3977) return ReceiveLines(data, length);
    // The classic mode takes a command once a block brings an LF after a CR
    // has been seen, and everything gathered up to then is that one command.
    std::string_view text(data, strnlen(data, length));
    m_strLineBuffer.append(text);
    if (text.find('\r') != std::string_view::npos) m_bCrSeen = 1;
    if (text.find('\n') != std::string_view::npos && m_bCrSeen) {
        std::string command = std::move(m_strLineBuffer);
        m_strLineBuffer.clear();
        m_bCrSeen = 0;
        m_session.ProcessCommand(command);
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
        m_session.ProcessCommand(line);
        if (m_bFinished) {
            // Nothing after QUIT is answered.
            m_strLineBuffer.clear();
            return {};
        }
        if (m_bTlsPending) {
            // Whatever followed STARTTLS came in clear: never a command.
            DiscardBeforeTls(length - pos);
            return {};
        }
        if (m_bHeld) return std::string_view(data + pos, textLength - pos);
        // What follows POST in the same block is the article's beginning.
        if (m_bPostMode) return std::string_view(data + pos, textLength - pos);
    }
    CutOffLongCommand();
    return {};
}

void CClientSocket::CutOffLongCommand() {
    if (m_strLineBuffer.size() <= kMaxPendingCommand) return;
    Log(replies::CommandTooLong(m_strLineBuffer.size()));
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
    if (m_sendQueue.Empty()) return;
    m_timeLastActivity = m_pOwner->Now();
    m_pOwner->FlushLog();
    iovec parts[CSendQueue::kMaxGatherParts];
    int count = m_sendQueue.Gather(parts, FileChunkBuffer());
    int sent = count > 0 ? SendVector(parts, count) : 0;
    if (sent != SOCKET_ERROR) m_sendQueue.Consume(sent);
    if (m_bTlsPending && m_sendQueue.Empty()) {
        // The 382 line, the last plaintext, has been taken by the socket.
        m_bTlsPending = 0;
        if (!StartTls(*m_pTlsContext)) {
            Log(replies::TlsFailed(LastError()));
            MarkFinished();
            return;
        }
    }
    WantToSend();
}

void CClientSocket::FlushBeforeClose() {
    while (!m_sendQueue.Empty() && IsOpen()) {
        size_t items = m_sendQueue.Items();
        int64_t bytes = m_sendQueue.Bytes();
        OnSend(0);
        if (m_sendQueue.Items() == items && m_sendQueue.Bytes() == bytes) break;
    }
}

void CClientSocket::OnClose(int) {
    // Why an encrypted session ended, unless the client closed it properly
    // or had already been answered its QUIT.
    if (IsTls() && !m_bFinished && !TlsError().empty()) Log(replies::TlsFailed(TlsError()));
    MarkFinished();
}
