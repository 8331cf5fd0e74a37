#include "ostrel_local/local_alloc.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "ostrel_arena/segment/alloc.hpp"
#include "support/heap.hpp"

namespace {

using namespace ostrel_local_test;
namespace local = ostrel_local::local_alloc;
using page::QueueKind;

constexpr std::size_t big = 16384;  // class 51: 124 blocks fill a segment
constexpr int per_segment = 124;

// Allocates `segments` segments' worth of class-51 blocks, plus one more block that starts
// the next segment, which becomes current.
std::vector<void*> fill_segments(int segments) {
    std::vector<void*> blocks;
    for (int i = 0; i < segments * per_segment + 1; ++i) blocks.push_back(thread_alloc(big, 8));
    return blocks;
}

void free_range(std::vector<void*>& blocks, int from, int to) {
    for (int i = from; i < to; ++i) thread_free(blocks[i], big, 8);
}

bool owns(ThreadAllocator& allocator, page::SegmentHeader* wanted) {
    for (page::SegmentHeader* s = allocator.owned_head; s; s = s->local.owned_next) {
        if (s == wanted) return true;
    }
    return false;
}

TEST(OstrelLocalAllocTest, SweepKeepsThreeOwnedSegments) {
    drain_retained();
    on_fresh_thread([] {
        std::vector<void*> blocks = fill_segments(2);
        ASSERT_EQ(heap().owned_count, 3u);
        std::uint64_t retained = retained_total();
        free_range(blocks, 0, 2 * per_segment);
        ThreadAllocator::run_periodic_defragmentation(heap());
        EXPECT_EQ(heap().owned_count, 3u) << "with three owned segments none is released";
        EXPECT_EQ(retained_total(), retained);
        EXPECT_EQ(list_length(heap().empty), 62u);
        thread_free(blocks.back(), big, 8);
    });
}

TEST(OstrelLocalAllocTest, SweepReleasesEmptySegmentsUntilThreeRemain) {
    drain_retained();
    on_fresh_thread([] {
        std::vector<void*> blocks = fill_segments(4);
        ASSERT_EQ(heap().owned_count, 5u);
        std::vector<page::SegmentHeader*> emptied;
        for (int s = 0; s < 4; ++s) emptied.push_back(segment_of(blocks[s * per_segment]));
        std::uint64_t retained = retained_total();
        free_range(blocks, 0, 4 * per_segment);
        ThreadAllocator::run_periodic_defragmentation(heap());
        EXPECT_EQ(heap().owned_count, 3u);
        EXPECT_EQ(heap().cold_operations, 0u);
        EXPECT_EQ(retained_total(), retained + 2);
        EXPECT_TRUE(owns(heap(), heap().current));
        int released = 0;
        for (page::SegmentHeader* segment : emptied) {
            if (owns(heap(), segment)) continue;
            ++released;
            EXPECT_EQ(page::owner_of(*segment), page::no_owner);
            EXPECT_EQ(segment->local.queued, 0u) << "its pages left every list";
        }
        EXPECT_EQ(released, 2);
        EXPECT_EQ(list_length(heap().empty), 62u);
        for (page::Page* p = heap().empty; p; p = p->local.queue_next) {
            ASSERT_TRUE(owns(heap(), &page::segment_of_page(*p)));
        }
        thread_free(blocks.back(), big, 8);
    });
}

TEST(OstrelLocalAllocTest, IdleMaintenanceSweepsWithoutResettingTheColdCounter) {
    drain_retained();
    on_fresh_thread([] {
        std::vector<void*> blocks = fill_segments(4);
        // Remote frees: only a sweep or a refill takes them back.
        on_fresh_thread([&] { free_range(blocks, 0, 4 * per_segment); });
        heap().cold_operations = 17;
        {
            local::BusyScope busy(heap());
            local::run_idle_memory_maintenance(heap());
        }
        EXPECT_EQ(heap().cold_operations, 17u);
        EXPECT_EQ(heap().owned_count, 3u);
        EXPECT_GE(heap().reclaimed_blocks, 4u * per_segment);
        thread_free(blocks.back(), big, 8);
    });
}

TEST(OstrelLocalAllocTest, RefillPrefersEmptyPagesOfSegmentsStillInUse) {
    drain_retained();
    on_fresh_thread([] {
        std::vector<void*> blocks = fill_segments(1);
        free_range(blocks, 0, 4);  // page 1 of the full segment: to the empty list
        page::Page& wanted = page_of(blocks[0]);
        ASSERT_EQ(heap().empty, &wanted);
        // In front of it, a page of a segment without any used block.
        page::SegmentHeader* idle = ostrel_arena::segment::alloc::map_fresh_segment();
        ASSERT_NE(idle, nullptr);
        local::push_front(heap(), idle->pages[5], QueueKind::empty);
        void* block = thread_alloc(40, 8);
        EXPECT_EQ(&page_of(block), &wanted);
        EXPECT_EQ(heap().empty, &idle->pages[5]);
        local::unlink(heap(), idle->pages[5]);
        EXPECT_EQ(idle->local.queued, 0u);
        EXPECT_TRUE(ostrel_arena::segment::alloc::unmap_segment(*idle));
        thread_free(block, 40, 8);
        free_range(blocks, 4, per_segment + 1);
    });
}

TEST(OstrelLocalAllocTest, RefillScansFullPagesForRemoteFrees) {
    drain_retained();
    on_fresh_thread([] {
        std::vector<void*> blocks = fill_segments(1);
        void* target = blocks[8];  // page 3, deep in the full list
        on_fresh_thread([&] { thread_free(target, big, 8); });
        // The current segment's page 1 still has room; take it all first.
        std::vector<void*> more;
        for (int i = 0; i < 3; ++i) more.push_back(thread_alloc(big, 8));
        void* reused = thread_alloc(big, 8);
        EXPECT_EQ(reused, target);
        EXPECT_EQ(page_of(target).local.queue_kind, QueueKind::full) << "its page is full again";
        more.push_back(reused);
        for (void* block : more) thread_free(block, big, 8);
        free_range(blocks, 0, 8);
        free_range(blocks, 9, per_segment + 1);
    });
}

// A sweep that takes remote frees back into a full page gives that page its free blocks again
// through the available list: a refill no longer finds the page by its (now empty) chain,
// so on the full list its blocks would never be handed out.
TEST(OstrelLocalAllocTest, SweepMovesFullPagesWithReclaimedBlocksToTheAvailableList) {
    drain_retained();
    on_fresh_thread([] {
        std::vector<void*> blocks = fill_segments(1);
        page::Page& record = page_of(blocks[8]);  // page 3, full, outside the current segment
        ASSERT_EQ(record.local.queue_kind, QueueKind::full);
        on_fresh_thread([&] { free_range(blocks, 8, 10); });
        {
            local::BusyScope busy(heap());
            local::run_idle_memory_maintenance(heap());
        }
        EXPECT_EQ(record.local.used, 2u);
        EXPECT_EQ(record.local.queue_kind, QueueKind::available);
        EXPECT_EQ(heap().available[51], &record);
        // The reclaimed blocks are the next ones handed out.
        void* first = thread_alloc(big, 8);
        void* second = thread_alloc(big, 8);
        EXPECT_TRUE((first == blocks[8] && second == blocks[9]) || (first == blocks[9] && second == blocks[8]));
        EXPECT_EQ(record.local.used, 4u);
        thread_free(first, big, 8);
        thread_free(second, big, 8);
        free_range(blocks, 0, 8);
        free_range(blocks, 10, per_segment + 1);
    });
}

TEST(OstrelLocalAllocTest, PageListsKeepTheQueuedBitmap) {
    drain_retained();
    on_fresh_thread([] {
        void* block = thread_alloc(16, 8);
        page::Page& record = page_of(block);
        page::SegmentHeader& segment = *segment_of(block);
        EXPECT_EQ(segment.local.queued, 1u << 1);
        local::move_to_front(heap(), record, QueueKind::full);
        EXPECT_EQ(heap().full[0], &record);
        EXPECT_EQ(heap().available[0], nullptr);
        EXPECT_EQ(segment.local.queued, 1u << 1);
        local::unlink(heap(), record);
        EXPECT_EQ(segment.local.queued, 0u);
        EXPECT_EQ(record.local.queue_kind, QueueKind::none);
        EXPECT_EQ(heap().full[0], nullptr);
        local::push_front(heap(), record, QueueKind::available);
        thread_free(block, 16, 8);
    });
}

}  // namespace
