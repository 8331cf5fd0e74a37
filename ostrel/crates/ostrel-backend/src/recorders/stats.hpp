// Process-wide counters of the memory backend. The decay thread reads DECOMMIT_BYTES to
// judge whether memory is being given back.
#pragma once

#include <atomic>
#include <cstdint>

namespace ostrel_backend::recorders::stats {

// Bytes decommitted by the backend; any thread adds. Relaxed: a statistic, it publishes
// nothing.
extern constinit std::atomic<std::uint64_t> DECOMMIT_BYTES;

}  // namespace ostrel_backend::recorders::stats
