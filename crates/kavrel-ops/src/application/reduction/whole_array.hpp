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

// Σ x[i] through dispatch_sum: the AVX-512F or AVX2+FMA sum kernel, or the portable loop
// (fallback::sum_portable). The order is fixed per path, so the result repeats exactly on one
// machine but may differ in the last bits between machines. An empty slice gives +0.
[[nodiscard]] float reduce_nonempty_slice(std::span<const float> x) noexcept;

extern template Result<float> reduce_all<SumAxis, 1>(const ArrayView<float, 1>&);
extern template Result<float> reduce_all<SumAxis, 2>(const ArrayView<float, 2>&);
extern template Result<float> reduce_all<SumAxis, 3>(const ArrayView<float, 3>&);
extern template Result<float> reduce_all<SumAxis, 4>(const ArrayView<float, 4>&);
extern template Result<float> reduce_all<SumAxis, 5>(const ArrayView<float, 5>&);
extern template Result<float> reduce_all<SumAxis, 6>(const ArrayView<float, 6>&);

}  // namespace kavrel_ops::application::reduction::whole_array
