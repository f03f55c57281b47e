// What the commands of both modes share: selecting a group, finding an
// article by number or by Message-ID (with the repair of an entry whose file
// has gone), and reading a range. Each returns an outcome; the modes map
// outcomes to their own reply texts.
#pragma once

#include <string_view>

#include "protocol/session.h"

// --- groups ---------------------------------------------------------------------

enum class GroupLookup {
    Readable,  // found, and the user may read it
    Missing,   // no configured group of that name
    Denied,    // found, but the user may not read it
};

// Finds the group `name` (exact bytes) and says whether it may be read;
// `group` receives it whenever it exists.
GroupLookup FindGroupFor(const CSession& session, std::string_view name, GroupEntry*& group);

// Answers a group that cannot be selected: 411 or 502, both modes alike.
void ReplyGroupRefused(CSession& session, GroupLookup outcome, std::string_view name);

// --- articles -------------------------------------------------------------------

enum class ArticleLookup {
    Found,
    NoGroupSelected,  // by number (or the current article) with no group selected
    GroupDenied,      // the current group may not be read
    NoSuchNumber,     // no entry of that number in the current group
    NoSuchMessageId,  // no group holds the Message-ID
    MessageIdDenied,  // only groups the user may not read hold it
    FileGone,         // the entry's file has gone; the entry has been dropped
};

struct FoundArticle {
    GroupEntry* group = nullptr;
    const ArticleEntry* entry = nullptr;
    ArticleFile file;  // set when Found
};

// The entry `number` of the current group and its file.
ArticleLookup FindByNumber(CSession& session, int number, FoundArticle& found);

// The article `messageId` in the first group, in settings-file order, that
// holds it and may be read; `prefer`, when it holds the article and may be
// read, wins over earlier groups. `lastHolder`, when given, receives the last
// group holding the Message-ID up to the one taken (the last of all when none
// may be read), or null when no group holds it.
ArticleLookup FindByMessageId(CSession& session, std::string_view messageId, GroupEntry* prefer,
                              FoundArticle& found, GroupEntry** lastHolder = nullptr);

// --- ranges -----------------------------------------------------------------------
// The two modes read a range differently on purpose. The classic mode
// converts its bounds as decimal numbers, so anything is a range of some
// sort ("x" is 0, "5" the fifth article only, "5-" up to the group's last
// number, "-5" everything up to 5). The reader mode takes only the standard's
// forms and refuses anything else as a syntax error before it looks at the
// group; its "N-" runs to the end of the numbers, not only to the group's
// last number, so an index lagging behind its directory hides nothing.

void ParseClassicRange(const std::string& word, const GroupEntry& group, int& low, int& high);

// "N", "N-" or "N-M" in digits; false for anything else.
bool ParseReaderRange(const std::string& word, int& low, int& high);

// Digits only, at least one.
bool AllDigits(std::string_view text);

// --- the reader mode's article argument ----------------------------------------------

// Finds the article a reader-mode command names: a Message-ID (preferring the
// current group), a number in the current group, or, without an argument
// (`argument` null), the current article. A malformed number is a syntax
// error before anything else is looked at. Sends the reply for every failure
// and returns false then. `number` receives the number to show: 0 for an
// article found by Message-ID outside the current group. With `select`, an
// article found by number becomes the current article.
bool FindReaderArticle(CSession& session, const std::string* argument, bool select,
                       FoundArticle& found, int& number);
