#include "ostrel_backend/recorders/stats.hpp"

namespace ostrel_backend::recorders::stats {

constinit std::atomic<std::uint64_t> DECOMMIT_BYTES{0};

}  // namespace ostrel_backend::recorders::stats
