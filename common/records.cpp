#include "common/records.h"

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

void ArticleList::push_back(Ptr entry) {
    if (!m_items.empty() && entry->number < m_items.back()->number) m_bAscending = false;
    auto inserted = m_byId.emplace(entry->MessageId(), entry.get());
    if (!inserted.second) m_bDuplicateIds = true;
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
    m_byId.clear();
    m_bAscending = true;
    m_bDuplicateIds = false;
}

void ArticleList::Forget(const ArticleEntry* entry) {
    auto it = m_byId.find(entry->MessageId());
    if (it == m_byId.end() || it->second != entry) return;
    m_byId.erase(it);
    if (!m_bDuplicateIds) return;
    // Another entry may carry the same Message-ID: the next one in list order
    // takes its place. Duplicates are rare, so a scan is fine here.
    for (const Ptr& other : m_items) {
        if (other->MessageId() == entry->MessageId()) {
            m_byId.emplace(other->MessageId(), other.get());
            return;
        }
    }
}

void ArticleList::Reindex() {
    m_numbers.clear();
    for (const Ptr& a : m_items) m_numbers.push_back(a->number);
    m_byId.clear();
    m_bAscending = true;
    m_bDuplicateIds = false;
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (i > 0 && m_items[i]->number < m_items[i - 1]->number) m_bAscending = false;
        if (!m_byId.emplace(m_items[i]->MessageId(), m_items[i].get()).second)
            m_bDuplicateIds = true;
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
    return it == m_numbers.end() ? nullptr : m_items[static_cast<size_t>(it - m_numbers.begin())].get();
}

ArticleEntry* ArticleList::FindMessageId(std::string_view messageId) const {
    auto it = m_byId.find(messageId);
    return it == m_byId.end() ? nullptr : it->second;
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
