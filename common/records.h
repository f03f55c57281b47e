// The records the server keeps in memory: configured groups with their
// article lists, and configured users.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// One stored article's overview data; one line of the group's Message.lst.
// The five strings never hold TAB, CR or LF.
struct ArticleEntry {
    int number = 0;  // the article file's name in the group directory
    std::string subject;
    std::string from;
    std::string date;
    std::string messageId;  // with its angle brackets
    std::string references;
    int bytes = 0;  // size of the article file, headers included
    int lines = 0;  // LF count received with the post, or the file's "Lines:"
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
        m_byId.reserve(count);
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
    std::vector<int> m_numbers;  // m_items[i]->number, for searching
    // Message-ID -> first entry in list order; the key views the entry's own
    // string, which never changes while the entry is listed.
    std::unordered_map<std::string_view, ArticleEntry*> m_byId;
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
    // Reindex() rebuilds the numbers too.
    ++m_nRemovals;
    Reindex();
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

// One configured newsgroup.
struct GroupEntry {
    int dirty = 0;  // 1: Message.lst must be rewritten
    std::string name;
    int expireHours = 0;  // 0 or less: never expires
    int firstNumber = 0;
    int lastNumber = 0;  // highest number ever assigned
    int articleCount = 0;
    std::string note;
    ArticleList articles;  // owned, in index order
    int readAll = 1;
    std::vector<std::string> readers;
    int postAll = 1;
    std::vector<std::string> posters;
    IndexFileState indexFile;
};

struct UserEntry {
    std::string name;
    std::string password;
};
