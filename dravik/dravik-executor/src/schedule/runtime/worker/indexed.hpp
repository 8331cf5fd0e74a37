// The balanced split of an index range into contiguous chunks, and the indexed region that
// marks a thread running its own chunk of a data-parallel call (so that a call made from
// inside it runs inline instead of fanning out again).
#pragma once

#include <cstdint>
#include <optional>

namespace dravik_executor::schedule::runtime::worker::indexed {

struct IndexRange {
    std::uint64_t start;
    std::uint64_t end;  // one past the last index
};

// Chunk i of n items split over k participants: the first n mod k chunks are one item
// longer. Requires: k > 0 (0 stops with an internal error) and i < k.
IndexRange indexed_chunk_bounds(std::uint64_t n, std::uint64_t k, std::uint64_t i);

// Raises this thread's indexed_region_depth for its lifetime and puts the previous value
// back when it ends, also on failure.
class IndexedRegionGuard {
public:
    // Stops with "invariant: indexed-region nesting depth fits usize" past 2^64 - 1.
    [[nodiscard]] static IndexedRegionGuard enter();
    ~IndexedRegionGuard();
    IndexedRegionGuard(const IndexedRegionGuard&) = delete;
    IndexedRegionGuard& operator=(const IndexedRegionGuard&) = delete;

    const std::optional<std::uint64_t>& previous() const noexcept { return previous_; }

private:
    explicit IndexedRegionGuard(std::optional<std::uint64_t> previous) noexcept : previous_(previous) {}
    std::optional<std::uint64_t> previous_;
};

}  // namespace dravik_executor::schedule::runtime::worker::indexed
