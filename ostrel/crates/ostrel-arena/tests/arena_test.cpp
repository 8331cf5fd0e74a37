#include "ostrel_arena/arena.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <vector>

#include "garvon/query/cache.hpp"
#include "ostrel_arena/segment/alloc.hpp"
#include "ostrel_arena/segment/pool.hpp"
#include "support/mapping.hpp"

namespace {

namespace arena = ostrel_arena::arena;
namespace pool = ostrel_arena::segment::pool;
namespace page = ostrel_core::types::page;
using ostrel_arena_test::is_mapped;
using page::SegmentHeader;

constexpr std::uint64_t KiB = 1024, MiB = 1024 * KiB;

SegmentHeader* header_of(void* block) {
    return reinterpret_cast<SegmentHeader*>(*(reinterpret_cast<std::uintptr_t*>(block) - 1));
}

pool::GlobalHugePool& home_pool() {
    return pool::WRAPPER_BACKEND_POOLS.huge[garvon::query::cache::cached_node() % pool::NODE_POOLS];
}

TEST(OstrelArenaTest, LargeBlockSitsPastItsHeaderAndFilesInItsBucketWhenFreed) {
    struct Row {
        std::size_t size, alignment;
        std::uint64_t length;
        std::uintptr_t offset;  // of the block from its header
        std::uint32_t bucket;
        pool::HugeList list;
    };
    const Row rows[] = {
        {1, 16, 2 * MiB + 64 * KiB + 1, 64 * KiB, 8, pool::HugeList::a},
        {1, 2 * MiB, 4 * MiB + 1, 2 * MiB, 9, pool::HugeList::a},
        {3 * MiB, 64, 5 * MiB + 64 * KiB, 64 * KiB, 9, pool::HugeList::a},
        {100000, 4096, 2 * MiB + 64 * KiB + 100000, 64 * KiB, 8, pool::HugeList::a},
        {5, 128 * KiB, 2 * MiB + 128 * KiB + 5, 128 * KiB, 8, pool::HugeList::a},
        {MiB, MiB, 4 * MiB, MiB, 8, pool::HugeList::b},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.size << " aligned " << row.alignment);
        ostrel_arena_test::drain_pools();
        void* block = arena::allocate_large_or_huge(row.size, row.alignment);
        ASSERT_NE(block, nullptr);
        auto address = reinterpret_cast<std::uintptr_t>(block);
        SegmentHeader* header = header_of(block);
        auto base = reinterpret_cast<std::uintptr_t>(header);
        EXPECT_EQ(base % (2 * MiB), 0u);
        EXPECT_EQ(address - base, row.offset);
        EXPECT_EQ(address % row.alignment, 0u);
        EXPECT_EQ(header->shared.large_length, row.length);
        EXPECT_LE(header->shared.raw_mapping, base);
        EXPECT_LE(address + row.size, header->shared.raw_mapping + row.length);
        EXPECT_EQ(header->shared.node, garvon::query::cache::cached_node());
        // What the free path reads to tell a large block from a small one.
        std::uint32_t index = page::page_index_of(address);
        if (row.alignment == 2 * MiB) {
            EXPECT_EQ(index, 0u);
        } else {
            EXPECT_NE(index, 0u);
            EXPECT_EQ(page::segment_of(address)->pages[index].local.block_size, 0u);
        }
        std::memset(block, 0xC3, row.size);

        arena::deallocate_large_or_huge(block);
        pool::GuardedStack& list = pool::list_in(home_pool().buckets[row.bucket], row.list);
        EXPECT_EQ(list.stack.count.load(), 1u);
        EXPECT_EQ(list.stack.bytes.load(), row.length);
        EXPECT_EQ(home_pool().total_blocks.load(), 1u);
        EXPECT_EQ(home_pool().total_bytes.load(), row.length);
        EXPECT_EQ(pool::stack_top(list.stack.head.load()), header);
    }
    ostrel_arena_test::drain_pools();
    EXPECT_EQ(home_pool().total_blocks.load(), 0u);
}

TEST(OstrelArenaTest, InvalidRequestsGiveNull) {
    struct Row {
        std::size_t size, alignment;
    };
    const Row rows[] = {{1, 0},        {1, 3},  {1, 4 * MiB}, {0, 16}, {std::size_t{1} << 63, 16},
                        {(std::size_t{1} << 63) - 1, 16}, {64, 48}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.size << " aligned " << row.alignment);
        EXPECT_EQ(arena::allocate_large_or_huge(row.size, row.alignment), nullptr);
    }
}

TEST(OstrelArenaTest, RetainedMappingsAreReusedAsTheyAre) {
    ostrel_arena_test::drain_pools();
    // Same length: the same mapping comes back.
    void* first = arena::allocate_large_or_huge(3 * MiB, 64);
    SegmentHeader* first_header = header_of(first);
    arena::deallocate_large_or_huge(first);
    void* again = arena::allocate_large_or_huge(3 * MiB, 64);
    EXPECT_EQ(header_of(again), first_header);
    EXPECT_EQ(home_pool().total_blocks.load(), 0u);

    // A longer B-list mapping of the exact bucket serves an A-length request, keeping its length.
    void* longer = arena::allocate_large_or_huge(5 * MiB, 64);  // 7 MiB + 64 KiB: bucket 9, list B
    SegmentHeader* longer_header = header_of(longer);
    arena::deallocate_large_or_huge(longer);
    void* shorter = arena::allocate_large_or_huge(3 * MiB, 4096);
    EXPECT_EQ(header_of(shorter), longer_header);
    EXPECT_EQ(longer_header->shared.large_length, 7 * MiB + 64 * KiB);

    // A mapping of a higher bucket serves when the exact bucket is empty.
    void* higher = arena::allocate_large_or_huge(10 * MiB, 64);  // 12 MiB + 64 KiB: bucket 10
    SegmentHeader* higher_header = header_of(higher);
    arena::deallocate_large_or_huge(higher);
    void* small = arena::allocate_large_or_huge(2 * MiB + 512 * KiB, 2 * MiB);
    EXPECT_EQ(header_of(small), higher_header);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(small) - reinterpret_cast<std::uintptr_t>(higher_header), 2 * MiB);
    std::memset(small, 1, 2 * MiB + 512 * KiB);

    for (void* block : {again, shorter, small}) arena::deallocate_large_or_huge(block);
    ostrel_arena_test::drain_pools();
}

