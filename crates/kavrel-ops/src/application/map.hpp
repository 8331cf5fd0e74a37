// Element-wise binary maps out = a op b over float32 views of rank 2, op one of +, -, · and /:
// b (and a) broadcast to the output's shape, any strides, any writable output that owns its
// window and maps every index to its own element. Dense operands with identical layouts go
// through the Scalar slice operations, on the caller or in shards of 5461 elements on the
// executor; anything else walks the layouts (strided.hpp). The map goes parallel when the three
// operands (12 bytes per element) exceed the level-3 cache. Every output element is the float32
// result of one IEEE operation with a's element on the left, whatever the route: no error for
// division by zero, infinities or NaN, subnormals kept. The output is only written, never read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "kavrel/application/view/immutable.hpp"
#include "kavrel/application/view/mutable_core.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/strided.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"
#include "kavrel_ops/infrastructure/cache.hpp"

namespace kavrel_ops::application::map {

using kavrel::application::view::immutable::ArrayView;
using kavrel::application::view::mutable_core::ArrayViewMut;
using kavrel::domain::error::Result;
using Scalar = kavrel_ops::domain::scalar::contract::Scalar<float>;

// Operation markers: the element result and the slice operation of each map.
struct AddOp {
    static float element(float a, float b) noexcept { return a + b; }
    static void slice(std::span<const float> a, std::span<const float> b, std::span<float> out) {
        Scalar::add_slice(a, b, out);
    }
};
struct SubOp {
    static float element(float a, float b) noexcept { return a - b; }
    static void slice(std::span<const float> a, std::span<const float> b, std::span<float> out) {
        Scalar::sub_slice(a, b, out);
    }
};
struct MulOp {
    static float element(float a, float b) noexcept { return a * b; }
    static void slice(std::span<const float> a, std::span<const float> b, std::span<float> out) {
        Scalar::mul_slice(a, b, out);
    }
};
struct DivOp {
    static float element(float a, float b) noexcept { return a / b; }
    static void slice(std::span<const float> a, std::span<const float> b, std::span<float> out) {
        Scalar::div_slice(a, b, out);
    }
};

template <class Op>
concept MapOp = std::same_as<Op, AddOp> || std::same_as<Op, SubOp> || std::same_as<Op, MulOp> ||
                std::same_as<Op, DivOp>;

// The label of the output checks in the map's error texts.
inline constexpr const char* output_label = "binary map";

// Success, or the first error for a, then for b: IncompatibleBroadcast {from: the input's
// shape, to: the output's shape}; Overflow "layout shape product" when the output's extents
// overflow; the error of min_max_offsets on the input's layout broadcast to the output's shape
// (a negative offset, an overflow). Input offsets are not compared with storage lengths here.
[[nodiscard]] Result<void> validate_binary_shapes(const ArrayView<float, 2>& a, const ArrayView<float, 2>& b,
                                                  const ArrayViewMut<float, 2>& out);

// out = a op b for every logical index of the output. Errors come before any output element is
// written: those of validate_binary_shapes; an output whose window is shared with sibling views
// (StorageError "binary map output must exclusively own its storage window (interleaved
// iterator-yielded sub-views are rejected)", on both routes); on the strided route the
// validate_storage errors of a, then b, then the other output checks of validate_mutable_output
// ("binary map"). An internal error inside a parallel unit leaves the output partly written.
// Requires: out does not share memory with a or b (not detected).
template <MapOp Op>
[[nodiscard]] Result<void> binary_map_with_cache_line(const ArrayView<float, 2>& a, const ArrayView<float, 2>& b,
                                                      ArrayViewMut<float, 2>& out);

// The dense storage runs of the contiguous route: present when a, b and out have identical
// shapes and identical strides (extent-1 axes included) and each view has a contiguous window;
// element k of each run then belongs to the same logical index.
struct DenseWindows {
    std::span<const float> a;
    std::span<const float> b;
    std::span<float> out;
};
[[nodiscard]] std::optional<DenseWindows> dense_windows(const ArrayView<float, 2>& a, const ArrayView<float, 2>& b,
                                                        const ArrayViewMut<float, 2>& out);

// n x 12 bytes, saturating: the traffic of n elements of two float32 inputs and one output.
[[nodiscard]] std::uint64_t traffic_bytes(std::uint64_t elements) noexcept;
// Whether a map over `elements` elements runs in parallel: its traffic exceeds the level-3
// cache (equal stays serial).
[[nodiscard]] bool goes_parallel(std::uint64_t elements, const infrastructure::cache::CacheGeometry& g) noexcept;
// The tile edge in elements: line_bytes / 4, at least 1; no tiling (the largest value) for a
// line size of 0.
[[nodiscard]] std::uint64_t tile_elements(const infrastructure::cache::CacheGeometry& g) noexcept;

// The contiguous route's parallel form: shards of 5461 elements of the three windows, one slice
// operation per shard. Requires: the three windows have one length and out overlaps neither.
template <MapOp Op>
void parallel_slice_into(std::span<const float> a, std::span<const float> b, std::span<float> out);

// The unit of parallel_slice_into: the slice operation over [first, first + shard length) of
// the input windows into the output shard.
template <MapOp Op>
struct SliceChunkWorker {
    std::span<const float> a;
    std::span<const float> b;
    void operator()(std::uint64_t first, std::span<float> shard) const;
};

}  // namespace kavrel_ops::application::map
