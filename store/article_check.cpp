#include "store/article_check.h"

#include <cstring>

namespace {

constexpr int64_t kDay = 24 * 60 * 60;

// Fields that may appear at most once in an article.
constexpr const char* kOnceOnly[] = {
    "Date",           "From",       "Sender",       "Reply-To",     "Message-ID",
    "Subject",        "Newsgroups", "Path",         "Followup-To",  "Expires",
    "References",     "Control",    "Distribution", "Organization", "Injection-Date",
    "Injection-Info", "Lines",      "Supersedes",   "Approved",     "Xref",
};

constexpr const char* kRequiredPosted[] = {"From", "Newsgroups", "Subject"};
constexpr const char* kRequiredFed[] = {"Message-ID", "From", "Newsgroups",
                                        "Subject",    "Date", "Path"};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsAlpha(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

std::string_view Trim(std::string_view text) {
    size_t start = 0;
    while (start < text.size() && IsBlank(text[start])) ++start;
    size_t end = text.size();
    while (end > start && IsBlank(text[end - 1])) --end;
    return text.substr(start, end - start);
}

// The bytes an atom of a mail address may hold.
bool IsAtext(char c) {
    return IsAlpha(c) || IsDigit(c) || (c != '\0' && std::strchr("!#$%&'*+-/=?^_`{|}~", c));
}

// ------------------------------------------------------------------ dates

// Replaces every comment (nested, with backslash escapes) by a blank.
bool StripComments(std::string_view text, std::string& out) {
    int depth = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (depth > 0 && c == '\\') {
            ++i;
        } else if (c == '(') {
            if (depth++ == 0) out += ' ';
        } else if (c == ')') {
            if (depth-- == 0) return false;
        } else if (depth == 0) {
            out += c;
        }
    }
    return depth == 0;
}

// Reads the parts of a date one by one, blanks between them skipped.
class DateReader {
public:
    explicit DateReader(std::string_view text) : m_text(text) {}

    void SkipBlanks() {
        while (m_pos < m_text.size() && IsBlank(m_text[m_pos])) ++m_pos;
    }
    bool AtEnd() const { return m_pos == m_text.size(); }
    bool Take(char c) {
        if (m_pos < m_text.size() && m_text[m_pos] == c) {
            ++m_pos;
            return true;
        }
        return false;
    }
    std::string_view Word() {
        size_t start = m_pos;
        while (m_pos < m_text.size() && IsAlpha(m_text[m_pos])) ++m_pos;
        return m_text.substr(start, m_pos - start);
    }
    // A run of `minDigits` to `maxDigits` digits, and how many there were.
    bool Number(int minDigits, int maxDigits, int& value, int* digits = nullptr) {
        int count = 0;
        value = 0;
        while (m_pos < m_text.size() && IsDigit(m_text[m_pos])) {
            if (++count > maxDigits) return false;
            value = value * 10 + (m_text[m_pos++] - '0');
        }
        if (digits) *digits = count;
        return count >= minDigits;
    }

private:
    std::string_view m_text;
    size_t m_pos = 0;
};

int IndexOf(std::string_view word, const char* const* names, int count) {
    for (int i = 0; i < count; ++i)
        if (EqualsIgnoringCase(word, names[i])) return i;
    return -1;
}

// The zone's offset from UTC in minutes.
bool ReadZone(DateReader& reader, int& minutes) {
    bool minus = reader.Take('-');
    if (minus || reader.Take('+')) {
        int value;
        if (!reader.Number(4, 4, value) || value % 100 >= 60) return false;
        minutes = (value / 100 * 60 + value % 100) * (minus ? -1 : 1);
        return true;
    }
    struct Named {
        const char* name;
        int hours;
    };
    static const Named kZones[] = {{"UT", 0},   {"UTC", 0},  {"GMT", 0},  {"EST", -5},
                                   {"EDT", -4}, {"CST", -6}, {"CDT", -5}, {"MST", -7},
                                   {"MDT", -6}, {"PST", -8}, {"PDT", -7}};
    std::string_view word = reader.Word();
    for (const Named& zone : kZones) {
        if (EqualsIgnoringCase(word, zone.name)) {
            minutes = zone.hours * 60;
            return true;
        }
    }
    minutes = 0;
    return word.size() == 1 && Lower(word[0]) != 'j';
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int DaysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// ------------------------------------------------------------ addresses

// A quoted string starting at text[i] == '"'; `i` ends past its closing quote.
bool SkipQuoted(std::string_view text, size_t& i) {
    for (++i; i < text.size(); ++i) {
        if (text[i] == '\\')
            ++i;
        else if (text[i] == '"')
            return ++i, true;
    }
    return false;
}

bool IsDotAtom(std::string_view text) {
    if (text.empty() || text.front() == '.' || text.back() == '.') return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '.' ? text[i - 1] == '.' : !IsAtext(text[i])) return false;
    }
    return true;
}

