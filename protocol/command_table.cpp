#include "protocol/command_table.h"

#include <cstring>

#include "common/text.h"
#include "protocol/handlers.h"

namespace {

const CommandRow kClassicRows[] = {
    {"AUTHINFO", nullptr, ClassicAuthinfo, 2, 2, Gate::Logins},
    {"LIST", nullptr, ClassicList, 0, 0, Gate::Login},
    {"LIST", "OVERVIEW.FMT", ListOverviewFmt, 1, 1, Gate::Login},
    {"GROUP", nullptr, ClassicGroup, 1, 1, Gate::Login},
    {"XOVER", nullptr, ClassicXover, 1, 1, Gate::Login},
    {"ARTICLE", nullptr, ClassicArticle, 1, 1, Gate::Login},
    {"POST", nullptr, Post, 0, 0, Gate::Login},
    {"QUIT", nullptr, ClassicQuit, 0, 0, Gate::Open},
};

// Rows with a keyword come before the row of the same name without one,
// which takes every other form.
const CommandRow kReaderRows[] = {
    {"AUTHINFO", nullptr, ReaderAuthinfo, 2, 2, Gate::Logins},
    {"CAPABILITIES", nullptr, ReaderCapabilities, 0, kAnyCount, Gate::Open},
    {"MODE", "READER", ReaderModeReader, 1, 1, Gate::Open},
    {"MODE", "STREAM", FeedModeStream, 1, 1, Gate::Feed},
    {"MODE", nullptr, ReaderSyntaxError, 0, kAnyCount, Gate::Login},
    {"QUIT", nullptr, ReaderQuit, 0, 0, Gate::Open},
    {"STARTTLS", nullptr, ReaderStartTls, 0, 0, Gate::Tls},
    {"DATE", nullptr, ReaderDate, 0, 0, Gate::Login},
    {"HELP", nullptr, ReaderHelp, 0, kAnyCount, Gate::Login},
    {"GROUP", nullptr, ReaderGroup, 1, 1, Gate::Login},
    {"LISTGROUP", nullptr, ReaderListGroup, 0, 2, Gate::Login},
    {"NEXT", nullptr, ReaderNext, 0, 0, Gate::Login},
    {"LAST", nullptr, ReaderLast, 0, 0, Gate::Login},
    {"ARTICLE", nullptr, ReaderArticle, 0, 1, Gate::Login},
    {"HEAD", nullptr, ReaderHead, 0, 1, Gate::Login},
    {"BODY", nullptr, ReaderBody, 0, 1, Gate::Login},
    {"STAT", nullptr, ReaderStat, 0, 1, Gate::Login},
    {"OVER", nullptr, ReaderOver, 0, 1, Gate::Login},
    {"XOVER", nullptr, ReaderOver, 0, 1, Gate::Login},
    {"HDR", nullptr, ReaderHdr, 1, 2, Gate::Login},
    {"XHDR", nullptr, ReaderHdr, 1, 2, Gate::Login},
    {"LIST", "ACTIVE", ReaderListActive, 1, 2, Gate::Login},
    {"LIST", "NEWSGROUPS", ReaderListNewsgroups, 1, 2, Gate::Login},
    {"LIST", "OVERVIEW.FMT", ListOverviewFmt, 1, 1, Gate::Login},
    {"LIST", "HEADERS", ReaderListHeaders, 1, 2, Gate::Login},
    {"LIST", nullptr, ReaderListActive, 0, 0, Gate::Login},
    {"NEWGROUPS", nullptr, ReaderNewGroups, 2, 3, Gate::Login},
    {"NEWNEWS", nullptr, ReaderNewNews, 3, 4, Gate::Login},
    {"POST", nullptr, Post, 0, 0, Gate::Login},
    {"IHAVE", nullptr, FeedIhave, 1, 1, Gate::Feed},
    {"CHECK", nullptr, FeedCheck, 1, 1, Gate::Feed},
    {"TAKETHIS", nullptr, FeedTakeThis, 1, 1, Gate::Feed},
};

bool Matches(const CommandRow& row, const Words& words) {
    if (words[0] != row.name) return false;
    return !row.keyword || (words.size() >= 2 && SjisUpper(words[1]) == row.keyword);
}

}  // namespace

const CommandTable kClassicCommands = {kClassicRows, std::size(kClassicRows), true};
const CommandTable kReaderCommands = {kReaderRows, std::size(kReaderRows), false};

const CommandRow* FindCommand(const CommandTable& table, const Words& words, bool loginsOn,
                              bool tlsAvailable) {
    const int args = static_cast<int>(words.size()) - 1;
    for (size_t i = 0; i < table.count; ++i) {
        const CommandRow& row = table.rows[i];
        if (row.gate == Gate::Logins && !loginsOn) continue;
        if (row.gate == Gate::Tls && !tlsAvailable) continue;
        if (!Matches(row, words)) continue;
        if (table.countSelectsRow && (args < row.minArgs || args > row.maxArgs)) continue;
        return &row;
    }
    return nullptr;
}