TEST(OstrelArenaTest, MappingsOver16MiBAreNeverRetained) {
    ostrel_arena_test::drain_pools();
    void* bucketed = arena::allocate_large_or_huge(10 * MiB, 64);
    SegmentHeader* bucketed_header = header_of(bucketed);
    arena::deallocate_large_or_huge(bucketed);
    ASSERT_EQ(home_pool().total_blocks.load(), 1u);
    pool::GuardedStack& list = home_pool().buckets[10].list_b;
    const std::uint64_t head = list.stack.head.load();
    ASSERT_EQ(pool::stack_top(head), bucketed_header);

    void* huge = arena::allocate_large_or_huge(20 * MiB, 64);
    ASSERT_NE(huge, nullptr);
    SegmentHeader* huge_header = header_of(huge);
    EXPECT_NE(huge_header, bucketed_header) << "bucket 10 holds nothing long enough";
    EXPECT_EQ(home_pool().total_blocks.load(), 1u);
    // Not even looked at: a pop and a push back would have moved the tag.
    EXPECT_EQ(list.stack.head.load(), head);
    std::uintptr_t huge_raw = huge_header->shared.raw_mapping;
    arena::deallocate_large_or_huge(huge);
    EXPECT_FALSE(is_mapped(huge_raw));
    EXPECT_EQ(home_pool().total_blocks.load(), 1u);
    ostrel_arena_test::drain_pools();
}

TEST(OstrelArenaTest, ListByteLimitSendsTheNextMappingBackToTheSystem) {
    ostrel_arena_test::drain_pools();
    std::vector<void*> blocks;
    for (int i = 0; i < 26; ++i) blocks.push_back(arena::allocate_large_or_huge(3 * MiB, 64));
    std::uintptr_t last_raw = header_of(blocks.back())->shared.raw_mapping;
    for (void* block : blocks) arena::deallocate_large_or_huge(block);
    // 25 mappings of 5 MiB + 64 KiB fit in 128 MiB; the 26th would not.
    pool::GuardedStack& list = home_pool().buckets[9].list_a;
    EXPECT_EQ(list.stack.count.load(), 25u);
    EXPECT_EQ(list.stack.bytes.load(), 25 * (5 * MiB + 64 * KiB));
    EXPECT_FALSE(is_mapped(last_raw));
    ostrel_arena_test::drain_pools();
    EXPECT_EQ(list.stack.count.load(), 0u);
    EXPECT_EQ(home_pool().total_bytes.load(), 0u);
}

TEST(OstrelArenaTest, MappingsOfOtherNodesAreFoundAroundTheRing) {
    ostrel_arena_test::drain_pools();
    void* block = arena::allocate_large_or_huge(3 * MiB, 64);
    SegmentHeader* header = header_of(block);
    std::uint32_t other = (garvon::query::cache::cached_node() + 3) % pool::NODE_POOLS;
    header->shared.node = other;
    arena::deallocate_large_or_huge(block);
    EXPECT_EQ(pool::WRAPPER_BACKEND_POOLS.huge[other].total_blocks.load(), 1u);
    void* again = arena::allocate_large_or_huge(3 * MiB, 64);
    EXPECT_EQ(header_of(again), header);
    EXPECT_EQ(header->shared.node, other) << "a reused mapping keeps its node";
    arena::deallocate_large_or_huge(again);
    ostrel_arena_test::drain_pools();
    EXPECT_EQ(pool::WRAPPER_BACKEND_POOLS.huge[other].total_blocks.load(), 0u);
}

TEST(OstrelArenaDeathTest, FreeWithoutALargeBlockHeaderAborts) {
    struct Row {
        const char* name;
        std::uintptr_t (*header_word)(SegmentHeader& header);
    };
    const Row rows[] = {
        {"zero word", [](SegmentHeader&) -> std::uintptr_t { return 0; }},
        {"unaligned word", [](SegmentHeader& h) { return reinterpret_cast<std::uintptr_t>(&h) + 64; }},
        {"raw mapping after the header",
         [](SegmentHeader& h) {
             h.shared.raw_mapping = reinterpret_cast<std::uintptr_t>(&h) + 4096;
             return reinterpret_cast<std::uintptr_t>(&h);
         }},
        {"raw mapping 2 MiB before the header",
         [](SegmentHeader& h) {
             h.shared.raw_mapping = reinterpret_cast<std::uintptr_t>(&h) - 2 * MiB;
             return reinterpret_cast<std::uintptr_t>(&h);
         }},
        {"plain segment header",
         [](SegmentHeader& h) {
             h.shared.large_length = 0;
             return reinterpret_cast<std::uintptr_t>(&h);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EXIT(
            {
                void* block = arena::allocate_large_or_huge(64, 16);
                SegmentHeader* header = header_of(block);
                *(reinterpret_cast<std::uintptr_t*>(block) - 1) = row.header_word(*header);
                arena::deallocate_large_or_huge(block);
            },
            testing::KilledBySignal(SIGABRT),
            "");
    }
}

}  // namespace
