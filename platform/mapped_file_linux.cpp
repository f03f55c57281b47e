#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "platform/mapped_file.h"

namespace {

// Twice the size, and at least 64 MB more: a group that grows by posts
// rarely needs a new mapping, and address space costs nothing until read.
size_t ReserveFor(size_t size) {
    size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    size_t length = std::max(size * 2, size + (64u << 20));
    return (length + page - 1) / page * page;
}

}  // namespace

CMappedFile::~CMappedFile() {
    Unmap();
}

CMappedFile& CMappedFile::operator=(CMappedFile&& other) noexcept {
    if (this == &other) return *this;
    Unmap();
    m_pData = other.m_pData;
    m_nSize = other.m_nSize;
    m_nLength = other.m_nLength;
    other.m_pData = nullptr;
    other.m_nSize = other.m_nLength = 0;
    return *this;
}

void CMappedFile::Unmap() {
    if (m_pData) ::munmap(const_cast<char*>(m_pData), m_nLength);
    m_pData = nullptr;
    m_nSize = m_nLength = 0;
}

bool CMappedFile::Map(int fd, size_t size) {
    Unmap();
    size_t length = ReserveFor(size);
    // Pages past the end of the file are never touched: they only keep the
    // address space for the appends to come.
    void* data = ::mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_NORESERVE, fd, 0);
    if (data == MAP_FAILED) return false;
    m_pData = static_cast<const char*>(data);
    m_nSize = size;
    m_nLength = length;
    return true;
}

bool CMappedFile::Holds(const char* p) const {
    auto at = reinterpret_cast<uintptr_t>(p);
    auto base = reinterpret_cast<uintptr_t>(m_pData);
    return m_pData && at >= base && at < base + m_nSize;
}

bool CMappedFile::Extend(int fd, size_t size, const char*& oldData) {
    oldData = nullptr;
    if (m_pData && size <= m_nLength) {
        m_nSize = std::max(m_nSize, size);
        return true;
    }
    const char* old = m_pData;
    size_t length = ReserveFor(size);
    void* data = ::mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_NORESERVE, fd, 0);
    if (data == MAP_FAILED) return false;
    if (old) ::munmap(const_cast<char*>(old), m_nLength);
    m_pData = static_cast<const char*>(data);
    oldData = old;
    m_nSize = size;
    m_nLength = length;
    return true;
}