bool IsQuotedString(std::string_view text) {
    size_t i = 0;
    return !text.empty() && text[0] == '"' && SkipQuoted(text, i) && i == text.size();
}

bool IsDomainLiteral(std::string_view text) {
    if (text.size() < 2 || text.front() != '[' || text.back() != ']') return false;
    for (size_t i = 1; i + 1 < text.size(); ++i) {
        char c = text[i];
        if (c == '\\')
            ++i;
        else if (c == '[' || c == ']' || static_cast<unsigned char>(c) < '!' || c == 0x7F)
            return false;
    }
    return true;
}

// local@domain, with the local part a dot-atom or quoted string and the
// domain a dot-atom or literal.
bool IsAddrSpec(std::string_view text) {
    size_t at = std::string_view::npos;
    if (!text.empty() && text[0] == '"') {
        size_t i = 0;
        if (!SkipQuoted(text, i) || i >= text.size() || text[i] != '@') return false;
        at = i;
    } else {
        at = text.rfind('@');
        if (at == std::string_view::npos || !IsDotAtom(text.substr(0, at))) return false;
    }
    std::string_view local = text.substr(0, at);
    std::string_view domain = text.substr(at + 1);
    return (local[0] != '"' || IsQuotedString(local)) &&
           (IsDotAtom(domain) || IsDomainLiteral(domain));
}

// Where `c` first stands outside quotes from `from` on, or npos.
size_t FindUnquoted(std::string_view text, char c, size_t from = 0) {
    for (size_t i = from; i < text.size();) {
        if (text[i] == '"') {
            if (!SkipQuoted(text, i)) return std::string_view::npos;
        } else if (text[i] == c) {
            return i;
        } else {
            ++i;
        }
    }
    return std::string_view::npos;
}

// One mailbox, its comments already removed.
bool IsMailbox(std::string_view box) {
    box = Trim(box);
    size_t open = FindUnquoted(box, '<');
    if (open == std::string_view::npos) return IsAddrSpec(box);
    size_t close = FindUnquoted(box, '>', open);
    if (close == std::string_view::npos || !Trim(box.substr(close + 1)).empty()) return false;
    std::string_view name = box.substr(0, open);
    size_t quote = 0;
    // The display name's quotes must close; what they hold is not judged.
    while ((quote = name.find('"', quote)) != std::string_view::npos)
        if (!SkipQuoted(name, quote)) return false;
    return IsAddrSpec(Trim(box.substr(open + 1, close - open - 1)));
}

// Replaces every comment outside quoted strings by a blank.
bool StripAddressComments(std::string_view text, std::string& out) {
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c == '"') {
            size_t start = i;
            if (!SkipQuoted(text, i)) return false;
            out.append(text.substr(start, i - start));
        } else if (c == '(') {
            int depth = 0;
            for (; i < text.size(); ++i) {
                if (text[i] == '\\')
                    ++i;
                else if (text[i] == '(')
                    ++depth;
                else if (text[i] == ')' && --depth == 0)
                    break;
            }
            if (i >= text.size()) return false;
            ++i;
            out += ' ';
        } else if (c == ')') {
            return false;
        } else {
            out += c;
            ++i;
        }
    }
    return true;
}

// ------------------------------------------------------------- reasons

// A header value quoted in a reason: one line, not too long.
std::string Quote(std::string_view value) {
    constexpr size_t kMax = 80;
    std::string out;
    for (char c : value.substr(0, kMax)) {
        unsigned char u = static_cast<unsigned char>(c);
        out += u < ' ' || u == 0x7F ? '?' : c;
    }
    if (value.size() > kMax) out += "...";
    return out;
}

