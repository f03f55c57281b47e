#include <sys/mman.h>

#include <cstdint>

#include "platform/slab_memory.h"

char* MapSlab(size_t bytes, bool huge) {
    // A whole huge page must be aligned: twice the size is mapped and the
    // aligned stretch kept.
    size_t mapped = huge ? 2 * bytes : bytes;
    void* area =
        ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) return nullptr;
    auto start = reinterpret_cast<uintptr_t>(area);
    uintptr_t aligned = start;
    if (huge) {
        aligned = (start + bytes - 1) & ~(uintptr_t{bytes} - 1);
        if (aligned > start) ::munmap(area, aligned - start);
        uintptr_t end = start + mapped;
        if (end > aligned + bytes)
            ::munmap(reinterpret_cast<void*>(aligned + bytes), end - (aligned + bytes));
    }
    char* base = reinterpret_cast<char*>(aligned);
#ifdef MADV_HUGEPAGE
    if (huge) ::madvise(base, bytes, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
    // Resident in one call instead of one fault per page; where the system
    // cannot, the pages come as they are touched.
    ::madvise(base, bytes, MADV_POPULATE_WRITE);
#endif
    return base;
}

void UnmapSlab(char* base, size_t bytes) {
    ::munmap(base, bytes);
}
