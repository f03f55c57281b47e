#include "protocol/session.h"

#include "common/text.h"
#include "protocol/command_table.h"
#include "protocol/replies.h"

using namespace replies;

void CSession::ProcessCommand(const std::string& text) {
    Words words;
    SplitFields(words, text, " \t\r\n");
    if (words.empty()) return;
    words[0] = SjisUpper(words[0]);
    LogCommand(text, words);

    const bool loginsOn = LoginsOn();
    const CommandTable& table = ReaderMode() ? kReaderCommands : kClassicCommands;
    const CommandRow* row = FindCommand(table, words, loginsOn, m_link.TlsAvailable());
    const int args = static_cast<int>(words.size()) - 1;
    if (row && (args < row->minArgs || args > row->maxArgs)) {
        Reply(kSyntaxError);
        return;
    }
    const bool gated = !row || row->gate == Gate::Login || (row->gate == Gate::Feed && !m_pPeer);
    if (loginsOn && !m_bAuthenticated && gated) {
        Reply(kAuthRequired);
        return;
    }
    if (!row) {
        Reply(kNotRecognized);
        return;
    }
    row->handler(*this, words);
}

CSession::~CSession() {
    // A fed article cut off by the end of the connection may come again.
    if (m_bIncomingClaimed) m_server.m_arriving.erase(m_strIncomingId);
}

void CSession::ExpectArticle(Incoming kind, std::string messageId, bool claimed) {
    m_incoming = kind;
    m_strIncomingId = std::move(messageId);
    m_bIncomingClaimed = claimed;
    if (claimed) m_server.m_arriving.insert(m_strIncomingId);
    m_link.BeginArticle();
}

void CSession::ArticleArrived(Posting posting) {
    if (m_incoming == Incoming::Post) return PostArticle(posting);
    FedArticle(posting);
}

void CSession::ForgetBeforeTls() {
    m_pCurrentGroup = nullptr;
    m_pCurrentArticle = nullptr;
    m_bArticleSelected = 0;
    m_nArticleNumber = 0;
    m_bAuthenticated = 0;
    m_strUserName.clear();
    m_strPassword.clear();
}

void CSession::LogCommand(const std::string& text, const Words& words) {
    // The password of AUTHINFO PASS never reaches the log.
    if (words.size() >= 2 && words[0] == "AUTHINFO" && SjisUpper(words[1]) == "PASS") {
        size_t at = SjisFind(text, words[1]);
        std::string shown = at == std::string::npos ? words[0] + " " + words[1]
                                                    : text.substr(0, at + words[1].size());
        Log(shown + " *****\r\n");
        return;
    }
    Log(text);
}

void CSession::Reply(const std::string& reply) {
    m_link.SendText(reply);
    m_link.Log(reply);
}

void CSession::ReplyWhenDurable(const std::string& reply, const std::string& failed,
                                bool finishOnFailure) {
    CDurableQueue* durable = m_server.Durable();
    if (!durable) return Reply(reply);
    m_link.HoldInput();
    std::weak_ptr<char> alive = m_pAlive;
    durable->WhenDurable([this, alive, reply, failed, finishOnFailure](bool ok) {
        if (alive.expired()) return;
        Reply(ok ? reply : failed);
        if (!ok && finishOnFailure) return Finish();
        m_link.ResumeInput();
    });
}

void CSession::QueueListing(std::string& pending, bool last) {
    if (pending.empty() || (!last && pending.size() < kListingBlock)) return;
    Send(std::move(pending));
    pending.clear();
    if (!last) pending.reserve(kListingBlock + 4096);
}

static bool Listed(const std::vector<std::string>& names, const std::string& name) {
    for (const std::string& n : names)
        if (n == name) return true;
    return false;
}

// The rights follow the name given with AUTHINFO USER: the gate lets nothing
// but the login commands through before its password was confirmed.
bool CSession::CanRead(const GroupEntry& group) const {
    return !LoginsOn() || group.readAll || Listed(group.readers, m_strUserName);
}

bool CSession::CanPost(const GroupEntry& group) const {
    return !LoginsOn() || group.postAll || Listed(group.posters, m_strUserName);
}