// The reason texts, worded as other news servers word them, so that a
// newsreader's user or a peer's operator recognises them: a post's in the
// style of a reader server, a fed article's in that of a transit server.
std::string Reason(ArticleCheck check, bool posted, const std::string& detail) {
    switch (check) {
        case ArticleCheck::Ok: return std::string();
        case ArticleCheck::TooBig:
            return "Article of " + detail + " bytes exceeds local limit of " +
                   std::to_string(kMaxFedArticleBytes) + " bytes";
        case ArticleCheck::BadHeaderLine: return "Invalid header line \"" + detail + "\"";
        case ArticleCheck::DuplicateHeader:
            return posted ? "Duplicate " + detail + ": header"
                          : "Duplicate \"" + detail + "\" header";
        case ArticleCheck::MissingHeader:
            return posted ? "Missing required " + detail + ": header"
                          : "Missing \"" + detail + "\" header";
        case ArticleCheck::BadMessageId:
            return posted ? "Can't parse Message-ID: header" : "Bad \"Message-ID\" header";
        case ArticleCheck::BadDate:
            return posted ? "Can't parse Date: header"
                          : "Bad \"Date\" header -- \"" + detail + "\"";
        case ArticleCheck::DateInFuture:
            return posted ? "Article posted in the future"
                          : "Article posted in the future -- \"" + detail + "\"";
        case ArticleCheck::DateTooOld:
            return posted ? "Article posted too far in the past" : "Too old -- \"" + detail + "\"";
        case ArticleCheck::BadInjectionDate:
            return posted ? "Can't parse Injection-Date: header" : "Bad \"Injection-Date\" header";
        case ArticleCheck::BadExpires:
            return posted ? "Can't parse Expires: header" : "Bad \"Expires\" header";
        case ArticleCheck::BadFrom:
            return posted ? "From: address not in Internet syntax" : "Bad \"From\" header";
        case ArticleCheck::BadPath:
            return posted ? "Can't parse Path: header" : "Bad \"Path\" header";
        case ArticleCheck::BadNewsgroups:
            return posted ? "Can't parse Newsgroups: header"
                          : "Unwanted character in \"Newsgroups\" header";
        case ArticleCheck::NoCarriedGroup:
            return posted ? "No valid newsgroups in \"" + detail + "\""
                          : "Unwanted newsgroup \"" + detail + "\"";
        case ArticleCheck::NotAllowedToPost: return "You are not allowed to post to " + detail;
        case ArticleCheck::BadFollowupTo:
            return detail.empty() ? "Can't parse Followup-To: header"
                                  : "Unknown newsgroup \"" + detail + "\" in Followup-To: header";
        case ArticleCheck::NoBody:
            return posted ? "Article has no body -- just headers" : "No body";
        case ArticleCheck::EmptyBody: return "Article is empty";
    }
    return std::string();
}

// ------------------------------------------------------------- the rules

// Each rule returns Ok or the refusal, with `detail` for its reason text.

ArticleCheck CheckFieldCounts(const HeaderFields& header, bool posted, std::string& detail) {
    constexpr size_t kOnceCount = std::size(kOnceOnly);
    int seen[kOnceCount] = {};
    for (const HeaderField& field : header.fields) {
        for (size_t i = 0; i < kOnceCount; ++i) {
            if (EqualsIgnoringCase(field.name, kOnceOnly[i]) && ++seen[i] == 2) {
                detail = kOnceOnly[i];
                return ArticleCheck::DuplicateHeader;
            }
        }
    }
    auto missing = [&](const char* name) {
        const std::string* value = header.Find(name);
        return value == nullptr || value->empty();
    };
    if (posted) {
        for (const char* name : kRequiredPosted)
            if (missing(name)) return detail = name, ArticleCheck::MissingHeader;
    } else {
        for (const char* name : kRequiredFed)
            if (missing(name)) return detail = name, ArticleCheck::MissingHeader;
    }
    return ArticleCheck::Ok;
}

ArticleCheck CheckDates(const HeaderFields& header, const ArticleCheckContext& context,
                        std::string& detail) {
    int64_t when = 0;
    // A Date present but empty is refused rather than taken as missing: the
    // server would add a second one.
    if (const std::string* date = header.Find("Date")) {
        detail = Quote(*date);
        if (!ParseArticleDate(*date, when)) return ArticleCheck::BadDate;
        int64_t now = static_cast<int64_t>(context.now);
        if (when > now + kDay) return ArticleCheck::DateInFuture;
        if (context.historyDays > 0 && when < now - int64_t{context.historyDays} * kDay)
            return ArticleCheck::DateTooOld;
    }
    if (const std::string* value = header.Find("Injection-Date");
        value && !ParseArticleDate(*value, when))
        return ArticleCheck::BadInjectionDate;
    if (const std::string* value = header.Find("Expires"); value && !ParseArticleDate(*value, when))
        return ArticleCheck::BadExpires;
    return ArticleCheck::Ok;
}

