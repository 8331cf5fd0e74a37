#include "dravik_executor/schedule/runtime/scheduler/data_parallel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "ostrel_testing/deadline.hpp"
#include "dravik_executor/hybrid.hpp"
#include "dravik_executor/schedule/queue/worker.hpp"
#include "dravik_executor/schedule/runtime/worker.hpp"
#include "kavrel/domain/error/error.hpp"
#include "support/jobs.hpp"

namespace {

using dravik_core::error::ExecutorError;
using dravik_core::error::TaskError;
using dravik_executor::ExecutorConfig;
using dravik_executor::hybrid::HybridExecutor;
using dravik_executor::schedule::runtime::types::indexed_region_depth;
using dravik_executor::schedule::runtime::types::ThreadScheduler;
using dravik_executor::schedule::runtime::worker::indexed::indexed_chunk_bounds;
using dravik_executor_testing::call_job;
using ostrel_testing::wait_until;
namespace dp = dravik_executor::schedule::runtime::scheduler::data_parallel;
namespace ee = dravik_core::error::executor_error;

HybridExecutor make_pool(std::uint64_t workers, std::uint64_t ring_budget = 8192) {
    auto executor = HybridExecutor::create(ExecutorConfig{"dravik-dp", workers, ring_budget, 128});
    if (!executor) throw std::runtime_error("pool creation failed");
    return std::move(*executor);
}

std::string debug_of(const std::expected<void, ExecutorError>& result) {
    return result ? "success" : dravik_core::error::debug(result.error());
}

struct Call {
    std::uint64_t start;
    std::uint64_t end;
    std::thread::id thread;
};

// A work that records each call.
struct Recorder {
    std::mutex mutex;
    std::vector<Call> calls;
    void record(std::uint64_t start, std::uint64_t end) {
        std::lock_guard<std::mutex> guard(mutex);
        calls.push_back({start, end, std::this_thread::get_id()});
    }
    std::vector<Call> sorted() {
        std::lock_guard<std::mutex> guard(mutex);
        std::vector<Call> out = calls;
        std::sort(out.begin(), out.end(), [](const Call& a, const Call& b) { return a.start < b.start; });
        return out;
    }
};

struct Blocker {
    std::atomic<int> started{0};
    std::atomic<bool> release{false};
    bool operator()() {
        started.fetch_add(1);
        wait_until([&] { return release.load(); }, "a blocked worker's release");
        return true;
    }
};

TEST(DataParallelTest, ChunkCountIsOneMoreThanTheWorkersAtMostTheItems) {
    EXPECT_EQ(dp::chunk_count(3, 1000), 4u);
    EXPECT_EQ(dp::chunk_count(0, 1000), 2u);
    EXPECT_EQ(dp::chunk_count(8, 5), 5u);
    EXPECT_EQ(dp::chunk_count(~std::uint64_t{0}, ~std::uint64_t{0}), ~std::uint64_t{0});
}

TEST(DataParallelTest, OutcomePrecedence) {
    struct Row {
        bool failed, chunk0_ran;
        std::uint64_t dropped;
        std::optional<ExecutorError> admission_error;
        const char* expected;
    };
    const Row rows[] = {
        {true, true, 1, std::nullopt, "SpawnFailed(Panicked)"},
        {true, false, 0, ExecutorError(ee::ShuttingDown{}), "SpawnFailed(Panicked)"},
        {false, true, 2, std::nullopt, "SpawnFailed(Cancelled)"},
        {false, true, 0, std::nullopt, "success"},
        {false, false, 0, ExecutorError(ee::ShuttingDown{}), "ShuttingDown"},
        {false, false, 1, ExecutorError(ee::InvalidConfiguration{}), "InvalidConfiguration"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        EXPECT_EQ(debug_of(dp::scope_outcome(row.failed, row.chunk0_ran, row.dropped, row.admission_error)),
                  row.expected);
    }
}

TEST(DataParallelTest, RefusalsThatTheCallerRunsItself) {
    ExecutorError full = ee::ResourceExhausted{"worker 0 scheduler admission queue is full"};
    ExecutorError stopping = ee::ShuttingDown{};
    EXPECT_TRUE(dp::runs_refused_chunk_inline(full, 1));
    EXPECT_TRUE(dp::runs_refused_chunk_inline(full, 5));
    EXPECT_FALSE(dp::runs_refused_chunk_inline(stopping, 1));
    EXPECT_TRUE(dp::runs_refused_chunk_inline(stopping, 2));
    EXPECT_FALSE(dp::runs_refused_chunk_inline(ExecutorError(ee::InvalidConfiguration{}), 3));
}

TEST(DataParallelTest, DroppingAChunkJobCompletesItAsDropped) {
    std::mutex lock;
    std::condition_variable signal;
    dp::SchedulerScopeState scope(lock, signal);
    auto work = [](std::uint64_t, std::uint64_t) { ADD_FAILURE() << "a dropped chunk ran"; };
    scope.outstanding.store(2);
    auto first = dp::make_scoped_job(work, {0, 5}, scope);
    first.discard();
    EXPECT_EQ(scope.dropped.load(), 1u);
    EXPECT_EQ(scope.outstanding.load(), 1u);
    // A ring torn down with a chunk still in it drops that chunk once.
    {
        auto [owner, queues] = dravik_executor::schedule::queue::worker::WorkerQueues::create(4, 16);
        ASSERT_TRUE(queues->try_push_external(dravik_executor::schedule::job::Priority::normal,
                                              dp::make_scoped_job(work, {5, 9}, scope)));
    }
    EXPECT_EQ(scope.dropped.load(), 2u);
    EXPECT_EQ(scope.outstanding.load(), 0u);
    scope.wait();  // returns at once
    EXPECT_EQ(debug_of(dp::scope_outcome(false, true, scope.dropped.load(), std::nullopt)), "SpawnFailed(Cancelled)");
}

TEST(DataParallelTest, ExecutedChunkRunsItsRangeAndCompletesOnce) {
    std::mutex lock;
    std::condition_variable signal;
    dp::SchedulerScopeState scope(lock, signal);
    Recorder recorder;
    auto work = [&](std::uint64_t s, std::uint64_t e) { recorder.record(s, e); };
    scope.outstanding.store(1);
    auto job = dp::make_scoped_job(work, {3, 7}, scope);
    EXPECT_TRUE(job.execute());
    EXPECT_EQ(scope.outstanding.load(), 0u);
    EXPECT_EQ(scope.dropped.load(), 0u);
    EXPECT_EQ(scope.failed.load(), 0u);
    ASSERT_EQ(recorder.calls.size(), 1u);
    EXPECT_EQ(recorder.calls[0].start, 3u);
    EXPECT_EQ(recorder.calls[0].end, 7u);
}

TEST(DataParallelTest, SplitsIntoBalancedChunksTheCallerRunningTheFirst) {
    HybridExecutor executor = make_pool(3);
    for (std::uint64_t n : {1u, 2u, 3u, 4u, 10u, 1001u}) {
        SCOPED_TRACE(n);
        Recorder recorder;
        auto work = [&](std::uint64_t s, std::uint64_t e) { recorder.record(s, e); };
        ASSERT_TRUE(executor.scheduler().for_each_indexed(n, work));
        std::uint64_t k = std::min<std::uint64_t>(4, n);
        auto calls = recorder.sorted();
        ASSERT_EQ(calls.size(), k);
        for (std::uint64_t c = 0; c < k; ++c) {
            auto bounds = indexed_chunk_bounds(n, k, c);
            EXPECT_EQ(calls[c].start, bounds.start);
            EXPECT_EQ(calls[c].end, bounds.end);
        }
        // The caller runs chunk 0 before anything else; admitted chunks it finds still queued
        // afterwards it may run too.
        auto first_on_caller = std::find_if(recorder.calls.begin(), recorder.calls.end(), [](const Call& call) {
            return call.thread == std::this_thread::get_id();
        });
        ASSERT_NE(first_on_caller, recorder.calls.end());
        EXPECT_EQ(first_on_caller->start, 0u);
        EXPECT_FALSE(indexed_region_depth.value_or(0));
    }
    EXPECT_EQ(executor.scheduler().inner().inline_fallbacks.load(), 0u);
}

TEST(DataParallelTest, NestedCallsFromChunkZeroAndFromWorkersRunInline) {
    HybridExecutor executor = make_pool(2);
    const ThreadScheduler& scheduler = executor.scheduler();
    std::atomic<int> nested_calls{0};
    std::atomic<int> wrong{0};
    std::atomic<std::uint64_t> completed_before{scheduler.inner().completed.load()};
    auto outer = [&](std::uint64_t s, std::uint64_t e) {
        for (std::uint64_t i = s; i < e; ++i) {
            Recorder inner;
            auto record = [&](std::uint64_t a, std::uint64_t b) { inner.record(a, b); };
            if (!scheduler.for_each_indexed(50, record)) wrong.fetch_add(1);
            // One call over all 50 items, on this very thread.
            if (inner.calls.size() != 1 || inner.calls[0].start != 0 || inner.calls[0].end != 50 ||
                inner.calls[0].thread != std::this_thread::get_id()) {
                wrong.fetch_add(1);
            }
            nested_calls.fetch_add(1);
        }
    };
    ASSERT_TRUE(scheduler.for_each_indexed(9, outer));
    EXPECT_EQ(nested_calls.load(), 9);
    EXPECT_EQ(wrong.load(), 0);
    // Only the outer call's two admitted chunks ran as jobs (a worker counts its job after
    // completing the chunk, so the count may trail the call's return).
    wait_until([&] { return scheduler.inner().running.load() == 0; }, "the workers finishing their jobs");
    EXPECT_EQ(scheduler.inner().completed.load() - completed_before.load(), 2u);
}

TEST(DataParallelTest, FailedWorkerChunkIsReportedAfterEveryChunkHasEnded) {
    HybridExecutor executor = make_pool(3);
    std::atomic<bool> slow_chunk_done{false};
    std::atomic<int> items{0};
    auto work = [&](std::uint64_t s, std::uint64_t e) {
        for (std::uint64_t i = s; i < e; ++i) {
            // A NUL inside the text: the whole of it reaches standard error.
            if (i == 5) throw kavrel::domain::error::InternalError(std::string("invariant: item 5\0broke", 23));
            if (i == 8) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                slow_chunk_done.store(true);
            }
            items.fetch_add(1);
        }
    };
    testing::internal::CaptureStderr();
    auto result = executor.scheduler().for_each_indexed(12, work);  // chunks [0,3) [3,6) [6,9) [9,12)
    std::string stderr_text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(debug_of(result), "SpawnFailed(Panicked)");
    EXPECT_TRUE(slow_chunk_done.load()) << "the call returned before the slow chunk ended";
    EXPECT_EQ(items.load(), 11);  // all but item 5, the last of its chunk
    EXPECT_NE(stderr_text.find(std::string("invariant: item 5\0broke\n", 24)), std::string::npos) << stderr_text;
    EXPECT_GE(executor.scheduler().inner().failed.load(), 1u);
}

TEST(DataParallelTest, FailedChunkZeroIsReportedAfterTheWaitAndLeavesNoRegion) {
    HybridExecutor executor = make_pool(2);
    std::atomic<int> others{0};
    auto work = [&](std::uint64_t s, std::uint64_t) {
        if (s == 0) throw kavrel::domain::error::InternalError(std::string("invariant: chunk zero\0broke", 27));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        others.fetch_add(1);
    };
    testing::internal::CaptureStderr();
    auto result = executor.scheduler().for_each_indexed(3, work);
    std::string stderr_text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(debug_of(result), "SpawnFailed(Panicked)");
    EXPECT_EQ(others.load(), 2);
    EXPECT_FALSE(indexed_region_depth.value_or(0));
    EXPECT_NE(stderr_text.find(std::string("chunk zero\0broke\n", 17)), std::string::npos);
}

TEST(DataParallelTest, InlineCallStopsAtTheFailingItem) {
    HybridExecutor executor = make_pool(2);
    auto region = dravik_executor::schedule::runtime::worker::indexed::IndexedRegionGuard::enter();
    std::vector<std::uint64_t> seen;
    auto work = [&](std::uint64_t s, std::uint64_t e) {
        for (std::uint64_t i = s; i < e; ++i) {
            if (i == 4) throw kavrel::domain::error::InternalError("invariant: inline item broke");
            seen.push_back(i);
        }
    };
    testing::internal::CaptureStderr();
    auto result = executor.scheduler().for_each_indexed(10, work);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(debug_of(result), "SpawnFailed(Panicked)");
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{0, 1, 2, 3}));
}

