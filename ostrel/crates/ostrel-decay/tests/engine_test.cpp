#include "ostrel_decay/engine.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "kavrel/domain/error/error.hpp"
#include "ostrel_arena/segment/alloc.hpp"
#include "ostrel_arena/segment/pool.hpp"
#include "ostrel_core/options.hpp"
#include "ostrel_testing/deadline.hpp"
#include "ostrel_testing/process.hpp"

namespace {

namespace engine = ostrel_decay::engine;
namespace pool = ostrel_arena::segment::pool;
using ostrel_testing::eventually;
using ostrel_testing::threads_named;

TEST(OstrelDecayEngineTest, IntervalDoublesWhileIdleUpToTenCadencesAndFiveSeconds) {
    struct Row {
        std::uint64_t cadence;
        std::vector<std::uint64_t> intervals;
    };
    const Row rows[] = {{100, {100, 200, 400, 800, 1000, 1000}},
                        {10000, {10000, 5000, 5000}},
                        {1, {1, 2, 4, 8, 10, 10}},
                        {UINT64_MAX, {UINT64_MAX, 5000}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.cadence);
        std::uint64_t t = row.cadence;
        for (std::uint64_t expected : row.intervals) {
            EXPECT_EQ(t, expected);
            t = engine::next_interval(t, row.cadence, 0);
        }
    }
}

TEST(OstrelDecayEngineTest, IntervalReactsToProgress) {
    struct Row {
        std::uint64_t interval, cadence, progress, expected;
    };
    const Row rows[] = {
        {800, 100, 1, 100},    {800, 100, 1048576, 100}, {800, 100, 1048577, 400}, {100, 100, 1u << 30, 50},
        {40, 100, 1u << 30, 25}, {1, 1, 1u << 30, 1},     {1, 3, 1u << 30, 1},        {5000, 10000, 2u << 20, 2500},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.interval << " " << row.cadence << " " << row.progress);
        EXPECT_EQ(engine::next_interval(row.interval, row.cadence, row.progress), row.expected);
    }
}

TEST(OstrelDecayEngineTest, WakeEventIsBuiltOnce) {
    EXPECT_EQ(&engine::decay_wake_event(), &engine::decay_wake_event());
}

TEST(OstrelDecayEngineTest, EngineStartsOneNamedThread) {
    OSTREL_IN_FRESH_PROCESS({
        ostrel_core::options::PURGE_CADENCE_MS.store(1000);
        EXPECT_EQ(threads_named("ostrel-decay"), 0u);
        engine::init_decay_engine();
        engine::init_decay_engine();
        EXPECT_TRUE(eventually([] { return threads_named("ostrel-decay") == 1; }));
        EXPECT_EQ(engine::SPAWNED.load(), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(threads_named("ostrel-decay"), 1u);
    });
}

int refuse_spawn(pthread_t*, void* (*)(void*), void*) { return EAGAIN; }

TEST(OstrelDecayEngineTest, FailedSpawnIsAnInternalErrorAndCanBeRetried) {
    OSTREL_IN_FRESH_PROCESS({
        ostrel_core::options::PURGE_CADENCE_MS.store(1000);
        engine::detail::set_spawn_hook(&refuse_spawn);
        try {
            engine::init_decay_engine();
            ADD_FAILURE() << "no internal error";
        } catch (const kavrel::domain::error::InternalError& error) {
            EXPECT_EQ(std::string(error.what()).rfind("Failed to spawn ostrel-decay thread: ", 0), 0u) << error.what();
        }
        EXPECT_EQ(engine::SPAWNED.load(), 0);
        engine::detail::set_spawn_hook(nullptr);
        engine::init_decay_engine();
        EXPECT_TRUE(eventually([] { return threads_named("ostrel-decay") == 1; }));
    });
}

TEST(OstrelDecayEngineTest, RunningThreadGivesRetainedSegmentsBack) {
    OSTREL_IN_FRESH_PROCESS({
        ostrel_core::options::PURGE_CADENCE_MS.store(2);
        auto* segment = ostrel_arena::segment::alloc::map_fresh_segment();
        ASSERT_NE(segment, nullptr);
        std::uint32_t node = segment->shared.node % pool::NODE_POOLS;
        ostrel_arena::segment::alloc::deallocate_segment(*segment);
        EXPECT_EQ(pool::WRAPPER_BACKEND_POOLS.retained[node].guarded.stack.count.load(), 1u);
        engine::init_decay_engine();
        EXPECT_TRUE(eventually([&] { return pool::WRAPPER_BACKEND_POOLS.retained[node].guarded.stack.count.load() == 0; }))
            << "hang: the decay thread never emptied the retained pool";
    });
}

TEST(OstrelDecayEngineTest, ForkedChildStartsItsOwnDecayThread) {
    OSTREL_IN_FRESH_PROCESS({
        ostrel_core::options::PURGE_CADENCE_MS.store(5);
        engine::init_decay_engine();
        ASSERT_TRUE(eventually([] { return threads_named("ostrel-decay") == 1; }));
        engine::DecayWakeEvent* parent_event = &engine::decay_wake_event();
        pid_t child = fork();
        if (child == 0) {
            bool ok = threads_named("ostrel-decay") == 0 && engine::SPAWNED.load() == 0;
            engine::respawn_after_fork_if_needed();
            // The parent's thread may have left the old event's condition variable mid-wait.
            ok = ok && &engine::decay_wake_event() != parent_event;
            ok = ok && eventually([] { return threads_named("ostrel-decay") == 1; });
            engine::respawn_after_fork_if_needed();  // only once
            ok = ok && threads_named("ostrel-decay") == 1;
            std::_Exit(ok ? 0 : 3);
        }
        ASSERT_GT(child, 0);
        int status = 0;
        bool exited = eventually([&] { return waitpid(child, &status, WNOHANG) == child; });
        if (!exited) kill(child, SIGKILL);
        ASSERT_TRUE(exited) << "hang: the forked child did not finish";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(threads_named("ostrel-decay"), 1u) << "the parent keeps its thread";
    });
}

}  // namespace