ArticleCheck CheckGroups(const HeaderFields& header, const ArticleCheckContext& context,
                         std::string& detail) {
    const bool posted = context.source == ArticleSource::Posted;
    const std::string& newsgroups = *header.Find("Newsgroups");  // required, so present
    std::vector<std::string> names;
    if (!SplitNewsgroups(newsgroups, names)) return ArticleCheck::BadNewsgroups;
    bool anyCarried = false;
    for (const std::string& name : names) {
        if (!context.isCarried(name)) continue;
        anyCarried = true;
        if (posted && context.mayPost && !context.mayPost(name)) {
            detail = Quote(name);
            return ArticleCheck::NotAllowedToPost;
        }
    }
    if (!anyCarried) {
        detail = Quote(posted ? newsgroups : names.front());
        return ArticleCheck::NoCarriedGroup;
    }
    const std::string* followupTo = header.Find("Followup-To");
    if (!posted || !followupTo || *followupTo == "poster") return ArticleCheck::Ok;
    if (!SplitNewsgroups(*followupTo, names)) return ArticleCheck::BadFollowupTo;
    for (const std::string& name : names) {
        if (!context.isCarried(name)) {
            detail = Quote(name);
            return ArticleCheck::BadFollowupTo;
        }
    }
    return ArticleCheck::Ok;
}

ArticleCheck RunChecks(const HeaderFields& header, const ArticleCheckContext& context,
                       std::string& detail) {
    const bool posted = context.source == ArticleSource::Posted;
    if (!posted && context.articleBytes > kMaxFedArticleBytes) {
        detail = std::to_string(context.articleBytes);
        return ArticleCheck::TooBig;
    }
    if (!header.badLine.empty()) {
        detail = Quote(header.badLine);
        return ArticleCheck::BadHeaderLine;
    }
    ArticleCheck result = CheckFieldCounts(header, posted, detail);
    if (result != ArticleCheck::Ok) return result;
    if (const std::string* id = header.Find("Message-ID"); id && !IsValidMessageId(*id))
        return ArticleCheck::BadMessageId;
    result = CheckDates(header, context, detail);
    if (result != ArticleCheck::Ok) return result;
    if (!IsValidFrom(*header.Find("From"))) return ArticleCheck::BadFrom;
    if (const std::string* path = header.Find("Path"); path && !IsValidPath(*path))
        return ArticleCheck::BadPath;
    result = CheckGroups(header, context, detail);
    if (result != ArticleCheck::Ok) return result;
    if (!header.ended) return ArticleCheck::NoBody;
    if (posted && header.bodyEmpty && !header.Find("Control")) return ArticleCheck::EmptyBody;
    return ArticleCheck::Ok;
}

}  // namespace

ArticleVerdict CheckArticle(const HeaderFields& header, const ArticleCheckContext& context) {
    const bool posted = context.source == ArticleSource::Posted;
    ArticleVerdict verdict;
    std::string detail;
    verdict.result = RunChecks(header, context, detail);
    if (verdict.result == ArticleCheck::Ok) return verdict;
    verdict.reason = Reason(verdict.result, posted, detail);
    // Only a Message-ID that names the article without doubt can be
    // remembered.
    const std::string* id = header.Find("Message-ID");
    verdict.remember = !posted && id && header.Count("Message-ID") == 1 && IsValidMessageId(*id);
    return verdict;
}

