// Group selection and navigation: GROUP in both modes, and the reader mode's
// LISTGROUP, NEXT and LAST.
#include <algorithm>
#include <climits>

#include "protocol/article_lookup.h"
#include "protocol/handlers.h"
#include "protocol/replies.h"

using namespace replies;

namespace {

// Makes `group` current with its lowest-numbered article as the current
// article, as the reader mode's GROUP and LISTGROUP do.
void Select(CSession& session, GroupEntry& group) {
    const ArticleList& articles = group.articles;
    session.m_pCurrentGroup = &group;
    session.m_bArticleSelected = !articles.empty();
    int lowest = session.m_bArticleSelected ? articles.front().number : 0;
    if (!articles.Ascending())
        for (const ArticleEntry& a : articles) lowest = std::min(lowest, a.number);
    session.m_nArticleNumber = lowest;
}

// The group a LISTGROUP lists: the named one or the current one, selected
// anew; null (with the reply sent) when there is none to list.
GroupEntry* GroupToList(CSession& session, const Words& words) {
    GroupEntry* group = nullptr;
    if (words.size() >= 2) {
        GroupLookup outcome = FindGroupFor(session, words[1], group);
        if (outcome != GroupLookup::Readable) {
            ReplyGroupRefused(session, outcome, words[1]);
            return nullptr;
        }
    } else if (!session.m_pCurrentGroup) {
        session.Reply(kNoGroupSelected);
        return nullptr;
    } else if (!session.CanRead(*session.m_pCurrentGroup)) {
        session.Reply(kDeniedGroup);
        return nullptr;
    } else {
        group = session.m_pCurrentGroup;
    }
    Select(session, *group);
    return group;
}

// NEXT (`forward`) and LAST: the nearest article beyond the current one.
void Step(CSession& session, bool forward) {
    GroupEntry* group = session.m_pCurrentGroup;
    if (!group) return session.Reply(kNoGroupSelected);
    if (!session.CanRead(*group)) return session.Reply(kDeniedGroup);
    if (!session.m_bArticleSelected) return session.Reply(kNoCurrentArticle);
    const int current = session.m_nArticleNumber;
    const ArticleList& articles = group->articles;
    const ArticleEntry* best = nullptr;
    if (articles.Ascending()) {
        // The nearest number beyond the current one is next to where the
        // current one stands.
        auto after = articles.Span(current, INT_MAX).first;
        if (forward) {
            while (after != articles.end() && after->number <= current) ++after;
            if (after != articles.end()) best = &*after;
        } else if (after != articles.begin()) {
            // The first of equal numbers, as a scan in list order finds it.
            auto before = after - 1;
            while (before != articles.begin() && (before - 1)->number == before->number) --before;
            best = &*before;
        }
    } else {
        for (const ArticleEntry& a : articles) {
            bool beyond = forward ? a.number > current : a.number < current;
            if (beyond && (!best || (forward ? a.number < best->number : a.number > best->number)))
                best = &a;
        }
    }
    if (!best) return session.Reply(forward ? kNoNextArticle : kNoPreviousArticle);
    session.m_nArticleNumber = best->number;
    session.Reply(ArticleFound(best->number, best->MessageId()));
}

}  // namespace

void ClassicGroup(CSession& session, const Words& words) {
    // A failed GROUP leaves no group selected.
    session.m_pCurrentGroup = nullptr;
    GroupEntry* group;
    GroupLookup outcome = FindGroupFor(session, words[1], group);
    if (outcome != GroupLookup::Readable) return ReplyGroupRefused(session, outcome, words[1]);
    session.m_pCurrentGroup = group;
    session.Reply(GroupSelected(*group));
}

void ReaderGroup(CSession& session, const Words& words) {
    // A failed GROUP leaves the selection as it was.
    GroupEntry* group;
    GroupLookup outcome = FindGroupFor(session, words[1], group);
    if (outcome != GroupLookup::Readable) return ReplyGroupRefused(session, outcome, words[1]);
    Select(session, *group);
    session.Reply(GroupSelected(*group));
}

void ReaderListGroup(CSession& session, const Words& words) {
    // The range is checked first: a refused command selects nothing.
    int low = INT_MIN, high = INT_MAX;
    if (words.size() == 3 && !ParseReaderRange(words[2], low, high))
        return session.Reply(kSyntaxError);
    GroupEntry* group = GroupToList(session, words);
    if (!group) return;
    std::vector<int> numbers;
    auto span = group->articles.Span(low, high);
    for (auto it = span.first; it != span.second; ++it)
        if (it->number >= low && it->number <= high) numbers.push_back(it->number);
    std::sort(numbers.begin(), numbers.end());
    session.Reply(GroupListFollows(*group));
    std::string lines;
    for (int n : numbers) lines += std::to_string(n) + "\r\n";
    if (!lines.empty()) session.Send(std::move(lines));
    session.Reply(kEndOfList);
}

void ReaderNext(CSession& session, const Words&) {
    Step(session, true);
}

void ReaderLast(CSession& session, const Words&) {
    Step(session, false);
}
