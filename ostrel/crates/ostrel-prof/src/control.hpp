// The profiler's switches: sampling mode (one sample per SAMPLE_INTERVAL allocated bytes
// on average) and leak recording (every allocation). Both are off until the options are
// read and, once on, stay on. The allocation and free front ends test only
// PROFILING_OR_HOOKS_ACTIVE.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace ostrel_prof::control {

inline constexpr std::uint64_t DEFAULT_SAMPLE_INTERVAL = 524288;

// Written under UPDATE_LOCK by the options reading; read by any thread. Relaxed loads: a
// switch that turns on while a thread allocates only decides whether that one allocation
// is recorded, and every recording takes its own locks.
extern constinit std::atomic<bool> PROFILING_ACTIVE;
extern constinit std::atomic<bool> LEAK_DETECTOR_ACTIVE;
extern constinit std::atomic<bool> PROFILING_OR_HOOKS_ACTIVE;
extern constinit std::atomic<std::uint64_t> SAMPLE_INTERVAL;  // 0 samples every allocation
extern constinit std::mutex UPDATE_LOCK;

void enable_profiling(std::uint64_t interval);
void enable_leak_detector();

}  // namespace ostrel_prof::control
