#include "dravik_executor/schedule/runtime/worker/indexed.hpp"

#include <algorithm>
#include <limits>

#include "dravik_executor/schedule/runtime/types.hpp"
#include "kavrel/domain/error/error.hpp"

namespace dravik_executor::schedule::runtime::worker::indexed {

IndexRange indexed_chunk_bounds(std::uint64_t n, std::uint64_t k, std::uint64_t i) {
    if (k == 0) kavrel::domain::error::fail_invariant("invariant: indexed chunk count is nonzero");
    std::uint64_t q = n / k;
    std::uint64_t r = n % k;
    std::uint64_t start = i * q + std::min(i, r);
    return {start, start + q + (i < r ? 1 : 0)};
}

IndexedRegionGuard IndexedRegionGuard::enter() {
    std::optional<std::uint64_t> previous = types::indexed_region_depth;
    std::uint64_t depth = previous.value_or(0);
    if (depth == std::numeric_limits<std::uint64_t>::max()) {
        kavrel::domain::error::fail_invariant("invariant: indexed-region nesting depth fits usize");
    }
    types::indexed_region_depth = depth + 1;
    return IndexedRegionGuard(previous);
}

IndexedRegionGuard::~IndexedRegionGuard() { types::indexed_region_depth = previous_; }

}  // namespace dravik_executor::schedule::runtime::worker::indexed
