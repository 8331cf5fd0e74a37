// Thread helpers of the concurrency tests of the allocator, the executor and the operations:
// run a group of threads and wait for them under a deadline, so that a deadlock fails the
// test with a message instead of stalling CTest.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace ostrel_testing {

// Generous: the work of every stress test takes well under a second without sanitizers.
inline constexpr std::chrono::seconds stress_deadline{90};

// Whether done() comes to hold within the deadline, polling every millisecond.
template <class Done>
bool eventually(Done done, std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Waits until done() holds; a deadline that passes fails with "hang" and ends the process,
// since threads that are stuck cannot be joined.
template <class Done>
void wait_until(Done done, const char* what, std::chrono::milliseconds deadline = stress_deadline) {
    if (eventually(done, deadline)) return;
    ADD_FAILURE() << "hang: " << what << " did not happen before the deadline";
    std::fflush(stdout);
    std::_Exit(1);
}

// Runs body(i) on `count` new threads and joins them once all have finished in time.
template <class Body>
void run_threads(unsigned count, Body body, const char* what = "the worker threads") {
    std::mutex mutex;
    std::condition_variable finished;
    unsigned done = 0;
    std::vector<std::thread> threads;
    threads.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            body(i);
            std::lock_guard<std::mutex> guard(mutex);
            ++done;
            finished.notify_all();
        });
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!finished.wait_for(lock, stress_deadline, [&] { return done == count; })) {
            ADD_FAILURE() << "hang: " << what << " did not finish before the deadline";
            std::fflush(stdout);
            std::_Exit(1);
        }
    }
    for (std::thread& thread : threads) thread.join();
}

}  // namespace ostrel_testing
