#include "dravik_parallel/ops.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "dravik_parallel/ops/unit_tasks/range.hpp"
#include "dravik_parallel/ops/unit_tasks/single.hpp"
#include "kavrel/domain/error/error.hpp"

namespace {

using dravik_executor::global_arc::GLOBAL_EXECUTOR;
using dravik_parallel::ops::for_each_index_with;
using dravik_parallel::ops::unit_tasks::range::for_each_unit_task_range_with;
using dravik_parallel::ops::unit_tasks::range::task_grain;
using dravik_parallel::ops::unit_tasks::single::for_each_unit_task_mut_with;
using dravik_parallel::ops::unit_tasks::single::UnitSingleShards;
using dravik_parallel::policy::Adaptive;
using dravik_parallel::policy::Parallel;
using kavrel::domain::error::InternalError;

// The message of the internal error that `call` stops with, or "" when it returns.
template <class Call>
std::string internal_error_of(Call&& call) {
    try {
        call();
    } catch (const InternalError& error) {
        return error.what();
    }
    return "";
}

struct ThreadLog {
    std::mutex mutex;
    std::set<std::thread::id> threads;
    void note() {
        std::lock_guard<std::mutex> guard(mutex);
        threads.insert(std::this_thread::get_id());
    }
};

// Small counts never touch the executor. Checked in a fresh process, where nothing has
// built it yet.
[[noreturn]] void check_small_inputs_leave_the_executor_unbuilt() {
    std::vector<std::uint64_t> order;
    for_each_index_with<Adaptive>(1023, [&](std::uint64_t i) { order.push_back(i); });
    bool in_order = order.size() == 1023;
    for (std::uint64_t i = 0; in_order && i < 1023; ++i) in_order = order[i] == i;
    std::vector<float> buffer(5461);
    int shard_calls = 0;
    int context = 0;
    for_each_unit_task_mut_with(buffer.data(), buffer.size(), context,
                                [&](int&, std::uint64_t first, float* data, std::uint64_t length) {
                                    shard_calls += first == 0 && data == buffer.data() && length == 5461;
                                });
    int task_calls = 0;
    for_each_unit_task_range_with(16, 4096, context, [&](int&, std::uint64_t first, std::uint64_t count) {
        task_calls += first == 0 && count == 16;
    });
    for_each_index_with<Parallel>(0, [](std::uint64_t) {});
    bool unbuilt = GLOBAL_EXECUTOR.if_built() == nullptr;
    for_each_index_with<Adaptive>(1024, [](std::uint64_t) {});
    bool built = GLOBAL_EXECUTOR.if_built() != nullptr;
    _exit(in_order && shard_calls == 1 && task_calls == 1 && unbuilt && built ? 0 : 1);
}

TEST(ForEachIndexWithTest, SmallInputsNeverBuildTheExecutor) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(check_small_inputs_leave_the_executor_unbuilt(), testing::ExitedWithCode(0), "");
}

TEST(ForEachIndexWithTest, EveryIndexRunsExactlyOnce) {
    for (std::uint64_t n : {1u, 2u, 3u, 7u, 1023u, 1024u, 100003u}) {
        SCOPED_TRACE(n);
        std::vector<std::atomic<int>> parallel(n), adaptive(n);
        for_each_index_with<Parallel>(n, [&](std::uint64_t i) { parallel[i].fetch_add(1); });
        for_each_index_with<Adaptive>(n, [&](std::uint64_t i) { adaptive[i].fetch_add(1); });
        std::uint64_t wrong = 0;
        for (std::uint64_t i = 0; i < n; ++i) wrong += parallel[i].load() != 1 || adaptive[i].load() != 1;
        EXPECT_EQ(wrong, 0u);
    }
}

// Waits until every job admitted so far has been counted. A worker counts a job as completed
// just after running it, which can be after the call that waited for the job has returned; the
// running count drops only after that, and pending (read first) only after running rose.
void wait_for_counts_to_settle(const dravik_executor::schedule::runtime::types::SchedulerInner& pool) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pool.pending.load() != 0 || pool.running.load() != 0) {
        ASSERT_LT(std::chrono::steady_clock::now(), until) << "hang: pool counters never settled";
        std::this_thread::yield();
    }
}

