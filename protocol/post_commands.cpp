// Posting: POST in both modes, and what is done with the article once its
// terminating line has arrived.
#include "protocol/handlers.h"
#include "protocol/replies.h"
#include "store/article_intake.h"
#include "store/posting.h"

using namespace replies;

void Post(CSession& session, const Words&) {
    // No right is looked at here: the posting rights of each target group
    // are tested when the article is stored.
    session.ExpectArticle(CSession::Incoming::Post);
    session.Reply(kContinuePosting);
}

void CSession::PostArticle(const Posting& posting) {
    // An article that was not kept whole is not stored: a cut-short copy
    // would be served as if it were the article.
    if (!posting.Complete()) return Reply(kTempFileError);
    auto canPost = [this](const GroupEntry& group) { return CanPost(group); };
    const time_t now = m_server.Host().Now();
    if (ReaderMode()) {
        IntakeRequest request{ArticleSource::Posted, canPost, &posting, now, ""};
        IntakeOutcome outcome = TakeArticle(m_server, request);
        switch (outcome.result) {
            case IntakeResult::Stored: break;
            case IntakeResult::Refused: return Reply(PostRefused(outcome.reason));
            case IntakeResult::Duplicate: return Reply(kPostDuplicate);
            case IntakeResult::Failed: return Reply(kPostFailed);
        }
        m_server.SaveGroupIndexes();
        return ReplyWhenDurable(kPosted, kPostFailed);
    }
    XContent header;
    StoreResult result = StoreArticleFrom(m_server, canPost, posting, header, now);
    if (result != StoreResult::Stored) return Reply(NoSuchGroup(header.newsgroups));
    // Every changed index is written before the client hears 240; with
    // SyncWrites, the article, its name and its index lines are on disk.
    m_server.SaveGroupIndexes();
    ReplyWhenDurable(kPosted, kNotSaved);
}
