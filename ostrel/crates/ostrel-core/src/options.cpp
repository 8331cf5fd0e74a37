#include "ostrel_core/options.hpp"

namespace ostrel_core::options {

constinit std::atomic<std::uint64_t> MAX_RETAINED_SEGMENTS{RETAINED_SEGMENTS_CEILING};
constinit std::atomic<bool> ENABLE_HUGEPAGE_HINT{true};
constinit std::atomic<std::uint64_t> PURGE_CADENCE_MS{0};

}  // namespace ostrel_core::options
