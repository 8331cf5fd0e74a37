// The allocator's option statics. They hold their defaults until the environment is read
// once per process (ostrel_local::options), which may change them; every other module only
// reads them.
#pragma once

#include <atomic>
#include <cstdint>

namespace ostrel_core::options {

// Values above this are clamped to it.
inline constexpr std::uint64_t RETAINED_SEGMENTS_CEILING = 1024;

// Written once by the thread that reads the environment; read by any thread. Loads may be
// relaxed: a thread that allocates while the options are being read may see a default,
// and no other memory is published through these values.
extern constinit std::atomic<std::uint64_t> MAX_RETAINED_SEGMENTS;  // per node pool, default 1024
extern constinit std::atomic<bool> ENABLE_HUGEPAGE_HINT;            // default on
extern constinit std::atomic<std::uint64_t> PURGE_CADENCE_MS;       // 0 = no decay thread

}  // namespace ostrel_core::options
