// Feeds from peers, in the reader mode: MODE STREAM, IHAVE, CHECK and
// TAKETHIS. A peer is known by the address it connects from; every other
// connection is refused these four. Nothing is taken twice: the history of
// Message-IDs answers for articles seen before, and an article on its way in
// on one connection is not asked for on another meanwhile.
#include <unistd.h>

#include "common/file_util.h"
#include "protocol/handlers.h"
#include "protocol/replies.h"
#include "store/article_intake.h"

using namespace replies;

namespace {

enum class Offer { Wanted, Known, Arriving, Invalid };

// Whether an article offered under `id` is wanted now.
Offer Judge(CSession& session, const std::string& id) {
    CServerCore& server = session.Server();
    if (!IsValidMessageId(id)) return Offer::Invalid;
    if (server.m_history.Lookup(id).state != HistoryState::Unknown) return Offer::Known;
    if (server.m_arriving.count(id)) return Offer::Arriving;
    return Offer::Wanted;
}

bool RefusedToOthers(CSession& session) {
    if (session.FromPeer()) return false;
    session.Reply(kCommandUnavailable);
    return true;
}

}  // namespace

void FeedModeStream(CSession& session, const Words&) {
    if (RefusedToOthers(session)) return;
    session.Reply(kStreamingPermitted);
}

void FeedIhave(CSession& session, const Words& words) {
    if (RefusedToOthers(session)) return;
    const std::string& id = words[1];
    switch (Judge(session, id)) {
        case Offer::Wanted: break;
        case Offer::Arriving: return session.Reply(kTryLater);
        default: return session.Reply(kNotWanted);
    }
    session.ExpectArticle(CSession::Incoming::Ihave, id, true);
    session.Reply(kSendArticle);
}

void FeedCheck(CSession& session, const Words& words) {
    if (RefusedToOthers(session)) return;
    const std::string& id = words[1];
    switch (Judge(session, id)) {
        case Offer::Wanted: return session.Reply(WithMessageId("238", id));
        case Offer::Arriving: return session.Reply(WithMessageId("431", id));
        default: return session.Reply(WithMessageId("438", id));
    }
}

void FeedTakeThis(CSession& session, const Words& words) {
    if (RefusedToOthers(session)) return;
    // The article follows at once, wanted or not: it is read whole first and
    // judged when it is complete.
    const std::string& id = words[1];
    session.ExpectArticle(CSession::Incoming::TakeThis, id, Judge(session, id) == Offer::Wanted);
}

void CSession::FedArticle(const Posting& posting) {
    const std::string id = std::move(m_strIncomingId);
    const bool claimed = m_bIncomingClaimed;
    m_strIncomingId.clear();
    m_bIncomingClaimed = false;
    IntakeOutcome outcome;
    if (claimed && posting.Complete()) {
        IntakeRequest request{ArticleSource::Fed, nullptr, &posting, m_server.Host().Now(), id};
        outcome = TakeArticle(m_server, request);
    } else {
        // Not wanted (a TAKETHIS of a known article), or not kept whole.
        outcome.result = claimed ? IntakeResult::Failed : IntakeResult::Duplicate;
        outcome.reason = "Duplicate";
    }
    if (claimed) m_server.m_arriving.erase(id);
    if (outcome.result == IntakeResult::Stored) m_server.SaveGroupIndexes();
    if (m_incoming == Incoming::TakeThis) return ReplyTakeThis(id, outcome);
    switch (outcome.result) {
        case IntakeResult::Stored: return ReplyWhenDurable(kTransferred, kTransferFailed);
        case IntakeResult::Failed: return Reply(kTransferFailed);
        default: return Reply(TransferRefused(outcome.reason));
    }
}

void CSession::ReplyTakeThis(const std::string& id, const IntakeOutcome& outcome) {
    switch (outcome.result) {
        case IntakeResult::Stored:
            return ReplyWhenDurable(WithMessageId("239", id), kStorageUnavailable, true);
        case IntakeResult::Failed:
            // TAKETHIS knows no "later": the peer is told to go away and
            // offers the article again when it comes back.
            Reply(kStorageUnavailable);
            return Finish();
        default: return Reply(WithMessageId("439", id, outcome.reason));
    }
}
