// The front ends on the global executor under load: more calling threads than cores
// running large parallel operations at once (results checked), nested calls, failing
// items beside healthy calls, calls against workers that park between them and callers
// that sleep on the pool's condition variable, and forks while the pool is idle or busy.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ostrel_testing/deadline.hpp"
#include "dravik_executor/global_arc.hpp"
#include "dravik_executor/schedule/job.hpp"
#include "dravik_executor/schedule/runtime/worker.hpp"
#include "dravik_parallel/ops.hpp"
#include "dravik_parallel/ops/unit_tasks/range.hpp"
#include "dravik_parallel/ops/unit_tasks/single.hpp"
#include "kavrel/domain/error/error.hpp"
#include "ostrel_testing/process.hpp"

namespace {

using dravik_parallel::ops::for_each_index_with;
using dravik_parallel::policy::Adaptive;
using dravik_parallel::policy::Parallel;
namespace worker = dravik_executor::schedule::runtime::worker;

constexpr unsigned callers = 6;

// A large map into `out` with its result checked. False on a wrong element.
bool checked_square_map_into(std::vector<std::uint64_t>& out, std::uint64_t seed) {
    for_each_index_with<Parallel>(out.size(), [&](std::uint64_t i) { out[i] = (i + seed) * (i + seed); });
    for (std::uint64_t i = 0; i < out.size(); ++i) {
        if (out[i] != (i + seed) * (i + seed)) return false;
    }
    return true;
}

bool checked_square_map(std::uint64_t n, std::uint64_t seed) {
    std::vector<std::uint64_t> out(n, 0);
    return checked_square_map_into(out, seed);
}

void run_callers(unsigned rounds, const char* what) {
    std::atomic<int> wrong{0};
    ostrel_testing::run_threads(callers, [&](unsigned t) {
        for (unsigned r = 0; r < rounds; ++r) {
            if (!checked_square_map(20000 + 997 * t + r, t * 1000 + r)) wrong.fetch_add(1);
            // The unit-task front ends beside it.
            std::vector<float> buffer(30000, 0.0f);
            int context = 0;
            dravik_parallel::ops::unit_tasks::single::for_each_unit_task_mut_with(
                buffer.data(), buffer.size(), context, [](int&, std::uint64_t first, float* shard, std::uint64_t len) {
                    for (std::uint64_t i = 0; i < len; ++i) shard[i] = static_cast<float>(first + i);
                });
            for (std::uint64_t i = 0; i < buffer.size(); i += 1013) wrong.fetch_add(buffer[i] != static_cast<float>(i));
            std::vector<std::atomic<std::uint8_t>> units(5000);
            dravik_parallel::ops::unit_tasks::range::for_each_unit_task_range_with(
                units.size(), 512, context, [&](int&, std::uint64_t first, std::uint64_t count) {
                    for (std::uint64_t u = first; u < first + count; ++u) units[u].fetch_add(1);
                });
            for (auto& u : units) wrong.fetch_add(u.load() != 1);
        }
    }, what);
    EXPECT_EQ(wrong.load(), 0);
}

TEST(OpsStressTest, ManyCallersAtOnce) { run_callers(30, "concurrent parallel callers"); }

TEST(OpsStressTest, ManyCallersWhileWorkersParkAndCallersSleep) {
    worker::detail::set_spin_counts({16, 4, 0});
    run_callers(30, "callers against parking workers");
    worker::detail::set_spin_counts(worker::detail::default_spin_counts);
}

TEST(OpsStressTest, NestedCallsFromManyCallers) {
    std::atomic<std::uint64_t> total{0};
    ostrel_testing::run_threads(callers, [&](unsigned) {
        for (int r = 0; r < 10; ++r) {
            for_each_index_with<Parallel>(40, [&](std::uint64_t) {
                for_each_index_with<Adaptive>(3000, [&](std::uint64_t) { total.fetch_add(1); });
            });
        }
    }, "nested callers");
    EXPECT_EQ(total.load(), std::uint64_t{callers} * 10 * 40 * 3000);
}

TEST(OpsStressTest, FailingCallsBesideHealthyOnes) {
    std::atomic<int> wrong{0};
    testing::internal::CaptureStderr();
    ostrel_testing::run_threads(callers, [&](unsigned t) {
        for (int r = 0; r < 20; ++r) {
            if (t % 2 == 0) {
                if (!checked_square_map(8000, r)) wrong.fetch_add(1);
                continue;
            }
            try {
                for_each_index_with<Parallel>(8000, [&](std::uint64_t i) {
                    if (i == 3000 + static_cast<std::uint64_t>(r) * 100) {
                        throw kavrel::domain::error::InternalError("invariant: stress item broke");
                    }
                });
                wrong.fetch_add(1);
            } catch (const kavrel::domain::error::InternalError& error) {
                wrong.fetch_add(std::string(error.what()) !=
                                "dravik global executor: for_each_index_with: SpawnFailed(Panicked)");
            }
        }
    }, "failing and healthy callers");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(wrong.load(), 0);
}

// A job that keeps its worker until released.
struct HoldPayload {
    std::atomic<std::uint64_t>* held;
    const std::atomic<bool>* release;
};

bool hold_worker(void* payload) {
    auto hold = dravik_executor::schedule::job::read_payload<HoldPayload>(payload);
    hold.held->fetch_add(1);
    while (!hold.release->load()) std::this_thread::yield();
    return true;
}

void drop_hold(void*) noexcept {}

// With every worker kept busy elsewhere, a call still completes: its caller runs the chunks
// that wait in the busy workers' queues instead of waiting for a worker to come back.
TEST(OpsStressTest, CallCompletesWhileEveryWorkerIsBusyElsewhere) {
    const auto& scheduler = dravik_executor::global_arc::GLOBAL_EXECUTOR->scheduler();
    const std::uint64_t workers = scheduler.worker_count();
    std::atomic<std::uint64_t> held{0};
    std::atomic<bool> release{false};
    for (std::uint64_t w = 0; w < workers; ++w) {
        auto job = dravik_executor::schedule::job::ScheduledJob::from_payload(HoldPayload{&held, &release},
                                                                             &hold_worker, &drop_hold);
        ASSERT_TRUE(scheduler.schedule_job(job).has_value());
    }
    ostrel_testing::wait_until([&] { return held.load() == workers; }, "every worker taking a holding job");

    for (int round = 0; round < 20; ++round) {
        std::atomic<bool> done{false};
        bool right = false;
        std::thread caller([&] {
            right = checked_square_map(50000 + round, round);
            done.store(true);
        });
        const bool finished_while_busy = ostrel_testing::eventually([&] { return done.load(); }, std::chrono::seconds(20));
        if (!finished_while_busy) release.store(true);  // lets the stuck call end
        caller.join();
        EXPECT_TRUE(finished_while_busy) << "round " << round;
        EXPECT_TRUE(right) << "round " << round;
        if (!finished_while_busy) break;
    }
    release.store(true);
    // The workers are free again and serve calls as before.
    EXPECT_TRUE(checked_square_map(50000, 7));
}

// The child runs its own parallel calls (on a pool it builds) and leaves.
[[noreturn]] void child_body() {
    bool ok = checked_square_map(50000, 3) && checked_square_map(4096, 11);
    _exit(ok ? 0 : 1);
}

[[noreturn]] void fork_idle_and_busy() {
    int failures = 0;
    if (!checked_square_map(10000, 1)) ++failures;  // the pool exists, then idles
    for (int round = 0; round < 5; ++round) {
        pid_t child = fork();
        if (child == 0) child_body();
        if (child < 0 || ostrel_testing::child_exit_code(child, std::chrono::seconds(60), "a forked child's parallel call") != 0) ++failures;
    }
    std::atomic<bool> stop{false};
    std::atomic<int> busy_failures{0};
    std::vector<std::thread> busy;
    // The busy threads allocate nothing while forks happen: a sanitizer's allocator lock held
    // by one of them would stay held in the child (the executor's calls allocate nothing).
    std::atomic<unsigned> busy_started{0};
    for (unsigned t = 0; t < 3; ++t) {
        busy.emplace_back([&, t] {
            std::vector<std::uint64_t> out(30000);
            busy_started.fetch_add(1);
            for (std::uint64_t r = 0; !stop.load(); ++r) busy_failures.fetch_add(!checked_square_map_into(out, t + r));
        });
    }
    ostrel_testing::wait_until([&] { return busy_started.load() == 3; }, "the busy callers starting");
    for (int round = 0; round < 20; ++round) {
        pid_t child = fork();
        if (child == 0) child_body();
        if (child < 0 || ostrel_testing::child_exit_code(child, std::chrono::seconds(60), "a forked child's parallel call") != 0) ++failures;
    }
    stop.store(true);
    for (std::thread& thread : busy) thread.join();
    if (!checked_square_map(10000, 2)) ++failures;  // the parent's pool still works
    std::fflush(stdout);
    _exit(failures == 0 && busy_failures.load() == 0 && !testing::Test::HasFailure() ? 0 : 1);
}

TEST(OpsStressTest, ForkWhileIdleAndWhileBusyThenParallelCallsInParentAndChild) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer ends a child of a threaded process that starts a thread";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(fork_idle_and_busy(), testing::ExitedWithCode(0), "");
}

}  // namespace
