#include "ostrel_arena/segment/pool.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "garvon/query/cache.hpp"
#include "garvon/query/platform.hpp"

namespace {

namespace pool = ostrel_arena::segment::pool;
using ostrel_core::types::page::SegmentHeader;

// Headers for stack tests; only their pool links and lengths are used.
struct Headers {
    explicit Headers(std::size_t n) : storage(new SegmentHeader[n]()), count(n) {}
    SegmentHeader* operator[](std::size_t i) { return &storage[i]; }
    std::unique_ptr<SegmentHeader[]> storage;
    std::size_t count;
};

std::vector<SegmentHeader*> contents(pool::GuardedStack& guarded) {
    std::vector<SegmentHeader*> out;
    for (SegmentHeader* h = pool::stack_top(guarded.stack.head.load()); h;
         h = reinterpret_cast<SegmentHeader*>(h->shared.pool_link)) {
        out.push_back(h);
    }
    return out;
}

static_assert(alignof(pool::SpinLock) == 64 && alignof(pool::TaggedStack) == 64,
              "each lock and the stack it guards sit on cache lines of their own");
static_assert(sizeof(pool::GuardedStack) == 128);

TEST(OstrelPoolTest, SpinLockExcludesAndBoundedTryGivesUp) {
    pool::SpinLock spin{};
    pool::lock(spin);
    EXPECT_FALSE(pool::try_lock_bounded(spin, pool::bounded_lock_attempts));
    pool::unlock(spin);
    EXPECT_TRUE(pool::try_lock_bounded(spin, 1));
    EXPECT_FALSE(pool::try_lock_bounded(spin, 1));
    pool::unlock(spin);
}

TEST(OstrelPoolTest, SpinLockWaitsForTheHolder) {
    pool::SpinLock spin{};
    int shared = 0;
    pool::lock(spin);
    std::thread other([&] {
        pool::lock(spin);
        shared += 1;
        pool::unlock(spin);
    });
    shared = 41;
    pool::unlock(spin);
    other.join();
    EXPECT_EQ(shared, 42);
}

TEST(OstrelPoolTest, StackIsLastInFirstOutAndEveryOperationAdvancesTheTag) {
    pool::GuardedStack guarded{};
    Headers h(3);
    h[1]->shared.large_length = 100;
    pool::push(guarded, h[0]);
    pool::push(guarded, h[1]);
    pool::push(guarded, h[2]);
    EXPECT_EQ(pool::stack_tag(guarded.stack.head.load()), 3);
    EXPECT_EQ(guarded.stack.count.load(), 3u);
    EXPECT_EQ(guarded.stack.bytes.load(), 100u);
    EXPECT_EQ(contents(guarded), (std::vector<SegmentHeader*>{h[2], h[1], h[0]}));
    EXPECT_EQ(pool::pop(guarded), h[2]);
    EXPECT_EQ(h[2]->shared.pool_link, 0u) << "a popped element's link is cleared";
    EXPECT_EQ(pool::pop(guarded), h[1]);
    EXPECT_EQ(guarded.stack.bytes.load(), 0u);
    EXPECT_EQ(pool::stack_tag(guarded.stack.head.load()), 5);
    EXPECT_EQ(pool::pop(guarded), h[0]);
    EXPECT_EQ(pool::pop(guarded), nullptr);
    EXPECT_EQ(pool::stack_tag(guarded.stack.head.load()), 6) << "a pop of an empty stack changes nothing";
    EXPECT_EQ(guarded.stack.count.load(), 0u);
}

TEST(OstrelPoolTest, TagWrapsModulo65536AndKeepsTheAddress) {
    pool::GuardedStack guarded{};
    Headers h(2);
    pool::push(guarded, h[0]);
    for (int i = 0; i < 32767; ++i) {
        pool::push(guarded, h[1]);
        ASSERT_EQ(pool::pop(guarded), h[1]);
    }
    // 1 + 2 * 32767 = 65535 operations, then one more wraps the tag to 0.
    EXPECT_EQ(pool::stack_tag(guarded.stack.head.load()), 65535);
    pool::push(guarded, h[1]);
    EXPECT_EQ(pool::stack_tag(guarded.stack.head.load()), 0);
    EXPECT_EQ(pool::stack_top(guarded.stack.head.load()), h[1]);
    EXPECT_EQ(pool::pop(guarded), h[1]);
    EXPECT_EQ(pool::pop(guarded), h[0]);
}

TEST(OstrelPoolTest, ChainsAndDetachMoveWholeStacks) {
    pool::GuardedStack guarded{};
    Headers h(4);
    pool::push(guarded, h[3]);
    h[0]->shared.pool_link = reinterpret_cast<std::uint64_t>(h[1]);
    h[1]->shared.pool_link = reinterpret_cast<std::uint64_t>(h[2]);
    pool::push_chain(guarded, h[0], h[2], 3, 30);
    EXPECT_EQ(contents(guarded), (std::vector<SegmentHeader*>{h[0], h[1], h[2], h[3]}));
    EXPECT_EQ(guarded.stack.count.load(), 4u);
    EXPECT_EQ(guarded.stack.bytes.load(), 30u);
    EXPECT_EQ(pool::detach(guarded), h[0]);
    EXPECT_EQ(pool::stack_top(guarded.stack.head.load()), nullptr);
    EXPECT_EQ(guarded.stack.count.load(), 0u);
    EXPECT_EQ(guarded.stack.bytes.load(), 0u);
    EXPECT_EQ(pool::pop(guarded), nullptr);
}

TEST(OstrelPoolDeathTest, AddressesAtOrAbove2To48Abort) {
    EXPECT_EXIT(
        {
            pool::GuardedStack guarded{};
            pool::push(guarded, reinterpret_cast<SegmentHeader*>(std::uintptr_t{1} << 48));
        },
        testing::KilledBySignal(SIGABRT),
        "");
    EXPECT_EXIT(
        {
            pool::GuardedStack guarded{};
            Headers h(1);
            pool::push(guarded, h[0]);
            h[0]->shared.pool_link = std::uint64_t{1} << 48;
            pool::pop(guarded);
        },
        testing::KilledBySignal(SIGABRT),
        "");
}

// Runs body on a new thread, so that its per-thread node cell and miss counter start empty.
template <class Body>
void on_fresh_thread(Body body) {
    std::thread thread(body);
    thread.join();
}

TEST(OstrelPoolTest, SegmentPopVisitsTheRingFromTheHomeNode) {
    on_fresh_thread([] {
        auto pools = std::make_unique<std::array<pool::GlobalSegmentPool, pool::NODE_POOLS>>();
        Headers h(2);
        pool::push((*pools)[5].guarded, h[0]);
        pool::push((*pools)[2].guarded, h[1]);
        struct Row {
            std::uint32_t home;
            SegmentHeader* first;
        };
        for (Row row : {Row{0, h[1]}, Row{3, h[0]}, Row{19, h[0]}, Row{6, h[1]}}) {
            SCOPED_TRACE(row.home);
            garvon::query::cache::detail::VALUE = row.home;
            SegmentHeader* first = pool::GlobalSegmentPool::pop(*pools);
            SegmentHeader* second = pool::GlobalSegmentPool::pop(*pools);
            EXPECT_EQ(first, row.first);
            EXPECT_EQ(second, row.first == h[0] ? h[1] : h[0]);
            EXPECT_EQ(pool::GlobalSegmentPool::pop(*pools), nullptr);
            pool::push((*pools)[5].guarded, h[0]);
            pool::push((*pools)[2].guarded, h[1]);
        }
    });
}

TEST(OstrelPoolTest, NodeIsReadAgainOnThe32ndMissAtHome) {
    on_fresh_thread([] {
        auto pools = std::make_unique<std::array<pool::GlobalSegmentPool, pool::NODE_POOLS>>();
        auto real = garvon::query::platform::query_cpu_locality_os();
        std::uint32_t real_node = real ? real->node : 0;
        std::uint32_t fake_node = real_node + 7;
        garvon::query::cache::detail::VALUE = fake_node;
        for (int miss = 1; miss <= 31; ++miss) {
            EXPECT_EQ(pool::GlobalSegmentPool::pop(*pools), nullptr);
            ASSERT_EQ(garvon::query::cache::detail::VALUE, fake_node) << "miss " << miss;
        }
        EXPECT_EQ(pool::MISS_COUNT, 31u);
        // A hit at home leaves the counter alone.
        Headers h(1);
        pool::push((*pools)[fake_node % pool::NODE_POOLS].guarded, h[0]);
        EXPECT_EQ(pool::GlobalSegmentPool::pop(*pools), h[0]);
        EXPECT_EQ(pool::MISS_COUNT, 31u);
        EXPECT_EQ(pool::GlobalSegmentPool::pop(*pools), nullptr);
        EXPECT_EQ(garvon::query::cache::detail::VALUE, real_node) << "the 32nd miss re-reads the node";
        EXPECT_EQ(pool::MISS_COUNT, 0u);
    });
}

TEST(OstrelPoolTest, BucketOfMappingLength) {
    constexpr std::uint64_t KiB = 1024, MiB = 1024 * KiB;
    struct Row {
        std::uint64_t length;
        std::optional<std::uint32_t> bucket;
        pool::HugeList list;
    };
    const Row rows[] = {
        {16 * KiB, 0, pool::HugeList::b},
        {16 * KiB + 1, 1, pool::HugeList::a},
        {2 * MiB + 64 * KiB + 1, 8, pool::HugeList::a},
        {3 * MiB, 8, pool::HugeList::a},
        {3 * MiB + 1, 8, pool::HugeList::b},
        {4 * MiB, 8, pool::HugeList::b},
        {4 * MiB + 1, 9, pool::HugeList::a},
        {5 * MiB + 64 * KiB, 9, pool::HugeList::a},
        {6 * MiB, 9, pool::HugeList::a},
        {6 * MiB + 1, 9, pool::HugeList::b},
        {8 * MiB + 1, 10, pool::HugeList::a},
        {16 * MiB, 10, pool::HugeList::b},
        {16 * MiB + 1, std::nullopt, pool::HugeList::a},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.length);
        EXPECT_EQ(pool::bucket_of(row.length), row.bucket);
        if (row.bucket) {
            EXPECT_EQ(pool::list_of(row.length, *row.bucket), row.list);
        }
    }
}

