#include "protocol/article_lookup.h"

#include <algorithm>
#include <climits>

#include "common/text.h"
#include "protocol/replies.h"

GroupLookup FindGroupFor(const CSession& session, std::string_view name, GroupEntry*& group) {
    group = session.Server().FindGroup(name);
    if (!group) return GroupLookup::Missing;
    return session.CanRead(*group) ? GroupLookup::Readable : GroupLookup::Denied;
}

void ReplyGroupRefused(CSession& session, GroupLookup outcome, std::string_view name) {
    session.Reply(outcome == GroupLookup::Missing ? replies::NoSuchGroup(name)
                                                  : replies::Denied(name));
}

static ArticleLookup WithFile(CSession& session, FoundArticle& found) {
    if (!session.Server().FindArticleFile(*found.group, *found.entry, found.file)) {
        found.entry = nullptr;
        return ArticleLookup::FileGone;
    }
    return ArticleLookup::Found;
}

ArticleLookup FindByNumber(CSession& session, int number, FoundArticle& found) {
    GroupEntry* group = session.m_pCurrentGroup;
    if (!group) return ArticleLookup::NoGroupSelected;
    if (!session.CanRead(*group)) return ArticleLookup::GroupDenied;
    const ArticleEntry* entry = group->articles.FindNumber(number);
    if (!entry) return ArticleLookup::NoSuchNumber;
    found.group = group;
    found.entry = entry;
    return WithFile(session, found);
}

ArticleLookup FindByMessageId(CSession& session, std::string_view messageId, GroupEntry* prefer,
                              FoundArticle& found, GroupEntry** lastHolder) {
    bool denied = false;
    if (lastHolder) *lastHolder = nullptr;
    for (const auto& group : session.Server().m_groups) {
        const ArticleEntry* entry = group->articles.FindMessageId(messageId);
        if (!entry) continue;
        if (lastHolder) *lastHolder = group.get();
        if (!session.CanRead(*group)) {
            denied = true;
            continue;
        }
        if (!found.entry || group.get() == prefer) {
            found.group = group.get();
            found.entry = entry;
        }
        if (!prefer || found.group == prefer) break;
    }
    if (!found.entry)
        return denied ? ArticleLookup::MessageIdDenied : ArticleLookup::NoSuchMessageId;
    return WithFile(session, found);
}

bool AllDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void ParseClassicRange(const std::string& word, const GroupEntry& group, int& low, int& high) {
    std::vector<std::string> fields;
    SplitFields(fields, word, "-");
    if (fields.size() >= 2) {
        low = ToDecimal(fields[0]);
        high = ToDecimal(fields[1]);
    } else if (fields.empty()) {
        low = 1;
        high = 0;  // selects nothing
    } else if (word.back() == '-') {
        low = ToDecimal(fields[0]);
        high = group.lastNumber;
    } else if (word.front() == '-') {
        low = INT_MIN;
        high = ToDecimal(fields[0]);
    } else {
        low = high = ToDecimal(fields[0]);
    }
}

bool ParseReaderRange(const std::string& word, int& low, int& high) {
    size_t dash = word.find('-');
    std::string_view first = std::string_view(word).substr(0, dash);
    if (!AllDigits(first)) return false;
    low = ToDecimal(first);
    if (dash == std::string::npos) {
        high = low;
        return true;
    }
    std::string_view second = std::string_view(word).substr(dash + 1);
    if (second.empty()) {
        high = INT_MAX;
        return true;
    }
    if (!AllDigits(second)) return false;
    high = ToDecimal(second);
    return true;
}

static bool FindReaderArticleById(CSession& session, const std::string& id, FoundArticle& found,
                                  int& number) {
    switch (FindByMessageId(session, id, session.m_pCurrentGroup, found)) {
        case ArticleLookup::Found: break;
        case ArticleLookup::MessageIdDenied: session.Reply(replies::Denied(id)); return false;
        default: session.Reply(replies::NoSuchArticle(id)); return false;
    }
    number = found.group == session.m_pCurrentGroup ? found.entry->number : 0;
    return true;
}

bool FindReaderArticle(CSession& session, const std::string* argument, bool select,
                       FoundArticle& found, int& number) {
    if (argument && (*argument)[0] == '<')
        return FindReaderArticleById(session, *argument, found, number);
    if (argument && !AllDigits(*argument)) {
        session.Reply(replies::kSyntaxError);
        return false;
    }
    ArticleLookup outcome;
    if (argument) {
        outcome = FindByNumber(session, ToDecimal(*argument), found);
    } else if (session.m_pCurrentGroup && session.CanRead(*session.m_pCurrentGroup) &&
               !session.m_bArticleSelected) {
        outcome = ArticleLookup::NoSuchNumber;
    } else {
        outcome = FindByNumber(session, session.m_nArticleNumber, found);
    }
    switch (outcome) {
        case ArticleLookup::Found: break;
        case ArticleLookup::NoGroupSelected: session.Reply(replies::kNoGroupSelected); return false;
        case ArticleLookup::GroupDenied:
            session.Reply(argument ? replies::Denied(*argument) : replies::kDeniedGroup);
            return false;
        default:
            session.Reply(argument ? replies::kNoSuchNumber : replies::kNoCurrentArticle);
            return false;
    }
    number = found.entry->number;
    if (select && argument) {
        session.m_bArticleSelected = 1;
        session.m_nArticleNumber = number;
    }
    return true;
}
