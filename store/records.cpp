#include "store/records.h"

#include <algorithm>
#include <cstring>

ArticleEntry::ArticleEntry(const ArticleEntry& other)
    : number(other.number), bytes(other.bytes), lines(other.lines) {
    SetText(other.Subject(), other.From(), other.Date(), other.MessageId(), other.References());
}

ArticleEntry& ArticleEntry::operator=(const ArticleEntry& other) {
    if (this == &other) return *this;
    number = other.number;
    bytes = other.bytes;
    lines = other.lines;
    SetText(other.Subject(), other.From(), other.Date(), other.MessageId(), other.References());
    return *this;
}

void ArticleEntry::SetText(std::string_view subject, std::string_view from, std::string_view date,
                           std::string_view messageId, std::string_view references) {
    const std::string_view parts[5] = {subject, from, date, messageId, references};
    size_t total = 0;
    for (std::string_view part : parts) total += part.size();
    // An index line longer than 4 GB is cut short rather than wrapped.
    std::unique_ptr<char[]> text(total > 0 ? new char[total] : nullptr);
    uint32_t at = 0;
    for (int i = 0; i < 5; ++i) {
        size_t size = std::min<size_t>(parts[i].size(), UINT32_MAX - at);
        if (size > 0) std::memcpy(text.get() + at, parts[i].data(), size);
        at += static_cast<uint32_t>(size);
        m_ends[i] = at;
    }
    m_text = std::move(text);
}

uint32_t MessageIdIndex::HashOf(std::string_view messageId) {
    uint64_t h = std::hash<std::string_view>()(messageId);
    return static_cast<uint32_t>(h ^ (h >> 32));
}

void MessageIdIndex::Clear() {
    m_slots.clear();
    m_slots.shrink_to_fit();
    m_nUsed = 0;
}

void MessageIdIndex::Reserve(size_t count) {
    // At most three slots in four taken, so runs of taken slots stay short.
    if (count * 4 > m_slots.size() * 3) Grow(count);
}

void MessageIdIndex::Grow(size_t count) {
    std::vector<Slot> old = std::move(m_slots);
    m_slots.assign(std::max<size_t>(16, count + count / 3 + 1), Slot());
    m_nUsed = 0;
    for (const Slot& slot : old) {
        if (!slot.entry) continue;
        size_t i = Home(slot.hash);
        while (m_slots[i].entry) i = Next(i);
        m_slots[i] = slot;
        ++m_nUsed;
    }
}

ArticleEntry* MessageIdIndex::Find(std::string_view messageId) const {
    if (m_slots.empty()) return nullptr;
    uint32_t hash = HashOf(messageId);
    for (size_t i = Home(hash); m_slots[i].entry; i = Next(i))
        if (m_slots[i].hash == hash && m_slots[i].entry->MessageId() == messageId)
            return m_slots[i].entry;
    return nullptr;
}

bool MessageIdIndex::Insert(ArticleEntry* entry) {
    if (Find(entry->MessageId())) return false;
    // Grown by half again, so a list that grows one entry at a time is
    // rearranged only now and then.
    if ((m_nUsed + 1) * 4 > m_slots.size() * 3) Grow((m_nUsed + 1) * 3 / 2);
    uint32_t hash = HashOf(entry->MessageId());
    size_t i = Home(hash);
    while (m_slots[i].entry) i = Next(i);
    m_slots[i] = Slot{entry, hash};
    ++m_nUsed;
    return true;
}

void MessageIdIndex::Erase(const ArticleEntry* entry) {
    if (m_slots.empty()) return;
    uint32_t hash = HashOf(entry->MessageId());
    size_t hole = Home(hash);
    while (m_slots[hole].entry && m_slots[hole].entry != entry) hole = Next(hole);
    if (!m_slots[hole].entry) return;
    // Later slots of the run move back into the hole when their home is not
    // between the hole and where they stand, so no search stops short.
    for (size_t i = Next(hole); m_slots[i].entry; i = Next(i)) {
        size_t home = Home(m_slots[i].hash);
        bool staysPut = hole <= i ? (hole < home && home <= i) : (hole < home || home <= i);
        if (staysPut) continue;
        m_slots[hole] = m_slots[i];
        hole = i;
    }
    m_slots[hole] = Slot();
    --m_nUsed;
}

void ArticleList::push_back(Ptr entry) {
    if (!m_items.empty() && entry->number < m_items.back()->number) m_bAscending = false;
    if (!m_byId.Insert(entry.get())) m_bDuplicateIds = true;
    m_numbers.push_back(entry->number);
    m_items.push_back(std::move(entry));
}

ArticleList::const_iterator ArticleList::erase(const_iterator position) {
    size_t index = static_cast<size_t>(position - m_items.begin());
    Ptr doomed = std::move(m_items[index]);
    m_items.erase(m_items.begin() + static_cast<std::ptrdiff_t>(index));
    m_numbers.erase(m_numbers.begin() + static_cast<std::ptrdiff_t>(index));
    ++m_nRemovals;
    Forget(doomed.get());
    return m_items.begin() + static_cast<std::ptrdiff_t>(index);
}

void ArticleList::clear() {
    if (!m_items.empty()) ++m_nRemovals;
    m_items.clear();
    m_numbers.clear();
    m_byId.Clear();
    m_bAscending = true;
    m_bDuplicateIds = false;
}

void ArticleList::Forget(const ArticleEntry* entry) {
    if (m_byId.Find(entry->MessageId()) != entry) return;
    m_byId.Erase(entry);
    if (!m_bDuplicateIds) return;
    // Another entry may carry the same Message-ID: the next one in list order
    // takes its place. Duplicates are rare, so a scan is fine here.
    for (const Ptr& other : m_items) {
        if (other->MessageId() == entry->MessageId()) {
            m_byId.Insert(other.get());
            return;
        }
    }
}

void ArticleList::Reindex() {
    m_numbers.clear();
    for (const Ptr& a : m_items) m_numbers.push_back(a->number);
    m_byId.Clear();
    m_byId.Reserve(m_items.size());
    m_bAscending = true;
    m_bDuplicateIds = false;
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (i > 0 && m_items[i]->number < m_items[i - 1]->number) m_bAscending = false;
        if (!m_byId.Insert(m_items[i].get())) m_bDuplicateIds = true;
    }
}

ArticleEntry* ArticleList::FindNumber(int number) const {
    // The numbers are searched in a copy of their own, packed together, so a
    // lookup does not visit an entry for every step.
    if (m_bAscending) {
        auto it = std::lower_bound(m_numbers.begin(), m_numbers.end(), number);
        return (it != m_numbers.end() && *it == number)
                   ? m_items[static_cast<size_t>(it - m_numbers.begin())].get()
                   : nullptr;
    }
    auto it = std::find(m_numbers.begin(), m_numbers.end(), number);
    return it == m_numbers.end() ? nullptr
                                 : m_items[static_cast<size_t>(it - m_numbers.begin())].get();
}

ArticleEntry* ArticleList::FindMessageId(std::string_view messageId) const {
    return m_byId.Find(messageId);
}

size_t ArticleList::PositionOf(const ArticleEntry* entry) const {
    if (m_bAscending) {
        auto it = std::lower_bound(m_numbers.begin(), m_numbers.end(), entry->number);
        for (size_t i = static_cast<size_t>(it - m_numbers.begin());
             i < m_items.size() && m_numbers[i] == entry->number; ++i)
            if (m_items[i].get() == entry) return i;
    }
    for (size_t i = 0; i < m_items.size(); ++i)
        if (m_items[i].get() == entry) return i;
    return m_items.size();
}
