#include "store/records.h"

#include <xxhash.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "common/text.h"

namespace {

constexpr size_t kBlockBytes = 64 * 1024;

void AppendNumber(std::string& out, int value) {
    char digits[16];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

}  // namespace

std::string_view ArticleEntry::Line() const {
    if (!m_pLine) return std::string_view();
    // A line ends at its LF (a NUL cuts it short, as it always has); the CR
    // of its CR LF is not part of it.
    size_t length = 0;
    while (m_pLine[length] != '\n' && m_pLine[length] != '\0') ++length;
    if (length > 0 && m_pLine[length] == '\n' && m_pLine[length - 1] == '\r') --length;
    return std::string_view(m_pLine, length);
}

IndexFields ArticleEntry::Fields() const {
    IndexFields fields;
    ParseIndexLine(Line(), fields);
    fields.number = number;
    return fields;
}

bool ParseIndexLine(std::string_view line, IndexFields& fields) {
    std::string_view parts[9];
    size_t count = 0;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        std::string_view part = line.substr(
            start, tab == std::string_view::npos ? std::string_view::npos : tab - start);
        if (count < 9) parts[count] = part;
        ++count;
        if (tab == std::string_view::npos) break;
        start = tab + 1;
    }
    if (count != 7 && count != 8) return false;
    fields.number = ToDecimal(parts[0]);
    fields.subject = parts[1];
    fields.from = parts[2];
    fields.date = parts[3];
    fields.messageId = parts[4];
    fields.bytes = ToDecimal(parts[5]);
    fields.lines = ToDecimal(parts[6]);
    fields.references = count == 8 ? parts[7] : std::string_view();
    return true;
}

void AppendIndexLine(std::string& out, int number, const EntryTexts& texts, int bytes, int lines) {
    AppendNumber(out, number);
    for (const std::string* s : {&texts.subject, &texts.from, &texts.date, &texts.messageId}) {
        out += '\t';
        out += *s;
    }
    out += '\t';
    AppendNumber(out, bytes);
    out += '\t';
    AppendNumber(out, lines);
    out += '\t';
    out += texts.references;
    out += "\r\n";
}

// --- Message-ID lookup -------------------------------------------------------------

uint32_t MessageIdIndex::HashOf(std::string_view messageId) {
    uint64_t h = XXH3_64bits(messageId.data(), messageId.size());
    return static_cast<uint32_t>(h ^ (h >> 32));
}

void MessageIdIndex::Adopt(std::vector<uint32_t> slots, size_t used) {
    m_slots = std::move(slots);
    m_nUsed = used;
}

void MessageIdIndex::Clear() {
    m_slots.clear();
    m_slots.shrink_to_fit();
    m_nUsed = 0;
}

void MessageIdIndex::Reserve(size_t count, const std::vector<ArticleEntry>& items) {
    // At most three slots in four taken, so runs of taken slots stay short.
    if (count * 4 > m_slots.size() * 3) Grow(count, items);
}

void MessageIdIndex::Grow(size_t count, const std::vector<ArticleEntry>& items) {
    std::vector<uint32_t> old = std::move(m_slots);
    m_slots.assign(std::max<size_t>(16, count + count / 3 + 1), kFree);
    m_nUsed = 0;
    for (uint32_t position : old) {
        if (position == kFree) continue;
        size_t i = Home(items[position].IdHash());
        while (m_slots[i] != kFree) i = Next(i);
        m_slots[i] = position;
        ++m_nUsed;
    }
}

long MessageIdIndex::Find(std::string_view messageId, uint32_t hash,
                          const std::vector<ArticleEntry>& items) const {
    if (m_slots.empty()) return -1;
    for (size_t i = Home(hash); m_slots[i] != kFree; i = Next(i)) {
        const ArticleEntry& entry = items[m_slots[i]];
        if (entry.IdHash() == hash && entry.MessageId() == messageId) return m_slots[i];
    }
    return -1;
}

bool MessageIdIndex::Insert(size_t position, const std::vector<ArticleEntry>& items) {
    // Grown by half again, so a list that grows one entry at a time is
    // rearranged only now and then.
    if ((m_nUsed + 1) * 4 > m_slots.size() * 3) Grow((m_nUsed + 1) * 3 / 2, items);
    const ArticleEntry& entry = items[position];
    const uint32_t hash = entry.IdHash();
    size_t i = Home(hash);
    // Lines are read only where the hashes agree: loading a large index must
    // not read every line just to list it.
    for (; m_slots[i] != kFree; i = Next(i)) {
        const ArticleEntry& other = items[m_slots[i]];
        if (other.IdHash() == hash && other.MessageId() == entry.MessageId()) return false;
    }
    m_slots[i] = static_cast<uint32_t>(position);
    ++m_nUsed;
    return true;
}

