// The records the store keeps in memory: configured groups with their
// article lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "platform/mapped_file.h"

// The five texts of an index entry. None holds TAB, CR or LF.
struct EntryTexts {
    std::string subject;
    std::string from;
    std::string date;
    std::string messageId;  // with its angle brackets
    std::string references;
};

// Every field of an index line, viewing the line.
struct IndexFields {
    int number = 0;
    std::string_view subject;
    std::string_view from;
    std::string_view date;
    std::string_view messageId;
    int bytes = 0;  // size of the article file, headers included
    int lines = 0;  // the body's lines, or the file's "Lines:"
    std::string_view references;
};

// One stored article: its number and its line of the group's Message.lst,
// "number TAB subject TAB from TAB date TAB message-id TAB bytes TAB lines
// [TAB references]". The line is not copied: it stays in the index file,
// which is mapped into memory (or, until the next save writes it there, in
// a block of the list's own), and its fields are read from it when asked
// for. A large index then costs a few words per article and the page cache.
// An entry lives in its list and is valid until the list next changes.
class ArticleEntry {
public:
    int number = 0;  // the article file's name in the group directory

    std::string_view Subject() const { return Fields().subject; }
    std::string_view From() const { return Fields().from; }
    std::string_view Date() const { return Fields().date; }
    std::string_view MessageId() const { return Fields().messageId; }
    std::string_view References() const { return Fields().references; }
    int Bytes() const { return Fields().bytes; }
    int Lines() const { return Fields().lines; }
    // All of them, reading the line once.
    IndexFields Fields() const;
    // The line, without its line end.
    std::string_view Line() const;
    uint32_t IdHash() const { return m_nIdHash; }

private:
    friend class ArticleList;
    uint32_t m_nIdHash = 0;  // of the Message-ID, for the list's lookup
    const char* m_pLine = nullptr;
};

// Splits an index line (without its line end) into its fields; false unless
// it has 7 or 8 fields (TAB-separated, empty ones kept). The numbers are
// converted as decimal integers.
bool ParseIndexLine(std::string_view line, IndexFields& fields);

// Appends the index line of an article, CR LF included.
void AppendIndexLine(std::string& out, int number, const EntryTexts& texts, int bytes, int lines);

// An entry as a file can hold it: its line as an offset into the index file.
struct MappedEntry {
    int32_t number;
    uint32_t idHash;
    uint64_t offset;
};

// Message-ID -> position in the list, for ArticleList: open addressing in
// one array of positions, so a large index costs a few bytes per entry.
class MessageIdIndex {
public:
    // The table as it stands, and a table taken back as it stood.
    const std::vector<uint32_t>& Slots() const { return m_slots; }
    size_t Used() const { return m_nUsed; }
    void Adopt(std::vector<uint32_t> slots, size_t used);

    void Clear();
    // Room for `count` entries in all without growing.
    void Reserve(size_t count, const std::vector<ArticleEntry>& items);
    // The position listed under `messageId`, or -1.
    long Find(std::string_view messageId, uint32_t hash,
              const std::vector<ArticleEntry>& items) const;
    // Lists the entry at `position` unless one of its Message-ID is listed
    // already; false when one was.
    bool Insert(size_t position, const std::vector<ArticleEntry>& items);

    static uint32_t HashOf(std::string_view messageId);

private:
    static constexpr uint32_t kFree = UINT32_MAX;
    size_t Home(uint32_t hash) const { return (uint64_t{hash} * m_slots.size()) >> 32; }
    size_t Next(size_t i) const { return i + 1 == m_slots.size() ? 0 : i + 1; }
    void Grow(size_t count, const std::vector<ArticleEntry>& items);

    std::vector<uint32_t> m_slots;  // positions; kFree: empty
    size_t m_nUsed = 0;
};

// A group's articles in list order, with lookups by number and by
// Message-ID that return exactly what a scan in list order would find first,
// without the scan. Entries do not change once added.
class ArticleList {
public:
    using const_iterator = std::vector<ArticleEntry>::const_iterator;

    ArticleList() = default;
    ArticleList(const ArticleList&) = delete;
    ArticleList& operator=(const ArticleList&) = delete;

    size_t size() const { return m_items.size(); }
    bool empty() const { return m_items.empty(); }
    const ArticleEntry& operator[](size_t i) const { return m_items[i]; }
    const ArticleEntry& front() const { return m_items.front(); }
    const ArticleEntry& back() const { return m_items.back(); }
    const_iterator begin() const { return m_items.begin(); }
    const_iterator end() const { return m_items.end(); }

    // Appends an entry with its line made from the given values; the line is
    // kept in memory until the index file is next written.
    const ArticleEntry& Add(int number, const EntryTexts& texts, int bytes, int lines);
    // Appends an entry whose line (without its line end) is in the mapped
    // index file; `idHash` is HashOf() its Message-ID.
    void AddMapped(int number, const char* line, uint32_t idHash);
    // Makes room for `count` entries in all.
    void reserve(size_t count);
    // Takes, into an empty list, `count` entries whose lines are in the mapped
    // file, with the Message-ID lookup saved for them (`slots`, `used`,
    // `duplicateIds`) as LookupTable gave it. False, with the list left empty,
    // when an offset lies outside the file or the table does not fit.
    bool AdoptMapped(const MappedEntry* entries, size_t count, std::vector<uint32_t> slots,
                     size_t used, bool duplicateIds);
    const MessageIdIndex& LookupTable() const { return m_byId; }
    bool DuplicateIds() const { return m_bDuplicateIds; }

