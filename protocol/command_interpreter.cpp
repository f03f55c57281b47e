// The NNTP command interpreter: LIST, LIST OVERVIEW.FMT, GROUP, XOVER,
// ARTICLE, POST and QUIT; AUTHINFO is the gate's (access_control.cpp).
#include <climits>

#include "common/file_util.h"
#include "common/text.h"
#include "protocol/client_socket.h"
#include "protocol/replies.h"
#include "store/group_index.h"
#include "store/server_core.h"

using namespace replies;

const CClientSocket::CommandRow CClientSocket::kCommands[] = {
    {"LIST", 1, &CClientSocket::CmdList},       {"LIST", 2, &CClientSocket::CmdListOverviewFmt},
    {"GROUP", 2, &CClientSocket::CmdGroup},     {"XOVER", 2, &CClientSocket::CmdXover},
    {"ARTICLE", 2, &CClientSocket::CmdArticle}, {"POST", 1, &CClientSocket::CmdPost},
    {"QUIT", 1, &CClientSocket::CmdQuit},
};

void CClientSocket::ProcessCommand(const std::string& text) {
    std::vector<std::string> words;
    SplitFields(words, text, " \t\r\n");
    if (words.empty()) return;
    words[0] = SjisUpper(words[0]);

    // The password of AUTHINFO PASS never reaches the log.
    if (words.size() >= 2 && words[0] == "AUTHINFO" && SjisUpper(words[1]) == "PASS") {
        size_t at = SjisFind(text, words[1]);
        std::string shown = at == std::string::npos ? words[0] + " " + words[1]
                                                    : text.substr(0, at + words[1].size());
        Log(shown + " *****\r\n");
    } else {
        Log(text);
    }

    if (m_pOwner->m_bUseRfc3977) {
        ProcessReaderCommand(text, words);
        return;
    }
    if (m_pOwner->m_bUseAuthor && RunAuthGate(words)) return;

    for (const CommandRow& row : kCommands) {
        if (words[0] == row.name && words.size() == row.words && (this->*row.handler)(words))
            return;
    }
    SendAndLog(kNotRecognized);
}

bool CClientSocket::CmdList(const std::vector<std::string>&) {
    SendAndLog(kListFollows);
    for (const auto& group : m_pOwner->m_groups) {
        if (!CanRead(*group)) continue;
        SendText(Format("%s %d %d %s\r\n", group->name.c_str(), group->lastNumber,
                        group->firstNumber, CanPost(*group) ? "y" : "n"));
    }
    SendAndLog(".\r\n");
    return true;
}

bool CClientSocket::CmdListOverviewFmt(const std::vector<std::string>& words) {
    if (SjisUpper(words[1]) != "OVERVIEW.FMT") return false;
    SendAndLog(kOverviewFormat);
    return true;
}

bool CClientSocket::CmdGroup(const std::vector<std::string>& words) {
    m_pCurrentGroup = nullptr;
    GroupEntry* group = m_pOwner->FindGroup(words[1]);
    if (!group) {
        SendAndLog(NoSuchGroup(words[1]));
    } else if (!CanRead(*group)) {
        SendAndLog(Denied(words[1]));
    } else {
        m_pCurrentGroup = group;
        SendAndLog(Format("211 %d %d %d %s group selected!!\r\n", group->articleCount,
                          group->firstNumber, group->lastNumber, group->name.c_str()));
    }
    return true;
}

// The bounds of an XOVER range: "low-high"; a single number selects that
// article only; "N-" runs from N to the group's last number and "-M" from the
// start to M.
static void ParseRange(const std::string& word, const GroupEntry& group, int& low, int& high) {
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

bool CClientSocket::CmdXover(const std::vector<std::string>& words) {
    if (!m_pCurrentGroup) {
        SendAndLog(kNoGroupSelected);
        return true;
    }
    if (!CanRead(*m_pCurrentGroup)) {
        SendAndLog(kDeniedGroup);
        return true;
    }
    SendAndLog("224 Overview information follows!!\r\n");
    int low, high;
    ParseRange(words[1], *m_pCurrentGroup, low, high);
    std::string lines;
    lines.reserve(kOverviewBlock + 4096);
    for (const auto& a : m_pCurrentGroup->articles) {
        if (a->number < low || a->number > high) continue;
        AppendOverviewLine(lines, *a, a->number);
        QueueListing(lines, false);
    }
    QueueListing(lines, true);
    SendAndLog(".\r\n");
    return true;
}

bool CClientSocket::CmdArticle(const std::vector<std::string>& words) {
    const std::string& argument = words[1];
    m_pCurrentArticle = nullptr;
    std::string pending;
    if (argument[0] == '<') {
        for (const auto& group : m_pOwner->m_groups) {
            if (m_pCurrentArticle) break;
            ArticleEntry* entry = group->articles.FindMessageId(argument);
            if (!entry) continue;
            m_pCurrentGroup = group.get();
            if (CanRead(*group)) {
                m_pCurrentArticle = entry;
                // An article was taken after all: an earlier group's refusal
                // no longer applies.
                pending.clear();
            } else {
                pending = Denied(argument);
            }
        }
    } else if (!m_pCurrentGroup) {
        pending = kNoGroupSelected;
    } else if (!CanRead(*m_pCurrentGroup)) {
        pending = Denied(argument);
    } else {
        m_pCurrentArticle = m_pCurrentGroup->articles.FindNumber(ToDecimal(argument));
    }
    if (m_pCurrentArticle) {
        std::string path = m_pOwner->ArticlePath(*m_pCurrentGroup, m_pCurrentArticle->number);
        int64_t size = ArticleFileSize(path);
        if (size < 0) {
            // The file went away outside the server: forget the entry now, so
            // a later XOVER no longer offers it.
            auto& articles = m_pCurrentGroup->articles;
            articles.erase(articles.begin() +
                           static_cast<std::ptrdiff_t>(articles.PositionOf(m_pCurrentArticle)));
            m_pCurrentArticle = nullptr;
            pending = NoSuchArticle(argument);
        } else {
            std::string_view id = m_pCurrentArticle->MessageId();
            SendAndLog(Format("220 %d %.*s Article retrieved, text follows!!\r\n",
                              m_pCurrentArticle->number, static_cast<int>(id.size()), id.data()));
            SendFile(path, 0, size);
            Log(".\r\n");
        }
    } else if (pending.empty()) {
        pending = NoSuchArticle(argument);
    }
    if (!pending.empty()) SendAndLog(pending);
    return true;
}

bool CClientSocket::CmdPost(const std::vector<std::string>&) {
    m_bPostMode = 1;
    SendAndLog(kContinuePosting);
    return true;
}

bool CClientSocket::CmdQuit(const std::vector<std::string>&) {
    SendAndLog(kGoodbye);
    MarkFinished();
    return true;
}