TEST(ForEachIndexWithTest, AdaptiveRunsSmallCountsOnTheCallerAndLargeOnesOnWorkers) {
    ThreadLog small, large;
    for_each_index_with<Adaptive>(1023, [&](std::uint64_t) { small.note(); });
    EXPECT_EQ(small.threads, std::set<std::thread::id>{std::this_thread::get_id()});
    const auto& pool = GLOBAL_EXECUTOR->scheduler().inner();
    wait_for_counts_to_settle(pool);
    const std::uint64_t jobs_before = pool.completed.load();
    for_each_index_with<Adaptive>(1024, [&](std::uint64_t) { large.note(); });
    // Every chunk but the caller's first became a job (which a worker, or the caller once its
    // own chunk was done, ran).
    wait_for_counts_to_settle(pool);
    EXPECT_EQ(pool.completed.load() - jobs_before, pool.worker_count);
    EXPECT_TRUE(large.threads.count(std::this_thread::get_id()));
}

// One participant per worker (a processor each), or one where the call would run inline.
TEST(ForEachIndexWithTest, BalancedParticipantsAreOnePerProcessor) {
    const std::uint64_t participants = dravik_parallel::ops::balanced_participants();
    EXPECT_EQ(participants, std::max<std::uint64_t>(GLOBAL_EXECUTOR->scheduler().inner().worker_count, 1));
    std::atomic<std::uint64_t> inline_count{0};
    for_each_index_with<Parallel>(participants, [&](std::uint64_t) {
        inline_count += dravik_parallel::ops::balanced_participants() == 1;
    });
    EXPECT_EQ(inline_count.load(), participants);
}

TEST(ForEachIndexWithTest, ContextIsHandedToEveryCall) {
    struct Sums {
        std::atomic<std::uint64_t> total{0};
    } sums;
    for_each_index_with<Parallel>(5000, sums, [](Sums& s, std::uint64_t i) { s.total.fetch_add(i); });
    EXPECT_EQ(sums.total.load(), 5000u * 4999u / 2);
}

TEST(ForEachIndexWithTest, NestedCallsRunInlineOnTheOuterItemsThread) {
    std::atomic<int> wrong{0};
    std::atomic<int> inner_items{0};
    for_each_index_with<Parallel>(64, [&](std::uint64_t) {
        std::thread::id outer = std::this_thread::get_id();
        std::uint64_t expected = 0;
        for_each_index_with<Parallel>(2000, [&](std::uint64_t j) {
            if (std::this_thread::get_id() != outer || j != expected) wrong.fetch_add(1);
            ++expected;
            inner_items.fetch_add(1);
        });
    });
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(inner_items.load(), 64 * 2000);
}

TEST(ForEachIndexWithTest, FailedItemStopsTheCallWithTheFrontEndsLabel) {
    std::vector<std::atomic<int>> ran(4096);
    testing::internal::CaptureStderr();
    std::string message = internal_error_of([&] {
        for_each_index_with<Parallel>(4096, [&](std::uint64_t i) {
            if (i == 4000) throw InternalError("invariant: item 4000 is broken");
            ran[i].fetch_add(1);
        });
    });
    std::string stderr_text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(message, "dravik global executor: for_each_index_with: SpawnFailed(Panicked)");
    EXPECT_NE(stderr_text.find("invariant: item 4000 is broken"), std::string::npos);
    EXPECT_EQ(ran[0].load() + ran[100].load(), 2) << "the other chunks run to their end";
    // Below the adaptive threshold nothing is caught: the item's own error arrives.
    EXPECT_EQ(internal_error_of([] {
                  for_each_index_with<Adaptive>(10, [](std::uint64_t i) {
                      if (i == 3) throw InternalError("invariant: serial item broke");
                  });
              }),
              "invariant: serial item broke");
}

