// Overflow-checked layout arithmetic: offset bounds, storage validation, physical offsets,
// broadcasting and the aliasing test. Each function returns its result or the KavrelError
// naming the computation that overflowed; none touches element storage, keeps state or
// allocates on success.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

#include "kavrel/domain/error/error.hpp"

namespace kavrel::domain::layout::kernels {

using error::Result;
using Shape = std::span<const std::uint64_t>;
using Strides = std::span<const std::int64_t>;

// Requires, for every kernel here: one stride per axis (strides.size() == shape.size());
// a mismatch is an internal error, never a read past the shorter span.

// Product of the extents ("layout shape product" on overflow).
[[nodiscard]] Result<std::uint64_t> element_count(Shape shape);

// Lowest and highest storage index reached; the lowest is never negative.
[[nodiscard]] Result<std::pair<std::int64_t, std::int64_t>> min_max_offsets(Shape shape, Strides strides,
                                                                            std::uint64_t offset);

// Success when every element the layout addresses lies below `length`. Empty layouts pass.
[[nodiscard]] Result<void> validate_storage(Shape shape, Strides strides, std::uint64_t offset, std::uint64_t length);

// Storage index of one multi-index; an index of the wrong length is OutOfBounds.
[[nodiscard]] Result<std::int64_t> physical_offset(Shape shape, Strides strides, std::uint64_t offset,
                                                   std::span<const std::uint64_t> index);

// Right-aligned broadcast of a source onto a target shape. Requires: out.size() == target.size().
[[nodiscard]] Result<void> broadcast_strides(Shape source_shape, Strides source_strides, Shape target_shape,
                                             std::span<std::int64_t> out);

// True when no two multi-indices share a storage index.
[[nodiscard]] Result<bool> is_injective(Shape shape, Strides strides);

// Row-major strides of a shape (offset 0), with the two construction overflow checks.
[[nodiscard]] Result<void> c_contiguous_strides(Shape shape, std::span<std::int64_t> out);

bool is_c_contiguous(Shape shape, Strides strides);
bool is_f_contiguous(Shape shape, Strides strides);

// The exact aliasing search: looks for a nonzero difference vector d, |d_k| <= extent_k - 1,
// with sum d_k * stride_k = 0, solving for axis `solved` instead of enumerating it.
struct DifferenceSearch {
    Shape shape;      // borrowed
    Strides strides;  // borrowed
    std::size_t solved;
    std::int64_t solved_stride;

    [[nodiscard]] Result<bool> has_collision(std::size_t axis, __int128 partial, bool nonzero) const;
};

}  // namespace kavrel::domain::layout::kernels