TEST(OstrelPoolTest, RetentionLimits) {
    constexpr std::uint64_t L = 5u << 20, limit = pool::list_byte_limit;
    struct Row {
        std::uint64_t blocks, bytes;
        bool accepts;
    };
    const Row rows[] = {{0, 0, true},          {1023, 0, true},  {1024, 0, false},
                        {0, limit - L, true},  {0, limit - L + 1, false}, {0, limit + 1, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.blocks << " " << row.bytes);
        EXPECT_EQ(pool::bucket_accepts(row.blocks, row.bytes, L), row.accepts);
    }
}

// Fills a list of a node-4 bucket of the global pools with headers of the given lengths
// (the first given ends up on top).
void fill_list(pool::GlobalHugePool& node, pool::GuardedStack& list, Headers& h, std::vector<std::uint64_t> lengths) {
    for (std::size_t i = lengths.size(); i-- > 0;) {
        h[i]->shared.large_length = lengths[i];
        node.total_blocks += 1;
        node.total_bytes += lengths[i];
        pool::push(list, h[i]);
    }
}

TEST(OstrelPoolTest, FittingPopSetsShortBlocksAsideInOrder) {
    pool::HugeBucket bucket{};
    Headers h(3);
    h[0]->shared.large_length = 3;
    h[1]->shared.large_length = 4;
    h[2]->shared.large_length = 10;
    pool::push(bucket.list_a, h[2]);
    pool::push(bucket.list_a, h[1]);
    pool::push(bucket.list_a, h[0]);
    EXPECT_EQ(pool::GlobalHugePool::pop_fitting_from_exact_bucket(bucket, 6, pool::HugeList::a), h[2]);
    EXPECT_EQ(contents(bucket.list_a), (std::vector<SegmentHeader*>{h[0], h[1]}));
    EXPECT_EQ(bucket.list_a.stack.count.load(), 2u);
    EXPECT_EQ(bucket.list_a.stack.bytes.load(), 7u);
    EXPECT_EQ(pool::GlobalHugePool::pop_fitting_from_exact_bucket(bucket, 6, pool::HugeList::a), nullptr);
    EXPECT_EQ(contents(bucket.list_a), (std::vector<SegmentHeader*>{h[0], h[1]}));
    EXPECT_EQ(pool::GlobalHugePool::pop_fitting_from_exact_bucket(bucket, 4, pool::HugeList::a), h[1]);
    EXPECT_EQ(contents(bucket.list_a), (std::vector<SegmentHeader*>{h[0]}));
}

