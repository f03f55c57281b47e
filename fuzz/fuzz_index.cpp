// The group index reader on arbitrary bytes, and the writer on whatever it
// loaded. Loaded strings never hold TAB or LF, so writing them and reading
// the file back gives the same counters and entries. A CR inside a field
// survives too: the reader's text-mode translation only drops the CR right
// before an LF, and the writer puts no LF after any field but the last,
// whose own trailing CR then stands before the CR of the line end.
// Whichever way the writer updates the file (appending new lines, patching
// the counter line, or replacing it), the file ends up as FormatGroupIndex
// says.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "store/group_index.h"

namespace {

void CheckStrings(const ArticleEntry& a) {
    for (std::string_view s : {a.Subject(), a.From(), a.Date(), a.MessageId(), a.References()})
        FUZZ_CHECK(s.find_first_of(std::string_view("\t\n\0", 3)) == std::string_view::npos,
                   "a loaded field holds TAB, LF or NUL: " + Escaped(std::string(s)));
}

void CopyCounters(const GroupEntry& from, GroupEntry& to) {
    to.firstNumber = from.firstNumber;
    to.lastNumber = from.lastNumber;
    to.articleCount = from.articleCount;
}

// Appends a copy of `a` to `list`.
void CopyEntry(ArticleList& list, const ArticleEntry& a) {
    IndexFields f = a.Fields();
    EntryTexts texts{std::string(f.subject), std::string(f.from), std::string(f.date),
                     std::string(f.messageId), std::string(f.references)};
    list.Add(a.number, texts, f.bytes, f.lines);
}

void CheckFile(const std::string& path, const GroupEntry& group, const char* step) {
    std::string want = FormatGroupIndex(group);
    std::string got = ReadWholeFile(path);
    FUZZ_CHECK(got == want, std::string(step) + ": file [" + Escaped(got) + "] expected [" +
                                Escaped(want) + "]");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ScratchDir dir;
    const std::string path = dir.Path() + "/Message.lst";
    std::string bytes(reinterpret_cast<const char*>(data), size);

    GroupEntry loaded;
    ParseGroupIndex(bytes, loaded);
    for (const ArticleEntry& a : loaded.articles) CheckStrings(a);

    // A whole write, then the file read back as at start-up.
    FUZZ_CHECK(WriteGroupIndex(path, loaded), "cannot write the index");
    CheckFile(path, loaded, "whole write");
    GroupEntry reread;
    FUZZ_CHECK(ReadGroupIndex(path, reread), "cannot read the index back");
    FUZZ_CHECK(DescribeEntries(reread) == DescribeEntries(loaded),
               "loaded\n" + DescribeEntries(loaded) + "read back\n" + DescribeEntries(reread));

    // The same entries saved in two steps, as posting does: the second save
    // appends what was added and rewrites the counter line, here with
    // counters that may or may not keep their length.
    GroupEntry growing;
    size_t half = loaded.articles.size() / 2;
    for (size_t i = 0; i < half; ++i) CopyEntry(growing.articles, loaded.articles[i]);
    growing.firstNumber = loaded.firstNumber;
    growing.lastNumber = loaded.lastNumber;
    growing.articleCount = static_cast<int>(half);
    FUZZ_CHECK(WriteGroupIndex(path, growing), "cannot write the first half");
    CheckFile(path, growing, "first half");
    for (size_t i = half; i < loaded.articles.size(); ++i)
        CopyEntry(growing.articles, loaded.articles[i]);
    CopyCounters(loaded, growing);
    FUZZ_CHECK(WriteGroupIndex(path, growing), "cannot write the second half");
    CheckFile(path, growing, "second half");

    // An entry taken out: the lines on disk are no longer a prefix.
    if (!growing.articles.empty()) {
        growing.articles.erase(growing.articles.begin());
        CopyEntry(growing.articles, loaded.articles[0]);
        FUZZ_CHECK(WriteGroupIndex(path, growing), "cannot write after a removal");
        CheckFile(path, growing, "after a removal");
    }
    return 0;
}
