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

namespace {

// What a retrieval command sends of the article it found: the status line
// and, for every command but STAT, a part of the file.
enum class Part { Whole, Head, Body, None };

void Retrieve(CSession& session, const Words& words, Part part) {
    FoundArticle found;
    int number;
    if (!FindReaderArticle(session, ArgumentOf(words), true, found, number)) return;
    std::string_view id = found.entry->MessageId();
    if (part == Part::None) return session.Reply(ArticleExists(number, id));
    if (part == Part::Whole) {
        session.Reply(ArticleFollows(number, id));
        session.SendFile(found.file, 0);
    } else {
        // The stored file is the header, a blank line, then the body with its
        // terminating line.
        ArticleParts parts = session.Server().m_spool.Parts(found.file.path);
        if (part == Part::Head) {
            session.Reply(HeadFollows(number, id));
            session.Send(parts.head + kEndOfList);
        } else {
            session.Reply(BodyFollows(number, id));
            session.SendFile(found.file, parts.bodyOffset);
        }
    }
    session.Log(kEndOfList);
}

}  // namespace

void ReaderArticle(CSession& session, const Words& words) {
    Retrieve(session, words, Part::Whole);
}

void ReaderHead(CSession& session, const Words& words) {
    Retrieve(session, words, Part::Head);
}

void ReaderBody(CSession& session, const Words& words) {
    Retrieve(session, words, Part::Body);
}

void ReaderStat(CSession& session, const Words& words) {
    Retrieve(session, words, Part::None);
}
