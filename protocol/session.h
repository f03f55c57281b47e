// The NNTP conversation of one connection, apart from its socket: the
// command interpreter, the protocol state its commands work on (current
// group and article, login), and the rights of the user. It writes to the
// client and the log only through its link, so its commands can be driven
// without a socket.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store/article_intake.h"
#include "store/peers.h"
#include "store/server_core.h"

using Words = std::vector<std::string>;

// What a session asks of the connection it runs on.
class ISessionLink {
public:
    virtual ~ISessionLink() = default;
    // Queues `text` for the client.
    virtual void SendText(std::string text) = 0;
    // Queues the bytes of `file` from `from` to its end and logs the size
    // queued.
    virtual void SendFile(const ArticleFile& file, int64_t from) = 0;
    // Appends `text` to the log after the connection's prefix.
    virtual void Log(const std::string& text) = 0;
    // Ends the connection after what is queued; nothing after it is answered
    // in the reader mode.
    virtual void MarkFinished() = 0;
    // What the client sends next is a posted article, up to its terminating
    // line.
    virtual void BeginArticle() = 0;
    // Leaves everything the client sends from here on unanswered, in the
    // order it came, until ResumeInput(): a reply that waits for the disk
    // must not be overtaken by the answers to later commands.
    virtual void HoldInput() = 0;
    // Goes on with what was held, as if it had just arrived.
    virtual void ResumeInput() = 0;
    // Whether the connection runs under TLS (from its first byte or since a
    // STARTTLS handshake).
    virtual bool IsEncrypted() const = 0;
    // Whether STARTTLS can be offered: a certificate is loaded.
    virtual bool TlsAvailable() const = 0;
    // Puts the connection under TLS as soon as what is queued, the reply sent
    // right after this call included, has gone out; whatever the client sent
    // behind the current line is dropped, never read as a command. False when
    // TLS cannot be started on this connection; nothing changes then.
    virtual bool StartTlsAfterReply() = 0;
};

class CSession {
public:
    CSession(ISessionLink& link, CServerCore& server) : m_link(link), m_server(server) {}
    ~CSession();
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    // The command interpreter: one complete command text (in the classic
    // mode everything that arrived since the last one, in the reader mode one
    // line). Logs it, then answers it through the mode's command table.
    void ProcessCommand(const std::string& text);

    // Takes the article collected after POST, IHAVE or TAKETHIS and answers
    // it.
    void ArticleArrived(Posting posting);
    // The POST case of it (post_commands.cpp).
    void PostArticle(const Posting& posting);

    // What the next article received is: posted, or fed under a Message-ID.
    // `claimed`: the Message-ID was entered as arriving on this connection,
    // and is released once the article has been taken.
    enum class Incoming { Post, Ihave, TakeThis };
    void ExpectArticle(Incoming kind, std::string messageId = std::string(), bool claimed = false);

    // The peer this connection comes from, or null. Set once, when the
    // connection is greeted.
    void SetPeer(const Peer* peer) { m_pPeer = peer; }
    const Peer* FromPeer() const { return m_pPeer; }

    // Whether the user may read, respectively post to, `group`. Everything is
    // allowed while logins are off.
    bool CanRead(const GroupEntry& group) const;
    bool CanPost(const GroupEntry& group) const;

    // --- what the handlers answer with ---------------------------------------
    // Sends `reply` and logs it.
    void Reply(const std::string& reply);
    // The same once everything the store wrote so far is on disk, when
    // SyncWrites is on; the connection answers nothing else meanwhile. When
    // the disk fails, the client hears `failed` instead of `reply`, and the
    // connection ends after it when `finishOnFailure`.
    void ReplyWhenDurable(const std::string& reply, const std::string& failed,
                          bool finishOnFailure = false);
    // Sends without a log line: data lines of a listing.
    void Send(std::string text) { m_link.SendText(std::move(text)); }
    void Log(const std::string& text) { m_link.Log(text); }
    // Sends the lines of a listing gathered in `pending` once they make a
    // block (everything left when `last`), and leaves `pending` empty with
    // room for the next block. Listings go out in blocks of moderate size: an
    // item per line costs a lot, and one huge block more still.
    void QueueListing(std::string& pending, bool last);
    void SendFile(const ArticleFile& file, int64_t from) { m_link.SendFile(file, from); }
    void Finish() { m_link.MarkFinished(); }
    void BeginArticle() { m_link.BeginArticle(); }

    CServerCore& Server() const { return m_server; }
    bool ReaderMode() const { return m_server.m_bUseRfc3977 != 0; }
    bool LoginsOn() const { return m_server.m_bUseAuthor != 0; }
    bool IsEncrypted() const { return m_link.IsEncrypted(); }
    // STARTTLS is offered: a certificate is loaded and TLS is not on yet.
    bool TlsOffered() const { return m_link.TlsAvailable() && !m_link.IsEncrypted(); }
    // AUTHINFO is refused here: logins must wait for TLS, which is not on.
    bool LoginNeedsTls() const { return m_server.m_bAuthRequiresTls && !m_link.IsEncrypted(); }
    bool StartTlsAfterReply() { return m_link.StartTlsAfterReply(); }
    // Forgets what the client chose or proved before its STARTTLS handshake
    // (group, article, login): none of it was protected from tampering.
    void ForgetBeforeTls();

    // --- the protocol state the handlers work on ------------------------------
    GroupEntry* m_pCurrentGroup = nullptr;
    // Classic mode: the article the last ARTICLE found; never dereferenced.
    const ArticleEntry* m_pCurrentArticle = nullptr;
    // Reader mode: the current article of the current group, by number, so
    // that entries removed meanwhile never leave it dangling.
    int m_bArticleSelected = 0;
    int m_nArticleNumber = 0;
    int m_bAuthenticated = 0;
    std::string m_strUserName;
    std::string m_strPassword;

    static constexpr size_t kListingBlock = 64 * 1024;

private:
    void LogCommand(const std::string& text, const Words& words);
    // The IHAVE and TAKETHIS cases of ArticleArrived (feed_commands.cpp).
    void FedArticle(const Posting& posting);
    void ReplyTakeThis(const std::string& id, const IntakeOutcome& outcome);

    const Peer* m_pPeer = nullptr;
    Incoming m_incoming = Incoming::Post;
    std::string m_strIncomingId;  // the Message-ID a fed article was offered under
    bool m_bIncomingClaimed = false;

    ISessionLink& m_link;
    CServerCore& m_server;
    // Held by the session alone; a reply waiting for the disk keeps a weak
    // reference, so it finds out that its connection has gone.
    std::shared_ptr<char> m_pAlive = std::make_shared<char>();
};
