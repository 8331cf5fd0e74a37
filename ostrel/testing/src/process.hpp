// Process helpers of the tests whose state is once per process: run a body in a fresh copy
// of the test binary, wait for a forked child under a deadline, and name this process's
// threads.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace ostrel_testing {

// The names of this process's threads, from /proc/self/task/*/comm.
inline std::vector<std::string> thread_names() {
    std::vector<std::string> names;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return names;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name)) names.push_back(name);
    }
    closedir(tasks);
    return names;
}

// The threads of this process whose name starts with `prefix`.
inline std::size_t threads_named(const std::string& prefix) {
    std::size_t count = 0;
    for (const std::string& name : thread_names()) count += name.rfind(prefix, 0) == 0;
    return count;
}

// Waits for a forked child under a deadline: its exit code, or -1 when a signal ended it. A
// child still running at the deadline is killed and the test fails with "hang".
inline int child_exit_code(pid_t child, std::chrono::seconds deadline = std::chrono::seconds(60),
                           const char* what = "a forked child") {
    int status = 0;
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (waitpid(child, &status, WNOHANG) != child) {
        if (std::chrono::steady_clock::now() > until) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ADD_FAILURE() << "hang: " << what << " did not finish";
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace ostrel_testing

// Runs body in a fresh copy of the test binary: the once-per-process state and any thread it
// starts stay there, and the child's failures show in its exit code.
#define OSTREL_IN_FRESH_PROCESS(body)                                \
    do {                                                             \
        GTEST_FLAG_SET(death_test_style, "threadsafe");              \
        EXPECT_EXIT(                                                 \
            {                                                        \
                body;                                                \
                std::_Exit(testing::Test::HasFailure() ? 1 : 0);     \
            },                                                       \
            testing::ExitedWithCode(0), "");                         \
    } while (0)
