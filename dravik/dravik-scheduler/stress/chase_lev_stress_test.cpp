// The deque under its owner and several thieves: owner bursts force growth and shrink
// while thieves steal, and the owner's pop of the last job races one thief for many
// rounds. More threads than the machine has cores.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "../tests/support/counted_job.hpp"
#include "ostrel_testing/deadline.hpp"
#include "dravik_scheduler/deque/chase_lev.hpp"

namespace {

using dravik_scheduler::deque::chase_lev::ChaseLevInner;
using dravik_scheduler::deque::chase_lev::StealStatus;
using dravik_scheduler_testing::CountedJob;
using dravik_scheduler_testing::discards;
using dravik_scheduler_testing::job;
using dravik_scheduler_testing::reset_discards;

using Deque = ChaseLevInner<CountedJob>;

constexpr unsigned thieves = 5;
constexpr std::uint64_t jobs = 120000;

// A tiny deterministic generator for burst sizes and delays.
std::uint64_t next_random(std::uint64_t& state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

TEST(ChaseLevStressTest, EveryJobLeavesExactlyOnceUnderGrowthShrinkAndThieves) {
    reset_discards(jobs);
    std::vector<std::atomic<std::uint8_t>> taken(jobs);
    std::atomic<bool> owner_done{false};
    std::atomic<std::uint64_t> torn{0};
    std::atomic<std::uint64_t> shrinks{0};
    std::uint64_t grown_to = 0;
    auto record = [&](const CountedJob& j) {
        if (!j.whole()) torn.fetch_add(1);
        taken[j.id].fetch_add(1);
    };
    {
        Deque deque(16);
        ostrel_testing::run_threads(thieves + 1, [&](unsigned t) {
            if (t == 0) {
                std::uint64_t state = 0x9e3779b97f4a7c15;
                std::uint64_t next = 0;
                while (next < jobs) {
                    std::uint64_t burst = 1 + next_random(state) % 300;
                    for (std::uint64_t i = 0; i < burst && next < jobs; ++i) deque.push(job(next++));
                    grown_to = std::max(grown_to, deque.capacity());
                    std::uint64_t pops = next_random(state) % (burst + 1);
                    for (std::uint64_t i = 0; i < pops; ++i) {
                        if (auto j = deque.pop()) record(*j);
                    }
                    if (next_random(state) % 8 == 0) {
                        // An idle point: run down to a few jobs, then shrink.
                        while (deque.len() > 8) {
                            if (auto j = deque.pop()) record(*j);
                        }
                        std::uint64_t before = deque.capacity();
                        deque.shrink_if_drained(16);
                        if (deque.capacity() < before) shrinks.fetch_add(1);
                    }
                }
                // Leave some jobs for the destructor.
                for (int i = 0; i < 64; ++i) {
                    if (auto j = deque.pop()) record(*j);
                }
                owner_done.store(true);
                return;
            }
            while (!owner_done.load() || deque.len() > 64) {
                deque.enter_access();
                auto stolen = deque.steal_within_access();
                deque.leave_access();
                if (stolen.status == StealStatus::Success) record(stolen.job);
            }
        }, "deque owner and thieves");
    }
    EXPECT_EQ(torn.load(), 0u);
    EXPECT_GE(grown_to, 256u) << "bursts should have grown the deque";
    EXPECT_GT(shrinks.load(), 0u) << "idle points should have shrunk the deque";
    std::uint64_t wrong = 0;
    for (std::uint64_t id = 0; id < jobs; ++id) wrong += taken[id].load() + discards()[id].load() != 1;
    EXPECT_EQ(wrong, 0u) << "jobs not taken or discarded exactly once";
}

TEST(ChaseLevStressTest, OwnerPopAndOneStealRaceForTheLastJob) {
    constexpr std::uint64_t rounds = 8000;
    Deque deque(16);
    std::atomic<std::uint64_t> go{0};
    std::atomic<std::uint64_t> thief_round_done{0};
    std::atomic<std::uint64_t> thief_got{0};
    std::uint64_t owner_wins = 0, thief_wins = 0, both = 0, neither = 0;
    ostrel_testing::run_threads(2, [&](unsigned t) {
        std::uint64_t state = 12345 + t;
        for (std::uint64_t r = 1; r <= rounds; ++r) {
            if (t == 1) {
                while (go.load() != r) __builtin_ia32_pause();
                for (std::uint64_t spin = next_random(state) % 64; spin > 0; --spin) __builtin_ia32_pause();
                for (;;) {
                    deque.enter_access();
                    auto stolen = deque.steal_within_access();
                    deque.leave_access();
                    if (stolen.status == StealStatus::Success) {
                        thief_got.store(stolen.job.id);
                        break;
                    }
                    if (stolen.status == StealStatus::Empty) break;
                }
                thief_round_done.store(r);
                continue;
            }
            thief_got.store(0);
            deque.push(job(r));
            go.store(r);
            for (std::uint64_t spin = next_random(state) % 64; spin > 0; --spin) __builtin_ia32_pause();
            auto popped = deque.pop();
            while (thief_round_done.load() != r) __builtin_ia32_pause();
            bool owner = popped && popped->id == r;
            bool thief = thief_got.load() == r;
            if (owner && thief) ++both;
            if (owner && !thief) ++owner_wins;
            if (thief && !owner) ++thief_wins;
            if (!owner && !thief) {
                // Both backed off: the job must still be there.
                auto again = deque.pop();
                if (again && again->id == r) ++neither;
                else ++both;  // lost: counted as a fault below
            }
        }
    }, "last-job race");
    EXPECT_EQ(both, 0u);
    EXPECT_EQ(owner_wins + thief_wins + neither, rounds);
    EXPECT_FALSE(deque.pop());
    RecordProperty("owner_wins", static_cast<int>(owner_wins));
    RecordProperty("thief_wins", static_cast<int>(thief_wins));
}

}  // namespace
