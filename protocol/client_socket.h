// One accepted NNTP connection: assembles command texts from received blocks
// and hands them to its session, collects posted articles into a temporary
// file, queues replies and writes them as fast as the socket takes them. It
// never deletes itself: it marks itself finished and asks its host for a
// maintenance pass, which deletes it.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <string>
#include <string_view>

#include "platform/async_socket.h"
#include "protocol/send_queue.h"
#include "protocol/session.h"

class CClientSocket : public CAsyncSocket, public ISessionLink {
public:
    static constexpr int kReceiveSize = 512000;
    // A client that sends this much without completing a command is cut off.
    static constexpr size_t kMaxPendingCommand = 64 * 1024;
    // A client that lets this much output pile up unread is cut off, so a
    // reader that never reads cannot make the server hold its replies
    // without bound.
    static constexpr int64_t kMaxQueuedBytes = 64 * 1024 * 1024;

    // `host` and `server` must outlive the connection.
    CClientSocket(IServerHost& host, CServerCore& server);
    ~CClientSocket() override;

    // Sets the log prefix from the peer's address, queues the greeting and
    // logs it. Called once, after the host has registered the connection.
    void Greet();
    // Instead of Greet(), for a connection the server will not serve: sets
    // the prefix, queues `reply` and logs it, and ends the connection. On a
    // port encrypted from the first byte (`overTls`) the reply follows the
    // handshake, so that the client can read it.
    void Refuse(const std::string& reply, bool overTls = false);
    // Takes the peer's address for PeerAddress() and the log prefix, and in
    // the reader mode the peer it may be; the greetings and Refuse() do so
    // when it has not been done.
    void IdentifyPeer();
    // The peer's IPv4 address as text, "?" when it cannot be had.
    const std::string& PeerAddress() const { return m_strPeerAddress; }
    // The same for a port that is encrypted from the first byte: sets the
    // prefix and starts the TLS handshake; the greeting follows once the
    // handshake is done. False (logged, and the connection finished) when
    // no session could be started.
    bool GreetOverTls();
    // The certificate for TLS on this connection, at once (GreetOverTls) or
    // after STARTTLS; null, the default: STARTTLS is not offered. It must
    // outlive the connection. Set before the greeting.
    void SetTlsContext(const CTlsContext* context) { m_pTlsContext = context; }

    void OnReceive(int errorCode) override;
    void OnSend(int errorCode) override;
    void OnClose(int errorCode) override;
    void OnTlsEstablished(const std::string& version, const std::string& cipher) override;

    // Handles one received block as if it had just arrived.
    void HandleReceived(const char* data, size_t length);

    // --- for the maintenance pass ----------------------------------------------
    // Set once the peer has gone, QUIT was answered, or the client was cut off.
    bool IsFinished() const { return m_bFinished != 0; }
    // The last time data was received or a send was attempted.
    time_t LastActivity() const { return m_timeLastActivity; }
    const std::string& LogPrefix() const { return m_strLogPrefix; }
    // Sends what the socket takes now of what is still queued. Called just
    // before the socket is closed: a QUIT's goodbye must not be lost to the
    // order in which the loop delivers events.
    void FlushBeforeClose();

    // --- for tests -----------------------------------------------------------------
    const CSendQueue& Queue() const { return m_sendQueue; }
    bool InBodyMode() const { return m_bPostMode != 0; }
    CSession& Session() { return m_session; }

private:
    // What the session asks of its connection (tests reach them through the
    // interface).
    void SendText(std::string text) override;
    void SendFile(const ArticleFile& file, int64_t from) override;
    void Log(const std::string& text) override;
    void MarkFinished() override;
    void BeginArticle() override { m_bPostMode = 1; }
    void HoldInput() override { m_bHeld = 1; }
    void ResumeInput() override;
    bool IsEncrypted() const override { return IsTls(); }
    bool TlsAvailable() const override;
    bool StartTlsAfterReply() override;

    // Starts TLS on a port encrypted from the first byte, with `firstReply`
    // to be sent once the handshake is done, and the connection ended after
    // it when `thenFinish`. False (logged, the connection finished) when no
    // session could be started.
    bool StartImplicitTls(const std::string& firstReply, bool thenFinish);
    // Drops plaintext that came after STARTTLS, logging how much.
    void DiscardBeforeTls(size_t bytes);

    void SendAndLog(const std::string& reply);
    // The handlers of one mode. Each returns the bytes of the block it
    // leaves to the other mode (what follows an article's terminating line,
    // or a POST line in the reader mode), viewing `data`; empty when none.
    std::string_view ReceiveBody(const char* data, size_t length);
    std::string_view ReceiveCommand(const char* data, size_t length);
    // The reader mode: every CR LF line is a command of its own.
    std::string_view ReceiveLines(const char* data, size_t length);
    // Hands a finished article to the session and returns to command mode.
    void FinishArticle();
    // Drops a command that grew past its limit and ends the connection.
    void CutOffLongCommand();
    // Asks for a write notification unless the client has been cut off.
    void WantToSend();
    // Cuts the client off once its unread output passes the limit.
    void CheckQueueLimit();
    // Keeps a received block for after the held reply; `first` puts it
    // before the blocks kept already (the rest of the block in hand).
    void KeepHeldBlock(std::string_view block, bool first);

    IServerHost* m_pOwner;
    CServerCore& m_server;
    CSession m_session;
    std::string m_strLogPrefix;
    int m_bFinished = 0;
    time_t m_timeLastActivity;
    int m_bPostMode = 0;
    int m_bCrSeen = 0;
    std::string m_strLineBuffer;
    std::string m_strCommandText;  // in body mode: the last ten bytes received
    // The article arriving in body mode: in memory, or past its bound in a
    // temporary file that goes with it.
    Posting m_posting;
    CSendQueue m_sendQueue;
    int m_bQueueOverflow = 0;  // cut off for not reading; output is dropped
    std::string m_strPeerAddress;
    // A reply waits for the disk (see HoldInput); what arrives meanwhile is
    // kept in blocks as received, since the classic mode takes one command
    // per block. Past kReceiveSize bytes kept, the socket is not read.
    int m_bHeld = 0;
    int m_nHandling = 0;  // HandleReceived calls in progress
    std::deque<std::string> m_heldBlocks;
    size_t m_nHeldBytes = 0;
    int m_bReadStopped = 0;
    const CTlsContext* m_pTlsContext = nullptr;
    // STARTTLS was answered: TLS starts once the queue is empty, and nothing
    // received until then is read as a command.
    int m_bTlsPending = 0;
    // Implicit TLS: the first reply (the greeting, or a refusal) waits for
    // the handshake; empty when none waits.
    std::string m_strAfterHandshake;
    int m_bFinishAfterHandshake = 0;  // ... and the connection ends after it
};
