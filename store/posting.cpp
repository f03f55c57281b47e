#include "store/posting.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/date_key.h"
#include "common/file_util.h"
#include "common/text.h"
#include "store/cancel.h"

std::string StagingPath(const CServerCore& core, const GroupEntry& group) {
    return core.GroupDir(group) + "/" + kStagingName;
}

namespace {

uint16_t s_nMessageIdCounter = 0;
// Whether article files can be written without a name and linked in whole.
bool s_bUnnamedFiles = true;
uint32_t s_nRandomSeed = 1;

// The C library's classic generator, kept here so the counter's start is a
// number from 0 to 32767 whatever the platform's rand() is.
int NextRandom() {
    s_nRandomSeed = s_nRandomSeed * 214013u + 2531011u;
    return static_cast<int>((s_nRandomSeed >> 16) & 0x7fff);
}

std::vector<GroupEntry*> FindTargetGroups(CServerCore& core, const CanPostFn& canPost,
                                          const std::string& newsgroups) {
    std::vector<GroupEntry*> targets;
    std::vector<std::string> names;
    SplitFields(names, newsgroups, ",\r\n");
    for (const std::string& raw : names) {
        GroupEntry* group = core.FindGroup(SjisTrim(raw));
        if (group && canPost(*group)) targets.push_back(group);
    }
    return targets;
}

// Gives the finished staging file its article number: the first free one
// from `number` on, so a file that is already there (an index lagging behind
// its directory) is never overwritten. A hard link claims the name only if
// it is free; a file system without links gets a rename that refuses to
// replace. False when no name could be given.
bool PublishArticle(const CServerCore& core, const GroupEntry& group, const std::string& staged,
                    int& number) {
    for (;;) {
        std::string path = core.ArticlePath(group, number);
        int rc = ::link(staged.c_str(), path.c_str());
        if (rc != 0 && errno != EEXIST && errno != EINTR)
            rc = static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, staged.c_str(), AT_FDCWD,
                                            path.c_str(), RENAME_NOREPLACE));
        if (rc == 0) return true;
        if (errno == EINTR) continue;
        if (errno != EEXIST || number == INT32_MAX) return false;
        ++number;
    }
}

// Copies the posting from `from` on into `out` behind `prefix`; false when
// any of it could not be read or written.
bool CopyArticle(int out, const std::string& prefix, const Posting& in, int64_t from) {
    if (!WriteAll(out, prefix.data(), prefix.size())) return false;
    char block[65536];
    int64_t offset = from;
    for (;;) {
        ssize_t n = in.ReadAt(block, sizeof block, offset);
        if (n < 0) return false;
        if (n == 0) return true;
        if (!WriteAll(out, block, static_cast<size_t>(n))) return false;
        offset += n;
    }
}

// Links an unnamed file (made with O_TMPFILE) into the directory under the
// first free number from `number` on.
bool PublishUnnamed(const CServerCore& core, const GroupEntry& group, int fd, int& number) {
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (;;) {
        std::string path = core.ArticlePath(group, number);
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return true;
        if (errno == EINTR) continue;
        if (errno != EEXIST || number == INT32_MAX) return false;
        ++number;
    }
}

// Done with the descriptor of the article file just given `number` in
// `group`: with SyncWrites, the durability queue takes it, and the group's
// directory with it, to put both on disk before the post is answered;
// otherwise it is closed, and false returned when closing reports an error.
bool ReleaseArticleFile(CServerCore& core, const GroupEntry& group, int fd, int number) {
    CDurableQueue* durable = core.Durable();
    if (!durable) return ::close(fd) == 0;
    durable->AddFile(fd, core.ArticlePath(group, number));
    durable->AddDirectory(core.GroupDir(group));
    return true;
}

}  // namespace

bool StoreInGroup(CServerCore& core, GroupEntry& group, const Posting& in, int64_t from,
                  const std::string& prefix, const EntryTexts& texts, int lineCount, int* stored) {
    // A hand-edited index may carry the highest number there is: no number
    // is left for another article.
    if (group.lastNumber == INT32_MAX) return false;
    int number = group.lastNumber + 1;
    struct stat st;
    bool ok = false;
    bool named = false;
    int out = s_bUnnamedFiles
                  ? ::open(core.GroupDir(group).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644)
                  : -1;
    if (out >= 0) {
        ok = CopyArticle(out, prefix, in, from) && ::fstat(out, &st) == 0;
        if (ok) {
            named = PublishUnnamed(core, group, out, number);
            // Without /proc (or with a file system that cannot link such a
            // file) the staging name below is used from now on.
            if (!named && errno != EEXIST) s_bUnnamedFiles = false;
        }
        if (!(named ? ReleaseArticleFile(core, group, out, number) : ::close(out) == 0)) ok = false;
        if (!ok) return false;
    }
    if (!named) {
        std::string staged = StagingPath(core, group);
        out = ::open(staged.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0) return false;
        ok = CopyArticle(out, prefix, in, from) && ::fstat(out, &st) == 0;
        // A synced copy stays open until it is on disk; otherwise an error
        // that only closing reports still stops the post here.
        if (!core.Durable()) {
            if (::close(out) != 0) ok = false;
            out = -1;
        }
        ok = ok && PublishArticle(core, group, staged, number);
        // After a link the staging name is a second name of the article;
        // after a rename or a failure it is gone or must go.
        ::unlink(staged.c_str());
        if (out >= 0 && ok) ReleaseArticleFile(core, group, out, number);
        if (out >= 0 && !ok) ::close(out);
    }
    if (!ok) return false;
    group.articles.Add(number, texts, static_cast<int>(st.st_size), lineCount);
    if (group.articleCount < INT32_MAX) group.articleCount += 1;
    if (group.firstNumber == 0) group.firstNumber = 1;
    group.lastNumber = number;
    group.dirty = 1;
    if (stored) *stored = number;
    return true;
}

