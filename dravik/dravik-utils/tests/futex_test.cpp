#include "dravik_utils/sync/futex.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using dravik_utils::sync::futex::Parker;
using dravik_utils::sync::futex::WordLock;

TEST(ParkerTest, UnparkBeforeParkIsKept) {
    Parker parker;
    parker.unpark();
    parker.unpark();  // tokens do not add up
    parker.park();    // returns at once
    std::atomic<bool> woken{false};
    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        woken.store(true);
        parker.unpark();
    });
    parker.park();  // the second park sleeps until the thread's unpark
    EXPECT_TRUE(woken.load());
    waker.join();
}

TEST(WordLockTest, ResetInChildFreesAHeldLock) {
    WordLock lock;
    lock.lock();
    lock.reset_in_child();
    lock.lock();  // would sleep forever if the reset had not freed it
    lock.unlock();
}

}  // namespace
