#include "store/xcontent.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/text.h"

namespace {

struct HeaderName {
    const char* name;
    size_t length;
};

// The position in this table is what the parser remembers as the current
// header; 7 and 8 are the numeric ones.
constexpr HeaderName kHeaderNames[] = {
    {"Date:", 5},    {"From:", 5},        {"Subject:", 8}, {"Newsgroups:", 11}, {"References:", 11},
    {"Control:", 8}, {"Message-ID:", 11}, {"Bytes:", 6},   {"Lines:", 6},
};
constexpr int kNoHeader = -1;
constexpr int kFirstNumeric = 7;

}  // namespace

void XContent::Clear() {
    subject.clear();
    newsgroups.clear();
    from.clear();
    date.clear();
    messageId.clear();
    references.clear();
    bytes = 0;
    lines = 0;
    control.clear();
}

void XContent::ParseHeader(const std::string& text) {
    Clear();
    std::string* stringFields[] = {&date,       &from,    &subject,  &newsgroups,
                                   &references, &control, &messageId};
    int current = kNoHeader;
    size_t start = 0;
    for (;;) {
        size_t lf = text.find('\n', start);
        if (lf == std::string::npos) break;  // a last line without its LF is ignored
        std::string_view line(text.data() + start, lf + 1 - start);
        start = lf + 1;
        if (line == "\r\n") break;
        int match = kNoHeader;
        for (int i = 0; i < static_cast<int>(std::size(kHeaderNames)); ++i) {
            if (line.compare(0, kHeaderNames[i].length, kHeaderNames[i].name) == 0) {
                match = i;
                break;
            }
        }
        if (match != kNoHeader) {
            std::string_view value = line.substr(kHeaderNames[match].length);
            if (match == kFirstNumeric)
                bytes = ToDecimal(value);
            else if (match == kFirstNumeric + 1)
                lines = ToDecimal(value);
            else
                stringFields[match]->assign(value);
            current = match;
        } else if (current != kNoHeader && (line[0] == ' ' || line[0] == '\t')) {
            if (current < kFirstNumeric) stringFields[current]->append(line);
        } else {
            current = kNoHeader;
        }
    }
    for (std::string* field : stringFields) {
        *field = SjisTrim(*field);
        NormalizeValue(*field);
    }
}

void NormalizeValue(std::string& value) {
    size_t out = 0;
    for (char c : value) {
        if (c == '\r') continue;
        value[out++] = (c == '\n' || c == '\t') ? ' ' : c;
    }
    value.resize(out);
}

std::string ReadHeaderBlockWith(
    const std::function<ssize_t(char* buffer, size_t size, int64_t offset)>& readAt) {
    std::string result;
    char block[1000];
    int64_t offset = 0;
    for (;;) {
        ssize_t n = readAt(block, sizeof block, offset);
        if (n <= 0) break;
        offset += n;
        size_t added = strnlen(block, static_cast<size_t>(n));
        result.append(block, added);
        // Only the tail that this block could have completed needs looking at.
        size_t from = result.size() > added + 3 ? result.size() - added - 3 : 0;
        if (result.find("\r\n\r\n", from) != std::string::npos) break;
    }
    return result;
}

std::string ReadHeaderBlockFrom(int fd) {
    return ReadHeaderBlockWith([fd](char* buffer, size_t size, int64_t offset) {
        ssize_t n;
        do n = ::pread(fd, buffer, size, static_cast<off_t>(offset));
        while (n < 0 && errno == EINTR);
        return n;
    });
}

std::string ReadHeaderBlock(const std::string& path) {
    int fd;
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::string();
    std::string result = ReadHeaderBlockFrom(fd);
    ::close(fd);
    return result;
}

