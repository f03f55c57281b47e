#include <unordered_map>
#include <vector>

#include "common/date_key.h"
#include "common/file_util.h"
#include "common/text.h"
#include "store/server_core.h"

namespace {

// Files deleted by expiry since expiry last had the indexes written, over
// all groups and runs.
int s_nExpiredCount = 0;

// Drops, for every number in `deleted`, as many first matching entries as it
// was deleted, in one pass over the list.
void DropEntries(GroupEntry& group, std::unordered_map<int, int>& deleted) {
    group.articles.RemoveIf([&deleted](const ArticleEntry& entry) {
        auto it = deleted.find(entry.number);
        if (it == deleted.end() || it->second == 0) return false;
        --it->second;
        return true;
    });
}

}  // namespace

void CServerCore::ExpireArticles(int currentKey) {
    bool headerLogged = false;
    std::vector<std::string> names;
    for (const auto& groupPtr : m_groups) {
        GroupEntry& group = *groupPtr;
        if (group.expireHours <= 0) continue;
        if (!ListDirectory(GroupDir(group), names)) continue;
        std::unordered_map<int, int> deleted;
        for (const std::string& name : names) {
            int n = ToDecimal(name);
            if (n == 0) continue;
            std::string path = ArticlePath(group, n);
            time_t mtime;
            // A stray name whose file is gone has no time to judge by.
            if (!FileModTime(path, mtime)) continue;
            int64_t dueKey = DateHourKey(mtime + static_cast<time_t>(group.expireHours) * 3600);
            if (dueKey < 0 || currentKey < dueKey) continue;
            if (!headerLogged) {
                Host().AppendLog(Format("%10d\r\n", currentKey));
                headerLogged = true;
            }
            Host().AppendLog(Format("[%s] article file deleted [%s]!!\r\n", path.c_str(),
                                    DateHourText(mtime).c_str()));
            RemoveFile(path);
            ++s_nExpiredCount;
            ++deleted[n];
            group.dirty = 1;
        }
        if (!deleted.empty()) {
            ForgetInHistory(group, deleted);
            DropEntries(group, deleted);
        }
    }
    if (s_nExpiredCount > 10) {
        SaveGroupIndexes();
        s_nExpiredCount = 0;
    }
    CompactHistory();
}

void CServerCore::ForgetInHistory(const GroupEntry& group,
                                  const std::unordered_map<int, int>& deleted) {
    if (!m_history.IsOpen()) return;
    time_t now = Host().Now();
    for (const auto& [number, count] : deleted) {
        (void)count;
        if (const ArticleEntry* entry = group.articles.FindNumber(number))
            m_history.MarkGone(entry->MessageId(), now);
    }
}

void CServerCore::CompactHistory() {
    // Compacting rewrites the whole history: once a day is enough to keep it
    // from growing, where every hourly run would cost a rewrite each.
    time_t now = Host().Now();
    if (!m_history.IsOpen() || (m_timeHistoryCompacted && now - m_timeHistoryCompacted < 86400))
        return;
    m_timeHistoryCompacted = now;
    // An article cross-posted to a group that keeps it longer is still
    // stored: its Message-ID stays remembered as long as it is.
    auto stillStored = [this](std::string_view messageId) {
        for (const auto& group : m_groups)
            if (group->articles.FindMessageId(messageId)) return true;
        return false;
    };
    std::string error;
    if (!m_history.Compact(now, m_nHistoryDays, stillStored, error))
        Host().AppendLog("History not compacted: " + error + "\r\n");
}
