// The calling thread's own CPU time, for the C++ benchmarks: time spent descheduled on a shared
// machine is not counted.
#pragma once

#include <time.h>

inline double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}
