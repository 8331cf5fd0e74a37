// The layout of a rank-N array: unsigned extents, signed element strides and the storage
// index of element (0, ..., 0). Constructors and transforms run the checked kernels of
// `kernels`, so a layout they return has offset bounds that fit in signed 64 bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kavrel/domain/error/error.hpp"
#include "kavrel/domain/layout/kernels.hpp"

namespace kavrel::domain::layout {

using error::Result;

template <std::size_t N>
struct Layout {
    static_assert(N >= 1 && N <= 6, "ranks 1 to 6");
    static constexpr std::size_t rank = N;

    std::array<std::uint64_t, N> shape;
    std::array<std::int64_t, N> strides;
    std::uint64_t offset;

    // Row-major layout of `shape`, offset 0; the whole element count must fit in int64.
    [[nodiscard]] static Result<Layout> c_contiguous(const std::array<std::uint64_t, N>& shape) {
        Layout out{shape, {}, 0};
        if (auto r = kernels::c_contiguous_strides(out.shape, out.strides); !r) return std::unexpected(r.error());
        if (auto r = kernels::element_count(out.shape); !r) return std::unexpected(r.error());
        if (auto r = kernels::min_max_offsets(out.shape, out.strides, 0); !r) return std::unexpected(r.error());
        return out;
    }

    // This layout seen with the target shape (right-aligned broadcasting).
    template <std::size_t M>
    [[nodiscard]] Result<Layout<M>> broadcast(const std::array<std::uint64_t, M>& target) const {
        Layout<M> out{target, {}, offset};
        if (auto r = kernels::broadcast_strides(shape, strides, out.shape, out.strides); !r)
            return std::unexpected(r.error());
        if (auto r = out.check_bounds(); !r) return std::unexpected(r.error());
        return out;
    }

    // Axis permutation of a two-axis layout.
    [[nodiscard]] Result<Layout> transpose(const std::array<std::size_t, 2>& axes) const
        requires(N == 2)
    {
        for (std::size_t a : axes)
            if (a >= 2)
                return error::storage_error("Axis " + std::to_string(a) + " out of range for transposition");
        if (axes[1] == axes[0])
            return error::storage_error("Duplicate axis " + std::to_string(axes[1]) + " in transposition");
        Layout out{{shape[axes[0]], shape[axes[1]]}, {strides[axes[0]], strides[axes[1]]}, offset};
        if (auto r = out.check_bounds(); !r) return std::unexpected(r.error());
        return out;
    }

    [[nodiscard]] Result<std::uint64_t> element_count() const { return kernels::element_count(shape); }

    // The checks every derived layout passes: element count, then offset bounds.
    [[nodiscard]] Result<void> check_bounds() const {
        if (auto r = kernels::element_count(shape); !r) return std::unexpected(r.error());
        if (auto r = kernels::min_max_offsets(shape, strides, offset); !r) return std::unexpected(r.error());
        return {};
    }

    friend bool operator==(const Layout&, const Layout&) = default;
};

template <std::size_t N>
bool is_c_contiguous(const Layout<N>& l) {
    return kernels::is_c_contiguous(l.shape, l.strides);
}

template <std::size_t N>
bool is_f_contiguous(const Layout<N>& l) {
    return kernels::is_f_contiguous(l.shape, l.strides);
}

}  // namespace kavrel::domain::layout