bool ParseArticleDate(std::string_view text, int64_t& seconds) {
    static const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::string clean;
    if (!StripComments(text, clean)) return false;
    DateReader reader(clean);
    reader.SkipBlanks();
    std::string_view weekday = reader.Word();
    if (!weekday.empty()) {
        if (IndexOf(weekday, kDays, 7) < 0) return false;
        reader.SkipBlanks();
        reader.Take(',');
        reader.SkipBlanks();
    }
    int day, year, yearDigits, hour, minute, second = 0, zone;
    if (!reader.Number(1, 2, day)) return false;
    reader.SkipBlanks();
    int month = IndexOf(reader.Word(), kMonths, 12) + 1;
    reader.SkipBlanks();
    if (month == 0 || !reader.Number(2, 4, year, &yearDigits)) return false;
    if (yearDigits == 2) year += year < 50 ? 2000 : 1900;
    if (yearDigits == 3) year += 1900;
    reader.SkipBlanks();
    if (!reader.Number(1, 2, hour)) return false;
    reader.SkipBlanks();
    if (!reader.Take(':')) return false;
    reader.SkipBlanks();
    if (!reader.Number(2, 2, minute)) return false;
    reader.SkipBlanks();
    if (reader.Take(':')) {
        reader.SkipBlanks();
        if (!reader.Number(2, 2, second)) return false;
        reader.SkipBlanks();
    }
    if (!ReadZone(reader, zone)) return false;
    reader.SkipBlanks();
    if (!reader.AtEnd() || year < 1900 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 60)
        return false;
    seconds = DaysFromCivil(year, month, day) * kDay + hour * 3600 + minute * 60 + second -
              int64_t{zone} * 60;
    return true;
}

bool IsValidMessageId(std::string_view id) {
    if (id.size() < 5 || id.size() > 250 || id.front() != '<' || id.back() != '>') return false;
    for (char c : id)
        if (c < '!' || c > '~') return false;
    std::string_view inner = id.substr(1, id.size() - 2);
    size_t at;
    if (inner[0] == '"') {
        // No '>' inside, even quoted: the Message-ID ends at the first one.
        at = 0;
        if (!SkipQuoted(inner, at) || at >= inner.size() || inner[at] != '@') return false;
        if (inner.substr(0, at).find('>') != std::string_view::npos) return false;
    } else {
        at = inner.find('@');
        if (at == std::string_view::npos || !IsDotAtom(inner.substr(0, at))) return false;
    }
    std::string_view right = inner.substr(at + 1);
    if (IsDotAtom(right)) return true;
    return IsDomainLiteral(right) && right.find('>') == std::string_view::npos;
}

bool IsValidFrom(std::string_view value) {
    std::string clean;
    if (!StripAddressComments(value, clean)) return false;
    std::string_view text = Trim(clean);
    if (text.empty()) return false;
    // Mailboxes are separated by commas outside quotes and angle brackets.
    std::vector<std::string_view> boxes;
    size_t start = 0;
    int angles = 0;
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c == '"') {
            if (!SkipQuoted(text, i)) return false;
            continue;
        }
        if (c == '<') ++angles;
        if (c == '>') --angles;
        if (c == ',' && angles == 0) {
            boxes.push_back(text.substr(start, i - start));
            start = i + 1;
        }
        ++i;
    }
    boxes.push_back(text.substr(start));
    bool listOk = true;
    for (std::string_view box : boxes) listOk = listOk && IsMailbox(box);
    // Failing a list, one mailbox whose display name holds unquoted commas,
    // as some newsreaders write it.
    return listOk || (boxes.size() > 1 && IsMailbox(text));
}

bool SplitNewsgroups(std::string_view value, std::vector<std::string>& names) {
    names.clear();
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = value.find(',', start);
        if (comma == std::string_view::npos) comma = value.size();
        std::string_view name = Trim(value.substr(start, comma - start));
        start = comma + 1;
        if (name.empty()) continue;
        if (name.front() == '.' || name.back() == '.' || name.find("..") != std::string_view::npos)
            return false;
        for (char c : name) {
            unsigned char u = static_cast<unsigned char>(c);
            if (u <= ' ' || u == 0x7F || c == ':') return false;
        }
        names.emplace_back(name);
    }
    return !names.empty();
}

bool IsValidPath(std::string_view value) {
    size_t start = 0;
    for (bool first = true;; first = false) {
        size_t bang = value.find('!', start);
        bool last = bang == std::string_view::npos;
        std::string_view name =
            Trim(value.substr(start, last ? std::string_view::npos : bang - start));
        if (name.empty() && (first || last)) return false;
        for (char c : name)
            if (!IsAlpha(c) && !IsDigit(c) && c != '.' && c != '-' && c != '_' && c != ':')
                return false;
        if (last) return true;
        start = bang + 1;
    }
}