TEST(OstrelPoolTest, PopFromNodeSearchesExactBucketThenTakesAnyLongerOne) {
    constexpr std::uint64_t MiB = 1u << 20;
    pool::GlobalHugePool& node = pool::WRAPPER_BACKEND_POOLS.huge[4];
    Headers h(6);
    // Bucket 9 (4 MiB, 8 MiB]: list A 4.5 and 5 MiB, list B 7 MiB; bucket 10: 9 MiB.
    fill_list(node, node.buckets[9].list_a, h, {4 * MiB + MiB / 2, 5 * MiB});
    Headers b(1), c(1);
    fill_list(node, node.buckets[9].list_b, b, {7 * MiB});
    fill_list(node, node.buckets[10].list_a, c, {9 * MiB});

    EXPECT_EQ(pool::GlobalHugePool::pop_from_node(6 * MiB + 1, 4, 9), b[0]) << "a B-length request looks in B";
    EXPECT_EQ(pool::GlobalHugePool::pop_from_node(5 * MiB + 1, 4, 9), c[0])
        << "A holds nothing that fits, B is empty: a higher bucket serves";
    EXPECT_EQ(pool::GlobalHugePool::pop_from_node(4 * MiB + 1, 4, 9), h[0]);
    EXPECT_EQ(node.total_blocks.load(), 1u);
    EXPECT_EQ(node.total_bytes.load(), 5 * MiB);
    EXPECT_EQ(pool::GlobalHugePool::pop_from_node(4 * MiB + 1, 3, 9), nullptr) << "another node is not searched";
    EXPECT_EQ(pool::GlobalHugePool::pop_from_node(5 * MiB, 4, 9), h[1]);
    EXPECT_EQ(node.total_blocks.load(), 0u);
    EXPECT_EQ(node.total_bytes.load(), 0u);

    // With a node total of 0 the lists are not looked at.
    fill_list(node, node.buckets[9].list_a, h, {5 * MiB});
    node.total_blocks = 0;
    EXPECT_EQ(pool::GlobalHugePool::pop_from_node(5 * MiB, 4, 9), nullptr);
    node.total_blocks = 1;
    EXPECT_EQ(pool::GlobalHugePool::pop_from_node(5 * MiB, 4, 9), h[0]);
}

TEST(OstrelPoolTest, ForkWaitsForAPoolLockHeldBeforeAnyAllocation) {
    // A fresh process in which no allocation has happened yet: the fork must still wait
    // for the pool lock another thread holds, or the child inherits it held for good.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            pool::SpinLock& spin = pool::WRAPPER_BACKEND_POOLS.retained[3].guarded.lock;
            std::atomic<bool> held{false};
            std::thread holder([&] {
                pool::lock(spin);
                held.store(true);
                // Long enough that the fork below starts while the lock is still held.
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                pool::unlock(spin);
            });
            while (!held.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            pid_t child = fork();
            if (child == 0) std::_Exit(pool::try_lock_bounded(spin, pool::bounded_lock_attempts) ? 0 : 3);
            int status = 0;
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (child > 0 && waitpid(child, &status, WNOHANG) != child) {
                if (std::chrono::steady_clock::now() > until) {
                    kill(child, SIGKILL);
                    std::_Exit(4);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            holder.join();
            std::_Exit(child > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : 5);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