TEST(DataParallelTest, CallerRunsChunksStillQueuedOnBusyWorkers) {
    HybridExecutor executor = make_pool(2);
    const ThreadScheduler& scheduler = executor.scheduler();
    Blocker blocker;
    struct Release {
        Blocker& blocker;
        ~Release() { blocker.release.store(true); }  // before the pool joins its workers
    } release{blocker};
    ASSERT_TRUE(scheduler.schedule_job(call_job(blocker)));
    ASSERT_TRUE(scheduler.schedule_job(call_job(blocker)));
    wait_until([&] { return blocker.started.load() == 2; }, "both workers blocking");
    Recorder recorder;
    std::atomic<int> nested_inline{0};
    auto work = [&](std::uint64_t s, std::uint64_t e) {
        recorder.record(s, e);
        // A chunk the caller took from a queue is inside a region: a nested call runs inline.
        Recorder inner;
        auto record = [&](std::uint64_t a, std::uint64_t b) { inner.record(a, b); };
        if (scheduler.for_each_indexed(10, record) && inner.calls.size() == 1) nested_inline.fetch_add(1);
    };
    // Without the caller's help this would wait for the blocked workers.
    ASSERT_TRUE(scheduler.for_each_indexed(9, work));
    auto calls = recorder.sorted();
    ASSERT_EQ(calls.size(), 3u);
    for (std::uint64_t c = 0; c < 3; ++c) {
        SCOPED_TRACE(c);
        EXPECT_EQ(calls[c].start, 3 * c);
        EXPECT_EQ(calls[c].end, 3 * c + 3);
        EXPECT_EQ(calls[c].thread, std::this_thread::get_id());
    }
    EXPECT_EQ(recorder.calls[0].start, 0u);  // chunk 0 first
    EXPECT_EQ(nested_inline.load(), 3);
    EXPECT_FALSE(indexed_region_depth.value_or(0));
    EXPECT_EQ(scheduler.inner().inline_fallbacks.load(), 0u);
    EXPECT_EQ(scheduler.inner().pending.load(), 0u);
}