// --- the list ----------------------------------------------------------------------

const char* ArticleList::Keep(const std::string& line) {
    size_t size = line.size() + 1;  // a NUL after the CR LF ends even a damaged line
    if (m_blocks.empty() || m_nBlockUsed + size > kBlockBytes) {
        m_blocks.emplace_back(new char[std::max(size, kBlockBytes)]);
        m_nBlockUsed = 0;
    }
    char* at = m_blocks.back().get() + m_nBlockUsed;
    std::memcpy(at, line.data(), line.size());
    at[line.size()] = '\0';
    m_nBlockUsed += size;
    m_nPendingBytes += size;
    return at;
}

const ArticleEntry& ArticleList::Add(int number, const EntryTexts& texts, int bytes, int lines) {
    std::string line;
    AppendIndexLine(line, number, texts, bytes, lines);
    ArticleEntry entry;
    entry.number = number;
    entry.m_nIdHash = MessageIdIndex::HashOf(texts.messageId);
    entry.m_pLine = Keep(line);
    ++m_nPending;
    if (!m_items.empty() && number < m_items.back().number) m_bAscending = false;
    m_items.push_back(entry);
    if (!m_byId.Insert(m_items.size() - 1, m_items)) m_bDuplicateIds = true;
    return m_items.back();
}

void ArticleList::AddMapped(int number, const char* line, uint32_t idHash) {
    // Loading comes before anything is added in memory, so the entries kept
    // in memory stay the last ones.
    if (m_nPending > 0) std::abort();
    ArticleEntry entry;
    entry.number = number;
    entry.m_nIdHash = idHash;
    entry.m_pLine = line;
    if (!m_items.empty() && number < m_items.back().number) m_bAscending = false;
    m_items.push_back(entry);
    if (!m_byId.Insert(m_items.size() - 1, m_items)) m_bDuplicateIds = true;
}

bool ArticleList::AdoptMapped(const MappedEntry* entries, size_t count, std::vector<uint32_t> slots,
                              size_t used, bool duplicateIds) {
    if (!m_items.empty() || m_nPending > 0) return false;
    // The table must be one the list would build: room to spare, and every
    // slot free or a position in the list.
    if (used > count || slots.size() < 16 || used * 4 > slots.size() * 3) return false;
    for (uint32_t slot : slots)
        if (slot != UINT32_MAX && slot >= count) return false;
    m_items.resize(count);
    bool ascending = true;
    for (size_t i = 0; i < count; ++i) {
        if (entries[i].offset >= m_file.Size()) {
            m_items.clear();
            return false;
        }
        m_items[i].number = entries[i].number;
        m_items[i].m_nIdHash = entries[i].idHash;
        m_items[i].m_pLine = m_file.Data() + entries[i].offset;
        if (i > 0 && entries[i].number < entries[i - 1].number) ascending = false;
    }
    m_bAscending = ascending;
    m_bDuplicateIds = duplicateIds;
    m_byId.Adopt(std::move(slots), used);
    return true;
}

void ArticleList::reserve(size_t count) {
    m_items.reserve(count);
    m_byId.Reserve(count, m_items);
}

ArticleList::const_iterator ArticleList::erase(const_iterator position) {
    size_t index = static_cast<size_t>(position - m_items.begin());
    if (index >= m_items.size() - m_nPending) --m_nPending;
    m_items.erase(m_items.begin() + static_cast<std::ptrdiff_t>(index));
    ++m_nRemovals;
    // Positions after it moved down: the lookup is made again. Entries leave
    // one at a time only when a cancel or a missing file removes them.
    Reindex();
    return m_items.begin() + static_cast<std::ptrdiff_t>(index);
}

void ArticleList::clear() {
    if (!m_items.empty()) ++m_nRemovals;
    m_items.clear();
    m_items.shrink_to_fit();
    m_byId.Clear();
    m_bAscending = true;
    m_bDuplicateIds = false;
    m_blocks.clear();
    m_nBlockUsed = m_nPendingBytes = m_nPending = 0;
}

