#include "ostrel_local/alloc.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <csignal>
#include <cstring>
#include <set>
#include <vector>

#include "ostrel_backend/backends/unix.hpp"
#include "ostrel_core/options.hpp"
#include "ostrel_local/options.hpp"
#include "ostrel_prof/sampler/store.hpp"
#include "support/heap.hpp"

namespace {

using namespace ostrel_local_test;
namespace selector = ostrel_local::selector;
namespace tls_slot = ostrel_local::tls_slot;
namespace batch = ostrel_local::bin_stats::batch;

static_assert(std::is_trivially_destructible_v<tls_slot::LocalAllocatorSlot>,
              "thread exit runs no C++ destructor for the slot; a pthread key destructor does the work");
static_assert(std::is_trivially_destructible_v<batch::ThreadBinStats>);

TEST(OstrelThreadAllocTest, FirstSmallAllocationRegistersTheSlotAndCarvesPage1) {
    drain_retained();
    on_fresh_thread([] {
        EXPECT_EQ(tls_slot::CACHED_SLOT_PTR, nullptr);
        void* large = thread_alloc(1u << 20, 64);
        ASSERT_NE(large, nullptr);
        EXPECT_EQ(tls_slot::CACHED_SLOT_PTR, nullptr) << "large requests give a thread no heap";
        thread_free(large, 1u << 20, 64);

        void* block = thread_alloc(8, 64);
        ASSERT_NE(block, nullptr);
        ASSERT_NE(tls_slot::CACHED_SLOT_PTR, nullptr);
        EXPECT_EQ(tls_slot::ALLOCATOR_SLOT.state, tls_slot::SlotState::registered);
        EXPECT_EQ(ostrel_local::options::OPTIONS_INIT.load(), 1);
        EXPECT_EQ(segment_of(block), heap().current);
        EXPECT_EQ(page::owner_of(*segment_of(block)), heap().id);
        EXPECT_EQ(page::page_index_of(address(block)), 1u);
        EXPECT_EQ(address(block), page_start_of(block));
        EXPECT_EQ(page_of(block).local.size_class, 3);
        EXPECT_EQ(heap().next_page_index, 2u);
        EXPECT_EQ(heap().owned_count, 1u);
        thread_free(block, 8, 64);
    });
}

TEST(OstrelThreadAllocTest, BlocksHaveTheirAlignmentAndClass) {
    on_fresh_thread([] {
        struct Row {
            std::size_t size, alignment;
            bool large;
        };
        const Row rows[] = {{8, 64, false},     {16384, 64, false}, {16385, 64, true}, {16384, 8, false},
                            {32768, 8, true},   {128, 8, false},    {1, 4096, false},  {100, 16384, false},
                            {100, 32768, true}, {5, 2u << 20, true}, {3, 16, false},   {24, 8, false}};
        for (const Row& row : rows) {
            SCOPED_TRACE(testing::Message() << row.size << " aligned " << row.alignment);
            void* block = thread_alloc(row.size, row.alignment);
            ASSERT_NE(block, nullptr);
            EXPECT_EQ(address(block) % row.alignment, 0u);
            EXPECT_EQ(is_large(block), row.large);
            if (!row.large) {
                EXPECT_EQ(page_of(block).local.size_class, selector::small_class(row.size, row.alignment));
            }
            std::memset(block, 0xA5, row.size);
            thread_free(block, row.size, row.alignment);
        }
        EXPECT_EQ(thread_alloc(64, 4u << 20), nullptr) << "alignment above 2 MiB";
        EXPECT_EQ(thread_alloc(64, 48), nullptr) << "not a power of two";
    });
}

TEST(OstrelThreadAllocTest, FreedBlockIsTheNextOneHandedOut) {
    on_fresh_thread([] {
        void* a = thread_alloc(100, 16);
        void* b = thread_alloc(100, 16);
        EXPECT_EQ(address(b) - address(a), 112u);
        thread_free(a, 100, 16);
        EXPECT_EQ(thread_alloc(100, 16), a);
        thread_free(a, 100, 16);
        thread_free(b, 100, 16);
    });
}

TEST(OstrelThreadAllocTest, FullPageMovesToTheFullListAndPage2IsCarved) {
    on_fresh_thread([] {
        std::vector<void*> blocks;
        for (int i = 0; i < 4096; ++i) blocks.push_back(thread_alloc(16, 8));
        page::Page& first = page_of(blocks[0]);
        for (int i = 0; i < 4096; ++i) ASSERT_EQ(address(blocks[i]), page_start_of(blocks[0]) + 16u * i) << i;
        EXPECT_EQ(heap().available[0], &first);
        EXPECT_EQ(heap().full[0], nullptr) << "the fast path moves no page";
        void* next = thread_alloc(16, 8);
        EXPECT_EQ(page::page_index_of(address(next)), 2u);
        EXPECT_EQ(address(next), page_start_of(next));
        EXPECT_EQ(heap().full[0], &first);
        EXPECT_EQ(heap().available[0], &page_of(next));
        EXPECT_EQ(first.local.queue_kind, page::QueueKind::full);
        EXPECT_EQ(first.local.used, 4096u);
        for (void* block : blocks) thread_free(block, 16, 8);
        thread_free(next, 16, 8);
    });
}

TEST(OstrelThreadAllocTest, ReentrantRequestIsServedByALargeBlock) {
    on_fresh_thread([] {
        void* warm = thread_alloc(64, 64);
        heap().busy = 1;
        void* block = thread_alloc(64, 64);
        heap().busy = 0;
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(is_large(block));
        EXPECT_EQ(address(block) % 64, 0u);
        thread_free(block, 64, 64);
        thread_free(warm, 64, 64);
    });
}

// Refuses every segment reservation.
void* no_reservations(std::size_t length) {
    if (length == page::RESERVATION_BYTES) return nullptr;
    return ostrel_backend::backends::unix::detail::map_anonymous(length);
}

TEST(OstrelThreadAllocTest, WithoutSegmentsASmallRequestGetsALargeBlock) {
    drain_retained();
    on_fresh_thread([] {
        ostrel_backend::backends::unix::detail::set_map_hook(&no_reservations);
        void* block = thread_alloc(200, 64);
        ostrel_backend::backends::unix::detail::set_map_hook(nullptr);
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(is_large(block));
        EXPECT_EQ(address(block) % 64, 0u);
        auto* header = reinterpret_cast<page::SegmentHeader*>(*(reinterpret_cast<std::uintptr_t*>(block) - 1));
        pool::GlobalHugePool& node = pool::WRAPPER_BACKEND_POOLS.huge[header->shared.node % pool::NODE_POOLS];
        std::uint64_t before = node.total_blocks.load();
        thread_free(block, 200, 64);
        EXPECT_EQ(node.total_blocks.load(), before + 1) << "its mapping went back through the large-block path";
        EXPECT_EQ(heap().owned_count, 0u);
    });
}

TEST(OstrelThreadAllocTest, StatisticsCountPerClass) {
    std::uint64_t allocs = batch::ALLOC_COUNT[9].load(), frees = batch::DEALLOC_COUNT[9].load();
    std::uint64_t bytes = batch::REQUESTED_BYTES[9].load();
    on_fresh_thread([=] {
        std::vector<void*> blocks;
        for (int i = 0; i < 70; ++i) blocks.push_back(thread_alloc(180, 8));
        EXPECT_EQ(batch::ALLOC_COUNT[9].load(), allocs + 64);
        EXPECT_EQ(batch::REQUESTED_BYTES[9].load(), bytes + 70 * 180);
        for (void* block : blocks) thread_free(block, 180, 8);
        EXPECT_EQ(batch::DEALLOC_COUNT[9].load(), frees + 64);
    });
    // Thread exit flushed the rest.
    EXPECT_EQ(batch::ALLOC_COUNT[9].load(), allocs + 70);
    EXPECT_EQ(batch::DEALLOC_COUNT[9].load(), frees + 70);
}

TEST(OstrelThreadAllocTest, LeakRecorderFollowsEveryBlock) {
    namespace control = ostrel_prof::control;
    namespace store = ostrel_prof::sampler::store;
    control::LEAK_DETECTOR_ACTIVE.store(true);
    control::PROFILING_OR_HOOKS_ACTIVE.store(true);
    on_fresh_thread([] {
        void* small = thread_alloc(24, 8);
        void* large = thread_alloc(100000, 64);
        auto small_sample = store::find_sample(address(small));
        auto large_sample = store::find_sample(address(large));
        ASSERT_TRUE(small_sample && large_sample);
        EXPECT_EQ(small_sample->size, 24u) << "the size as requested";
        EXPECT_EQ(large_sample->size, 100000u);
        thread_free(small, 24, 8);
        thread_free(large, 100000, 64);
        EXPECT_EQ(store::sample_count(), 0u);
    });
    control::LEAK_DETECTOR_ACTIVE.store(false);
    control::PROFILING_OR_HOOKS_ACTIVE.store(false);
}

TEST(OstrelThreadAllocTest, OptionsAreReadAtTheFirstSmallAllocationOnly) {
    OSTREL_IN_FRESH_PROCESS({
        setenv("OSTREL_MAX_RETAINED_SEGMENTS", "7", 1);
        void* large = thread_alloc(3u << 20, 64);
        auto* header = reinterpret_cast<page::SegmentHeader*>(*(reinterpret_cast<std::uintptr_t*>(large) - 1));
        thread_free(large, 3u << 20, 64);
        EXPECT_EQ(ostrel_local::options::OPTIONS_INIT.load(), 0);
        EXPECT_EQ(pool::WRAPPER_BACKEND_POOLS.huge[header->shared.node % 16].total_blocks.load(), 1u)
            << "retained under the default limits";
        EXPECT_EQ(ostrel_core::options::MAX_RETAINED_SEGMENTS.load(), 1024u);
        void* small = thread_alloc(16, 8);
        EXPECT_EQ(ostrel_local::options::OPTIONS_INIT.load(), 1);
        EXPECT_EQ(ostrel_core::options::MAX_RETAINED_SEGMENTS.load(), 7u);
        thread_free(small, 16, 8);
    });
}

// A pthread key created after the allocator's: its destructor runs after the allocator's
// exit handling and allocates once more.
struct LateAllocation {
    bool large = false;
    bool heap_reborn = false;
    bool freed = false;
};
LateAllocation late;
pthread_key_t late_key;
void allocate_late(void*) {
    void* block = thread_alloc(64, 64);
    late.large = block && is_large(block);
    late.heap_reborn = tls_slot::CACHED_SLOT_PTR != nullptr;
    thread_free(block, 64, 64);
    late.freed = true;
}

TEST(OstrelThreadAllocTest, AllocationAfterThreadExitHandlingGetsNoNewHeap) {
    on_fresh_thread([] { thread_free(thread_alloc(16, 8), 16, 8); });  // the allocator's key exists now
    ASSERT_EQ(pthread_key_create(&late_key, &allocate_late), 0);
    on_fresh_thread([] {
        thread_free(thread_alloc(16, 8), 16, 8);
        pthread_setspecific(late_key, &late);
    });
    EXPECT_TRUE(late.freed);
    EXPECT_TRUE(late.large);
    EXPECT_FALSE(late.heap_reborn);
    pthread_key_delete(late_key);
}

TEST(OstrelThreadAllocDeathTest, CorruptLocalListAborts) {
    struct Row {
        const char* name;
        std::uintptr_t (*corrupt)(void* freed);
    };
    const Row rows[] = {
        {"head outside the page", [](void* freed) { return page_start_of(freed) + page::PAGE_BYTES; }},
        {"misaligned head", [](void* freed) { return address(freed) + 8; }},
        {"next outside the page",
         [](void* freed) {
             *static_cast<std::uintptr_t*>(freed) = 0x10;
             return address(freed);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EXIT(
            {
                void* a = thread_alloc(64, 8);
                void* b = thread_alloc(64, 8);
                thread_free(a, 64, 8);
                page_of(a).local.free_a = row.corrupt(a);
                thread_alloc(64, 8);
                thread_free(b, 64, 8);
            },
            testing::KilledBySignal(SIGABRT),
            "");
    }
}

}  // namespace
