// A layout whose rank is known only at run time; it owns its shape and stride arrays
// (exactly rank entries each). The dynamic-rank sum turns it into a fixed-rank Layout.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "kavrel/domain/layout/kernels.hpp"
#include "kavrel/domain/layout/layout.hpp"

namespace kavrel::domain::dynamic::layout {

struct LayoutDyn {
    std::vector<std::uint64_t> shape;
    std::vector<std::int64_t> strides;
    std::uint64_t offset = 0;

    std::size_t rank() const { return shape.size(); }

    // Row-major strides of `shape` with the two construction overflow checks; offset 0.
    [[nodiscard]] static error::Result<LayoutDyn> c_contiguous(std::span<const std::uint64_t> shape);

    // The same layout with a compile-time rank. Requires: rank() == N, one stride per axis.
    template <std::size_t N>
    domain::layout::Layout<N> fixed() const {
        if (rank() != N) error::fail_invariant("invariant: dynamic layout rank matches the fixed rank");
        if (strides.size() != N) error::fail_invariant("invariant: layout has one stride per axis");
        domain::layout::Layout<N> out{};
        for (std::size_t k = 0; k < N; ++k) {
            out.shape[k] = shape[k];
            out.strides[k] = strides[k];
        }
        out.offset = offset;
        return out;
    }

    friend bool operator==(const LayoutDyn&, const LayoutDyn&) = default;
};

}  // namespace kavrel::domain::dynamic::layout