void ArticleList::Reindex() {
    m_byId.Clear();
    m_byId.Reserve(m_items.size(), m_items);
    m_bAscending = true;
    m_bDuplicateIds = false;
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (i > 0 && m_items[i].number < m_items[i - 1].number) m_bAscending = false;
        if (!m_byId.Insert(i, m_items)) m_bDuplicateIds = true;
    }
    if (m_nPending == 0) {
        m_blocks.clear();
        m_nBlockUsed = m_nPendingBytes = 0;
    }
}

const ArticleEntry* ArticleList::FindNumber(int number) const {
    if (m_bAscending) {
        auto it = std::lower_bound(m_items.begin(), m_items.end(), number,
                                   [](const ArticleEntry& a, int n) { return a.number < n; });
        return (it != m_items.end() && it->number == number) ? &*it : nullptr;
    }
    auto it = std::find_if(m_items.begin(), m_items.end(),
                           [number](const ArticleEntry& a) { return a.number == number; });
    return it == m_items.end() ? nullptr : &*it;
}

const ArticleEntry* ArticleList::FindMessageId(std::string_view messageId) const {
    long position = m_byId.Find(messageId, MessageIdIndex::HashOf(messageId), m_items);
    return position < 0 ? nullptr : &m_items[static_cast<size_t>(position)];
}

size_t ArticleList::PositionOf(const ArticleEntry* entry) const {
    if (m_items.empty() || entry < m_items.data() || entry >= m_items.data() + m_items.size())
        return m_items.size();
    return static_cast<size_t>(entry - m_items.data());
}

std::pair<ArticleList::const_iterator, ArticleList::const_iterator> ArticleList::Span(
    int low, int high) const {
    if (!m_bAscending) return {m_items.begin(), m_items.end()};
    auto first = std::lower_bound(m_items.begin(), m_items.end(), low,
                                  [](const ArticleEntry& a, int n) { return a.number < n; });
    auto last = std::upper_bound(first, m_items.end(), high,
                                 [](int n, const ArticleEntry& a) { return n < a.number; });
    return {first, last};
}

void ArticleList::MovedToFile(size_t first, size_t offset, size_t count) {
    const char* data = m_file.Data();
    const size_t size = m_file.Size();
    const size_t end = count < m_items.size() - first ? first + count : m_items.size();
    size_t i = first;
    for (; i < end && offset < size; ++i) {
        m_items[i].m_pLine = data + offset;
        const void* lf = std::memchr(data + offset, '\n', size - offset);
        offset = lf ? static_cast<size_t>(static_cast<const char*>(lf) - data) + 1 : size;
    }
    // Lines added after the write was planned are still only in memory:
    // copied into fresh blocks, so that the old ones can go.
    std::vector<std::string> later;
    for (size_t k = std::max(i, m_items.size() - m_nPending); k < m_items.size(); ++k) {
        later.emplace_back(m_items[k].Line());
        later.back() += "\r\n";
    }
    m_blocks.clear();
    m_nBlockUsed = m_nPendingBytes = 0;
    m_nPending = 0;
    for (size_t k = m_items.size() - later.size(); k < m_items.size(); ++k) {
        m_items[k].m_pLine = Keep(later[k - (m_items.size() - later.size())]);
        ++m_nPending;
    }
}

void ArticleList::KeepInMemory() {
    for (size_t i = 0; i < m_items.size() - m_nPending; ++i) {
        std::string line(m_items[i].Line());
        line += "\r\n";
        m_items[i].m_pLine = Keep(line);
    }
    m_nPending = m_items.size();
}

void ArticleList::FileMoved(const char* oldData, size_t oldSize) {
    auto base = reinterpret_cast<uintptr_t>(oldData);
    for (ArticleEntry& entry : m_items) {
        auto at = reinterpret_cast<uintptr_t>(entry.m_pLine);
        if (at >= base && at < base + oldSize) entry.m_pLine = m_file.Data() + (at - base);
    }
}

bool ArticleList::FileOffset(size_t position, uint64_t& offset) const {
    const char* line = m_items[position].m_pLine;
    if (!m_file.Holds(line)) return false;
    offset = static_cast<uint64_t>(line - m_file.Data());
    return true;
}

size_t ArticleList::PendingBytes() const {
    return m_nPendingBytes;
}
