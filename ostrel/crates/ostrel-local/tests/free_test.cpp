#include "ostrel_local/free.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <vector>

#include "support/heap.hpp"

namespace {

using namespace ostrel_local_test;
using page::QueueKind;

constexpr std::size_t big = 16384;  // class 51: four blocks per page

TEST(OstrelThreadFreeTest, RemoteFreeIsReusedOnlyAfterAReclaim) {
    on_fresh_thread([] {
        void* b[4];
        for (void*& block : b) block = thread_alloc(big, 8);
        page::Page& record = page_of(b[0]);
        ASSERT_EQ(record.local.used, 4u);
        on_fresh_thread([&] { thread_free(b[0], big, 8); });
        EXPECT_EQ(page::thread_free_head(record.shared.thread_free), address(b[0]));
        EXPECT_EQ(page::thread_free_count(record.shared.thread_free), 1u);
        EXPECT_EQ(record.local.used, 4u) << "a remote free is counted only when reclaimed";
        thread_free(b[1], big, 8);
        EXPECT_EQ(thread_alloc(big, 8), b[1]) << "the local list comes first";
        std::uint64_t reclaimed = heap().reclaimed_blocks;
        EXPECT_EQ(thread_alloc(big, 8), b[0]) << "lists and tail exhausted: the chain is reclaimed";
        EXPECT_EQ(heap().reclaimed_blocks, reclaimed + 1);
        EXPECT_EQ(record.shared.thread_free, 0u);
        for (void* block : b) thread_free(block, big, 8);
    });
}

TEST(OstrelThreadFreeTest, FreeOfABlockOfNoThreadsSegmentGoesToItsChain) {
    // The freeing thread has no heap at all.
    void* block = nullptr;
    void* keep = nullptr;
    on_fresh_thread([&] {
        block = thread_alloc(64, 64);
        keep = thread_alloc(64, 64);  // keeps the segment alive at exit
    });
    page::Page& record = page_of(block);
    EXPECT_EQ(page::owner_of(*segment_of(block)), page::no_owner);
    thread_free(block, 64, 64);
    EXPECT_EQ(page::thread_free_head(record.shared.thread_free), address(block));
    thread_free(keep, 64, 64);
    EXPECT_EQ(page::thread_free_count(record.shared.thread_free), 2u);
}

TEST(OstrelThreadFreeTest, EmptiedPageOfTheCurrentSegmentStaysAvailable) {
    on_fresh_thread([] {
        void* b[3];
        for (void*& block : b) block = thread_alloc(big, 8);
        page::Page& record = page_of(b[0]);
        for (void* block : b) thread_free(block, big, 8);
        EXPECT_EQ(record.local.used, 0u);
        EXPECT_EQ(record.local.queue_kind, QueueKind::available);
        EXPECT_EQ(heap().available[51], &record);
        EXPECT_NE(segment_of(b[0])->local.occupancy & (1u << 1), 0u) << "bits are only set while current";
    });
}

// Fills the 31 pages of one segment with class-51 blocks and starts a second segment with
// a block of another class, so that the first is no longer current.
struct TwoSegments {
    TwoSegments() {
        drain_retained();
        for (int i = 0; i < 124; ++i) blocks.push_back(thread_alloc(big, 8));
        other = thread_alloc(16, 8);
    }
    std::vector<void*> blocks;
    void* other;
};

TEST(OstrelThreadFreeTest, EmptiedPageElsewhereGoesToTheEmptyListUnlessItIsTheOnlyAvailablePage) {
    on_fresh_thread([] {
        TwoSegments setup;
        page::SegmentHeader* first = segment_of(setup.blocks[0]);
        ASSERT_NE(segment_of(setup.other), first);
        ASSERT_EQ(heap().current, segment_of(setup.other));
        page::Page& last_page = page_of(setup.blocks[123]);  // page 31: still on the available list
        page::Page& first_page = page_of(setup.blocks[0]);   // page 1: moved to the full list
        ASSERT_EQ(last_page.local.queue_kind, QueueKind::available);
        ASSERT_EQ(first_page.local.queue_kind, QueueKind::full);

        for (int i = 120; i < 124; ++i) thread_free(setup.blocks[i], big, 8);
        EXPECT_EQ(last_page.local.used, 0u);
        EXPECT_EQ(last_page.local.queue_kind, QueueKind::available) << "the class's only available page stays";
        EXPECT_EQ(first->local.occupancy & (1u << 31), 0u);

        thread_free(setup.blocks[0], big, 8);
        EXPECT_EQ(first_page.local.queue_kind, QueueKind::available) << "a full page with a free block is available";
        EXPECT_EQ(heap().available[51], &first_page);
        for (int i = 1; i < 4; ++i) thread_free(setup.blocks[i], big, 8);
        EXPECT_EQ(first_page.local.queue_kind, QueueKind::empty);
        EXPECT_EQ(heap().empty, &first_page);
        EXPECT_EQ(first->local.occupancy & (1u << 1), 0u);

        // The next refill of any class prefers the empty page.
        void* reused = thread_alloc(700, 8);
        EXPECT_EQ(&page_of(reused), &first_page);
        EXPECT_EQ(first_page.local.block_size, 768u);
        for (int i = 4; i < 120; ++i) thread_free(setup.blocks[i], big, 8);
        thread_free(reused, 700, 8);
        thread_free(setup.other, 16, 8);
    });
}

TEST(OstrelThreadFreeTest, LastFreeOfAPageOutsideTheCurrentSegmentEmptiesIt) {
    on_fresh_thread([] {
        TwoSegments setup;
        page::Page& first_page = page_of(setup.blocks[0]);
        on_fresh_thread([&] {
            for (int i = 1; i < 4; ++i) thread_free(setup.blocks[i], big, 8);
        });
        // The sweep takes the chain back into the full page, which can hand out blocks again.
        {
            ostrel_local::local_alloc::BusyScope busy(heap());
            ostrel_local::local_alloc::run_idle_memory_maintenance(heap());
        }
        ASSERT_EQ(first_page.local.used, 1u);
        ASSERT_EQ(first_page.local.queue_kind, QueueKind::available);
        thread_free(setup.blocks[0], big, 8);
        EXPECT_EQ(first_page.local.used, 0u);
        EXPECT_EQ(first_page.local.queue_kind, QueueKind::empty);
        EXPECT_EQ(segment_of(setup.blocks[0])->local.occupancy & (1u << 1), 0u);
        for (int i = 4; i < 124; ++i) thread_free(setup.blocks[i], big, 8);
        thread_free(setup.other, 16, 8);
    });
}

TEST(OstrelThreadFreeTest, FreeOnAFullPageWhileBusyGoesThroughTheChain) {
    on_fresh_thread([] {
        TwoSegments setup;
        page::Page& first_page = page_of(setup.blocks[0]);
        heap().busy = 1;
        thread_free(setup.blocks[0], big, 8);
        heap().busy = 0;
        EXPECT_EQ(page::thread_free_head(first_page.shared.thread_free), address(setup.blocks[0]));
        EXPECT_EQ(first_page.local.queue_kind, QueueKind::full) << "no list moved while busy";
        EXPECT_EQ(first_page.local.used, 4u);
        for (void* block : setup.blocks) {
            if (block != setup.blocks[0]) thread_free(block, big, 8);
        }
        thread_free(setup.other, 16, 8);
    });
}

TEST(OstrelThreadFreeDeathTest, DoubleFreesAbort) {
    EXPECT_EXIT(
        {
            void* a = thread_alloc(48, 16);
            void* b = thread_alloc(48, 16);
            (void)b;
            thread_free(a, 48, 16);
            thread_free(a, 48, 16);
        },
        testing::KilledBySignal(SIGABRT),
        "");
    EXPECT_EXIT(
        {
            void* a = thread_alloc(48, 16);
            thread_free(a, 48, 16);
            thread_free(a, 48, 16);  // the page's used count is 0
        },
        testing::KilledBySignal(SIGABRT),
        "");
    EXPECT_EXIT(
        {
            void* a = nullptr;
            on_fresh_thread([&] {
                a = thread_alloc(48, 16);
                (void)thread_alloc(48, 16);
            });
            thread_free(a, 48, 16);
            thread_free(a, 48, 16);  // still the chain's head
        },
        testing::KilledBySignal(SIGABRT),
        "");
}

// No segment can hold an address below 2 MiB or at or above 2^48: freeing one aborts before
// anything is read at it, from a thread with a heap and from one without.
TEST(OstrelThreadFreeDeathTest, FreeOfAnAddressNoSegmentCanHoldAborts) {
    const std::uintptr_t foreign[] = {
        0x10, 0x10000, page::SEGMENT_BYTES - 16, page::ADDRESS_LIMIT, page::ADDRESS_LIMIT + 3 * page::SEGMENT_BYTES,
        ~std::uintptr_t{15},
    };
    for (std::uintptr_t p : foreign) {
        SCOPED_TRACE(testing::Message() << std::hex << "0x" << p);
        void* block = reinterpret_cast<void*>(p);
        EXPECT_EXIT(thread_free(block, 64, 16), testing::KilledBySignal(SIGABRT), "");
        EXPECT_EXIT(
            {
                thread_free(thread_alloc(64, 16), 64, 16);
                thread_free(block, 20000, 16);
            },
            testing::KilledBySignal(SIGABRT), "");
    }
}

TEST(OstrelThreadFreeDeathTest, RemoteFreeOfAnImpossibleAddressAborts) {
    EXPECT_EXIT(
        {
            page::Page record{};
            ostrel_local::free::thread_free_cold(0x1000, record);
        },
        testing::KilledBySignal(SIGABRT),
        "");
    EXPECT_EXIT(
        {
            page::Page record{};
            ostrel_local::free::thread_free_cold(std::uintptr_t{1} << 48, record);
        },
        testing::KilledBySignal(SIGABRT),
        "");
}

}  // namespace
