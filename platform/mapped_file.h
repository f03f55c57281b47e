// A file mapped read-only into memory, with address space reserved past its
// end, so that it can grow by appends through a descriptor without the
// mapping moving. Pages of the mapping belong to the page cache, not to the
// process's own memory. No Qt here: the store links it.
#pragma once

#include <cstddef>
#include <string>

class CMappedFile {
public:
    CMappedFile() = default;
    ~CMappedFile();
    CMappedFile(const CMappedFile&) = delete;
    CMappedFile& operator=(const CMappedFile&) = delete;
    // Takes over the other's mapping, giving up its own.
    CMappedFile& operator=(CMappedFile&& other) noexcept;

    // Maps the first `size` bytes of the file open on `fd` (the descriptor
    // may be closed afterwards), reserving room for the file to grow. False,
    // with the mapping empty, when the system refuses.
    bool Map(int fd, size_t size);

    // The file now holds `size` bytes (appended through a descriptor). Keeps
    // the mapping where it is when the reserve covers the new size; else maps
    // the file again, elsewhere, and `oldData` receives where it was (null
    // when it stayed), so that pointers into it can be moved along. False,
    // with the old mapping kept, when the system refuses.
    bool Extend(int fd, size_t size, const char*& oldData);

    // Whether the file may grow to `size` bytes without being mapped again
    // (Extend then needs no descriptor).
    bool Covers(size_t size) const { return m_pData && size <= m_nLength; }

    // Whether `p` points into the mapping's first `Size()` bytes.
    bool Holds(const char* p) const;

    void Unmap();

    const char* Data() const { return m_pData; }
    size_t Size() const { return m_nSize; }
    bool Mapped() const { return m_pData != nullptr; }

private:
    const char* m_pData = nullptr;
    size_t m_nSize = 0;    // bytes of the file that may be read
    size_t m_nLength = 0;  // bytes of address space mapped
};
