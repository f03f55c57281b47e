#include <algorithm>
#include <vector>

#include "common/file_util.h"
#include "common/text.h"
#include "store/server_core.h"
#include "store/xcontent.h"

namespace {

// Every directory entry whose name starts with a nonzero number, as that
// number: "12.bak" counts as 12, "Message.lst", "." and ".." count as nothing.
std::vector<int> ListedNumbers(const std::string& dir) {
    std::vector<int> numbers;
    std::vector<std::string> names;
    ListDirectory(dir, names);
    for (const std::string& name : names) {
        int n = ToDecimal(name);
        if (n != 0) numbers.push_back(n);
    }
    return numbers;
}

void RebuildGroup(CServerCore& core, GroupEntry& group) {
    group.articles.clear();
    std::vector<int> numbers = ListedNumbers(core.GroupDir(group));
    std::sort(numbers.begin(), numbers.end());
    group.articleCount = 0;
    group.firstNumber = 0;
    group.lastNumber = 0;
    group.dirty = 1;
    XContent header;
    for (int n : numbers) {
        std::string path = core.ArticlePath(group, n);
        header.ParseHeader(ReadHeaderBlock(path));
        EntryTexts texts{header.subject, header.from, header.date, header.messageId,
                         header.references};
        // A number taken from a stray name whose file does not exist has no
        // size; 0 says so.
        int64_t size = FileSize(path);
        group.articles.Add(n, texts, size < 0 ? 0 : static_cast<int>(size), header.lines);
        group.articleCount += 1;
        if (group.firstNumber == 0) group.firstNumber = n;
        group.lastNumber = n;
    }
}

}  // namespace

void CServerCore::RebuildGroupIndexes() {
    for (const auto& group : m_groups) RebuildGroup(*this, *group);
    SaveGroupIndexes();
}
