// Worker queues without the pool: producers admit jobs into the rings of four owners,
// which pop their own queues, steal batches from each other and shrink their planes when
// they find nothing. Every job is taken exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "../tests/support/jobs.hpp"
#include "ostrel_testing/deadline.hpp"
#include "dravik_executor/schedule/queue/worker.hpp"

namespace {

using dravik_executor::schedule::job::Priority;
using dravik_executor::schedule::queue::worker::WorkerQueueOwner;
using dravik_executor::schedule::queue::worker::WorkerQueues;
using dravik_executor_testing::counted_job;
using dravik_executor_testing::id_of;
using dravik_executor_testing::max_ids;

constexpr unsigned owners = 4;
constexpr unsigned producers = 4;
constexpr std::uint64_t rounds = 40;  // each round admits max_ids jobs

TEST(WorkerQueueStressTest, AdmittedJobsAreTakenExactlyOnceAcrossStealingOwners) {
    std::vector<WorkerQueueOwner> owner_sides;
    std::vector<std::shared_ptr<WorkerQueues>> shared;
    for (unsigned i = 0; i < owners; ++i) {
        auto [owner, queues] = WorkerQueues::create(8, 16);
        owner_sides.push_back(std::move(owner));
        shared.push_back(queues);
    }
    std::vector<std::atomic<std::uint32_t>> taken(max_ids);
    std::atomic<std::uint64_t> total{0};
    std::atomic<unsigned> producers_done{0};
    const std::uint64_t expected = rounds * max_ids;
    ostrel_testing::run_threads(owners + producers, [&](unsigned t) {
        if (t >= owners) {
            unsigned p = t - owners;
            std::uint64_t target = p;
            for (std::uint64_t r = 0; r < rounds; ++r) {
                for (std::uint64_t id = p; id < max_ids; id += producers) {
                    auto priority = static_cast<Priority>(id % 4);
                    while (!shared[target % owners]->try_push_external(priority, counted_job(id))) {
                        ++target;
                        std::this_thread::yield();
                    }
                    ++target;
                }
            }
            producers_done.fetch_add(1);
            return;
        }
        WorkerQueueOwner& me = owner_sides[t];
        std::uint64_t victim = t;
        while (total.load() < expected) {
            auto job = me.pop_local();
            for (unsigned m = 1; !job && m < owners; ++m) job = me.steal_batch(*shared[(victim + m) % owners]);
            ++victim;
            if (job) {
                taken[id_of(*job)].fetch_add(1);
                total.fetch_add(1);
            } else {
                me.shrink_drained_planes();
                std::this_thread::yield();
            }
        }
    }, "queue owners and producers");
    std::uint64_t wrong = 0;
    for (auto& count : taken) wrong += count.load() != rounds;
    EXPECT_EQ(wrong, 0u) << "ids not taken once per round";
    EXPECT_EQ(total.load(), expected);
}

}  // namespace
