#include "dravik_executor/hybrid.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <set>

#include "ostrel_testing/deadline.hpp"
#include "dravik_executor/builder.hpp"
#include "dravik_executor/schedule/runtime/worker.hpp"
#include "support/jobs.hpp"
#include "ostrel_testing/process.hpp"

namespace {

using dravik_executor::ExecutorConfig;
using dravik_executor::hybrid::admission_ring_capacity;
using dravik_executor::hybrid::HybridExecutor;
using dravik_executor::hybrid::normal_plane_capacity;
using ostrel_testing::thread_names;
using ostrel_testing::threads_named;
namespace ee = dravik_core::error::executor_error;
namespace worker = dravik_executor::schedule::runtime::worker;

ExecutorConfig config(std::uint64_t workers, const char* prefix = "dravik-hybrid") {
    return ExecutorConfig{prefix, workers, 8192, 128};
}

TEST(HybridExecutorTest, AdmissionRingsShareTheBudget) {
    struct Row {
        std::uint64_t workers;
        std::uint64_t capacity;  // 0: InvalidConfiguration
    };
    for (Row row : {Row{1, 8192}, Row{2, 4096}, Row{8, 1024}, Row{12, 512}, Row{4096, 2}, Row{4097, 0},
                    Row{100000, 0}}) {
        SCOPED_TRACE(row.workers);
        auto capacity = admission_ring_capacity(8192, row.workers);
        if (row.capacity == 0) {
            ASSERT_FALSE(capacity);
            EXPECT_TRUE(std::holds_alternative<ee::InvalidConfiguration>(capacity.error()));
        } else {
            ASSERT_TRUE(capacity);
            EXPECT_EQ(*capacity, row.capacity);
        }
    }
}

TEST(HybridExecutorTest, NormalPlaneCapacityIsAPowerOfTwoOfAtLeastSixteen) {
    struct Row {
        std::uint64_t local;
        std::uint64_t capacity;  // 0: InvalidLocalQueueInitialCapacity
    };
    for (Row row : {Row{128, 128}, Row{0, 16}, Row{1, 16}, Row{17, 32}, Row{129, 256},
                    Row{(std::uint64_t{1} << 56) - 1, 0}, Row{std::uint64_t{1} << 63, 0},
                    Row{(std::uint64_t{1} << 63) + 1, 0}}) {
        SCOPED_TRACE(row.local);
        auto capacity = normal_plane_capacity(row.local);
        if (row.capacity == 0) {
            ASSERT_FALSE(capacity);
            auto* error = std::get_if<ee::InvalidLocalQueueInitialCapacity>(&capacity.error());
            ASSERT_NE(error, nullptr);
            EXPECT_EQ(error->requested, row.local);
        } else {
            ASSERT_TRUE(capacity);
            EXPECT_EQ(*capacity, row.capacity);
        }
    }
}

TEST(HybridExecutorTest, BuilderFillsTheBuiltInConfiguration) {
    ExecutorConfig built = dravik_executor::ExecutorBuilder{6}.config();
    EXPECT_EQ(built.thread_name_prefix, "dravik-worker");
    EXPECT_EQ(built.worker_count, 6u);
    EXPECT_EQ(built.ring_budget, 8192u);
    EXPECT_EQ(built.local_queue_capacity, 128u);
}

TEST(HybridExecutorTest, StartsNamedWorkersWithTheirQueuesAndJoinsThemWhenDropped) {
    {
        auto executor = HybridExecutor::create(config(8));
        ASSERT_TRUE(executor);
        EXPECT_EQ(executor->worker_count(), 8u);
        auto& pool = executor->scheduler().inner();
        for (std::uint64_t i = 0; i < 8; ++i) {
            SCOPED_TRACE(i);
            EXPECT_TRUE(pool.workers[i].handle_published.load());
            EXPECT_EQ(pool.workers[i].queues->admission.requested_capacity(), 1024u);
            EXPECT_EQ(pool.workers[i].queues->planes[1]->capacity(), 128u);
        }
        EXPECT_EQ(pool.sleeper_word_count, 1u);
        std::multiset<std::string> names;
        for (const std::string& name : thread_names()) {
            if (name.rfind("dravik-hybrid-", 0) == 0) names.insert(name);
        }
        EXPECT_EQ(names, (std::multiset<std::string>{"dravik-hybrid-0", "dravik-hybrid-1", "dravik-hybrid-2",
                                                     "dravik-hybrid-3", "dravik-hybrid-4", "dravik-hybrid-5",
                                                     "dravik-hybrid-6", "dravik-hybrid-7"}));
    }
    EXPECT_EQ(threads_named("dravik-hybrid-"), 0u);
}

TEST(HybridExecutorTest, LongThreadNamesAreCutToFifteenBytes) {
    EXPECT_EQ(worker::detail::thread_name("dravik-worker", 7), "dravik-worker-7");
    EXPECT_EQ(worker::detail::thread_name("dravik-worker", 10), "dravik-worker-1");
    auto executor = HybridExecutor::create(config(2, "dravik-long-prefix"));
    ASSERT_TRUE(executor);
    EXPECT_EQ(threads_named("dravik-long-pre"), 2u);
}

TEST(HybridExecutorTest, ZeroWorkersCountAsOne) {
    auto executor = HybridExecutor::create(config(0));
    ASSERT_TRUE(executor);
    EXPECT_EQ(executor->worker_count(), 1u);
    EXPECT_EQ(executor->scheduler().inner().workers[0].queues->admission.requested_capacity(), 8192u);
}

TEST(HybridExecutorTest, TooManyWorkersForTheBudgetFailBeforeAnyThreadStarts) {
    auto executor = HybridExecutor::create(config(4097));
    ASSERT_FALSE(executor);
    EXPECT_TRUE(std::holds_alternative<ee::InvalidConfiguration>(executor.error()));
    EXPECT_EQ(threads_named("dravik-hybrid-"), 0u);
    auto plane = HybridExecutor::create(ExecutorConfig{"dravik-hybrid", 2, 8192, std::uint64_t{1} << 60});
    ASSERT_FALSE(plane);
    EXPECT_EQ(dravik_core::error::debug(plane.error()), "InvalidLocalQueueInitialCapacity { requested: 1152921504606846976 }");
}

std::atomic<int> spawns_left{0};

int refuse_after_two(pthread_t* thread, void* (*body)(void*), void* argument) {
    if (spawns_left.fetch_sub(1) <= 0) return EAGAIN;
    return pthread_create(thread, nullptr, body, argument);
}

TEST(HybridExecutorTest, RefusedThreadShutsThePoolDownAndJoinsTheStartedOnes) {
    spawns_left.store(2);
    worker::detail::set_spawn_hook(&refuse_after_two);
    auto executor = HybridExecutor::create(config(4));
    worker::detail::set_spawn_hook(nullptr);
    ASSERT_FALSE(executor);
    EXPECT_TRUE(std::holds_alternative<ee::ThreadPoolCreationFailed>(executor.error()));
    EXPECT_EQ(threads_named("dravik-hybrid-"), 0u);
}

}  // namespace
