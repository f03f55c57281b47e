// The standard reader mode: the commands common newsreaders rely on, with
// one command per line, so pipelined commands are answered in order. Replies
// the server already had keep their texts; the others use the standard's
// wording.
#include <algorithm>
#include <climits>
#include <functional>
#include <set>

#include "common/date_key.h"
#include "common/file_util.h"
#include "common/text.h"
#include "common/wildmat.h"
#include "protocol/client_socket.h"
#include "protocol/replies.h"
#include "store/group_index.h"
#include "store/server_core.h"
#include "store/xcontent.h"

namespace {

using Words = std::vector<std::string>;

using namespace replies;

constexpr char kSyntaxError[] = "501 Syntax error\r\n";
constexpr char kNoCurrentArticle[] = "420 No current article selected\r\n";
constexpr char kNoSuchNumber[] = "423 No article with that number\r\n";
constexpr char kEmptyRange[] = "423 No articles in that range\r\n";
constexpr char kAuthRequired[] = "480 Authentication required for command!!\r\n";

bool AllDigits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "N", "N-" or "N-M"; false for anything else.
bool ParseRange(const std::string& word, int& low, int& high) {
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
        // Everything from N on, not only up to the group's last number: an
        // index that lags behind its directory must not hide articles.
        high = INT_MAX;
        return true;
    }
    if (!AllDigits(second)) return false;
    high = ToDecimal(second);
    return true;
}

std::string OverviewLine(const ArticleEntry& a, int number) {
    std::string line;
    AppendOverviewLine(line, a, number);
    return line;
}

// "yymmdd" or "yyyymmdd" and "hhmmss", local time unless "GMT" follows.
bool ParseDateTime(const Words& words, size_t at, time_t& when) {
    if (words.size() < at + 2 || words.size() > at + 3) return false;
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
        time_t t = ::time(nullptr);
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

// The value of header `name` (any letter case) in the article's header
// block: unfolded, trimmed, TABs as blanks; the first occurrence counts.
std::string HeaderValue(const std::string& block, const std::string& name) {
    std::string wanted = SjisUpper(name) + ":";
    std::string value;
    bool inHeader = false;
    size_t start = 0;
    for (;;) {
        size_t lf = block.find('\n', start);
        if (lf == std::string::npos) break;
        std::string line = block.substr(start, lf + 1 - start);
        start = lf + 1;
        if (line == "\r\n" || line == "\n") break;
        if (inHeader && (line[0] == ' ' || line[0] == '\t')) {
            value += line;
            continue;
        }
        if (inHeader) break;
        if (SjisUpper(line.substr(0, wanted.size())) == wanted) {
            value = line.substr(wanted.size());
            inHeader = true;
        }
    }
    value = SjisTrim(value);
    NormalizeValue(value);
    return value;
}

// An article found for a retrieval command.
struct Found {
    GroupEntry* group = nullptr;
    const ArticleEntry* entry = nullptr;
    int number = 0;  // the number to show: 0 for one outside the current group
    std::string path;
    int64_t size = -1;  // of the article file
};

}  // namespace

// --- retrieval helpers -------------------------------------------------------

namespace {

ArticleEntry* FindNumber(GroupEntry& group, int number) {
    return group.articles.FindNumber(number);
}

void EraseEntry(GroupEntry& group, const ArticleEntry* entry) {
    auto& articles = group.articles;
    size_t position = articles.PositionOf(entry);
    if (position < articles.size())
        articles.erase(articles.begin() + static_cast<std::ptrdiff_t>(position));
}

}  // namespace

