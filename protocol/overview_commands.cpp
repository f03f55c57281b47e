// Overview and headers: XOVER in both modes, the reader mode's OVER (XOVER is
// the same command there), HDR and XHDR.
#include <algorithm>
#include <functional>

#include "common/text.h"
#include "protocol/article_lookup.h"
#include "protocol/handlers.h"
#include "protocol/replies.h"
#include "store/group_index.h"

using namespace replies;

namespace {

// One data line of a listing: from the group, the entry and the number shown.
using LineMaker =
    std::function<void(std::string& out, GroupEntry& group, const ArticleEntry& a, int number)>;

// The articles of the current group from `low` to `high`, in list order.
void ListRange(CSession& session, int low, int high, const char* status, const LineMaker& line) {
    GroupEntry& group = *session.m_pCurrentGroup;
    auto inRange = [low, high](const ArticleEntry& a) {
        return a.number >= low && a.number <= high;
    };
    auto span = group.articles.Span(low, high);
    if (std::none_of(span.first, span.second, inRange)) return session.Reply(kEmptyRange);
    session.Reply(status);
    std::string lines;
    lines.reserve(CSession::kListingBlock + 4096);
    for (auto it = span.first; it != span.second; ++it) {
        if (!inRange(*it)) continue;
        line(lines, group, *it, it->number);
        session.QueueListing(lines, false);
    }
    session.QueueListing(lines, true);
    session.Reply(kEndOfList);
}

// OVER, XOVER, HDR and XHDR share their forms: a Message-ID, a range of the
// current group, or nothing for the current article. The range is read
// before the group is looked at.
void ListArticles(CSession& session, const std::string* argument, const char* status,
                  const LineMaker& line) {
    FoundArticle found;
    int number;
    if (argument && (*argument)[0] == '<') {
        if (!FindReaderArticle(session, argument, false, found, number)) return;
        session.Reply(status);
        std::string text;
        line(text, *found.group, *found.entry, number);
        session.Send(std::move(text));
        return session.Reply(kEndOfList);
    }
    int low = 0, high = 0;
    if (argument && !ParseReaderRange(*argument, low, high)) return session.Reply(kSyntaxError);
    if (!session.m_pCurrentGroup) return session.Reply(kNoGroupSelected);
    if (!session.CanRead(*session.m_pCurrentGroup)) return session.Reply(kDeniedGroup);
    if (!argument) {
        if (!FindReaderArticle(session, nullptr, false, found, number)) return;
        low = high = number;
    }
    ListRange(session, low, high, status, line);
}

// The value HDR shows for `field` (upper-cased) of an article: the overview's
// own fields from the index, any other header from the article file.
std::string FieldValue(CSession& session, const std::string& field, const std::string& asTyped,
                       GroupEntry& group, const ArticleEntry& a) {
    if (field == "SUBJECT") return std::string(a.Subject());
    if (field == "FROM") return std::string(a.From());
    if (field == "DATE") return std::string(a.Date());
    if (field == "MESSAGE-ID") return std::string(a.MessageId());
    if (field == "REFERENCES") return std::string(a.References());
    if (field == "BYTES" || field == ":BYTES") return std::to_string(a.Bytes());
    if (field == "LINES" || field == ":LINES") return std::to_string(a.Lines());
    CServerCore& server = session.Server();
    return server.m_spool.HeaderValue(server.ArticlePath(group, a.number), asTyped);
}

}  // namespace

void ClassicXover(CSession& session, const Words& words) {
    GroupEntry* group = session.m_pCurrentGroup;
    if (!group) return session.Reply(kNoGroupSelected);
    if (!session.CanRead(*group)) return session.Reply(kDeniedGroup);
    // The status line goes out before the range is looked at.
    session.Reply(kOverviewFollows);
    int low, high;
    ParseClassicRange(words[1], *group, low, high);
    std::string lines;
    lines.reserve(CSession::kListingBlock + 4096);
    // In list order; where the numbers ascend, only the stretch that can
    // hold the range is looked at.
    auto span = group->articles.Span(low, high);
    for (auto it = span.first; it != span.second; ++it) {
        if (it->number < low || it->number > high) continue;
        AppendOverviewLine(lines, *it, it->number);
        session.QueueListing(lines, false);
    }
    session.QueueListing(lines, true);
    session.Reply(kEndOfList);
}

void ReaderOver(CSession& session, const Words& words) {
    ListArticles(session, words.size() > 1 ? &words[1] : nullptr, kOverviewFollows,
                 [](std::string& out, GroupEntry&, const ArticleEntry& a, int number) {
                     AppendOverviewLine(out, a, number);
                 });
}

void ReaderHdr(CSession& session, const Words& words) {
    const std::string field = SjisUpper(words[1]);
    ListArticles(session, words.size() > 2 ? &words[2] : nullptr,
                 words[0] == "HDR" ? kHeadersFollow : kHeaderFollows,
                 [&](std::string& out, GroupEntry& group, const ArticleEntry& a, int number) {
                     out += std::to_string(number);
                     out += ' ';
                     out += FieldValue(session, field, words[1], group, a);
                     out += "\r\n";
                 });
}