int64_t SplitHeaderBlock(const std::string& block, std::string& head) {
    size_t blank = block.find("\r\n\r\n");
    if (blank != std::string::npos) {
        head = block.substr(0, blank + 2);
        return static_cast<int64_t>(blank + 4);
    }
    head = block;
    if (head.size() >= 3 && head.compare(head.size() - 3, 3, ".\r\n") == 0)
        head.resize(head.size() - 3);
    int64_t bodyOffset = static_cast<int64_t>(head.size());
    if (!head.empty() && head.back() != '\n') head += "\r\n";
    return bodyOffset;
}

std::string HeaderValueOf(const std::string& block, std::string_view name) {
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

namespace {

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
        if (x != y) return false;
    }
    return true;
}

std::string_view TrimBlanks(std::string_view text) {
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos) return std::string_view();
    return text.substr(start, text.find_last_not_of(" \t") - start + 1);
}

// A header line (its line end already removed) that still holds a NUL or a
// CR would not survive being sent on: every peer reads a CR as a line end.
bool HasForbiddenByte(std::string_view line) {
    return line.find('\0') != std::string_view::npos || line.find('\r') != std::string_view::npos;
}

bool IsFieldName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name)
        if (c < '!' || c > '~') return false;
    return true;
}

// Whether a body holds nothing but blanks and line ends, its last line "."
// (the terminating line) aside.
bool IsBlankBody(std::string_view body) {
    size_t start = 0;
    while (start < body.size()) {
        size_t lf = body.find('\n', start);
        size_t end = lf == std::string_view::npos ? body.size() : lf;
        std::string_view line = body.substr(start, end - start);
        start = end + 1;
        if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
        if (start >= body.size() && (line == "." || line == ".\r")) continue;
        return false;
    }
    return true;
}

}  // namespace

const std::string* HeaderFields::Find(std::string_view name) const {
    for (const HeaderField& field : fields)
        if (SameNameIgnoringCase(field.name, name)) return &field.value;
    return nullptr;
}

int HeaderFields::Count(std::string_view name) const {
    int count = 0;
    for (const HeaderField& field : fields)
        if (SameNameIgnoringCase(field.name, name)) ++count;
    return count;
}

void ParseHeaderFields(std::string_view text, HeaderFields& out) {
    out = HeaderFields();
    bool inField = false;  // continuation lines extend the last field
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        size_t end = lf == std::string_view::npos ? text.size() : lf;
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) {
            out.ended = lf != std::string_view::npos;
            break;
        }
        bool continuation = line[0] == ' ' || line[0] == '\t';
        size_t colon = line.find(':');
        bool good =
            !HasForbiddenByte(line) &&
            (continuation ? inField
                          : colon != std::string_view::npos && IsFieldName(line.substr(0, colon)) &&
                                (colon + 1 == line.size() || line[colon + 1] == ' ' ||
                                 line[colon + 1] == '\t'));
        if (!good) {
            if (out.badLine.empty()) out.badLine.assign(line);
            inField = false;
        } else if (continuation) {
            out.fields.back().value.append(line);  // unfolding keeps the blank
        } else {
            out.fields.push_back(
                {std::string(line.substr(0, colon)), std::string(line.substr(colon + 1))});
            inField = true;
        }
    }
    for (HeaderField& field : out.fields) field.value = std::string(TrimBlanks(field.value));
    out.bodyOffset = out.ended && start < text.size() ? start : text.size();
    out.bodyEmpty = IsBlankBody(text.substr(out.bodyOffset));
}

std::string WithoutHeaderField(std::string_view header, std::string_view name) {
    std::string out;
    bool dropping = false;
    size_t start = 0;
    while (start < header.size()) {
        size_t lf = header.find('\n', start);
        size_t end = lf == std::string_view::npos ? header.size() : lf + 1;
        std::string_view line = header.substr(start, end - start);
        start = end;
        bool continuation = !line.empty() && (line[0] == ' ' || line[0] == '\t');
        if (!continuation) {
            size_t colon = line.find(':');
            dropping = colon != std::string_view::npos &&
                       SameNameIgnoringCase(line.substr(0, colon), name);
        }
        if (!dropping) out.append(line);
    }
    return out;
}