std::string GenerateMessageId(time_t now) {
    if (s_nMessageIdCounter == 0) {
        s_nRandomSeed = static_cast<uint32_t>(now);
        s_nMessageIdCounter = static_cast<uint16_t>(NextRandom());
    }
    s_nMessageIdCounter = static_cast<uint16_t>(s_nMessageIdCounter + 1);
    struct tm tm {};
    LocalTime(now, tm);
    return Format("<%u@%04d%02d%02d%02d%02d%02d>", static_cast<unsigned>(s_nMessageIdCounter),
                  tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

std::string FormatArticleDate(time_t now) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm tm {};
    LocalTime(now, tm);
    long offset = tm.tm_gmtoff / 60;
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    // Names are spelt out here: the C library's would follow the user's locale.
    return Format("%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[tm.tm_wday % 7], tm.tm_mday,
                  kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  sign, offset / 60, offset % 60);
}

int BodyLineCount(const std::string& headerBlock, int lineCount) {
    size_t blank = headerBlock.find("\r\n\r\n");
    if (blank == std::string::npos) return 0;
    int headerLines = 0;
    for (size_t i = 0; i < blank + 4; ++i)
        if (headerBlock[i] == '\n') ++headerLines;
    int body = lineCount - headerLines - 1;
    return body < 0 ? 0 : body;
}

Posting& Posting::operator=(Posting&& other) noexcept {
    if (this == &other) return *this;
    Discard();
    m_strBytes = std::move(other.m_strBytes);
    m_nFd = other.m_nFd;
    m_strPath = std::move(other.m_strPath);
    m_nSize = other.m_nSize;
    m_bComplete = other.m_bComplete;
    m_bNoFile = other.m_bNoFile;
    lineCount = other.lineCount;
    other.m_nFd = -1;
    other.m_strPath.clear();
    other.m_strBytes.clear();
    other.m_nSize = 0;
    other.m_bComplete = true;
    other.m_bNoFile = false;
    other.lineCount = 0;
    return *this;
}

bool Posting::Append(const char* data, size_t length) {
    if (!m_bComplete || m_bNoFile) return false;
    m_nSize += static_cast<int64_t>(length);
    if (m_nFd < 0 && m_strBytes.size() + length <= kMaxMemoryBytes) {
        m_strBytes.append(data, length);
        return true;
    }
    if (m_nFd < 0) {
        // Past the bound: what is held so far goes to the file first. When
        // no file can be made, the whole article goes unrecorded, never just
        // the part that happened to come first.
        m_nFd = CreateTempFile(m_strPath);
        if (m_nFd < 0) {
            m_bNoFile = true;
            m_strBytes = std::string();
            m_nSize = 0;
            return false;
        }
        if (!WriteAll(m_nFd, m_strBytes.data(), m_strBytes.size())) {
            m_bComplete = false;
            return false;
        }
        m_strBytes = std::string();
    }
    if (!WriteAll(m_nFd, data, length)) m_bComplete = false;
    return m_bComplete;
}

ssize_t Posting::ReadAt(char* buffer, size_t size, int64_t offset) const {
    if (m_nFd < 0) {
        if (offset < 0 || static_cast<size_t>(offset) >= m_strBytes.size()) return 0;
        size_t n = std::min(size, m_strBytes.size() - static_cast<size_t>(offset));
        std::memcpy(buffer, m_strBytes.data() + offset, n);
        return static_cast<ssize_t>(n);
    }
    ssize_t n;
    do n = ::pread(m_nFd, buffer, size, static_cast<off_t>(offset));
    while (n < 0 && errno == EINTR);
    return n;
}

void Posting::Discard() {
    if (m_nFd >= 0) ::close(m_nFd);
    if (!m_strPath.empty()) RemoveFile(m_strPath);
    m_nFd = -1;
    m_strPath.clear();
    m_strBytes = std::string();
    m_nSize = 0;
    m_bComplete = true;
    m_bNoFile = false;
    lineCount = 0;
}

StoreResult StoreArticleFrom(CServerCore& core, const CanPostFn& canPost, const Posting& posting,
                             XContent& header, time_t now, bool readerMode) {
    int lineCount = posting.lineCount;
    std::string headerBlock =
        ReadHeaderBlockWith([&posting](char* buffer, size_t size, int64_t offset) {
            return posting.ReadAt(buffer, size, offset);
        });
    header.ParseHeader(headerBlock);
    if (readerMode) lineCount = BodyLineCount(headerBlock, lineCount);
    StoreResult result = StoreResult::Stored;
    std::vector<GroupEntry*> targets = FindTargetGroups(core, canPost, header.newsgroups);
    std::string cancelTarget;
    if (targets.empty()) {
        result = StoreResult::NoTarget;
    } else if (GetCancelTarget(header, cancelTarget)) {
        CancelArticle(core, cancelTarget, header.from, targets);
    } else {
        std::string messageId = header.messageId;
        std::string prefix;
        if (messageId.empty()) {
            messageId = GenerateMessageId(now);
            prefix = "Message-ID: " + messageId + "\r\n";
        }
        if (readerMode && header.date.empty()) {
            header.date = FormatArticleDate(now);
            prefix += "Date: " + header.date + "\r\n";
        }
        if (header.lines == 0) prefix += Format("Lines: %d\r\n", lineCount);
        EntryTexts texts{header.subject, header.from, header.date, messageId, header.references};
        for (GroupEntry* group : targets)
            StoreInGroup(core, *group, posting, 0, prefix, texts, lineCount, nullptr);
    }
    return result;
}