    // Removes the entry; returns the position after it.
    const_iterator erase(const_iterator position);
    void clear();
    // Removes, in one pass, every entry for which `remove` answers true.
    template <class Pred>
    void RemoveIf(Pred remove);

    // The first entry in list order with that number, or null.
    const ArticleEntry* FindNumber(int number) const;
    // The first entry in list order with that Message-ID, or null.
    const ArticleEntry* FindMessageId(std::string_view messageId) const;
    // The position of `entry`, or size() when it is not in the list.
    size_t PositionOf(const ArticleEntry* entry) const;
    // Where the entries numbered from `low` to `high` lie, in list order: a
    // narrow stretch when the numbers ascend along the list, else all of it
    // (callers still test each number).
    std::pair<const_iterator, const_iterator> Span(int low, int high) const;
    bool Ascending() const { return m_bAscending; }

    // Bumped whenever an entry leaves the list, so a writer can tell that
    // the entries it wrote before are no longer a prefix of the list.
    unsigned long long RemovalCount() const { return m_nRemovals; }

    // --- where the lines live --------------------------------------------------------
    // The group's index file, mapped; entries added with AddMapped point
    // into it.
    CMappedFile& File() { return m_file; }
    const CMappedFile& File() const { return m_file; }
    // The `count` entries from `first` on (all of them by default) have been
    // written to the mapped file, a line each, from `offset` on: they now
    // read their lines there. Entries after them whose lines are kept in
    // memory stay so, and the memory of the lines moved is given back.
    // Nothing of the old lines of those moved is read: after a rewrite their
    // old mapping may be gone already.
    void MovedToFile(size_t first, size_t offset, size_t count = static_cast<size_t>(-1));
    // Copies every line into memory, for a file that can no longer be
    // mapped; the mapping may go afterwards.
    void KeepInMemory();
    // Where the line of the entry at `position` starts in the mapped file;
    // false when it is kept in memory.
    bool FileOffset(size_t position, uint64_t& offset) const;
    // How many entries, the last ones, have lines kept in memory.
    size_t Pending() const { return m_nPending; }
    // The file was mapped again elsewhere: entries that pointed into the old
    // mapping (of `oldSize` bytes at `oldData`) point into the new one.
    void FileMoved(const char* oldData, size_t oldSize);
    // Bytes held for lines not yet in the file.
    size_t PendingBytes() const;

private:
    const char* Keep(const std::string& line);
    void Reindex();

    std::vector<ArticleEntry> m_items;
    MessageIdIndex m_byId;         // Message-ID -> first entry in list order
    bool m_bAscending = true;      // numbers never decrease along the list
    bool m_bDuplicateIds = false;  // some Message-ID was listed twice
    unsigned long long m_nRemovals = 0;
    CMappedFile m_file;
    // Lines not yet in the file, in blocks that never move.
    std::vector<std::unique_ptr<char[]>> m_blocks;
    size_t m_nBlockUsed = 0;  // bytes used of the last block
    size_t m_nPendingBytes = 0;
    // The entries whose lines are in the blocks: always the last ones, as
    // entries are only ever added at the end and a save writes what was added.
    size_t m_nPending = 0;
};

template <class Pred>
void ArticleList::RemoveIf(Pred remove) {
    size_t out = 0;
    bool removed = false;
    const size_t firstPending = m_items.size() - m_nPending;
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (remove(static_cast<const ArticleEntry&>(m_items[i]))) {
            removed = true;
            if (i >= firstPending) --m_nPending;
            continue;
        }
        if (out != i) m_items[out] = m_items[i];
        ++out;
    }
    if (!removed) return;
    m_items.resize(out);
    ++m_nRemovals;
    Reindex();  // the Message-IDs too
}

// What the group's Message.lst on disk is known to hold, so a save can
// append what was added instead of rewriting the whole file.
struct IndexFileState {
    bool known = false;               // the file holds exactly the lines below
    size_t entries = 0;               // leading entries of the list it holds
    unsigned long long removals = 0;  // the list's RemovalCount() then
    long long size = 0;               // its size in bytes
    std::string counterLine;          // its first line, CR LF included
    // Leading entries that the sidecar beside the file (Message.lst.idx)
    // describes for the file as it is now; 0: none does.
    size_t sidecarEntries = 0;
};

// One configured newsgroup: its settings line, counters and articles.
struct GroupEntry : GroupSettings {
    GroupEntry() = default;
    explicit GroupEntry(const GroupSettings& settings) : GroupSettings(settings) {}

    int dirty = 0;  // 1: Message.lst must be rewritten
    int firstNumber = 0;
    int lastNumber = 0;  // highest number ever assigned
    int articleCount = 0;
    ArticleList articles;  // owned, in index order
    IndexFileState indexFile;
};
