// Article retrieval: ARTICLE in both modes, and the reader mode's HEAD, BODY
// and STAT.
#include "common/text.h"
#include "protocol/article_lookup.h"
#include "protocol/handlers.h"
#include "protocol/replies.h"

using namespace replies;

namespace {

// The optional argument of a reader-mode retrieval command.
const std::string* ArgumentOf(const Words& words) {
    return words.size() > 1 ? &words[1] : nullptr;
}

}  // namespace

void ClassicArticle(CSession& session, const Words& words) {
    const std::string& argument = words[1];
    session.m_pCurrentArticle = nullptr;
    FoundArticle found;
    ArticleLookup outcome;
    if (argument[0] == '<') {
        // Every group that holds the Message-ID becomes current in turn, up to
        // the first one that may be read.
        GroupEntry* holder;
        outcome = FindByMessageId(session, argument, nullptr, found, &holder);
        if (holder) session.m_pCurrentGroup = holder;
    } else {
        outcome = FindByNumber(session, ToDecimal(argument), found);
    }
    switch (outcome) {
        case ArticleLookup::Found:
            session.m_pCurrentArticle = found.entry;
            session.Reply(ArticleFollows(found.entry->number, found.entry->MessageId()));
            // The file already ends with its terminating line.
            session.SendFile(found.file, 0);
            session.Log(kEndOfList);
            return;
        case ArticleLookup::NoGroupSelected: return session.Reply(kNoGroupSelected);
        case ArticleLookup::GroupDenied:
        case ArticleLookup::MessageIdDenied: return session.Reply(Denied(argument));
        default: return session.Reply(NoSuchArticle(argument));
    }
}

void ReaderArticle(CSession& session, const Words& words) {
    FoundArticle found;
    int number;
    if (!FindReaderArticle(session, ArgumentOf(words), true, found, number)) return;
    session.Reply(ArticleFollows(number, found.entry->MessageId()));
    session.SendFile(found.file, 0);
    session.Log(kEndOfList);
}

void ReaderHead(CSession& session, const Words& words) {
    FoundArticle found;
    int number;
    if (!FindReaderArticle(session, ArgumentOf(words), true, found, number)) return;
    ArticleParts parts = session.Server().m_spool.Parts(found.file.path);
    session.Reply(HeadFollows(number, found.entry->MessageId()));
    session.Send(parts.head + kEndOfList);
    session.Log(kEndOfList);
}

void ReaderBody(CSession& session, const Words& words) {
    FoundArticle found;
    int number;
    if (!FindReaderArticle(session, ArgumentOf(words), true, found, number)) return;
    ArticleParts parts = session.Server().m_spool.Parts(found.file.path);
    session.Reply(BodyFollows(number, found.entry->MessageId()));
    session.SendFile(found.file, parts.bodyOffset);
    session.Log(kEndOfList);
}

void ReaderStat(CSession& session, const Words& words) {
    FoundArticle found;
    int number;
    if (!FindReaderArticle(session, ArgumentOf(words), true, found, number)) return;
    session.Reply(ArticleExists(number, found.entry->MessageId()));
}
