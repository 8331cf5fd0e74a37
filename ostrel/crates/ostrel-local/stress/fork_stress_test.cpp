// Forks while other threads allocate, free across threads, sweep, purge the pools, use
// large blocks and run beside the decay thread: every child must keep allocating. Nothing
// here calls malloc while a fork can happen, so a sanitizer's own allocator lock cannot be
// the one a child finds held.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ostrel_arena/segment/pool.hpp"
#include "ostrel_core/options.hpp"
#include "ostrel_decay/engine.hpp"
#include "ostrel_decay/step.hpp"
#include "ostrel_local/alloc.hpp"
#include "ostrel_local/free.hpp"
#include "ostrel_local/tls_slot.hpp"
#include "ostrel_testing/process.hpp"

namespace {

using ostrel_local::alloc::thread_alloc;
using ostrel_local::free::thread_free;
namespace pool = ostrel_arena::segment::pool;
namespace local_alloc = ostrel_local::local_alloc;

constexpr unsigned workers = 4;
constexpr int forks = 100;

// Blocks handed from worker w to worker w + 1, which frees them: cross-thread frees.
std::array<std::atomic<void*>, workers> handoff{};

std::size_t size_of(std::size_t i) { return 16 + (i * 97) % 16000; }

void churn(unsigned me, const std::atomic<bool>& stop, std::atomic<unsigned>& started) {
    std::array<void*, 256> blocks{};
    started.fetch_add(1);
    for (std::size_t round = 0; !stop.load(); ++round) {
        for (std::size_t i = 0; i < blocks.size(); ++i) blocks[i] = thread_alloc(size_of(i + round), 16);
        if (void* passed = handoff[me].exchange(blocks[0])) thread_free(passed, 0, 16);
        if (void* received = handoff[(me + workers - 1) % workers].exchange(nullptr)) thread_free(received, 0, 16);
        for (std::size_t i = 1; i < blocks.size(); ++i) thread_free(blocks[i], 0, 16);
        switch (round % 4) {
            case 0: pool::purge_retained_segments(); break;
            case 1: thread_free(thread_alloc(3u << 20, 64), 3u << 20, 64); break;
            case 2: pool::purge_retained_large_blocks(); break;
            default: {
                local_alloc::ThreadAllocator& allocator = *ostrel_local::tls_slot::CACHED_SLOT_PTR;
                local_alloc::BusyScope busy(allocator);
                local_alloc::run_idle_memory_maintenance(allocator);
            }
        }
    }
}

// The child's whole life: its own heap, a free into a worker's segment, large blocks, a
// decay step, and its own decay thread started by the slow path.
[[noreturn]] void child_body() {
    std::array<void*, 300> blocks{};
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        blocks[i] = thread_alloc(size_of(i), 16);
        if (blocks[i] == nullptr) std::_Exit(3);
    }
    if (void* inherited = handoff[0].exchange(nullptr)) thread_free(inherited, 0, 16);
    void* large = thread_alloc(5u << 20, 64);
    if (large == nullptr) std::_Exit(4);
    thread_free(large, 5u << 20, 64);
    for (void* block : blocks) thread_free(block, 0, 16);
    ostrel_decay::step::decay_step();
    std::_Exit(0);
}

TEST(OstrelForkStressTest, ChildrenForkedAmidChurnKeepAllocating) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer ends a child of a threaded process that starts a thread";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ostrel_core::options::PURGE_CADENCE_MS.store(1);
            ostrel_decay::engine::init_decay_engine();
            std::atomic<bool> stop{false};
            std::atomic<unsigned> started{0};
            std::vector<std::thread> threads;
            threads.reserve(workers);
            for (unsigned w = 0; w < workers; ++w) threads.emplace_back([&, w] { churn(w, stop, started); });
            while (started.load() != workers) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            int failures = 0;
            for (int round = 0; round < forks; ++round) {
                pid_t child = fork();
                if (child == 0) child_body();
                if (child < 0 || ostrel_testing::child_exit_code(child, std::chrono::seconds(30)) != 0) ++failures;
            }
            stop.store(true);
            for (std::thread& thread : threads) thread.join();
            for (auto& slot : handoff) {
                if (void* block = slot.exchange(nullptr)) thread_free(block, 0, 16);
            }
            std::_Exit(failures == 0 && !testing::Test::HasFailure() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
