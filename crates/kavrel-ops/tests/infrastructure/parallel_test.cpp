#include "kavrel_ops/infrastructure/parallel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dravik_executor/global_arc.hpp"
#include "dravik_parallel/ops.hpp"
#include "kavrel/domain/error/error.hpp"

namespace {

namespace par = kavrel_ops::infrastructure::parallel;
using Call = std::pair<std::uint64_t, std::uint64_t>;

// Every callback call, in the order the calls were recorded, with the recording thread.
struct Recorder {
    std::mutex lock;
    std::vector<Call> calls;
    std::vector<std::thread::id> threads;

    void operator()(std::uint64_t first, std::uint64_t count) {
        std::lock_guard guard(lock);
        calls.emplace_back(first, count);
        threads.push_back(std::this_thread::get_id());
    }
    std::vector<Call> sorted() {
        std::vector<Call> out = calls;
        std::sort(out.begin(), out.end());
        return out;
    }
};

struct RangeCase {
    const char* name;
    std::uint64_t units;
    std::uint64_t cost;
    std::vector<Call> expected;
};

TEST(ScheduleUnitRangesTest, TasksFollowTheGrainRule) {
    const std::vector<RangeCase> cases = {
        {"no units", 0, 100, {}},
        {"1000 units at 100 bytes", 1000, 100, {{0, 655}, {655, 345}}},
        {"cost 0 counts as 1: one task", 65536, 0, {{0, 65536}}},
        {"cost 0, one unit more", 65537, 0, {{0, 65536}, {65536, 1}}},
        {"cost 65536: grain 1", 3, 65536, {{0, 1}, {1, 1}, {2, 1}}},
        {"cost above 65536: grain 1", 3, 65537, {{0, 1}, {1, 1}, {2, 1}}},
        {"exact multiple of the grain", 1310, 100, {{0, 655}, {655, 655}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Recorder rec;
        par::schedule_unit_ranges(c.units, c.cost, [&](std::uint64_t f, std::uint64_t n) { rec(f, n); });
        EXPECT_EQ(rec.sorted(), c.expected);
    }
}

TEST(ScheduleUnitRangesTest, ManyTasksCoverEveryUnitOnce) {
    std::vector<int> seen(100000, 0);
    par::schedule_unit_ranges(seen.size(), 48, [&](std::uint64_t first, std::uint64_t count) {
        for (std::uint64_t u = first; u < first + count; ++u) ++seen[u];  // disjoint ranges
    });
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<std::ptrdiff_t>(seen.size()));
}

TEST(ScheduleUnitRangesTest, OneTaskRunsOnTheCaller) {
    Recorder rec;
    par::schedule_unit_ranges(65536, 1, [&](std::uint64_t f, std::uint64_t n) { rec(f, n); });
    ASSERT_EQ(rec.calls, (std::vector<Call>{{0, 65536}}));
    EXPECT_EQ(rec.threads[0], std::this_thread::get_id());
}

// A fresh process (the death-test child re-runs the binary): a single task leaves the global
// executor unbuilt; two tasks build it.
TEST(ScheduleUnitRangesTest, OneTaskDoesNotBuildTheExecutor) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::uint64_t seen = 0;
            par::schedule_unit_ranges(100, 10, [&](std::uint64_t, std::uint64_t n) { seen += n; });
            const bool unbuilt = dravik_executor::global_arc::GLOBAL_EXECUTOR.if_built() == nullptr;
            par::schedule_unit_ranges(100000, 10, [](std::uint64_t, std::uint64_t) {});
            const bool built = dravik_executor::global_arc::GLOBAL_EXECUTOR.if_built() != nullptr;
            std::exit(seen == 100 && unbuilt && built ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// Inside a task of another parallel operation every call runs inline on that thread, in
// ascending order of the first unit.
TEST(ScheduleUnitRangesTest, NestedCallsRunInlineInAscendingOrder) {
    constexpr std::uint64_t outer = 2048;  // at least 1024 items: through the executor
    std::vector<Recorder> inner(outer);
    std::vector<std::thread::id> outer_thread(outer);
    dravik_parallel::ops::for_each_index_with<dravik_parallel::policy::Parallel>(outer, [&](std::uint64_t i) {
        outer_thread[i] = std::this_thread::get_id();
        par::schedule_unit_ranges(1000, 100, [&](std::uint64_t f, std::uint64_t n) { inner[i](f, n); });
    });
    for (std::uint64_t i = 0; i < outer; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(inner[i].calls, (std::vector<Call>{{0, 655}, {655, 345}}));
        for (auto id : inner[i].threads) EXPECT_EQ(id, outer_thread[i]);
    }
}

TEST(ScheduleUnitRangesTest, FailuresStopTheCall) {
    // One task: the callback's own error, unchanged.
    try {
        par::schedule_unit_ranges(10, 1, [](std::uint64_t, std::uint64_t) {
            kavrel::domain::error::fail_invariant("invariant: test task failure");
        });
        FAIL() << "no failure";
    } catch (const kavrel::domain::error::InternalError& e) {
        EXPECT_STREQ(e.what(), "invariant: test task failure");
    }
    // Several tasks: the front end's error, after the other tasks have run.
    Recorder rec;
    try {
        par::schedule_unit_ranges(1000, 65536, [&](std::uint64_t f, std::uint64_t n) {
            if (f == 500) kavrel::domain::error::fail_invariant("invariant: test task failure");
            rec(f, n);
        });
        FAIL() << "no failure";
    } catch (const kavrel::domain::error::InternalError& e) {
        EXPECT_STREQ(e.what(), "dravik global executor: for_each_unit_task_range_with: SpawnFailed(Panicked)");
    }
    EXPECT_LT(rec.calls.size(), 1000u);
}

struct Shard {
    std::uint64_t first;
    const float* data;
    std::uint64_t length;
    friend bool operator<(const Shard& x, const Shard& y) { return x.first < y.first; }
    friend bool operator==(const Shard&, const Shard&) = default;
};

TEST(ScheduleUnitRunsMutTest, ShardsOf5461Elements) {
    std::vector<float> out(3 * 5461 + 7, 0.0f);
    struct RunCase {
        std::uint64_t length;
        std::vector<Shard> expected;
    };
    const std::vector<RunCase> cases = {
        {0, {}},
        {1, {{0, out.data(), 1}}},
        {5461, {{0, out.data(), 5461}}},
        {5462, {{0, out.data(), 5461}, {5461, out.data() + 5461, 1}}},
        {out.size(),
         {{0, out.data(), 5461}, {5461, out.data() + 5461, 5461}, {10922, out.data() + 10922, 5461},
          {16383, out.data() + 16383, 7}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        std::mutex lock;
        std::vector<Shard> seen;
        std::vector<std::thread::id> threads;
        par::schedule_unit_runs_mut(std::span<float>(out.data(), c.length), [&](std::uint64_t first, std::span<float> s) {
            for (float& x : s) x += 1.0f;
            std::lock_guard guard(lock);
            seen.push_back({first, s.data(), s.size()});
            threads.push_back(std::this_thread::get_id());
        });
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, c.expected);
        if (c.expected.size() == 1) {
            EXPECT_EQ(threads[0], std::this_thread::get_id());
        }
    }
    // Every element was in exactly the shards of the lengths above that reach it.
    EXPECT_EQ(out[0], 4.0f);
    EXPECT_EQ(out[5460], 3.0f);
    EXPECT_EQ(out[5461], 2.0f);
    EXPECT_EQ(out[out.size() - 1], 1.0f);
}

}  // namespace
