// The partial-pivoting LU factorisation of a square float64 view: a private row-major working
// copy, one scan for non-finite entries, then a right-looking elimination with lu::eliminate's
// column step, either unblocked or in panels of tuning::lu_panel_columns columns whose trailing
// update is one accumulating matrix product per panel. The view is only read.
#pragma once

#include <cstdint>

#include "kavrel/application/view/immutable.hpp"
#include "kavrel/application/view/mutable_core.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/lu.hpp"

namespace kavrel_ops::application::linalg::lu::decompose {

using kavrel::application::view::immutable::ArrayView;
using kavrel::application::view::mutable_core::ArrayViewMut;
using kavrel::domain::error::Result;

// Factors a (any strides). Fails, in this order:
// - ShapeMismatch {lhs [rows, cols], rhs [rows, rows]} when rows ≠ cols, before any element is read;
// - StorageError "LU input contains a non-finite value" for the first infinite or NaN entry;
// - StorageError "LU pivot column {k} is exactly zero: matrix is singular", which
//   eliminate::is_zero_pivot recognises;
// - Overflow factor_out_of_range when U leaves the float64 range at every scale tried.
// Where the elimination of a forms an infinite or NaN value although a is finite, a with its
// columns scaled by powers of two is factored instead (scaling::gate::factor_in_range), each
// column by 2^-k for the least k that keeps every value finite, or by less where 2^-k would round
// one of its entries; the decomposition's column_exponent holds the scales. Where a column that
// stops short leaves no attempt finite, the rows are scaled so instead (row_exponent). Where
// neither does, the error is factor_out_of_range.
[[nodiscard]] Result<LuDecomposition> lu_decompose(const ArrayView<double, 2>& a);

inline constexpr const char* factor_out_of_range = "LU factor exceeds the scalar range";

// Implementation details

namespace detail {

enum class LuVariant : std::uint8_t { unblocked, blocked };

// Unblocked while the working matrix, n·n·8 bytes, fits in the level-3 cache. The byte count
// saturates at 2^64 − 1 when n·n overflows or exceeds 2^61 − 1.
[[nodiscard]] LuVariant choose_variant(std::uint64_t n, std::uint64_t l3_bytes) noexcept;

// The blocked variant's trailing update A22 += P·Q, with P the negated multipliers below a panel
// (m × w), Q the panel's rows of U right of it (w × m) and A22 the trailing m × m window of the
// working matrix (row stride n).
using TrailingProduct = Result<void> (*)(const ArrayView<double, 2>& p, const ArrayView<double, 2>& q,
                                         ArrayViewMut<double, 2>& a22);

// lu_decompose with the variant given; `product` is called only by the blocked variant, whose
// first product error ends the factorisation with that error.
[[nodiscard]] Result<LuDecomposition> lu_decompose_as(const ArrayView<double, 2>& a, LuVariant variant,
                                                      TrailingProduct product);

}  // namespace detail

}  // namespace kavrel_ops::application::linalg::lu::decompose
