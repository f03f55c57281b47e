#include "store/cancel.h"

#include <cstdint>

#include "common/file_util.h"
#include "common/text.h"

bool GetCancelTarget(const XContent& header, std::string& target) {
    if (header.control.empty()) return false;
    std::vector<std::string> fields;
    SplitFields(fields, header.control, " \t");
    if (fields.size() != 2 || SjisUpper(fields[0]) != "CANCEL" || fields[1][0] != '<') return false;
    target = SjisTrim(fields[1]);
    return true;
}

void CancelArticle(CServerCore& core, const std::string& target, const std::string& from,
                   const std::vector<GroupEntry*>& groups) {
    for (GroupEntry* group : groups) {
        auto& articles = group->articles;
        const ArticleEntry* first = articles.FindMessageId(target);
        if (!first) continue;
        // Start at the first entry with the target; later ones with the same
        // Message-ID are only reached when the author test skips it.
        for (auto it = articles.begin() + static_cast<std::ptrdiff_t>(articles.PositionOf(first));
             it != articles.end(); ++it) {
            const ArticleEntry& article = *it;
            if (article.MessageId() != target) continue;
            if (!core.m_bCancelEveryOne && article.From() != from) continue;
            RemoveFile(core.ArticlePath(*group, article.number));
            // The count is loaded as written; one at the lower limit stays.
            if (group->articleCount > INT32_MIN) group->articleCount -= 1;
            group->dirty = 1;
            articles.erase(it);
            break;
        }
    }
}
