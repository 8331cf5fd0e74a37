#include "ostrel_decay/step.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "ostrel_arena/arena.hpp"
#include "ostrel_arena/segment/alloc.hpp"
#include "ostrel_arena/segment/pool.hpp"
#include "ostrel_core/types/page.hpp"

namespace {

namespace pool = ostrel_arena::segment::pool;
namespace page = ostrel_core::types::page;
using page::SegmentHeader;

bool is_mapped(std::uintptr_t address) {
    unsigned char residency = 0;
    return mincore(reinterpret_cast<void*>(address & ~std::uintptr_t(4095)), 4096, &residency) == 0 || errno != ENOMEM;
}

// A segment as a thread leaves it at exit: page 1 holds `used` blocks of 64 bytes, of
// which `remote` have been freed by other threads since.
SegmentHeader* abandoned_segment(std::uint32_t used, std::uint32_t remote) {
    SegmentHeader* segment = ostrel_arena::segment::alloc::map_fresh_segment();
    page::Page& record = segment->pages[1];
    record.local.block_size = 64;
    record.local.used = used;
    record.local.bump = used;
    page::mark_occupied(*segment, 1);
    for (std::uint32_t k = 0; k < remote; ++k) {
        std::uintptr_t block = page::page_start(*segment, 1) + 64 * k;
        std::uint64_t word = record.shared.thread_free;
        *reinterpret_cast<std::uintptr_t*>(block) = page::thread_free_head(word);
        record.shared.thread_free = page::pack_thread_free(block, page::thread_free_count(word) + 1);
    }
    return segment;
}

std::uint64_t count_of(pool::GlobalSegmentPool& p) { return p.guarded.stack.count.load(); }

TEST(OstrelDecayStepTest, EmptiedAbandonedSegmentsAreUnmappedAndLiveOnesStayAbandonedOnTheirNode) {
    pool::purge_retained_segments();
    SegmentHeader* emptied = abandoned_segment(2, 2);
    SegmentHeader* live = abandoned_segment(3, 1);
    std::uintptr_t emptied_raw = emptied->shared.raw_mapping;
    live->shared.node = 5;
    std::uint32_t home = emptied->shared.node % pool::NODE_POOLS;
    pool::push(pool::WRAPPER_BACKEND_POOLS.abandoned[home].guarded, emptied);
    pool::push(pool::WRAPPER_BACKEND_POOLS.abandoned[home].guarded, live);

    ostrel_decay::step::decay_step();

    EXPECT_FALSE(is_mapped(emptied_raw)) << "found empty, retained, then unmapped by the same pass";
    EXPECT_EQ(count_of(pool::WRAPPER_BACKEND_POOLS.abandoned[home]), home == 5 ? 1u : 0u);
    EXPECT_EQ(count_of(pool::WRAPPER_BACKEND_POOLS.abandoned[5]), 1u);
    EXPECT_EQ(count_of(pool::WRAPPER_BACKEND_POOLS.retained[home]), 0u);
    EXPECT_EQ(live->pages[1].local.used, 2u) << "its remote free was taken back";
    EXPECT_EQ(live->pages[1].shared.thread_free, 0u);
    EXPECT_EQ(pool::pop(pool::WRAPPER_BACKEND_POOLS.abandoned[5].guarded), live);
    EXPECT_TRUE(ostrel_arena::segment::alloc::unmap_segment(*live));
}

TEST(OstrelDecayStepTest, RetainedSegmentsAndLargeBlocksOfEveryNodeAreUnmapped) {
    SegmentHeader* a = ostrel_arena::segment::alloc::map_fresh_segment();
    SegmentHeader* b = ostrel_arena::segment::alloc::map_fresh_segment();
    std::uintptr_t a_raw = a->shared.raw_mapping, b_raw = b->shared.raw_mapping;
    b->shared.node = 9;
    ostrel_arena::segment::alloc::deallocate_segment(*a);
    ostrel_arena::segment::alloc::deallocate_segment(*b);
    void* large = ostrel_arena::arena::allocate_large_or_huge(3u << 20, 64);
    auto* header = reinterpret_cast<SegmentHeader*>(*(reinterpret_cast<std::uintptr_t*>(large) - 1));
    std::uintptr_t large_raw = header->shared.raw_mapping;
    header->shared.node = 12;
    ostrel_arena::arena::deallocate_large_or_huge(large);
    ASSERT_EQ(pool::WRAPPER_BACKEND_POOLS.huge[12].total_blocks.load(), 1u);

    ostrel_decay::step::decay_step();

    EXPECT_FALSE(is_mapped(a_raw));
    EXPECT_FALSE(is_mapped(b_raw));
    EXPECT_FALSE(is_mapped(large_raw));
    EXPECT_EQ(pool::WRAPPER_BACKEND_POOLS.huge[12].total_blocks.load(), 0u);
    EXPECT_EQ(pool::WRAPPER_BACKEND_POOLS.huge[12].total_bytes.load(), 0u);
    EXPECT_EQ(count_of(pool::WRAPPER_BACKEND_POOLS.retained[9]), 0u);
}

}  // namespace
