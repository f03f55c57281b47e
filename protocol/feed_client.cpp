#include "protocol/feed_client.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "common/file_util.h"
#include "store/feed_queue.h"
#include "store/feeds.h"
#include "store/server_core.h"
#include "store/xcontent.h"

namespace {

// File chunks of large articles are read into this while they are sent;
// everything runs on one thread.
char* ChunkBuffer() {
    static std::unique_ptr<char[]> buffer(new char[CSendQueue::kFileChunk]);
    return buffer.get();
}

// Replies are received into this: a large block takes many replies at once,
// and the progress is written once per block.
constexpr int kReceiveSize = 64 * 1024;
char* ReceiveBuffer() {
    static std::unique_ptr<char[]> buffer(new char[kReceiveSize]);
    return buffer.get();
}

constexpr size_t kMaxReplyLine = 4096;

// The status code of a reply line, or -1 when it has none.
int ReplyCode(const std::string& line) {
    if (line.size() < 3) return -1;
    int code = 0;
    for (int i = 0; i < 3; ++i) {
        if (line[i] < '0' || line[i] > '9') return -1;
        code = code * 10 + (line[i] - '0');
    }
    if (line.size() > 3 && line[3] != ' ') return -1;
    return code;
}

// The second word of a reply: the Message-ID a streaming reply names.
std::string SecondWord(const std::string& line) {
    size_t start = line.find(' ');
    if (start == std::string::npos) return std::string();
    start = line.find_first_not_of(' ', start);
    if (start == std::string::npos) return std::string();
    size_t end = line.find(' ', start);
    return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

CFeedClient::CFeedClient(IServerHost& host, IFeedClientHost& wake, CServerCore& server,
                         const Peer& peer, CFeedQueue& queue, int retrySeconds)
    : m_host(host),
      m_wake(wake),
      m_server(server),
      m_peer(peer),
      m_queue(queue),
      m_nRetrySeconds(retrySeconds > 0 ? retrySeconds : 60),
      m_strLogPrefix("[feed " + peer.settings.name + "] "),
      m_sendQueue(server.m_spool) {}

CFeedClient::~CFeedClient() = default;

void CFeedClient::Log(const std::string& text) {
    m_host.AppendLog(m_strLogPrefix + text + "\r\n");
}

// ---- connection ---------------------------------------------------------------------

bool CFeedClient::HasWork() const {
    return !m_ready.empty() || m_queue.HasUntaken();
}

void CFeedClient::Poke() {
    if (m_state == State::Ready) {
        Pump();
    } else if (m_state == State::Idle && m_host.Now() >= m_timeRetry && HasWork()) {
        StartConnect();
    }
}

void CFeedClient::StartConnect() {
    if (m_peer.addresses.empty()) return;
    const std::string& address = CurrentAddress();
    m_state = State::Connecting;
    m_timeLastActivity = m_host.Now();
    m_bStreaming = false;
    m_nTaken = m_nKnown = m_nRefused = m_nDeferred = 0;
    if (!Connect(address, m_peer.settings.port, FD_READ | FD_CLOSE)) ConnectFailed();
}

void CFeedClient::ConnectFailed() {
    std::string target = CurrentAddress() + " port " + std::to_string(m_peer.settings.port);
    // The next attempt tries the peer's next address.
    ++m_nAddress;
    Fail("cannot connect to " + target + ": " + LastError());
}

const std::string& CFeedClient::CurrentAddress() const {
    return m_peer.addresses[m_nAddress % m_peer.addresses.size()];
}

void CFeedClient::OnConnect(int errorCode) {
    if (errorCode != 0) return ConnectFailed();
    SetNoDelay();
    m_state = State::Greeting;
    m_timeLastActivity = m_host.Now();
}

void CFeedClient::OnReceive(int) {
    char* buffer = ReceiveBuffer();
    int n = Receive(buffer, kReceiveSize);
    if (n <= 0) return;
    m_timeLastActivity = m_host.Now();
    size_t start = 0;
    for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
        if (buffer[i] != '\n') continue;
        m_strLineBuffer.append(buffer + start, i - start);
        start = i + 1;
        if (!m_strLineBuffer.empty() && m_strLineBuffer.back() == '\r') m_strLineBuffer.pop_back();
        std::string line = std::move(m_strLineBuffer);
        m_strLineBuffer.clear();
        HandleLine(line);
        // A failure has closed the connection: the rest of the block is
        // from a conversation that is over.
        if (!IsOpen()) return;
    }
    m_strLineBuffer.append(buffer + start, static_cast<size_t>(n) - start);
    if (m_strLineBuffer.size() > kMaxReplyLine) return Fail("reply line too long");
    // One write of the progress per block of replies, not per reply: a
    // crash in between sends those articles again, which the peer refuses
    // as duplicates.
    SaveProgress();
    Pump();
}

void CFeedClient::SendText(std::string text) {
    m_sendQueue.PushText(std::move(text));
    AsyncSelect(FD_READ | FD_WRITE | FD_CLOSE);
}

void CFeedClient::OnSend(int) {
    if (m_sendQueue.Empty()) return;
    iovec parts[CSendQueue::kMaxGatherParts];
    int64_t before = m_sendQueue.Bytes();
    int count = m_sendQueue.Gather(parts, ChunkBuffer());
    // A chunk that came up short means the file changed under the article
    // being sent: what was promised can no longer follow, and the stream
    // would be out of step with the peer.
    if (m_sendQueue.Bytes() != before) return Fail("an article file changed while it was sent");
    int sent = count > 0 ? SendVector(parts, count) : 0;
    if (sent != SOCKET_ERROR) m_sendQueue.Consume(sent);
    if (!m_sendQueue.Empty()) AsyncSelect(FD_READ | FD_WRITE | FD_CLOSE);
}

void CFeedClient::OnClose(int) {
    if (m_state == State::Quitting) return Disconnect();
    if (m_state == State::Ready && m_sent.empty() && m_sendQueue.Empty()) {
        // A peer may close a connection that has been quiet; that is no
        // failure, and the next article opens another.
        Log("closed by the peer (" + Summary() + ")");
        Disconnect();
        return;
    }
    Fail("connection lost");
}

void CFeedClient::Disconnect() {
    ReturnUnanswered();
    Close();
    m_state = State::Idle;
    m_strLineBuffer.clear();
    SaveProgress();
}

void CFeedClient::Fail(const std::string& reason) {
    bool wasOpen = m_state != State::Idle && m_state != State::Connecting;
    Disconnect();
    m_nBackoff = NextDelay(m_nBackoff);
    m_timeRetry = m_host.Now() + m_nBackoff;
    std::string text = reason + ", retrying in " + std::to_string(m_nBackoff) + " s";
    if (wasOpen && (m_nTaken || m_nKnown || m_nRefused || m_nDeferred))
        text += " (" + Summary() + ")";
    Log(text);
    m_wake.WakeFeedAt(m_timeRetry);
}

int CFeedClient::NextDelay(int previous) const {
    if (previous <= 0) return m_nRetrySeconds;
    return std::min(previous * 2, kMaxRetrySeconds);
}

std::string CFeedClient::Summary() const {
    return std::to_string(m_nTaken) + " sent, " + std::to_string(m_nKnown) + " already there, " +
           std::to_string(m_nRefused) + " refused, " + std::to_string(m_nDeferred) + " deferred";
}

void CFeedClient::ReturnUnanswered() {
    // What the peer has not answered goes back in front, in queue order, to
    // be offered first on the next connection.
    for (Sent& sent : m_sent)
        if (!sent.article.skipped) m_ready.push_back(std::move(sent.article));
    m_sent.clear();
    m_sendQueue.Clear();
    std::sort(m_ready.begin(), m_ready.end(),
              [](const Article& a, const Article& b) { return a.ticket < b.ticket; });
}

void CFeedClient::SaveProgress() {
    if (!m_queue.SaveProgress()) Log("cannot save the queue's progress");
    if (!m_queue.WorthCompacting()) return;
    std::string error;
    if (!m_queue.Compact(error)) Log("cannot compact the queue: " + error);
}

void CFeedClient::Maintain(time_t now) {
    ReleaseDue(now);
    switch (m_state) {
        case State::Idle:
            if (!HasWork()) break;
            if (now >= m_timeRetry)
                StartConnect();
            else
                m_wake.WakeFeedAt(m_timeRetry);
            break;
        case State::Ready:
            if (!m_sent.empty() || !m_sendQueue.Empty()) {
                if (now - m_timeLastActivity >= kReplyTimeout)
                    Fail("no reply for " + std::to_string(kReplyTimeout) + " s");
                break;
            }
            Pump();
            if (m_sent.empty() && !HasWork() && now - m_timeLastActivity >= kIdleSeconds) {
                Log("idle, closing (" + Summary() + ")");
                SendText("QUIT\r\n");
                m_state = State::Quitting;
                m_timeLastActivity = now;
            }
            break;
        case State::Quitting:
            if (now - m_timeLastActivity >= 10) Disconnect();
            break;
        default:
            if (now - m_timeLastActivity >= kReplyTimeout)
                Fail("no answer for " + std::to_string(kReplyTimeout) + " s");
            break;
    }
    if (m_state == State::Idle && m_queue.PendingCount() == 0 && !m_queue.HasUntaken() &&
        m_queue.Size() > 0) {
        // Everything is done: an empty queue file is the cheapest to keep.
        std::string error;
        if (!m_queue.Compact(error)) Log("cannot compact the queue: " + error);
    }
}

void CFeedClient::Stop() {
    if (m_state == State::Ready && m_sent.empty() && m_sendQueue.Empty()) {
        // One attempt, without waiting for room or for the goodbye.
        static const char kQuit[] = "QUIT\r\n";
        Send(kQuit, sizeof kQuit - 1);
    }
    if (m_state != State::Idle) Log("closed (" + Summary() + ")");
    Disconnect();
    m_parked.clear();
    m_ready.clear();
}

void CFeedClient::ReleaseDue(time_t now) {
    auto due = std::stable_partition(m_parked.begin(), m_parked.end(),
                                     [now](const Article& a) { return a.notBefore > now; });
    if (due != m_parked.end()) {
        for (auto it = due; it != m_parked.end(); ++it) m_ready.push_back(std::move(*it));
        m_parked.erase(due, m_parked.end());
        std::sort(m_ready.begin(), m_ready.end(),
                  [](const Article& a, const Article& b) { return a.ticket < b.ticket; });
    }
    time_t next = 0;
    for (const Article& article : m_parked)
        if (!next || article.notBefore < next) next = article.notBefore;
    if (next) m_wake.WakeFeedAt(next);
}

// ---- the conversation -------------------------------------------------------------------

void CFeedClient::HandleLine(const std::string& line) {
    int code = ReplyCode(line);
    switch (m_state) {
        case State::Greeting: return HandleGreeting(code, line);
        case State::AuthUser:
            if (code == 381) {
                m_state = State::AuthPass;
                return SendText("AUTHINFO PASS " + m_peer.settings.password + "\r\n");
            }
            if (code == 281) return AfterLogin();
            return Fail("login refused: " + line);
        case State::AuthPass:
            if (code == 281) return AfterLogin();
            return Fail("login refused: " + line);
        case State::ModeStream:
            if (code == 203) {
                m_bStreaming = true;
            } else if (code == 500 || code == 501 || code == 502) {
                Log("streaming refused (" + line + "), offering one at a time with IHAVE");
            } else {
                return Fail("MODE STREAM answered: " + line);
            }
            m_state = State::Ready;
            return Pump();
        case State::Ready: return HandleFeedReply(code, line);
        case State::Quitting: return Disconnect();
        default: return Fail("unexpected reply: " + line);
    }
}

void CFeedClient::HandleGreeting(int code, const std::string& line) {
    if (code != 200 && code != 201) return Fail("greeted with: " + line);
    Log("connected to " + CurrentAddress() + " port " + std::to_string(m_peer.settings.port));
    if (m_peer.settings.user.empty()) return AfterLogin();
    m_state = State::AuthUser;
    SendText("AUTHINFO USER " + m_peer.settings.user + "\r\n");
}

void CFeedClient::AfterLogin() {
    m_state = State::ModeStream;
    SendText("MODE STREAM\r\n");
}

void CFeedClient::HandleFeedReply(int code, const std::string& line) {
    if (m_sent.empty()) return Fail("reply to nothing: " + line);
    Sent& head = m_sent.front();
    Outcome outcome = Outcome::Failure;
    switch (code) {
        case 238:
            if (head.command == Command::Check) outcome = Outcome::Wanted;
            break;
        case 335:
            if (head.command == Command::Ihave) outcome = Outcome::Wanted;
            break;
        case 235:
        case 239: outcome = Outcome::Taken; break;
        case 435:
        case 438: outcome = Outcome::Known; break;
        case 437:
        case 439: outcome = Outcome::Refused; break;
        case 431:
        case 436: outcome = Outcome::Later; break;
        default: break;
    }
    if (outcome == Outcome::Failure) return Fail("unexpected reply: " + line);
    // A streaming reply names its article; one naming another means the
    // two sides have lost step.
    bool streaming = head.command == Command::Check || head.command == Command::TakeThis;
    if (streaming && SecondWord(line) != head.article.messageId)
        return Fail("reply out of step: " + line);
    Sent sent = std::move(head);
    m_sent.pop_front();
    if (outcome != Outcome::Wanted) return Finish(sent.article, outcome, line);
    bool ihave = sent.command == Command::Ihave;
    std::string command = ihave ? std::string() : "TAKETHIS " + sent.article.messageId + "\r\n";
    if (QueueArticle(sent.article, command)) {
        m_sent.push_back(
            Sent{ihave ? Command::IhaveArticle : Command::TakeThis, std::move(sent.article)});
        return;
    }
    Skip(sent.article, "its article files are gone");
    if (ihave) {
        // The peer waits for an article that can no longer be read: an
        // empty one keeps the stream in step, and the peer refuses it.
        SendText(".\r\n");
        sent.article.skipped = true;
        m_sent.push_back(Sent{Command::IhaveArticle, std::move(sent.article)});
    }
}

void CFeedClient::Finish(const Article& article, Outcome outcome, const std::string& line) {
    // Any answer about an article shows the peer working again.
    m_nBackoff = 0;
    if (article.skipped) return;
    switch (outcome) {
        case Outcome::Later: return Defer(article, line);
        case Outcome::Taken: ++m_nTaken; break;
        case Outcome::Known: ++m_nKnown; break;
        default:
            ++m_nRefused;
            Log(article.messageId + " refused: " + line);
            break;
    }
    m_queue.Done(article.ticket);
}

void CFeedClient::Defer(Article article, const std::string& line) {
    ++m_nDeferred;
    int delay = m_nRetrySeconds;
    for (int i = 0; i < article.attempts && delay < kMaxRetrySeconds; ++i) delay = NextDelay(delay);
    ++article.attempts;
    article.notBefore = m_host.Now() + delay;
    Log(article.messageId + " deferred: " + line + ", offering again in " + std::to_string(delay) +
        " s");
    m_wake.WakeFeedAt(article.notBefore);
    m_parked.push_back(std::move(article));
}

void CFeedClient::Skip(const Article& article, const std::string& why) {
    Log(article.messageId + " skipped: " + why);
    m_queue.Done(article.ticket);
}

// ---- offering ---------------------------------------------------------------------------

void CFeedClient::Pump() {
    if (m_state != State::Ready) return;
    size_t window = m_bStreaming ? kWindow : 1;
    Article article;
    while (m_sent.size() < window && NextArticle(article)) {
        if (LocateFiles(article))
            Offer(std::move(article));
        else
            Skip(article, "its article files are gone");
    }
}

bool CFeedClient::NextArticle(Article& article) {
    if (!m_ready.empty()) {
        article = std::move(m_ready.front());
        m_ready.pop_front();
        return true;
    }
    // With many articles waiting for a later try, the queue is left alone
    // until some of them have been sent: memory stays bounded.
    std::string line;
    uint64_t ticket;
    while (m_parked.size() < kMaxParked && m_queue.Take(line, ticket)) {
        article = Article();
        article.ticket = ticket;
        StoredArticle parsed;
        if (ParseQueueLine(line, parsed)) {
            article.messageId = std::move(parsed.messageId);
            article.paths.clear();
            for (const ArticleCopy& copy : parsed.copies) {
                GroupEntry* group = m_server.FindGroup(copy.group);
                if (group) article.paths.push_back(m_server.ArticlePath(*group, copy.number));
            }
            return true;
        }
        Log("queue line skipped, not understood: " + line.substr(0, 200));
        m_queue.Done(ticket);
    }
    return false;
}

bool CFeedClient::LocateFiles(Article& article) const {
    struct stat st;
    for (const std::string& path : article.paths)
        if (::stat(path.c_str(), &st) == 0) return true;
    return false;
}

void CFeedClient::Offer(Article article) {
    bool check = m_bStreaming;
    // The wait for the peer starts with the first command it owes a reply.
    if (m_sent.empty()) m_timeLastActivity = m_host.Now();
    SendText((check ? "CHECK " : "IHAVE ") + article.messageId + "\r\n");
    m_sent.push_back(Sent{check ? Command::Check : Command::Ihave, std::move(article)});
}

bool CFeedClient::QueueArticle(const Article& article, const std::string& command) {
    for (const std::string& path : article.paths) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st;
        int64_t size = ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
        std::string head(static_cast<size_t>(std::clamp<int64_t>(size, 0, kInlineBytes)), '\0');
        bool whole = size > 0 && PreadUpTo(fd, &head[0], head.size(), 0) == head.size();
        char tail[5] = {};
        whole = whole && PreadUpTo(fd, tail, sizeof tail, size - 5) == 5;
        ::close(fd);
        // The file must still be this article, as stored: its Message-ID,
        // and the terminating line the peer waits for.
        HeaderFields fields;
        ParseHeaderFields(head, fields);
        const std::string* id = fields.Find("Message-ID");
        if (!whole || !id || *id != article.messageId ||
            std::string(tail, sizeof tail) != "\r\n.\r\n")
            continue;
        // A large one is read through the spool as it goes out; the spool
        // must know this very file, not one it kept from before.
        if (size > kInlineBytes && m_server.m_spool.Size(path) != size) continue;
        m_sendQueue.PushText(command + head);
        for (int64_t offset = kInlineBytes; offset < size; offset += CSendQueue::kFileChunk)
            m_sendQueue.PushFileChunk(path, offset,
                                      std::min<int64_t>(CSendQueue::kFileChunk, size - offset));
        AsyncSelect(FD_READ | FD_WRITE | FD_CLOSE);
        return true;
    }
    return false;
}