void CClientSocket::ProcessReaderCommand(const std::string& text, const Words& words) {
    (void)text;
    const std::string& command = words[0];
    CServerCore& core = *m_pOwner;
    const bool useAuthor = core.m_bUseAuthor != 0;

    if (command == "AUTHINFO" && useAuthor) {
        if (m_bAuthenticated) {
            // No identity can be switched without its password.
            SendAndLog("502 Command unavailable\r\n");
            return;
        }
        if (words.size() != 3) {
            SendAndLog(kSyntaxError);
            return;
        }
        std::string sub = SjisUpper(words[1]);
        if (sub == "USER") {
            m_strUserName = words[2];
            SendAndLog("381 PASS required!!\r\n");
        } else if (sub == "PASS") {
            if (m_strUserName.empty()) {
                SendAndLog("482 Authentication commands issued out of order\r\n");
                return;
            }
            m_strPassword = words[2];
            for (const auto& user : core.m_users) {
                if (user->name != m_strUserName) continue;
                if (user->password == m_strPassword) m_bAuthenticated = 1;
                break;
            }
            SendAndLog(m_bAuthenticated ? "281 User/Password OK!!\r\n"
                                        : "481 Authentication failed\r\n");
        } else {
            SendAndLog("501 AUTHINFO USER XXX or AUTHINFO PASS XXX!!\r\n");
        }
        return;
    }
    const bool modeReader =
        command == "MODE" && words.size() == 2 && SjisUpper(words[1]) == "READER";
    if (useAuthor && !m_bAuthenticated && command != "CAPABILITIES" && command != "QUIT" &&
        !modeReader) {
        SendAndLog(kAuthRequired);
        return;
    }

    if (command == "CAPABILITIES") {
        // Only the status and dot lines are logged, as for every list.
        SendAndLog("101 Capability list:\r\n");
        std::string caps =
            "VERSION 2\r\nREADER\r\nPOST\r\n"
            "LIST ACTIVE NEWSGROUPS OVERVIEW.FMT\r\nOVER MSGID\r\nHDR\r\n";
        if (useAuthor && !m_bAuthenticated) caps += "AUTHINFO USER\r\n";
        SendText(caps);
        SendAndLog(".\r\n");
        return;
    }
    if (command == "MODE") {
        if (!modeReader) {
            SendAndLog(kSyntaxError);
            return;
        }
        bool mayPost = false;
        for (const auto& group : core.m_groups) mayPost = mayPost || CanPost(*group);
        SendAndLog(mayPost ? "200 Posting allowed\r\n" : "201 Posting prohibited\r\n");
        return;
    }
    if (command == "QUIT") {
        if (words.size() != 1) {
            SendAndLog(kSyntaxError);
            return;
        }
        SendAndLog(kGoodbye);
        MarkFinished();
        return;
    }
    if (command == "POST") {
        if (words.size() != 1) {
            SendAndLog(kSyntaxError);
            return;
        }
        m_bPostMode = 1;
        SendAndLog(kContinuePosting);
        return;
    }
    if (command == "DATE") {
        if (words.size() != 1) {
            SendAndLog(kSyntaxError);
            return;
        }
        time_t now = ::time(nullptr);
        struct tm tm {};
        gmtime_r(&now, &tm);
        SendAndLog(Format("111 %04d%02d%02d%02d%02d%02d\r\n", tm.tm_year + 1900, tm.tm_mon + 1,
                          tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec));
        return;
    }
    if (command == "HELP") {
        SendAndLog("100 Help text follows\r\n");
        SendText(
            "ARTICLE BODY CAPABILITIES DATE GROUP HDR HEAD HELP LAST LIST LISTGROUP MODE "
            "NEWGROUPS NEWNEWS NEXT OVER POST QUIT STAT XHDR XOVER\r\n");
        SendAndLog(".\r\n");
        return;
    }

    // Selects a group for GROUP and LISTGROUP; false (with the reply sent)
    // when it cannot, leaving the selection as it was.
    auto selectGroup = [&](const std::string& name) -> GroupEntry* {
        GroupEntry* group = core.FindGroup(name);
        if (!group) {
            SendAndLog(NoSuchGroup(name));
            return nullptr;
        }
        if (!CanRead(*group)) {
            SendAndLog(Denied(name));
            return nullptr;
        }
        m_pCurrentGroup = group;
        m_bArticleSelected = !group->articles.empty();
        m_nArticleNumber = m_bArticleSelected ? group->articles.front()->number : 0;
        for (const auto& a : group->articles)
            m_nArticleNumber = std::min(m_nArticleNumber, a->number);
        return group;
    };

    if (command == "GROUP") {
        if (words.size() != 2) {
            SendAndLog(kSyntaxError);
            return;
        }
        if (GroupEntry* group = selectGroup(words[1]))
            SendAndLog(Format("211 %d %d %d %s group selected!!\r\n", group->articleCount,
                              group->firstNumber, group->lastNumber, group->name.c_str()));
        return;
    }
    if (command == "LISTGROUP") {
        if (words.size() > 3) {
            SendAndLog(kSyntaxError);
            return;
        }
        // The range is checked first: a refused command selects nothing.
        int low = INT_MIN, high = INT_MAX;
        if (words.size() == 3 && !ParseRange(words[2], low, high)) {
            SendAndLog(kSyntaxError);
            return;
        }
        GroupEntry* group = nullptr;
        if (words.size() >= 2) {
            group = selectGroup(words[1]);
            if (!group) return;
        } else if (!m_pCurrentGroup) {
            SendAndLog(kNoGroupSelected);
            return;
        } else if (!CanRead(*m_pCurrentGroup)) {
            SendAndLog(kDeniedGroup);
            return;
        } else {
            group = selectGroup(m_pCurrentGroup->name) ? m_pCurrentGroup : nullptr;
            if (!group) return;
        }
        std::vector<int> numbers;
        for (const auto& a : group->articles)
            if (a->number >= low && a->number <= high) numbers.push_back(a->number);
        std::sort(numbers.begin(), numbers.end());
        SendAndLog(Format("211 %d %d %d %s list follows\r\n", group->articleCount,
                          group->firstNumber, group->lastNumber, group->name.c_str()));
        std::string lines;
        for (int n : numbers) lines += std::to_string(n) + "\r\n";
        if (!lines.empty()) SendText(lines);
        SendAndLog(".\r\n");
        return;
    }

    // Commands below work on the current group; these checks come first.
    auto needGroup = [&]() -> bool {
        if (!m_pCurrentGroup) {
            SendAndLog(kNoGroupSelected);
            return false;
        }
        return true;
    };

    if (command == "NEXT" || command == "LAST") {
        if (words.size() != 1) {
            SendAndLog(kSyntaxError);
            return;
        }
        if (!needGroup()) return;
        if (!CanRead(*m_pCurrentGroup)) {
            SendAndLog(kDeniedGroup);
            return;
        }
        if (!m_bArticleSelected) {
            SendAndLog(kNoCurrentArticle);
            return;
        }
        const ArticleEntry* best = nullptr;
        bool next = command == "NEXT";
        for (const auto& a : m_pCurrentGroup->articles) {
            bool beyond = next ? a->number > m_nArticleNumber : a->number < m_nArticleNumber;
            if (!beyond) continue;
            if (!best || (next ? a->number < best->number : a->number > best->number))
                best = a.get();
        }
        if (!best) {
            SendAndLog(next ? "421 No next article in this group\r\n"
                            : "422 No previous article in this group\r\n");
            return;
        }
        m_nArticleNumber = best->number;
        std::string_view id = best->MessageId();
        SendAndLog(Format("223 %d %.*s Article found\r\n", best->number,
                          static_cast<int>(id.size()), id.data()));
        return;
    }

    // Finds the article named by an optional argument: a Message-ID, a
    // number in the current group, or the current article. Sends the error
    // reply and returns false when there is none.
    auto findArticle = [&](const Words& w, size_t at, Found& found, bool byNumberSelects) -> bool {
        if (w.size() > at && !w[at].empty() && w[at][0] == '<') {
            const std::string& id = w[at];
            bool deniedSomewhere = false;
            for (const auto& group : core.m_groups) {
                const ArticleEntry* a = group->articles.FindMessageId(id);
                if (!a) continue;
                if (!CanRead(*group)) {
                    deniedSomewhere = true;
                    continue;
                }
                if (!found.entry || group.get() == m_pCurrentGroup) {
                    found.group = group.get();
                    found.entry = a;
                    found.number = group.get() == m_pCurrentGroup ? a->number : 0;
                }
                if (found.group == m_pCurrentGroup) break;
            }
            if (!found.entry) {
                SendAndLog(deniedSomewhere ? Denied(id) : NoSuchArticle(id));
                return false;
            }
            found.path = core.ArticlePath(*found.group, found.entry->number);
            found.size = ArticleFileSize(found.path);
            if (found.size < 0) {
                EraseEntry(*found.group, found.entry);
                SendAndLog(NoSuchArticle(id));
                return false;
            }
            return true;
        }
        if (!needGroup()) return false;
        if (!CanRead(*m_pCurrentGroup)) {
            SendAndLog(w.size() > at ? Denied(w[at]) : kDeniedGroup);
            return false;
        }
        int number;
        if (w.size() > at) {
            if (!AllDigits(w[at])) {
                SendAndLog(kSyntaxError);
                return false;
            }
            number = ToDecimal(w[at]);
        } else if (m_bArticleSelected) {
            number = m_nArticleNumber;
        } else {
            SendAndLog(kNoCurrentArticle);
            return false;
        }
        const char* missing = w.size() > at ? kNoSuchNumber : kNoCurrentArticle;
        ArticleEntry* entry = FindNumber(*m_pCurrentGroup, number);
        if (!entry) {
            SendAndLog(missing);
            return false;
        }
        found.group = m_pCurrentGroup;
        found.entry = entry;
        found.number = number;
        found.path = core.ArticlePath(*m_pCurrentGroup, number);
        found.size = ArticleFileSize(found.path);
        if (found.size < 0) {
            // Gone from disk: forget the entry so listings stop offering it.
            EraseEntry(*m_pCurrentGroup, entry);
            SendAndLog(missing);
            return false;
        }
        if (byNumberSelects) {
            m_bArticleSelected = 1;
            m_nArticleNumber = number;
        }
        return true;
    };

    if (command == "ARTICLE" || command == "HEAD" || command == "BODY" || command == "STAT") {
        if (words.size() > 2) {
            SendAndLog(kSyntaxError);
            return;
        }
        Found found;
        if (!findArticle(words, 1, found, true)) return;
        std::string id(found.entry->MessageId());
        if (command == "STAT") {
            SendAndLog(Format("223 %d %s Article exists\r\n", found.number, id.c_str()));
            return;
        }
        if (command == "ARTICLE") {
            SendAndLog(Format("220 %d %s Article retrieved, text follows!!\r\n", found.number,
                              id.c_str()));
            SendFile(found.path, 0, found.size);
            Log(".\r\n");
            return;
        }
        // The stored file is the header, a blank line, then the body with its
        // terminating line; HEAD and BODY send the two parts.
        std::string block = ReadHeaderBlock(found.path);
        size_t blank = block.find("\r\n\r\n");
        std::string head;
        int64_t bodyOffset;
        if (blank != std::string::npos) {
            head = block.substr(0, blank + 2);
            bodyOffset = static_cast<int64_t>(blank + 4);
        } else {
            head = block;
            if (head.size() >= 3 && head.compare(head.size() - 3, 3, ".\r\n") == 0)
                head.resize(head.size() - 3);
            bodyOffset = static_cast<int64_t>(head.size());
            if (!head.empty() && head.back() != '\n') head += "\r\n";
        }
        if (command == "HEAD") {
            SendAndLog(
                Format("221 %d %s Article retrieved, head follows\r\n", found.number, id.c_str()));
            SendText(head + ".\r\n");
        } else {
            SendAndLog(
                Format("222 %d %s Article retrieved, body follows\r\n", found.number, id.c_str()));
            SendFile(found.path, bodyOffset, found.size);
        }
        Log(".\r\n");
        return;
    }

    // OVER, XOVER, HDR and XHDR share their forms: a Message-ID, a range of
    // the current group, or nothing for the current article. `lineFor` makes
    // one data line from an article and the number to show.
    auto listArticles =
        [&](const Words& w, size_t at, const std::string& status,
            const std::function<std::string(const GroupEntry&, const ArticleEntry&, int)>&
                lineFor) {
            if (w.size() > at && w[at][0] == '<') {
                Found found;
                if (!findArticle(w, at, found, false)) return;
                SendAndLog(status);
                // As for retrieval: 0 unless the article is in the current group.
                SendText(lineFor(*found.group, *found.entry, found.number));
                SendAndLog(".\r\n");
                return;
            }
            if (!needGroup()) return;
            if (!CanRead(*m_pCurrentGroup)) {
                SendAndLog(kDeniedGroup);
                return;
            }
            int low, high;
            if (w.size() == at) {
                Found found;
                if (!findArticle(w, at, found, false)) return;
                low = high = found.number;
            } else if (!ParseRange(w[at], low, high)) {
                SendAndLog(kSyntaxError);
                return;
            }
            const auto& articles = m_pCurrentGroup->articles;
            auto inRange = [low, high](const ArticleList::Ptr& a) {
                return a->number >= low && a->number <= high;
            };
            if (std::none_of(articles.begin(), articles.end(), inRange)) {
                SendAndLog(kEmptyRange);
                return;
            }
            SendAndLog(status);
            std::string lines;
            lines.reserve(kOverviewBlock + 4096);
            for (const auto& a : articles) {
                if (!inRange(a)) continue;
                lines += lineFor(*m_pCurrentGroup, *a, a->number);
                QueueListing(lines, false);
            }
            QueueListing(lines, true);
            SendAndLog(".\r\n");
        };

    if (command == "OVER" || command == "XOVER") {
        if (words.size() > 2) {
            SendAndLog(kSyntaxError);
            return;
        }
        listArticles(words, 1, kOverviewFollows,
                     [](const GroupEntry&, const ArticleEntry& a, int number) {
                         return OverviewLine(a, number);
                     });
        return;
    }

    if (command == "HDR" || command == "XHDR") {
        if (words.size() < 2 || words.size() > 3) {
            SendAndLog(kSyntaxError);
            return;
        }
        std::string field = SjisUpper(words[1]);
        auto valueOf = [&](const GroupEntry& group, const ArticleEntry& a) -> std::string {
            if (field == "SUBJECT") return std::string(a.Subject());
            if (field == "FROM") return std::string(a.From());
            if (field == "DATE") return std::string(a.Date());
            if (field == "MESSAGE-ID") return std::string(a.MessageId());
            if (field == "REFERENCES") return std::string(a.References());
            if (field == "BYTES" || field == ":BYTES") return std::to_string(a.bytes);
            if (field == "LINES" || field == ":LINES") return std::to_string(a.lines);
            return HeaderValue(ReadHeaderBlock(core.ArticlePath(group, a.number)), words[1]);
        };
        listArticles(words, 2,
                     command == "HDR" ? "225 Headers follow\r\n" : "221 Header follows\r\n",
                     [&](const GroupEntry& group, const ArticleEntry& a, int number) {
                         return std::to_string(number) + " " + valueOf(group, a) + "\r\n";
                     });
        return;
    }

    if (command == "LIST") {
        std::string keyword = words.size() >= 2 ? SjisUpper(words[1]) : "ACTIVE";
        if (words.size() > 3 || (keyword == "OVERVIEW.FMT" && words.size() != 2)) {
            SendAndLog(kSyntaxError);
            return;
        }
        std::string pattern = words.size() == 3 ? words[2] : "*";
        if (keyword == "HEADERS") {
            // Any header can be asked for: those outside the overview are
            // read from the article files.
            if (words.size() == 3 && SjisUpper(words[2]) != "MSGID" &&
                SjisUpper(words[2]) != "RANGE") {
                SendAndLog(kSyntaxError);
                return;
            }
            SendAndLog("215 headers supported:\r\n");
            SendText(":\r\n:bytes\r\n:lines\r\n");
            SendAndLog(".\r\n");
            return;
        }
        if (keyword == "OVERVIEW.FMT") {
            SendAndLog(kOverviewFormat);
            return;
        }
        bool active = keyword == "ACTIVE";
        if (!active && keyword != "NEWSGROUPS") {
            SendAndLog(kSyntaxError);
            return;
        }
        SendAndLog(active ? kListFollows : "215 descriptions follow\r\n");
        std::string lines;
        for (const auto& group : core.m_groups) {
            if (!CanRead(*group) || !Wildmat(group->name, pattern)) continue;
            if (active)
                lines += Format("%s %d %d %s\r\n", group->name.c_str(), group->lastNumber,
                                group->firstNumber, CanPost(*group) ? "y" : "n");
            else
                lines += group->name + "\t" + group->note + "\r\n";
        }
        if (!lines.empty()) SendText(lines);
        SendAndLog(".\r\n");
        return;
    }

    if (command == "NEWGROUPS") {
        time_t since;
        if (!ParseDateTime(words, 1, since)) {
            SendAndLog(kSyntaxError);
            return;
        }
        SendAndLog("231 list of new newsgroups follows\r\n");
        std::string lines;
        for (const auto& group : core.m_groups) {
            time_t created;
            // Only a recorded creation time can say a group is new.
            if (!CanRead(*group) || !FileBirthTime(core.GroupDir(*group), created) ||
                created <= since)
                continue;
            lines += Format("%s %d %d %s\r\n", group->name.c_str(), group->lastNumber,
                            group->firstNumber, CanPost(*group) ? "y" : "n");
        }
        if (!lines.empty()) SendText(lines);
        SendAndLog(".\r\n");
        return;
    }

    if (command == "NEWNEWS") {
        time_t since;
        if (words.size() < 2 || !ParseDateTime(words, 2, since)) {
            SendAndLog(kSyntaxError);
            return;
        }
        SendAndLog("230 list of new articles by message-id follows\r\n");
        std::set<std::string, std::less<>> seen;
        std::string lines;
        for (const auto& group : core.m_groups) {
            if (!CanRead(*group) || !Wildmat(group->name, words[1])) continue;
            for (const auto& a : group->articles) {
                time_t written;
                std::string_view id = a->MessageId();
                if (id.empty() || seen.count(id) ||
                    !FileModTime(core.ArticlePath(*group, a->number), written) || written <= since)
                    continue;
                seen.emplace(id);
                lines += id;
                lines += "\r\n";
            }
        }
        if (!lines.empty()) SendText(lines);
        SendAndLog(".\r\n");
        return;
    }

    SendAndLog(kNotRecognized);
}
