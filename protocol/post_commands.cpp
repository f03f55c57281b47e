// Posting: POST in both modes, and what is done with the article once its
// terminating line has arrived.
#include <unistd.h>

#include "common/file_util.h"
#include "protocol/handlers.h"
#include "protocol/replies.h"
#include "store/posting.h"

using namespace replies;

void Post(CSession& session, const Words&) {
    // No right is looked at here: the posting rights of each target group
    // are tested when the article is stored.
    session.BeginArticle();
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
    XContent header;
    auto canPost = [this](const GroupEntry& group) { return CanPost(group); };
    const time_t now = m_server.Host().Now();
    StoreResult result =
        StoreArticleFrom(m_server, canPost, tempPath, tempFd, lineCount, header, now, ReaderMode());
    if (tempFd >= 0) ::close(tempFd);
    if (result != StoreResult::Stored) return Reply(NoSuchGroup(header.newsgroups));
    // Every changed index is written before the client hears 240; with
    // SyncWrites, the article, its name and its index lines are on disk.
    m_server.SaveGroupIndexes();
    ReplyWhenDurable(kPosted);
}
