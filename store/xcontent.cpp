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
