// One outgoing feed: our own connection to a peer, sending it the articles of
// its queue (store/feed_queue.h). It connects without blocking, reads the
// greeting, logs in when the peer's line has a login, asks for MODE STREAM
// and then offers articles with pipelined CHECKs, sending the wanted ones
// with TAKETHIS; a peer that refuses streaming gets one IHAVE at a time. It
// never sends MODE READER.
//
// Replies are matched to commands in the order the commands were sent. An
// article is done - and marked so in the queue - once the peer has taken it
// (239, 235), has it already (438, 435), or refused it (439, 437; logged).
// One the peer wants later (431, 436) stays in the queue and is offered again
// after a delay of its own, 1 minute doubling up to 1 hour, while the others
// go on. A failure of the connection (refused, lost, an answer out of turn,
// 400) closes it and puts everything unanswered back in front; the next
// attempt waits 1 minute, doubling up to 1 hour, and the wait starts over
// once the peer answers an article again.
//
// Memory stays bounded however long the queue is: at most kWindow articles
// are offered and unanswered, at most kMaxParked wait for a later try, and an
// article is read from its file when it is sent, larger ones a chunk at a
// time as the socket takes them.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "platform/async_socket.h"
#include "protocol/send_queue.h"

class CFeedQueue;
class CServerCore;
class IServerHost;
struct Peer;

// What a feed client asks of its host besides the log.
class IFeedClientHost {
public:
    virtual ~IFeedClientHost() = default;
    // Asks for a call of Maintain() at `when` or soon after.
    virtual void WakeFeedAt(time_t when) = 0;
};

class CFeedClient : public CAsyncSocket {
public:
    static constexpr size_t kWindow = 64;       // articles offered and unanswered
    static constexpr size_t kMaxParked = 1024;  // articles waiting for a later try
    static constexpr int kMaxRetrySeconds = 3600;
    static constexpr time_t kReplyTimeout = 180;  // a silent peer is given up on
    static constexpr time_t kIdleSeconds = 60;    // then an unused connection is closed
    // Articles up to this size go out of memory, read whole when sent;
    // larger ones are read a chunk at a time while they go out.
    static constexpr int64_t kInlineBytes = 64 * 1024;

    enum class State {
        Idle,
        Connecting,
        Greeting,
        AuthUser,
        AuthPass,
        ModeStream,
        Ready,
        Quitting
    };

    // `host`, `wake`, `server`, `peer` and `queue` must outlive the client.
    // `retrySeconds` is the first wait after a failure or a deferral.
    CFeedClient(IServerHost& host, IFeedClientHost& wake, CServerCore& server, const Peer& peer,
                CFeedQueue& queue, int retrySeconds);
    ~CFeedClient() override;

    // Articles were queued: offers them at once on an open connection, or
    // connects when none is open and no wait after a failure is running.
    void Poke();
    // The regular look at the feed, from the maintenance pass and when asked
    // for through WakeFeedAt: offers again the deferred articles whose time
    // has come, connects when there is work and the wait is over, gives up
    // on a peer silent for kReplyTimeout, and closes with QUIT a connection
    // that has had nothing to do for kIdleSeconds.
    void Maintain(time_t now);
    // Shutdown: says QUIT when nothing is unanswered, closes, saves the
    // queue's progress. What was unanswered is offered again next time.
    void Stop();

    State CurrentState() const { return m_state; }
    bool Streaming() const { return m_bStreaming; }
    const std::string& LogPrefix() const { return m_strLogPrefix; }

    void OnConnect(int errorCode) override;
    void OnReceive(int errorCode) override;
    void OnSend(int errorCode) override;
    void OnClose(int errorCode) override;

private:
    // An article of the queue on its way to the peer.
    struct Article {
        uint64_t ticket = 0;
        std::string messageId;
        std::vector<std::string> paths;  // the files of its copies
        int attempts = 0;                // deferrals so far
        time_t notBefore = 0;            // a deferred one waits until then
        bool skipped = false;            // done already; its reply only keeps step
    };
    enum class Command { Check, TakeThis, Ihave, IhaveArticle };
    struct Sent {
        Command command;
        Article article;
    };
    // What a status line means for the article it answers.
    enum class Outcome { Wanted, Taken, Known, Refused, Later, Failure };

    void StartConnect();
    void ConnectFailed();
    const std::string& CurrentAddress() const;
    void HandleLine(const std::string& line);
    void HandleGreeting(int code, const std::string& line);
    void AfterLogin();
    void HandleFeedReply(int code, const std::string& line);
    void SendText(std::string text);
    void Pump();
    bool NextArticle(Article& article);
    bool LocateFiles(Article& article) const;
    void Offer(Article article);
    // Queues `command` followed by the article's bytes; false when no copy
    // of it can be read any more.
    bool QueueArticle(const Article& article, const std::string& command);
    void Finish(const Article& article, Outcome outcome, const std::string& line);
    void Defer(Article article, const std::string& line);
    void Skip(const Article& article, const std::string& why);
    void Fail(const std::string& reason);
    void Disconnect();
    void ReturnUnanswered();
    void ReleaseDue(time_t now);
    void SaveProgress();
    bool HasWork() const;
    int NextDelay(int previous) const;
    std::string Summary() const;
    void Log(const std::string& text);

    IServerHost& m_host;
    IFeedClientHost& m_wake;
    CServerCore& m_server;
    const Peer& m_peer;
    CFeedQueue& m_queue;
    const int m_nRetrySeconds;
    std::string m_strLogPrefix;

    State m_state = State::Idle;
    bool m_bStreaming = false;
    size_t m_nAddress = 0;        // which of the peer's addresses to try next
    std::string m_strLineBuffer;  // a reply not yet complete
    CSendQueue m_sendQueue;
    std::deque<Sent> m_sent;      // unanswered, in the order sent
    std::deque<Article> m_ready;  // to be offered before the queue's next line
    std::vector<Article> m_parked;
    int m_nBackoff = 0;      // the last wait after a failure; 0: none running
    time_t m_timeRetry = 0;  // no connection attempt before then
    time_t m_timeLastActivity = 0;
    // This connection's counts, for the line that ends it.
    int m_nTaken = 0, m_nKnown = 0, m_nRefused = 0, m_nDeferred = 0;
};
