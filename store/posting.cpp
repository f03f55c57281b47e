#include "store/posting.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <linux/fs.h>

#include <cerrno>
#include <cstdint>
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
uint32_t s_nRandomSeed = 1;

// The C library's classic generator, kept here so the counter's start is a
// number from 0 to 32767 whatever the platform's rand() is.
int NextRandom() {
    s_nRandomSeed = s_nRandomSeed * 214013u + 2531011u;
    return static_cast<int>((s_nRandomSeed >> 16) & 0x7fff);
}

bool WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
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

// Writes one copy of the article into `group`. The copy is made under a
// staging name that no reader takes for an article (it does not start with a
// digit) and only then given its number, so a crash or a full disk never
// leaves a cut-short article under a number. Returns false, leaving the group
// and its directory as they were, when the copy cannot be made whole.
bool StoreInGroup(CServerCore& core, GroupEntry& group, const std::string& tempPath,
                  const std::string& prefix, const XContent& header,
                  const std::string& messageId, int lineCount) {
    // A hand-edited index may carry the highest number there is: no number
    // is left for another article.
    if (group.lastNumber == INT32_MAX) return false;
    std::string staged = StagingPath(core, group);
    int out = ::open(staged.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) return false;
    bool ok = WriteAll(out, prefix.data(), prefix.size());
    int in = ok ? ::open(tempPath.c_str(), O_RDONLY | O_CLOEXEC) : -1;
    ok = ok && in >= 0;
    char block[10000];
    while (ok) {
        ssize_t n = ::read(in, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        ok = WriteAll(out, block, static_cast<size_t>(n));
    }
    struct stat st;
    if (ok && ::fstat(out, &st) != 0) ok = false;
    if (in >= 0) ::close(in);
    if (::close(out) != 0) ok = false;
    int number = group.lastNumber + 1;
    ok = ok && PublishArticle(core, group, staged, number);
    // After a link the staging name is a second name of the article; after
    // a rename or a failure it is gone or must go.
    ::unlink(staged.c_str());
    if (!ok) return false;
    auto entry = std::make_unique<ArticleEntry>();
    entry->number = number;
    entry->subject = header.subject;
    entry->from = header.from;
    entry->date = header.date;
    entry->messageId = messageId;
    entry->references = header.references;
    entry->bytes = static_cast<int>(st.st_size);
    entry->lines = lineCount;
    group.articles.push_back(std::move(entry));
    if (group.articleCount < INT32_MAX) group.articleCount += 1;
    if (group.firstNumber == 0) group.firstNumber = 1;
    group.lastNumber = number;
    group.dirty = 1;
    return true;
}

}  // namespace

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
    return Format("%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[tm.tm_wday % 7],
                  tm.tm_mday, kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec, sign, offset / 60, offset % 60);
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

StoreResult StoreArticle(CServerCore& core, const CanPostFn& canPost, const std::string& tempPath,
                         int lineCount, XContent& header, time_t now, bool readerMode) {
    std::string headerBlock = ReadHeaderBlock(tempPath);
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
        for (GroupEntry* group : targets)
            StoreInGroup(core, *group, tempPath, prefix, header, messageId, lineCount);
    }
    if (!tempPath.empty()) RemoveFile(tempPath);
    return result;
}
