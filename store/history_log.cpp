#include "store/history_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kReadBlock = 1 << 20;

const char* const kStateNames[] = {"", "accepted", "refused", "gone"};

bool ParseTime(std::string_view text, time_t& out) {
    if (text.empty() || text.size() > 18) return false;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    out = static_cast<time_t>(value);
    return true;
}

}  // namespace

ssize_t PreadRetry(int fd, char* buffer, size_t size, uint64_t offset) {
    ssize_t n;
    do n = ::pread(fd, buffer, size, static_cast<off_t>(offset));
    while (n < 0 && errno == EINTR);
    return n;
}

bool ParseHistoryLine(std::string_view text, HistoryLine& out) {
    size_t tab1 = text.find('\t');
    if (tab1 == 0 || tab1 == std::string_view::npos || tab1 > CHistory::kMaxIdLength) return false;
    size_t tab2 = text.find('\t', tab1 + 1);
    if (tab2 == std::string_view::npos) return false;
    size_t tab3 = text.find('\t', tab2 + 1);
    if (tab3 == std::string_view::npos) return false;
    std::string_view state = text.substr(tab1 + 1, tab2 - tab1 - 1);
    out.state = HistoryState::Unknown;
    for (int i = 1; i < 4; ++i)
        if (state == kStateNames[i]) out.state = static_cast<HistoryState>(i);
    if (out.state == HistoryState::Unknown) return false;
    if (!ParseTime(text.substr(tab2 + 1, tab3 - tab2 - 1), out.arrived)) return false;
    if (!ParseTime(text.substr(tab3 + 1), out.changed)) return false;
    out.messageId = text.substr(0, tab1);
    return true;
}

std::string FormatHistoryLine(std::string_view messageId, HistoryState state, time_t arrived,
                              time_t changed) {
    std::string line;
    line.reserve(messageId.size() + kHistoryLineTail);
    line.append(messageId);
    line += '\t';
    line += kStateNames[static_cast<int>(state)];
    line += '\t';
    line += std::to_string(std::max<time_t>(arrived, 0));
    line += '\t';
    line += std::to_string(std::max<time_t>(changed, 0));
    line += '\n';
    return line;
}

bool ForEachHistoryLine(int fd, uint64_t from, uint64_t to,
                        const std::function<bool(uint64_t offset, std::string_view line)>& fn) {
    std::vector<char> buffer(kReadBlock);
    uint64_t blockStart = from;  // file offset of buffer[0]
    size_t filled = 0;
    bool skipping = false;  // inside a line too long for the buffer
    while (blockStart + filled < to) {
        size_t want = static_cast<size_t>(
            std::min<uint64_t>(buffer.size() - filled, to - blockStart - filled));
        ssize_t n = PreadRetry(fd, buffer.data() + filled, want, blockStart + filled);
        if (n <= 0) return false;
        filled += static_cast<size_t>(n);
        size_t start = 0;
        while (const void* lf = std::memchr(buffer.data() + start, '\n', filled - start)) {
            size_t end = static_cast<size_t>(static_cast<const char*>(lf) - buffer.data());
            if (!skipping &&
                !fn(blockStart + start, std::string_view(buffer.data() + start, end - start)))
                return false;
            skipping = false;
            start = end + 1;
        }
        if (start == 0 && filled == buffer.size()) {
            skipping = true;
            start = filled;
        }
        std::memmove(buffer.data(), buffer.data() + start, filled - start);
        blockStart += start;
        filled -= start;
    }
    return true;
}

int64_t RepairHistoryLog(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    char block[65536];
    uint64_t end = size;
    while (end > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(end, sizeof block));
        if (PreadRetry(fd, block, want, end - want) != static_cast<ssize_t>(want)) return -1;
        if (const void* lf = ::memrchr(block, '\n', want)) {
            end = end - want + static_cast<uint64_t>(static_cast<const char*>(lf) - block) + 1;
            break;
        }
        end -= want;
    }
    if (end != size && ::ftruncate(fd, static_cast<off_t>(end)) != 0) return -1;
    return static_cast<int64_t>(end);
}

bool HistoryLogView::ReadLine(uint64_t offset, std::string_view messageId,
                              HistoryLine& line) const {
    char buffer[CHistory::kMaxIdLength + kHistoryLineTail];
    if (offset >= size || messageId.size() > CHistory::kMaxIdLength) return false;
    size_t want =
        static_cast<size_t>(std::min<uint64_t>(messageId.size() + kHistoryLineTail, size - offset));
    ssize_t n = PreadRetry(fd, buffer, want, offset);
    if (n <= static_cast<ssize_t>(messageId.size())) return false;
    std::string_view text(buffer, static_cast<size_t>(n));
    if (text.compare(0, messageId.size(), messageId) != 0 || text[messageId.size()] != '\t')
        return false;
    size_t lf = text.find('\n');
    return lf != std::string_view::npos && ParseHistoryLine(text.substr(0, lf), line);
}
