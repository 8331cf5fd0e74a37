#include "dravik_executor/global_arc.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "ostrel_testing/deadline.hpp"
#include "dravik_executor/schedule/runtime/worker.hpp"
#include "kavrel/domain/error/error.hpp"
#include "support/jobs.hpp"
#include "ostrel_testing/process.hpp"

// Each test runs in a fresh process (a threadsafe death test), since the global executor,
// once built, stays for the life of the process.
namespace {

using dravik_executor::global_arc::GLOBAL_EXECUTOR;
using dravik_executor::global_arc::global_worker_count;
using dravik_executor_testing::call_job;
using ostrel_testing::thread_names;
using ostrel_testing::threads_named;
namespace worker = dravik_executor::schedule::runtime::worker;

class GlobalExecutorTest : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Runs one job on the executor and waits for it; false if the admission failed.
bool run_one_job(const dravik_executor::hybrid::HybridExecutor& executor) {
    std::atomic<bool> ran{false};
    auto job = [&] {
        ran.store(true);
        return true;
    };
    if (!executor.scheduler().schedule_job(call_job(job))) return false;
    ostrel_testing::wait_until([&] { return ran.load(); }, "a job on the global executor");
    return true;
}

// Exits 0 when every check holds, else with the number of the first that failed.
#define CHECK_OR_EXIT(condition, code) \
    do {                                \
        if (!(condition)) _exit(code);  \
    } while (0)

[[noreturn]] void check_first_use_build() {
    CHECK_OR_EXIT(GLOBAL_EXECUTOR.if_built() == nullptr, 2);
    CHECK_OR_EXIT(threads_named("dravik-worker") == 0, 3);
    const auto& executor = GLOBAL_EXECUTOR.get();
    CHECK_OR_EXIT(&GLOBAL_EXECUTOR.get() == &executor && GLOBAL_EXECUTOR.if_built() == &executor, 4);
    std::uint64_t n = global_worker_count();
    CHECK_OR_EXIT(executor.worker_count() == n, 5);
    std::multiset<std::string> expected, seen;
    for (std::uint64_t i = 0; i < n; ++i) expected.insert(worker::detail::thread_name("dravik-worker", i));
    for (const std::string& name : thread_names()) {
        if (name.rfind("dravik-worker", 0) == 0) seen.insert(name);
    }
    CHECK_OR_EXIT(seen == expected, 6);
    CHECK_OR_EXIT(executor.config().ring_budget == 8192 && executor.config().local_queue_capacity == 128, 7);
    CHECK_OR_EXIT(!executor.is_shutting_down(), 8);
    CHECK_OR_EXIT(run_one_job(executor), 9);
    _exit(0);
}

TEST_F(GlobalExecutorTest, BuiltOnFirstUseWithOneNamedWorkerPerLogicalProcessor) {
    EXPECT_EXIT(check_first_use_build(), testing::ExitedWithCode(0), "");
}

int refuse_every_thread(pthread_t*, void* (*)(void*), void*) { return EAGAIN; }

[[noreturn]] void check_failed_build_retry() {
    worker::detail::set_spawn_hook(&refuse_every_thread);
    std::string message;
    try {
        (void)GLOBAL_EXECUTOR.get();
    } catch (const kavrel::domain::error::InternalError& error) {
        message = error.what();
    }
    CHECK_OR_EXIT(message == "initialize global Dravik executor: ThreadPoolCreationFailed", 2);
    CHECK_OR_EXIT(GLOBAL_EXECUTOR.if_built() == nullptr, 3);
    worker::detail::set_spawn_hook(nullptr);
    const auto& executor = GLOBAL_EXECUTOR.get();
    CHECK_OR_EXIT(GLOBAL_EXECUTOR.if_built() == &executor, 4);
    CHECK_OR_EXIT(run_one_job(executor), 5);
    _exit(0);
}

TEST_F(GlobalExecutorTest, FailedBuildStaysUnbuiltAndTheNextUseRetries) {
    EXPECT_EXIT(check_failed_build_retry(), testing::ExitedWithCode(0), "");
}

[[noreturn]] void check_concurrent_first_callers() {
    std::atomic<const dravik_executor::hybrid::HybridExecutor*> seen[6] = {};
    ostrel_testing::run_threads(6, [&](unsigned t) { seen[t].store(&GLOBAL_EXECUTOR.get()); });
    for (auto& pointer : seen) CHECK_OR_EXIT(pointer.load() == GLOBAL_EXECUTOR.if_built(), 2);
    CHECK_OR_EXIT(threads_named("dravik-worker") == global_worker_count(), 3);
    _exit(0);
}

TEST_F(GlobalExecutorTest, ConcurrentFirstCallersShareOneBuild) {
    EXPECT_EXIT(check_concurrent_first_callers(), testing::ExitedWithCode(0), "");
}

[[noreturn]] void check_fork_child_pool() {
    const auto& parent = GLOBAL_EXECUTOR.get();
    CHECK_OR_EXIT(run_one_job(parent), 2);
    pid_t child = fork();
    if (child == 0) {
        CHECK_OR_EXIT(GLOBAL_EXECUTOR.if_built() == nullptr, 20);
        CHECK_OR_EXIT(threads_named("dravik-worker") == 0, 21);
        const auto& own = GLOBAL_EXECUTOR.get();
        CHECK_OR_EXIT(&own != &parent, 22);
        CHECK_OR_EXIT(threads_named("dravik-worker") == own.worker_count(), 23);
        CHECK_OR_EXIT(run_one_job(own), 24);
        _exit(0);
    }
    CHECK_OR_EXIT(child > 0, 3);
    int code = ostrel_testing::child_exit_code(child);
    if (code != 0) {
        std::fprintf(stderr, "child exit code %d\n", code);
        _exit(4);
    }
    CHECK_OR_EXIT(GLOBAL_EXECUTOR.if_built() == &parent, 5);
    CHECK_OR_EXIT(run_one_job(parent), 6);
    _exit(0);
}

TEST_F(GlobalExecutorTest, ForkedChildBuildsItsOwnPoolAndTheParentKeepsItsOwn) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer ends a child of a threaded process that starts a thread";
#endif
    EXPECT_EXIT(check_fork_child_pool(), testing::ExitedWithCode(0), "");
}

}  // namespace
