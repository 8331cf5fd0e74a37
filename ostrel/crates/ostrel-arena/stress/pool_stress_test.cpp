// Node pools and large blocks under contention: more threads than cores push, pop and
// exchange memory through the shared pools.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "ostrel_testing/deadline.hpp"
#include "ostrel_arena/arena.hpp"
#include "ostrel_arena/segment/alloc.hpp"
#include "ostrel_arena/segment/pool.hpp"

namespace {

namespace pool = ostrel_arena::segment::pool;
namespace arena = ostrel_arena::arena;
using ostrel_core::types::page::SegmentHeader;

constexpr unsigned threads = 6;

TEST(OstrelPoolStressTest, ConcurrentPushAndPopHandEachElementToOneThread) {
    constexpr unsigned elements = 64;
    constexpr unsigned rounds = 20000;
    pool::GuardedStack guarded{};
    std::unique_ptr<SegmentHeader[]> headers(new SegmentHeader[elements]());
    std::unique_ptr<std::atomic<int>[]> holders(new std::atomic<int>[elements]());
    for (unsigned i = 0; i < elements; ++i) pool::push(guarded, &headers[i]);
    std::atomic<unsigned> double_hands{0};

    ostrel_testing::run_threads(threads, [&](unsigned) {
        std::vector<SegmentHeader*> mine;
        for (unsigned r = 0; r < rounds; ++r) {
            if (SegmentHeader* h = pool::pop(guarded)) {
                std::size_t index = static_cast<std::size_t>(h - headers.get());
                if (holders[index].fetch_add(1) != 0) double_hands.fetch_add(1);
                h->pages[1].local.used = r;  // the holder may write the header
                mine.push_back(h);
            }
            if (!mine.empty() && (r % 3 != 0 || mine.size() > 4)) {
                SegmentHeader* h = mine.back();
                mine.pop_back();
                holders[static_cast<std::size_t>(h - headers.get())].fetch_sub(1);
                pool::push(guarded, h);
            }
        }
        for (SegmentHeader* h : mine) {
            holders[static_cast<std::size_t>(h - headers.get())].fetch_sub(1);
            pool::push(guarded, h);
        }
    });

    EXPECT_EQ(double_hands.load(), 0u);
    EXPECT_EQ(guarded.stack.count.load(), elements);
    std::vector<bool> seen(elements, false);
    while (SegmentHeader* h = pool::pop(guarded)) seen[static_cast<std::size_t>(h - headers.get())] = true;
    for (unsigned i = 0; i < elements; ++i) EXPECT_TRUE(seen[i]) << i;
}

// A mutex-guarded hand-off queue between the stress threads.
struct Mailbox {
    std::mutex mutex;
    std::deque<std::pair<unsigned char*, std::size_t>> blocks;
};

TEST(OstrelPoolStressTest, LargeBlocksMoveBetweenThreadsAndPools) {
    constexpr unsigned rounds = 60;
    constexpr std::size_t MiB = 1u << 20;
    std::vector<Mailbox> mailboxes(threads);
    std::atomic<unsigned> corrupted{0};
    std::atomic<unsigned> failed{0};

    ostrel_testing::run_threads(threads, [&](unsigned me) {
        for (unsigned r = 0; r < rounds; ++r) {
            std::size_t size = (2 + (me + r) % 5) * MiB + r * 4096;
            std::size_t alignment = std::size_t{64} << ((me + r) % 12);
            auto* block = static_cast<unsigned char*>(arena::allocate_large_or_huge(size, alignment));
            if (block == nullptr) {
                failed.fetch_add(1);
                continue;
            }
            if (reinterpret_cast<std::uintptr_t>(block) % alignment != 0) corrupted.fetch_add(1);
            unsigned char tag = static_cast<unsigned char>(me * 31 + r);
            block[0] = tag;
            block[size - 1] = tag;
            {
                Mailbox& box = mailboxes[(me + 1) % threads];
                std::lock_guard<std::mutex> guard(box.mutex);
                box.blocks.emplace_back(block, size);
            }
            std::pair<unsigned char*, std::size_t> received{nullptr, 0};
            {
                Mailbox& box = mailboxes[me];
                std::lock_guard<std::mutex> guard(box.mutex);
                if (!box.blocks.empty()) {
                    received = box.blocks.front();
                    box.blocks.pop_front();
                }
            }
            if (received.first) {
                if (received.first[0] != received.first[received.second - 1]) corrupted.fetch_add(1);
                arena::deallocate_large_or_huge(received.first);
            }
            if (r % 20 == 19) pool::purge_retained_large_blocks();
        }
    });
    for (Mailbox& box : mailboxes) {
        for (auto [block, size] : box.blocks) {
            if (block[0] != block[size - 1]) corrupted.fetch_add(1);
            arena::deallocate_large_or_huge(block);
        }
    }
    EXPECT_EQ(corrupted.load(), 0u);
    EXPECT_EQ(failed.load(), 0u);
    pool::purge_retained_large_blocks();
    for (const pool::GlobalHugePool& node : pool::WRAPPER_BACKEND_POOLS.huge) {
        EXPECT_EQ(node.total_blocks.load(), 0u);
        EXPECT_EQ(node.total_bytes.load(), 0u);
    }
}

TEST(OstrelPoolStressTest, SegmentsCycleThroughTheRetainedPools) {
    constexpr unsigned rounds = 1000;
    std::atomic<unsigned> failed{0};
    ostrel_testing::run_threads(threads, [&](unsigned me) {
        std::vector<SegmentHeader*> held;
        for (unsigned r = 0; r < rounds; ++r) {
            SegmentHeader* segment = ostrel_arena::segment::alloc::pop_free_segment();
            if (segment == nullptr) segment = ostrel_arena::segment::alloc::map_fresh_segment();
            if (segment == nullptr) {
                failed.fetch_add(1);
                continue;
            }
            // The holder writes a page of it; nobody else may be doing so.
            std::memset(reinterpret_cast<unsigned char*>(segment) + 0x10000, static_cast<int>(me), 256);
            held.push_back(segment);
            if (held.size() > 3 || r % 2) {
                ostrel_arena::segment::alloc::deallocate_segment(*held.front());
                held.erase(held.begin());
            }
            if (me == 0 && r % 50 == 49) pool::purge_retained_segments();
        }
        for (SegmentHeader* segment : held) ostrel_arena::segment::alloc::deallocate_segment(*segment);
    });
    EXPECT_EQ(failed.load(), 0u);
    pool::purge_retained_segments();
    for (const pool::GlobalSegmentPool& retained : pool::WRAPPER_BACKEND_POOLS.retained) {
        EXPECT_EQ(retained.guarded.stack.count.load(), 0u);
    }
}

}  // namespace
