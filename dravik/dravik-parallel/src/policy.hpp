// How a front end decides between the calling thread and the global executor: Parallel
// always hands its items to the executor; Adaptive runs small counts on the caller without
// touching the executor.
#pragma once

#include <cstdint>

namespace dravik_parallel::policy {

struct Parallel {};
struct Adaptive {
    // Fewer items than this run serially on the calling thread.
    static constexpr std::uint64_t serial_below = 1024;
};

}  // namespace dravik_parallel::policy
