// Memory for the file contents the read cache keeps. The cache fills fast
// when readers arrive, and taking fresh memory from the heap one small block
// at a time costs a page fault every page or two; here blocks are carved from
// slabs, each made resident at once, that grow with their size class up to a
// huge page (backed as one where the system offers it), and a slab whose
// blocks are all free is given back.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

class ContentPool : public std::enable_shared_from_this<ContentPool> {
public:
    // Blocks keep their pool alive, so it is always held by a shared_ptr.
    static std::shared_ptr<ContentPool> Create() {
        return std::shared_ptr<ContentPool>(new ContentPool());
    }
    ~ContentPool();
    ContentPool(const ContentPool&) = delete;
    ContentPool& operator=(const ContentPool&) = delete;

    // A writable block of `size` bytes that lives until the last copy of the
    // pointer is gone. Larger blocks come from the heap.
    std::shared_ptr<char> Allocate(size_t size);

    size_t SlabCount() const { return m_nSlabs; }
    size_t SlabBytes() const { return m_nSlabBytes; }  // mapped for slabs, all told

    static constexpr size_t kSlabBytes = 2 * 1024 * 1024;  // the largest, a huge page
    static constexpr size_t kSmallestSlab = 64 * 1024;
    static constexpr size_t kLargestPooled = 64 * 1024;

private:
    ContentPool() = default;
    struct Slab;
    // Sizes of the block classes: four steps to every doubling, so a block
    // wastes at most a fifth of itself.
    static size_t ClassOf(size_t size);
    static size_t ClassBytes(size_t cls);
    Slab* NewSlab(size_t cls);
    void Release(Slab* slab, char* block);
    void FreeSlab(Slab* slab);

    std::vector<std::vector<Slab*>> m_partial;  // per class: slabs with a free block
    std::vector<size_t> m_classSlabs;           // per class: slabs in use
    size_t m_nSlabs = 0;
    size_t m_nSlabBytes = 0;
};
