// The worker runtime under admitting threads: with spin counts lowered, workers park and
// are woken all the time; every admitted job runs exactly once, every refused one is
// dropped exactly once, also while the pool shuts down under the admitters.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "../tests/support/jobs.hpp"
#include "ostrel_testing/deadline.hpp"
#include "dravik_executor/hybrid.hpp"
#include "dravik_executor/schedule/runtime/worker.hpp"

namespace {

using dravik_executor::ExecutorConfig;
using dravik_executor::hybrid::HybridExecutor;
using dravik_executor_testing::counted_job;
using dravik_executor_testing::counts;
using dravik_executor_testing::max_ids;
namespace worker = dravik_executor::schedule::runtime::worker;

constexpr unsigned admitters = 6;

class ShortSpins {
public:
    ShortSpins() { worker::detail::set_spin_counts({16, 4, 64}); }
    ~ShortSpins() { worker::detail::set_spin_counts(worker::detail::default_spin_counts); }
};

HybridExecutor make_pool(std::uint64_t workers, std::uint64_t ring_budget) {
    auto executor = HybridExecutor::create(ExecutorConfig{"dravik-stress", workers, ring_budget, 16});
    EXPECT_TRUE(executor);
    return std::move(*executor);
}

TEST(RuntimeStressTest, ParkedWorkersAreAlwaysWokenForAdmittedJobs) {
    ShortSpins spins;
    counts().reset();
    HybridExecutor executor = make_pool(3, 48);  // rings of 16: some admissions are refused
    std::atomic<std::uint64_t> refused{0};
    ostrel_testing::run_threads(admitters, [&](unsigned t) {
        for (std::uint64_t id = t; id < max_ids; id += admitters) {
            while (!executor.scheduler().schedule_job(counted_job(id))) refused.fetch_add(1);
            // Now and then a pause long enough for every worker to park.
            if (id % 97 == t) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        // Each admitter waits for its own jobs: a lost wake-up would hang here.
        ostrel_testing::wait_until([&] {
            for (std::uint64_t id = t; id < max_ids; id += admitters) {
                if (counts().executed[id].load() == 0) return false;
            }
            return true;
        }, "admitted jobs running on a pool that parks");
    }, "admitting threads");
    std::uint64_t wrong = 0;
    for (std::uint64_t id = 0; id < max_ids; ++id) wrong += counts().executed[id].load() != 1;
    EXPECT_EQ(wrong, 0u);
    std::uint64_t dropped = 0;
    for (std::uint64_t id = 0; id < max_ids; ++id) dropped += counts().dropped[id].load();
    EXPECT_EQ(dropped, refused.load());
    EXPECT_EQ(executor.scheduler().inner().completed.load(), max_ids);
}

TEST(RuntimeStressTest, ShutdownUnderAdmissionLosesNoJob) {
    ShortSpins spins;
    for (int round = 0; round < 10; ++round) {
        counts().reset();
        std::atomic<std::uint64_t> admitted{0};
        {
            HybridExecutor executor = make_pool(2, 8192);
            std::atomic<bool> stop_now{false};
            std::thread stopper([&] {
                while (admitted.load() < 200) std::this_thread::yield();
                executor.scheduler().shutdown();
                stop_now.store(true);
            });
            ostrel_testing::run_threads(4, [&](unsigned t) {
                for (std::uint64_t id = t; id < max_ids && !stop_now.load(); id += 4) {
                    if (executor.scheduler().schedule_job(counted_job(id))) admitted.fetch_add(1);
                }
            }, "admitters racing shutdown");
            stopper.join();
        }
        // Every admitted job ran before the threads were joined; every refused one was
        // dropped; none did both or neither.
        std::uint64_t ran = 0, wrong = 0;
        for (std::uint64_t id = 0; id < max_ids; ++id) {
            int executed = counts().executed[id].load();
            int dropped = counts().dropped[id].load();
            ran += executed;
            wrong += executed + dropped > 1 || executed > 1;
        }
        EXPECT_EQ(wrong, 0u) << "round " << round;
        EXPECT_EQ(ran, admitted.load()) << "round " << round;
    }
}

}  // namespace
