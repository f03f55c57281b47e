#include "store/content_pool.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "platform/slab_memory.h"

struct ContentPool::Slab {
    char* base = nullptr;
    size_t bytes = 0;
    size_t cls = 0;
    size_t blockBytes = 0;
    size_t carved = 0;         // blocks handed out at least once
    size_t used = 0;           // blocks handed out now
    char* freeList = nullptr;  // freed blocks, linked through their first bytes
};

namespace {

constexpr size_t kSmallest = 256;

// kSmallest, then four steps to every doubling up to the largest pooled size.
const std::array<size_t, 33>& ClassSizes() {
    static const std::array<size_t, 33> sizes = [] {
        std::array<size_t, 33> s{};
        size_t i = 0;
        for (size_t base = kSmallest; i < s.size(); base *= 2)
            for (size_t step = 0; step < 4 && i < s.size(); ++step) s[i++] = base + base / 4 * step;
        return s;
    }();
    return sizes;
}

}  // namespace

ContentPool::~ContentPool() {
    for (auto& slabs : m_partial)
        for (Slab* slab : slabs) FreeSlab(slab);
}

size_t ContentPool::ClassOf(size_t size) {
    const auto& sizes = ClassSizes();
    return static_cast<size_t>(std::lower_bound(sizes.begin(), sizes.end(), size) - sizes.begin());
}

size_t ContentPool::ClassBytes(size_t cls) {
    return ClassSizes()[cls];
}

ContentPool::Slab* ContentPool::NewSlab(size_t cls) {
    // A class's first slab is small, each further one twice the last, up to
    // the huge page size: a size class read once or twice holds no more than
    // a few pages, a busy one gets slabs the system can back with huge pages.
    size_t blockBytes = ClassBytes(cls);
    size_t bytes = std::max(kSmallestSlab, blockBytes * 16);
    for (size_t i = 0; i < m_classSlabs[cls] && bytes < kSlabBytes; ++i) bytes *= 2;
    bytes = std::min(bytes, kSlabBytes);
    bool huge = bytes == kSlabBytes;
    char* base = MapSlab(bytes, huge);
    if (!base) return nullptr;
    auto* slab = new Slab;
    slab->base = base;
    slab->bytes = bytes;
    slab->cls = cls;
    slab->blockBytes = blockBytes;
    ++m_classSlabs[cls];
    ++m_nSlabs;
    m_nSlabBytes += bytes;
    return slab;
}

void ContentPool::FreeSlab(Slab* slab) {
    UnmapSlab(slab->base, slab->bytes);
    m_nSlabBytes -= slab->bytes;
    --m_classSlabs[slab->cls];
    delete slab;
    --m_nSlabs;
}

std::shared_ptr<char> ContentPool::Allocate(size_t size) {
    if (size == 0 || size > kLargestPooled)
        return std::shared_ptr<char>(new char[std::max<size_t>(size, 1)],
                                     std::default_delete<char[]>());
    size_t cls = ClassOf(size);
    if (m_partial.size() <= cls) {
        m_partial.resize(ClassSizes().size());
        m_classSlabs.resize(ClassSizes().size());
    }
    std::vector<Slab*>& slabs = m_partial[cls];
    if (slabs.empty()) {
        Slab* fresh = NewSlab(cls);
        if (!fresh) return std::shared_ptr<char>(new char[size], std::default_delete<char[]>());
        slabs.push_back(fresh);
    }
    Slab* slab = slabs.back();
    char* block;
    if (slab->freeList) {
        block = slab->freeList;
        slab->freeList = *reinterpret_cast<char**>(block);
    } else {
        block = slab->base + slab->carved * slab->blockBytes;
        ++slab->carved;
    }
    ++slab->used;
    bool full = !slab->freeList && (slab->carved + 1) * slab->blockBytes > slab->bytes;
    if (full) slabs.pop_back();
    std::shared_ptr<ContentPool> self = shared_from_this();
    return std::shared_ptr<char>(block, [self, slab](char* p) { self->Release(slab, p); });
}

void ContentPool::Release(Slab* slab, char* block) {
    bool wasFull = !slab->freeList && (slab->carved + 1) * slab->blockBytes > slab->bytes;
    *reinterpret_cast<char**>(block) = slab->freeList;
    slab->freeList = block;
    --slab->used;
    std::vector<Slab*>& slabs = m_partial[slab->cls];
    if (slab->used == 0) {
        if (!wasFull) slabs.erase(std::find(slabs.begin(), slabs.end(), slab));
        FreeSlab(slab);
        return;
    }
    if (wasFull) slabs.push_back(slab);
}
