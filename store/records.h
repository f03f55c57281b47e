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

// One stored article's overview data; one line of the group's Message.lst.
// The five texts never hold TAB, CR or LF. They are kept together in one
// block of exactly their size: a large index holds hundreds of thousands of
// entries, and five strings each would cost five times the allocations and
// more than twice the memory.
struct ArticleEntry {
    int number = 0;  // the article file's name in the group directory
    int bytes = 0;   // size of the article file, headers included
    int lines = 0;   // LF count received with the post, or the file's "Lines:"

    ArticleEntry() = default;
    ArticleEntry(const ArticleEntry& other);
    ArticleEntry& operator=(const ArticleEntry& other);
    ArticleEntry(ArticleEntry&&) noexcept = default;
    ArticleEntry& operator=(ArticleEntry&&) noexcept = default;

    // Replaces all five texts at once.
    void SetText(std::string_view subject, std::string_view from, std::string_view date,
                 std::string_view messageId, std::string_view references);

    // Views into the entry; valid until the entry is destroyed or SetText()
    // is called on it.
    std::string_view Subject() const { return Field(0); }
    std::string_view From() const { return Field(1); }
    std::string_view Date() const { return Field(2); }
    std::string_view MessageId() const { return Field(3); }  // with its angle brackets
    std::string_view References() const { return Field(4); }

private:
    std::string_view Field(int i) const {
        uint32_t start = i == 0 ? 0 : m_ends[i - 1];
        return std::string_view(m_text.get() + start, m_ends[i] - start);
    }

    std::unique_ptr<char[]> m_text;  // the five texts one after another
    uint32_t m_ends[5] = {};         // where each text ends in m_text
};

// Message-ID -> entry, for ArticleList: open addressing in one array, so a
// large index costs a few words per entry and no allocation of its own. The
// keys are the entries' own texts, which never change while listed.
class MessageIdIndex {
public:
    void Clear();
    // Room for `count` entries in all without growing.
    void Reserve(size_t count);
    // The entry listed under `messageId`, or null.
    ArticleEntry* Find(std::string_view messageId) const;
    // Lists `entry` under its Message-ID unless one is listed there already;
    // false when one was.
    bool Insert(ArticleEntry* entry);
    // Takes `entry` out if it is the one listed under its Message-ID.
    void Erase(const ArticleEntry* entry);

private:
    struct Slot {
        ArticleEntry* entry = nullptr;  // null: free
        uint32_t hash = 0;
    };
    static uint32_t HashOf(std::string_view messageId);
    size_t Home(uint32_t hash) const { return (uint64_t{hash} * m_slots.size()) >> 32; }
    size_t Next(size_t i) const { return i + 1 == m_slots.size() ? 0 : i + 1; }
    void Grow(size_t count);

    std::vector<Slot> m_slots;
    size_t m_nUsed = 0;
};

// A group's articles in list order, with lookups by number and by
// Message-ID that return exactly what a scan in list order would find first,
// without the scan. Entries must not change once added.
class ArticleList {
public:
    using Ptr = std::unique_ptr<ArticleEntry>;
    using const_iterator = std::vector<Ptr>::const_iterator;

    size_t size() const { return m_items.size(); }
    bool empty() const { return m_items.empty(); }
    const Ptr& operator[](size_t i) const { return m_items[i]; }
    const Ptr& front() const { return m_items.front(); }
    const Ptr& back() const { return m_items.back(); }
    const_iterator begin() const { return m_items.begin(); }
    const_iterator end() const { return m_items.end(); }

    void push_back(Ptr entry);
    // Makes room for `count` entries in all, so loading a large index does
    // not grow the list and its map step by step.
    void reserve(size_t count) {
        m_items.reserve(count);
        m_numbers.reserve(count);
        m_byId.Reserve(count);
    }
    // Removes and destroys the entry; returns the position after it.
    const_iterator erase(const_iterator position);
    void clear();
    // Removes, in one pass, every entry for which `remove` answers true.
    template <class Pred>
    void RemoveIf(Pred remove);

    // The first entry in list order with that number, or null.
    ArticleEntry* FindNumber(int number) const;
    // The first entry in list order with that Message-ID, or null.
    ArticleEntry* FindMessageId(std::string_view messageId) const;
    // The position of `entry`, or size() when it is not in the list.
    size_t PositionOf(const ArticleEntry* entry) const;

    // Bumped whenever an entry leaves the list, so a writer can tell that
    // the entries it wrote before are no longer a prefix of the list.
    unsigned long long RemovalCount() const { return m_nRemovals; }

private:
    void Forget(const ArticleEntry* entry);
    void Reindex();

    std::vector<Ptr> m_items;
    std::vector<int> m_numbers;    // m_items[i]->number, for searching
    MessageIdIndex m_byId;         // Message-ID -> first entry in list order
    bool m_bAscending = true;      // numbers never decrease along the list
    bool m_bDuplicateIds = false;  // some Message-ID was listed twice
    unsigned long long m_nRemovals = 0;
};

template <class Pred>
void ArticleList::RemoveIf(Pred remove) {
    size_t out = 0;
    bool removed = false;
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (remove(*m_items[i])) {
            removed = true;
            continue;
        }
        if (out != i) m_items[out] = std::move(m_items[i]);
        ++out;
    }
    if (!removed) return;
    m_items.resize(out);
    ++m_nRemovals;
    Reindex();  // the numbers and the Message-IDs too
}

// What the group's Message.lst on disk is known to hold, so a save can
// append what was added instead of rewriting the whole file.
struct IndexFileState {
    bool known = false;               // the file holds exactly the lines below
    size_t entries = 0;               // leading entries of the list it holds
    unsigned long long removals = 0;  // the list's RemovalCount() then
    long long size = 0;               // its size in bytes
    std::string counterLine;          // its first line, CR LF included
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
