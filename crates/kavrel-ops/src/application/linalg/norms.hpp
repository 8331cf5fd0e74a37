// Entrywise norms of a float64 matrix view: the sum of magnitudes, the largest magnitude and the
// Frobenius norm, on the calling thread. A dense view is reduced as one block by one kernel call
// (absolute sum, absolute maximum, or one inner product of the block with itself); any other view
// row by row. No finiteness test: infinities and NaN flow into the result, and a NaN entry makes
// every maximum NaN on every kernel path.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::linalg::norms {

using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

// A kind of entrywise norm: how one contiguous slice reduces to a partial value, how partial
// values of several slices (and single magnitudes) combine into the running value, which starts at
// 0.0 (also the value of an empty input).
template <class K>
concept NormKind = requires(std::span<const double> x, double running, double partial) {
    { K::accumulate_slice(x) } -> std::same_as<double>;
    { K::combine(running, partial) } -> std::same_as<double>;
};

// Σ |x|: slices through the absolute-sum kernel, partials added.
struct NormL1 {
    [[nodiscard]] static double accumulate_slice(std::span<const double> x) noexcept;
    [[nodiscard]] static double combine(double running, double partial) noexcept { return running + partial; }
};

// max |x|: slices through the absolute-maximum kernel (NaN for any NaN), partials kept when
// strictly larger; a NaN partial replaces the running value and stays.
struct NormMax {
    [[nodiscard]] static double accumulate_slice(std::span<const double> x) noexcept;
    [[nodiscard]] static double combine(double running, double partial) noexcept;
};

// The K-norm of all entries. Fails with the validate_storage error of a layout that does not fit
// its storage, before any element is read.
template <NormKind K>
[[nodiscard]] Result<double> entrywise_norm(const ArrayView<double, 2>& a);

// sqrt(Σ x²), unscaled: squares beyond the float64 range give infinity. Fails like entrywise_norm.
[[nodiscard]] Result<double> frobenius_norm(const ArrayView<double, 2>& a);

// The norms a caller names by text, the names compared as bytes: "fro", "2" and "l2" the
// Frobenius norm, "1" and "l1" the sum of magnitudes, "max" and "inf" the largest magnitude.
enum class NormOrder : std::uint8_t { frobenius, l1, max };
[[nodiscard]] std::optional<NormOrder> norm_order(std::string_view name) noexcept;
// The norm of that order, failing as entrywise_norm does.
[[nodiscard]] Result<double> norm_of(const ArrayView<double, 2>& a, NormOrder order);

extern template Result<double> entrywise_norm<NormL1>(const ArrayView<double, 2>&);
extern template Result<double> entrywise_norm<NormMax>(const ArrayView<double, 2>&);

}  // namespace kavrel_ops::application::linalg::norms
