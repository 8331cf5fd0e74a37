#include "ostrel_local/tls_slot.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <set>
#include <vector>

#include "ostrel_local/bin_stats/batch.hpp"
#include "support/heap.hpp"
#include "ostrel_testing/deadline.hpp"
#include "ostrel_testing/process.hpp"

namespace {

using namespace ostrel_local_test;
namespace tls_slot = ostrel_local::tls_slot;

TEST(OstrelThreadExitTest, LiveSegmentsAreAbandonedAndAdoptedWithTheirFreedBlocks) {
    drain_retained();
    std::vector<void*> blocks;
    page::SegmentHeader* segment = nullptr;
    std::uint64_t abandoned_before = abandoned_total();
    on_fresh_thread([&] {
        for (int i = 0; i < 10; ++i) blocks.push_back(thread_alloc(64, 64));
        segment = heap().current;
    });
    EXPECT_EQ(abandoned_total(), abandoned_before + 1);
    EXPECT_EQ(page::owner_of(*segment), page::no_owner);
    EXPECT_EQ(segment->local.current, 0);
    EXPECT_EQ(segment->local.queued, 0u);

    // Freed by a thread without a heap: onto the page's chain.
    std::set<void*> freed;
    for (int i = 0; i < 6; ++i) {
        thread_free(blocks[i], 64, 64);
        freed.insert(blocks[i]);
    }
    on_fresh_thread([&] {
        void* first = thread_alloc(64, 64);
        EXPECT_EQ(heap().current, segment) << "the abandoned segment was adopted";
        EXPECT_EQ(page::owner_of(*segment), heap().id);
        EXPECT_EQ(heap().next_page_index, 32u);
        // The adoption filed the used page with its reclaimed blocks and took the first
        // unused page for the request.
        page::Page& used_page = page_of(blocks[0]);
        EXPECT_EQ(used_page.local.used, 4u);
        EXPECT_EQ(used_page.local.queue_kind, page::QueueKind::available);
        EXPECT_EQ(page::page_index_of(address(first)), 2u);
        EXPECT_EQ(heap().reclaimed_blocks, 6u);
        // Once that page is used up, the freed blocks come back.
        std::vector<void*> fresh{first};
        for (int i = 1; i < 1024; ++i) fresh.push_back(thread_alloc(64, 64));
        void* reused = thread_alloc(64, 64);
        EXPECT_EQ(freed.count(reused), 1u) << "a block freed after the exit is reused";
        EXPECT_EQ(used_page.local.used, 5u);
        thread_free(reused, 64, 64);
        for (void* block : fresh) thread_free(block, 64, 64);
        for (int i = 6; i < 10; ++i) thread_free(blocks[i], 64, 64);
    });
    EXPECT_EQ(abandoned_total(), abandoned_before);
}

TEST(OstrelThreadExitTest, EmptySegmentsAreRetainedAtExit) {
    drain_retained();
    std::uint64_t retained = retained_total();
    std::uint64_t abandoned = abandoned_total();
    on_fresh_thread([] {
        for (int round = 0; round < 2; ++round) {
            std::vector<void*> blocks;
            for (int i = 0; i < 125; ++i) blocks.push_back(thread_alloc(16384, 8));
            for (void* block : blocks) thread_free(block, 16384, 8);
        }
        EXPECT_EQ(heap().owned_count, 2u);
    });
    EXPECT_EQ(retained_total(), retained + 2);
    EXPECT_EQ(abandoned_total(), abandoned);
}

TEST(OstrelThreadExitTest, ExitClearsTheAllocatorAndCountsReclaims) {
    drain_retained();
    on_fresh_thread([] {
        void* a = thread_alloc(64, 8);
        void* b = thread_alloc(64, 8);
        on_fresh_thread([&] { thread_free(a, 64, 8); });
        std::uint64_t reclaimed = ostrel_local::bin_stats::batch::CROSS_THREAD_RECLAIMED_BLOCKS.load();
        tls_slot::LocalAllocatorSlot& slot = tls_slot::ALLOCATOR_SLOT;
        tls_slot::release_slot(slot);
        EXPECT_EQ(slot.state, tls_slot::SlotState::destroyed);
        EXPECT_EQ(tls_slot::CACHED_SLOT_PTR, nullptr);
        EXPECT_EQ(slot.allocator.owned_head, nullptr);
        EXPECT_EQ(slot.allocator.current, nullptr);
        EXPECT_EQ(slot.allocator.available[4], nullptr);
        EXPECT_EQ(ostrel_local::bin_stats::batch::CROSS_THREAD_RECLAIMED_BLOCKS.load(), reclaimed + 1);
        // From now on this thread gets large blocks, and its small frees go to chains.
        void* late = thread_alloc(64, 8);
        EXPECT_TRUE(is_large(late));
        thread_free(late, 64, 8);
        thread_free(b, 64, 8);
        EXPECT_EQ(page::thread_free_head(page_of(b).shared.thread_free), address(b));
    });
}

bool child_exited_cleanly(pid_t child) { return ostrel_testing::child_exit_code(child, std::chrono::seconds(30)) == 0; }

// The calling thread's slot before it registers: zero-initialised, so no owner id yet.
std::uint64_t heap_id_before_first_allocation() { return tls_slot::ALLOCATOR_SLOT.allocator.id; }

// Holds the first thread that creates the exit-handler key until released; later calls
// (the forked child's own) pass straight through.
std::atomic<int> key_creations{0};
std::atomic<bool> key_creation_held{false};
std::atomic<bool> key_creation_released{false};
void hold_first_key_creation() {
    if (key_creations.fetch_add(1) != 0) return;
    key_creation_held.store(true);
    while (!key_creation_released.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(OstrelThreadExitTest, ChildForkedDuringTheFirstRegistrationGetsAHeap) {
    // The child has no copy of the registering thread, so nothing it needs for its own
    // registration may wait for that thread to finish.
    OSTREL_IN_FRESH_PROCESS({
        tls_slot::detail::set_key_created_hook(&hold_first_key_creation);
        std::thread first([] { thread_free(thread_alloc(64, 16), 64, 16); });
        ASSERT_TRUE(ostrel_testing::eventually([] { return key_creation_held.load(); }, std::chrono::seconds(30)))
            << "hang: the first registration never created its key";
        pid_t child = fork();
        if (child == 0) {
            void* block = thread_alloc(64, 16);
            bool small = block != nullptr && !is_large(block) && tls_slot::CACHED_SLOT_PTR != nullptr;
            if (block) thread_free(block, 64, 16);
            std::_Exit(small ? 0 : 3);
        }
        ASSERT_GT(child, 0);
        EXPECT_TRUE(child_exited_cleanly(child)) << "the child allocated from a heap of its own";
        key_creation_released.store(true);
        first.join();
        EXPECT_NE(tls_slot::register_slot(), nullptr) << "the parent registers after the hold";
    });
}

using WorkerBlocks = std::array<void*, 201>;
using ChildBlocks = std::array<void*, 300>;

TEST(OstrelThreadExitTest, ForkedChildKeepsAllocating) {
    // Workers and children keep their block lists in fixed arrays: a malloc in flight in a
    // worker at fork time can leave a sanitizer's allocator locked in the child, which is a
    // property of that allocator, not of this one.
    OSTREL_IN_FRESH_PROCESS({
        std::atomic<bool> stop{false};
        std::vector<std::thread> workers;
        workers.reserve(3);
        for (int t = 0; t < 3; ++t) {
            workers.emplace_back([&] {
                WorkerBlocks blocks;
                std::size_t used = 0;
                while (!stop.load()) {
                    blocks[used] = thread_alloc(64 + used % 512, 16);
                    if (++used == blocks.size()) {
                        for (void* b : blocks) thread_free(b, 0, 16);
                        used = 0;
                        ostrel_arena::segment::pool::purge_retained_segments();
                        thread_free(thread_alloc(3u << 20, 64), 3u << 20, 64);
                    }
                }
                for (std::size_t i = 0; i < used; ++i) thread_free(blocks[i], 0, 16);
            });
        }
        for (int round = 0; round < 20; ++round) {
            pid_t child = fork();
            if (child == 0) {
                ChildBlocks blocks;
                for (std::size_t i = 0; i < blocks.size(); ++i) blocks[i] = thread_alloc(32 + i, 16);
                void* large = thread_alloc(5u << 20, 64);
                thread_free(large, 5u << 20, 64);
                for (void* b : blocks) thread_free(b, 0, 16);
                ostrel_arena::segment::pool::purge_retained_segments();
                std::_Exit(0);
            }
            ASSERT_GT(child, 0);
            EXPECT_TRUE(child_exited_cleanly(child)) << "round " << round;
        }
        stop.store(true);
        for (std::thread& w : workers) w.join();
    });
}

// Threads run one after another often sit at one address; their ids still differ and grow.
TEST(OstrelThreadExitTest, EveryRegistrationDrawsAFreshOwnerId) {
    std::array<std::uint64_t, 4> ids{};
    for (std::uint64_t& id : ids) {
        on_fresh_thread([&] {
            EXPECT_EQ(heap_id_before_first_allocation(), page::no_owner);
            thread_free(thread_alloc(64, 16), 64, 16);
            id = heap().id;
        });
    }
    for (std::size_t i = 1; i < ids.size(); ++i) EXPECT_GT(ids[i], ids[i - 1]);
    EXPECT_NE(ids[0], page::no_owner);
}

// In a forked child, glibc hands the stacks and static TLS of the threads that did not
// survive the fork to new threads, so a child thread can sit at the very address of a
// vanished parent thread's allocator. It must still not pass for that thread's owner: its
// frees of blocks from the parent thread's segments go to their pages' chains instead of
// into lists it does not hold. The parent threads fill whole pages of 16 KiB blocks (four
// per page) over two segments, so that those frees would otherwise move pages between lists.
constexpr int parent_threads = 3;
constexpr std::size_t parent_blocks = 160;  // more than the 124 a segment holds
std::array<std::array<void*, parent_blocks>, parent_threads> blocks_of_parent{};
std::array<const void*, parent_threads> heap_of_parent{};

TEST(OstrelThreadExitTest, ChildThreadsOnTheStacksOfVanishedParentThreadsOwnNothingOfTheirs) {
    OSTREL_IN_FRESH_PROCESS({
        std::atomic<int> ready{0};
        std::atomic<bool> done{false};
        std::vector<std::thread> parents;
        parents.reserve(parent_threads);
        for (int p = 0; p < parent_threads; ++p) {
            parents.emplace_back([&, p] {
                for (void*& block : blocks_of_parent[p]) block = thread_alloc(16384, 16);
                heap_of_parent[p] = &heap();
                ready.fetch_add(1);
                while (!done.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                for (void* block : blocks_of_parent[p]) thread_free(block, 16384, 16);
            });
        }
        while (ready.load() != parent_threads) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        pid_t child = fork();
        if (child == 0) {
            std::atomic<int> on_a_parent_heap{0};
            std::vector<std::thread> children;
            children.reserve(parent_threads);
            for (int c = 0; c < parent_threads; ++c) {
                children.emplace_back([&, c] {
                    std::array<void*, 300> own{};
                    for (std::size_t i = 0; i < own.size(); ++i) own[i] = thread_alloc(16 + (i * 97) % 16000, 16);
                    for (const void* parent_heap : heap_of_parent) {
                        if (parent_heap == &heap()) on_a_parent_heap.fetch_add(1);
                    }
                    for (void* block : blocks_of_parent[c]) thread_free(block, 16384, 16);
                    for (void* block : own) thread_free(block, 0, 16);
                    for (void*& block : own) block = thread_alloc(16384, 16);
                    for (void* block : own) thread_free(block, 16384, 16);
                });
            }
            for (std::thread& thread : children) thread.join();
            // Without a reused stack this run would prove nothing.
            std::_Exit(on_a_parent_heap.load() > 0 ? 0 : 2);
        }
        ASSERT_GT(child, 0);
        const int status = ostrel_testing::child_exit_code(child, std::chrono::seconds(30));
        EXPECT_NE(status, 2) << "no child thread took over a parent thread's stack";
        EXPECT_EQ(status, 0) << "the child's threads allocated and freed";
        done.store(true);
        for (std::thread& thread : parents) thread.join();
    });
}

}  // namespace
