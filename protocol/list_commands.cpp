// Lists: LIST and LIST OVERVIEW.FMT in both modes, and the reader mode's LIST
// ACTIVE with a wildmat, LIST NEWSGROUPS, LIST HEADERS, NEWGROUPS and NEWNEWS.
#include <set>

#include "common/file_util.h"
#include "common/text.h"
#include "common/wildmat.h"
#include "protocol/article_lookup.h"
#include "protocol/handlers.h"
#include "protocol/replies.h"

using namespace replies;

namespace {

// The groups the user may read and whose names match `pattern`, a line per
// group made by `line`.
template <class LineMaker>
std::string GroupLines(const CSession& session, const std::string& pattern, LineMaker line) {
    std::string lines;
    for (const auto& group : session.Server().m_groups) {
        if (!session.CanRead(*group) || !Wildmat(group->name, pattern)) continue;
        line(lines, *group);
    }
    return lines;
}

void SendList(CSession& session, const char* status, std::string lines) {
    session.Reply(status);
    if (!lines.empty()) session.Send(std::move(lines));
    session.Reply(kEndOfList);
}

// "yymmdd" or "yyyymmdd" and "hhmmss" from words[at], local time unless
// "GMT" follows; false when they are not that.
bool ParseDateTime(const CSession& session, const Words& words, size_t at, time_t& when) {
    const std::string& date = words[at];
    const std::string& time = words[at + 1];
    bool gmt = words.size() == at + 3;
    if (gmt && SjisUpper(words[at + 2]) != "GMT") return false;
    if ((date.size() != 6 && date.size() != 8) || !AllDigits(date)) return false;
    if (time.size() != 6 || !AllDigits(time)) return false;
    struct tm tm {};
    int year = ToDecimal(date.substr(0, date.size() - 4));
    if (date.size() == 6) {
        // Two digits: this century up to the current year, the last one after.
        struct tm now {};
        time_t t = session.Server().Host().Now();
        gmtime_r(&t, &now);
        int current = now.tm_year + 1900;
        year += (current / 100) * 100;
        if (year > current) year -= 100;
    }
    tm.tm_year = year - 1900;
    tm.tm_mon = ToDecimal(date.substr(date.size() - 4, 2)) - 1;
    tm.tm_mday = ToDecimal(date.substr(date.size() - 2, 2));
    tm.tm_hour = ToDecimal(time.substr(0, 2));
    tm.tm_min = ToDecimal(time.substr(2, 2));
    tm.tm_sec = ToDecimal(time.substr(4, 2));
    tm.tm_isdst = -1;
    if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
        tm.tm_min > 59 || tm.tm_sec > 60)
        return false;
    when = gmt ? timegm(&tm) : mktime(&tm);
    return true;
}

}  // namespace

void ClassicList(CSession& session, const Words&) {
    session.Reply(kListFollows);
    std::string lines;
    for (const auto& group : session.Server().m_groups) {
        if (!session.CanRead(*group)) continue;
        AppendActiveLine(lines, *group, session.CanPost(*group));
        session.QueueListing(lines, false);
    }
    session.QueueListing(lines, true);
    session.Reply(kEndOfList);
}

void ListOverviewFmt(CSession& session, const Words&) {
    session.Reply(kOverviewFormat);
}

void ReaderListActive(CSession& session, const Words& words) {
    const std::string pattern = words.size() == 3 ? words[2] : "*";
    SendList(session, kListFollows,
             GroupLines(session, pattern, [&session](std::string& out, const GroupEntry& group) {
                 AppendActiveLine(out, group, session.CanPost(group));
             }));
}

void ReaderListNewsgroups(CSession& session, const Words& words) {
    const std::string pattern = words.size() == 3 ? words[2] : "*";
    SendList(session, kDescriptionsFollow,
             GroupLines(session, pattern, [](std::string& out, const GroupEntry& group) {
                 out += group.name + "\t" + group.note + "\r\n";
             }));
}

void ReaderListHeaders(CSession& session, const Words& words) {
    // Any header can be asked for: those outside the overview are read from
    // the article files.
    if (words.size() == 3 && SjisUpper(words[2]) != "MSGID" && SjisUpper(words[2]) != "RANGE")
        return session.Reply(kSyntaxError);
    SendList(session, kHeadersSupported, kHeaderFields);
}

void ReaderNewGroups(CSession& session, const Words& words) {
    time_t since;
    if (!ParseDateTime(session, words, 1, since)) return session.Reply(kSyntaxError);
    CServerCore& server = session.Server();
    SendList(session, kNewGroupsFollow,
             GroupLines(session, "*", [&](std::string& out, const GroupEntry& group) {
                 time_t created;
                 // Only a recorded creation time can say a group is new.
                 if (FileBirthTime(server.GroupDir(group), created) && created > since)
                     AppendActiveLine(out, group, session.CanPost(group));
             }));
}

void ReaderNewNews(CSession& session, const Words& words) {
    time_t since;
    if (!ParseDateTime(session, words, 2, since)) return session.Reply(kSyntaxError);
    CServerCore& server = session.Server();
    std::set<std::string, std::less<>> seen;
    SendList(session, kNewArticlesFollow,
             GroupLines(session, words[1], [&](std::string& out, const GroupEntry& group) {
                 for (const ArticleEntry& a : group.articles) {
                     time_t written;
                     std::string_view id = a.MessageId();
                     if (id.empty() || seen.count(id) ||
                         !FileModTime(server.ArticlePath(group, a.number), written) ||
                         written <= since)
                         continue;
                     seen.emplace(id);
                     out += id;
                     out += "\r\n";
                 }
             }));
}