TEST(DataParallelTest, ChunkRefusedByAFullRingRunsOnTheCallerBeforeChunkZero) {
    HybridExecutor executor = make_pool(1, 2);  // one worker, a ring of 2
    const ThreadScheduler& scheduler = executor.scheduler();
    Blocker blocker;
    ASSERT_TRUE(scheduler.schedule_job(call_job(blocker)));
    wait_until([&] { return blocker.started.load() == 1; }, "the worker blocking");
    auto nothing = [] { return true; };
    ASSERT_TRUE(scheduler.schedule_job(call_job(nothing)));
    ASSERT_TRUE(scheduler.schedule_job(call_job(nothing)));
    Recorder recorder;
    auto work = [&](std::uint64_t s, std::uint64_t e) { recorder.record(s, e); };
    ASSERT_TRUE(scheduler.for_each_indexed(10, work));  // chunks [0,5) and [5,10)
    ASSERT_EQ(recorder.calls.size(), 2u);
    EXPECT_EQ(recorder.calls[0].start, 5u);  // the refused chunk first
    EXPECT_EQ(recorder.calls[1].start, 0u);
    EXPECT_EQ(recorder.calls[0].thread, std::this_thread::get_id());
    EXPECT_EQ(scheduler.inner().inline_fallbacks.load(), 1u);
    // A failure in such a chunk stops admission and skips chunk 0.
    recorder.calls.clear();
    auto failing = [&](std::uint64_t s, std::uint64_t e) {
        recorder.record(s, e);
        if (s == 5) throw kavrel::domain::error::InternalError("invariant: fallback chunk broke");
    };
    testing::internal::CaptureStderr();
    auto result = scheduler.for_each_indexed(10, failing);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(debug_of(result), "SpawnFailed(Panicked)");
    ASSERT_EQ(recorder.calls.size(), 1u);
    EXPECT_EQ(scheduler.inner().inline_fallbacks.load(), 2u);
    blocker.release.store(true);
}

TEST(DataParallelTest, ShutDownPoolRunsNothing) {
    HybridExecutor executor = make_pool(2);
    executor.scheduler().shutdown();
    bool ran = false;
    auto work = [&](std::uint64_t, std::uint64_t) { ran = true; };
    EXPECT_EQ(debug_of(executor.scheduler().for_each_indexed(100, work)), "ShuttingDown");
    EXPECT_FALSE(ran);
}

TEST(DataParallelTest, CallerSleepsOnTheConditionVariableAndIsWoken) {
    // No spinning: the caller goes straight to the condition variable.
    dravik_executor::schedule::runtime::worker::detail::set_spin_counts({64, 8, 0});
    HybridExecutor executor = make_pool(2);
    std::atomic<int> items{0};
    auto work = [&](std::uint64_t s, std::uint64_t e) {
        if (s != 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        items.fetch_add(static_cast<int>(e - s));
    };
    for (int round = 0; round < 20; ++round) ASSERT_TRUE(executor.scheduler().for_each_indexed(30, work));
    dravik_executor::schedule::runtime::worker::detail::set_spin_counts(
        dravik_executor::schedule::runtime::worker::detail::default_spin_counts);
    EXPECT_EQ(items.load(), 20 * 30);
}

}  // namespace
