// The checks an article must pass before it is stored in the standard reader
// mode, posted by a newsreader or fed by a peer: the header rules of Netnews
// articles that other news servers enforce, so that nothing is accepted here
// that every peer would then refuse without the poster ever knowing.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "store/xcontent.h"

enum class ArticleSource {
    Posted,  // POST from a newsreader: the server adds Message-ID, Date and Path if missing
    Fed,     // offered by a peer: must arrive complete
};

// Why an article is refused. The checks run in this order; the first that
// fails decides.
enum class ArticleCheck {
    Ok,
    TooBig,            // fed: more than kMaxFedArticleBytes
    BadHeaderLine,     // a line of the header is no field (HeaderFields::badLine)
    DuplicateHeader,   // a field that may appear once appears again
    MissingHeader,     // a required field is absent or empty
    BadMessageId,      // Message-ID not of the form <left@right>
    BadDate,           // Date cannot be read
    DateInFuture,      // Date more than a day ahead of now
    DateTooOld,        // Date more than historyDays days before now
    BadInjectionDate,  // Injection-Date present but cannot be read
    BadExpires,        // Expires present but cannot be read
    BadFrom,           // From holds no address local@domain
    BadPath,           // Path not a list of names separated by "!"
    BadNewsgroups,     // Newsgroups not a comma-separated list of group names
    NoCarriedGroup,    // no group named in Newsgroups is carried here
    NotAllowedToPost,  // posted: a carried group the poster may not post to
    BadFollowupTo,     // posted: unreadable, or names a group not carried here
    NoBody,            // no blank line ends the header
    EmptyBody,         // posted: a body of nothing but blank lines, and no Control
};

struct ArticleVerdict {
    ArticleCheck result = ArticleCheck::Ok;
    std::string reason;     // the text that follows the status code of the reply
                            // (441 for a post, 437 or 439 for a fed article);
                            // empty when Ok
    bool remember = false;  // a fed article refused whose Message-ID is valid: to be
                            // remembered as refused, so no peer offers it again. A
                            // refused post is never remembered: the poster may send
                            // it again, corrected, under the same Message-ID.
};

// Answers a question about one group, given by name as written in the
// article.
using GroupPredicate = std::function<bool(std::string_view groupName)>;

struct ArticleCheckContext {
    ArticleSource source = ArticleSource::Posted;
    time_t now = 0;
    int historyDays = 10;       // how far back Date may lie, in days; 0 or less: any age
    uint64_t articleBytes = 0;  // the article's size as received, for the fed limit
    GroupPredicate isCarried;   // whether a group is carried here; must be set
    GroupPredicate mayPost;     // posted: whether the poster may post to a carried
                                // group; unset: to every one
};

constexpr uint64_t kMaxFedArticleBytes = 1000000;

// Checks an article whose header `header` was cut by ParseHeaderFields. The
// whole header and, for the body rules, at least the start of the body must
// have been parsed. Required fields: From, Newsgroups and Subject for a post
// (Message-ID, Date and Path are added by the server when missing), and
// Message-ID, From, Newsgroups, Subject, Date and Path for a fed article.
// Followup-To is checked for posts only: a peer's article may well name
// groups that this server does not carry. The predicates are called only
// for names that pass the syntax check.
ArticleVerdict CheckArticle(const HeaderFields& header, const ArticleCheckContext& context);

// Reads a date as mail and news write it: an optional day of the week
// (with or without its comma), the day, the month's English abbreviation in
// any letter case, a year of 2 digits (00-49 meaning 2000-2049, 50-99
// 1950-1999), 3 digits (plus 1900) or 4 digits, hours and minutes with
// optional seconds, and a zone: +hhmm or -hhmm, UT, UTC, GMT, the North
// American names EST, EDT, CST, CDT, MST, MDT, PST, PDT, or a single
// military letter (taken as +0000, as their meaning was never agreed on).
// Comments in parentheses and blanks between the parts are skipped.
// `seconds` receives the moment in seconds since 1970 UTC. False for
// anything else, including a day that the month does not have; `seconds`
// is then unchanged.
bool ParseArticleDate(std::string_view text, int64_t& seconds);

// Whether `id` is a Message-ID as Netnews requires: "<" id-left "@"
// id-right ">", at most 250 bytes, printable ASCII only; id-left a
// dot-atom or a quoted string, id-right a dot-atom or a bracketed literal.
// No blanks around it.
bool IsValidMessageId(std::string_view id);

// Whether a From value holds one or more mailboxes, each an address
// local@domain, alone ("a@example.org", comments allowed:
// "a@example.org (Alice)") or in angle brackets after a display name
// ("Alice <a@example.org>"). Display names are not judged beyond their
// quotes: newsreaders write all kinds, unquoted commas and raw 8-bit text
// included. The domain needs no dot (a local network's hosts rarely have
// one).
bool IsValidFrom(std::string_view value);

// Cuts a Newsgroups (or Followup-To) value into group names at commas,
// blanks around them allowed; empty elements are skipped. False, with
// `names` unspecified, when no name is left or a name holds a blank, a
// colon, a control byte or an empty component ("a..b", ".a", "a.").
bool SplitNewsgroups(std::string_view value, std::vector<std::string>& names);

// Whether a Path value is a list of names separated by "!" (blanks allowed
// after a "!"): letters, digits and ".-_:" only, the first and the last
// name not empty; an empty name between two "!" is allowed ("a!!b").
bool IsValidPath(std::string_view value);
