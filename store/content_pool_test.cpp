// Blocks from the pool must never overlap, keep their bytes while held, and
// give their slabs back once all of them are gone, whatever the order.

#include "store/content_pool.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

struct Held {
    std::shared_ptr<char> block;
    size_t size;
    char fill;
};

bool Intact(const Held& h) {
    for (size_t i = 0; i < h.size; ++i)
        if (h.block.get()[i] != h.fill) return false;
    return true;
}

TEST(ContentPoolTest, BlocksKeepTheirBytesAndSlabsAreGivenBack) {
    auto pool = ContentPool::Create();
    std::mt19937 random(7);
    std::vector<size_t> sizes = {1, 255, 256, 257, 2048, 2049, 5000, 65536, 65537, 300000};
    std::vector<Held> held;
    for (int round = 0; round < 4000; ++round) {
        if (!held.empty() && random() % 3 == 0) {
            size_t victim = random() % held.size();
            ASSERT_TRUE(Intact(held[victim])) << "block of " << held[victim].size;
            held.erase(held.begin() + static_cast<std::ptrdiff_t>(victim));
            continue;
        }
        size_t size = sizes[random() % sizes.size()];
        Held h{pool->Allocate(size), size, static_cast<char>('A' + round % 50)};
        ASSERT_TRUE(h.block);
        std::fill(h.block.get(), h.block.get() + size, h.fill);
        held.push_back(std::move(h));
    }
    for (const Held& h : held) ASSERT_TRUE(Intact(h)) << "block of " << h.size;
    EXPECT_GT(pool->SlabCount(), 0u);
    held.clear();
    EXPECT_EQ(pool->SlabCount(), 0u);
}

TEST(ContentPoolTest, SlabsGrowWithTheirClass) {
    auto pool = ContentPool::Create();
    // One article of a size holds a small slab, not a huge page.
    std::vector<std::shared_ptr<char>> held{pool->Allocate(2048)};
    EXPECT_EQ(pool->SlabBytes(), ContentPool::kSmallestSlab);
    // Many of the same size: slabs double up to the largest, and what is
    // mapped stays within a slab of what the blocks need.
    for (int i = 0; i < 10000; ++i) held.push_back(pool->Allocate(2048));
    EXPECT_LE(pool->SlabBytes(), 10001 * 2048 + ContentPool::kSlabBytes);
    EXPECT_GE(pool->SlabBytes(), 10001 * 2048);
    held.clear();
    EXPECT_EQ(pool->SlabBytes(), 0u);
}

TEST(ContentPoolTest, ABlockOutlivesTheLastOtherHolderOfThePool) {
    std::shared_ptr<char> block;
    {
        auto pool = ContentPool::Create();
        block = pool->Allocate(1000);
        std::fill(block.get(), block.get() + 1000, 'x');
    }
    EXPECT_EQ(std::string(block.get(), 1000), std::string(1000, 'x'));
}

}  // namespace
