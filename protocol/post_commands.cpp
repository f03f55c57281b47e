// Posting: POST in both modes, and what is done with the article once its
// terminating line has arrived.
#include <unistd.h>

#include "common/file_util.h"
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

void CSession::PostArticle(const std::string& tempPath, int lineCount, bool complete, int tempFd) {
    if (!complete) {
        // An article that did not reach the temporary file whole is not
        // stored: a cut-short copy would be served as if it were the article.
        if (tempFd >= 0) ::close(tempFd);
        RemoveFile(tempPath);
        return Reply(kTempFileError);
    }
    auto canPost = [this](const GroupEntry& group) { return CanPost(group); };
    const time_t now = m_server.Host().Now();
    if (ReaderMode()) {
        IntakeRequest request{ArticleSource::Posted, canPost, tempPath, tempFd, lineCount, now, ""};
        IntakeOutcome outcome = TakeArticle(m_server, request);
        if (tempFd >= 0) ::close(tempFd);
        switch (outcome.result) {
            case IntakeResult::Stored: break;
            case IntakeResult::Refused: return Reply(PostRefused(outcome.reason));
            case IntakeResult::Duplicate: return Reply(kPostDuplicate);
            case IntakeResult::Failed: return Reply(kPostFailed);
        }
        m_server.SaveGroupIndexes();
        return Reply(kPosted);
    }
    XContent header;
    StoreResult result =
        StoreArticleFrom(m_server, canPost, tempPath, tempFd, lineCount, header, now, ReaderMode());
    if (tempFd >= 0) ::close(tempFd);
    if (result != StoreResult::Stored) return Reply(NoSuchGroup(header.newsgroups));
    // Every changed index is on disk before the client hears 240.
    m_server.SaveGroupIndexes();
    Reply(kPosted);
}
