// The sum of every element of a float32 view of rank 1 to 6, on the calling thread. A dense view
// (C- or F-contiguous, its window inside the storage) is one kernel call over its window, in
// storage order; any other view is walked row by row along the last axis, a row with inner stride
// 1 or -1 being one kernel call over its storage run and any other row added element by element.
#pragma once

#include <concepts>
#include <cstddef>
#include <span>

#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/reduction/strategies.hpp"

namespace kavrel_ops::application::reduction::whole_array {

using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;
using strategies::SumAxis;

// Order of the result:
// - rows are taken in row-major order of the leading axes; the first row's value starts the
//   total, and each later row with a storage run is summed on its own, then added as
//   value + total;
// - a row without a run continues the running sum element by element in logical order: its first
//   element + total, then each further element added in turn;
// - all partial sums are float32; NaN and infinities propagate.
// Errors: the validate_storage error of a layout that does not fit its storage, before any
// element is read. Any extent 0 gives +0 without reading.
template <class Strategy, std::size_t N>
    requires std::same_as<Strategy, SumAxis>
[[nodiscard]] Result<float> reduce_all(const ArrayView<float, N>& view);

// Σ x[i] with the kernel of this CPU (kernel_path()): the AVX-512F or AVX2+FMA sum kernel, or the
// portable loop below. The order is fixed per path, so the result repeats exactly on one machine
// but may differ in the last bits between machines. An empty slice gives +0.
[[nodiscard]] float reduce_nonempty_slice(std::span<const float> x) noexcept;

// Implementation details

namespace detail {
// The portable loop: four accumulators of four lanes per block of 16 (first block x + 0.0), then
// (A0 + A1) + (A2 + A3) lane-wise (four lanes of +0 without a block), remaining groups of 4 added
// lane-wise, h = acc[3] + (acc[2] + (acc[1] + acc[0])), and for a tail y0, y1, y2 of n mod 4
// elements (absent ones +0) the result h + (((y0 + y1) + y2) + 0.0).
[[nodiscard]] float sum_portable(std::span<const float> x) noexcept;
}  // namespace detail

extern template Result<float> reduce_all<SumAxis, 1>(const ArrayView<float, 1>&);
extern template Result<float> reduce_all<SumAxis, 2>(const ArrayView<float, 2>&);
extern template Result<float> reduce_all<SumAxis, 3>(const ArrayView<float, 3>&);
extern template Result<float> reduce_all<SumAxis, 4>(const ArrayView<float, 4>&);
extern template Result<float> reduce_all<SumAxis, 5>(const ArrayView<float, 5>&);
extern template Result<float> reduce_all<SumAxis, 6>(const ArrayView<float, 6>&);

}  // namespace kavrel_ops::application::reduction::whole_array