TEST(UnitTaskMutTest, ShardsOf5461ElementsEachHandedOnce) {
    struct Row {
        std::uint64_t length;
        std::uint64_t shards;
    };
    for (Row row : {Row{1, 1}, Row{5461, 1}, Row{5462, 2}, Row{10922, 2}, Row{10923, 3}, Row{100000, 19}}) {
        SCOPED_TRACE(row.length);
        EXPECT_EQ(UnitSingleShards::of(nullptr, row.length).shards, row.shards);
        std::vector<float> buffer(row.length, -1.0f);
        std::atomic<std::uint64_t> calls{0};
        int context = 7;
        for_each_unit_task_mut_with(buffer.data(), buffer.size(), context,
                                    [&](int& ctx, std::uint64_t first, float* shard, std::uint64_t length) {
                                        EXPECT_EQ(&ctx, &context);
                                        EXPECT_EQ(shard, buffer.data() + first);
                                        EXPECT_EQ(first % 5461, 0u);
                                        EXPECT_EQ(length, std::min<std::uint64_t>(5461, row.length - first));
                                        for (std::uint64_t i = 0; i < length; ++i) shard[i] += static_cast<float>(first + i) + 1.0f;
                                        calls.fetch_add(1);
                                    });
        EXPECT_EQ(calls.load(), row.shards);
        std::uint64_t wrong = 0;
        for (std::uint64_t i = 0; i < row.length; ++i) wrong += buffer[i] != static_cast<float>(i);
        EXPECT_EQ(wrong, 0u);
    }
    int context = 0;
    bool called = false;
    for_each_unit_task_mut_with(nullptr, 0, context, [&](int&, std::uint64_t, float*, std::uint64_t) { called = true; });
    EXPECT_FALSE(called);
}

TEST(UnitTaskMutTest, FailuresOfOneShardAndOfManyShards) {
    std::vector<float> one(5461), many(20000);
    int context = 0;
    auto fail_second = [](int&, std::uint64_t first, float*, std::uint64_t) {
        if (first == 0 || first == 5461) throw InternalError("invariant: shard broke");
    };
    EXPECT_EQ(internal_error_of([&] { for_each_unit_task_mut_with(one.data(), one.size(), context, fail_second); }),
              "invariant: shard broke");
    testing::internal::CaptureStderr();
    EXPECT_EQ(internal_error_of([&] { for_each_unit_task_mut_with(many.data(), many.size(), context, fail_second); }),
              "dravik global executor: for_each_unit_task_mut_with: SpawnFailed(Panicked)");
    testing::internal::GetCapturedStderr();
}

TEST(UnitTaskRangeTest, GrainFollowsTheCostPerUnit) {
    struct Row {
        std::uint64_t cost, grain;
    };
    for (Row row : {Row{0, 65536}, Row{1, 65536}, Row{12, 5461}, Row{4096, 16}, Row{65536, 1}, Row{65537, 1},
                    Row{~std::uint64_t{0}, 1}}) {
        SCOPED_TRACE(row.cost);
        EXPECT_EQ(task_grain(row.cost), row.grain);
    }
}

TEST(UnitTaskRangeTest, TasksCoverEveryUnitOnce) {
    struct Row {
        std::uint64_t units, cost, tasks;
    };
    for (Row row : {Row{16, 4096, 1}, Row{17, 4096, 2}, Row{1000, 65536, 1000}, Row{100, 0, 1}, Row{70000, 1, 2},
                    Row{12345, 100, 19}}) {
        SCOPED_TRACE(testing::Message() << row.units << " units of " << row.cost);
        std::vector<std::atomic<int>> seen(row.units);
        std::atomic<std::uint64_t> calls{0};
        int context = 0;
        const std::uint64_t grain = task_grain(row.cost);
        for_each_unit_task_range_with(row.units, row.cost, context, [&](int&, std::uint64_t first, std::uint64_t count) {
            EXPECT_EQ(first % grain, 0u);
            EXPECT_EQ(count, std::min(grain, row.units - first));
            for (std::uint64_t u = first; u < first + count; ++u) seen[u].fetch_add(1);
            calls.fetch_add(1);
        });
        EXPECT_EQ(calls.load(), row.tasks);
        std::uint64_t wrong = 0;
        for (auto& s : seen) wrong += s.load() != 1;
        EXPECT_EQ(wrong, 0u);
    }
}

TEST(UnitTaskRangeTest, FailureOfATaskStopsWithTheRangeLabel) {
    int context = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(internal_error_of([&] {
                  for_each_unit_task_range_with(100, 65536, context, [](int&, std::uint64_t first, std::uint64_t) {
                      if (first == 50) throw InternalError("invariant: task 50 broke");
                  });
              }),
              "dravik global executor: for_each_unit_task_range_with: SpawnFailed(Panicked)");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(internal_error_of([&] {
                  for_each_unit_task_range_with(3, 10, context, [](int&, std::uint64_t, std::uint64_t) {
                      throw InternalError("invariant: the only task broke");
                  });
              }),
              "invariant: the only task broke");
}

}  // namespace
