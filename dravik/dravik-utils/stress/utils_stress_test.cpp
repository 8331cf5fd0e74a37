// The admission ring under several producers and consumers at small capacities, and the
// parker and word lock under contention; more threads than the machine has cores.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "ostrel_testing/deadline.hpp"
#include "dravik_utils/queue/ring.hpp"
#include "dravik_utils/sync/futex.hpp"

namespace {

using dravik_utils::queue::ring::LockFreeQueue;

constexpr unsigned producers = 4;
constexpr unsigned consumers = 4;
constexpr std::uint64_t per_producer = 5000;

struct Entry {
    std::uint64_t producer;
    std::uint64_t sequence;
    unsigned char padding[112];

    void discard() noexcept {}
};

// Every entry is taken exactly once, and each consumer sees each producer's entries in the
// order they were pushed.
void run_ring(std::uint64_t capacity) {
    LockFreeQueue<Entry> ring(capacity);
    std::vector<std::atomic<std::uint8_t>> seen(producers * per_producer);
    std::atomic<std::uint64_t> taken{0};
    std::atomic<unsigned> order_faults{0};
    ostrel_testing::run_threads(producers + consumers, [&](unsigned t) {
        if (t < producers) {
            for (std::uint64_t s = 0; s < per_producer; ++s) {
                Entry e{t, s, {}};
                while (!ring.push(e)) std::this_thread::yield();
            }
            return;
        }
        std::array<std::int64_t, producers> last;
        last.fill(-1);
        while (taken.load() < producers * per_producer) {
            auto e = ring.pop();
            if (!e) {
                std::this_thread::yield();
                continue;
            }
            taken.fetch_add(1);
            if (static_cast<std::int64_t>(e->sequence) <= last[e->producer]) order_faults.fetch_add(1);
            last[e->producer] = static_cast<std::int64_t>(e->sequence);
            seen[e->producer * per_producer + e->sequence].fetch_add(1);
        }
    }, "ring producers and consumers");
    EXPECT_EQ(order_faults.load(), 0u);
    std::uint64_t wrong = 0;
    for (auto& count : seen) wrong += count.load() != 1;
    EXPECT_EQ(wrong, 0u) << "entries not taken exactly once";
    EXPECT_FALSE(ring.pop());
}

TEST(RingStressTest, FourProducersFourConsumersAtCapacityOne) { run_ring(1); }
TEST(RingStressTest, FourProducersFourConsumersAtCapacityFive) { run_ring(5); }

TEST(ParkerStressTest, PingPongNeverLosesAWakeUp) {
    dravik_utils::sync::futex::Parker ping, pong;
    constexpr int rounds = 20000;
    std::atomic<int> ball{0};
    ostrel_testing::run_threads(2, [&](unsigned t) {
        for (int r = 0; r < rounds; ++r) {
            if (t == 0) {
                ball.store(2 * r + 1);
                pong.unpark();
                while (ball.load() != 2 * r + 2) ping.park();
            } else {
                while (ball.load() != 2 * r + 1) pong.park();
                ball.store(2 * r + 2);
                ping.unpark();
            }
        }
    }, "parker ping-pong");
    EXPECT_EQ(ball.load(), 2 * rounds);
}

TEST(WordLockStressTest, ExcludesEightThreads) {
    dravik_utils::sync::futex::WordLock lock;
    std::uint64_t counter = 0;  // plain: only ever touched under the lock
    ostrel_testing::run_threads(8, [&](unsigned) {
        for (int i = 0; i < 20000; ++i) {
            lock.lock();
            ++counter;
            lock.unlock();
        }
    }, "word-lock threads");
    EXPECT_EQ(counter, 8u * 20000u);
}

}  // namespace
