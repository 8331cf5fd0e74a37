// Process helpers of the tests whose state is once per process: run a body in a fresh copy
// of the test binary, and count this process's threads by name.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace ostrel_testing {

// The threads of this process whose name (/proc/self/task/<id>/comm) is `name`.
inline int threads_named(const std::string& name) {
    int count = 0;
    DIR* tasks = opendir("/proc/self/task");
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string line;
        if (std::getline(comm, line) && line == name) ++count;
    }
    closedir(tasks);
    return count;
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
