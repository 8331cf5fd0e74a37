#include "dravik_utils/queue/ring.hpp"

#include <algorithm>

#include "kavrel/domain/error/error.hpp"

namespace dravik_utils::queue::ring {

RingCapacities ring_capacities(std::uint64_t capacity) {
    std::uint64_t requested = std::max<std::uint64_t>(capacity, 1);
    if (requested > (std::uint64_t{1} << 63)) {
        kavrel::domain::error::fail_invariant("invariant: ring capacity rounds to a power of two");
    }
    return {requested, std::max<std::uint64_t>(2, std::bit_ceil(requested))};
}

}  // namespace dravik_utils::queue::ring
