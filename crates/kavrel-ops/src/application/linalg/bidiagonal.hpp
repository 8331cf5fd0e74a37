// Reduction of a float64 matrix with m ≥ n to upper bidiagonal form by alternating Householder
// reflections from the left and the right: with both orthogonal factors (A = U·B·Vᵀ), with the
// left reflectors handed back in place of U (the thin SVD forms only the columns of U it uses),
// or as the diagonal and superdiagonal alone, from a column-major copy through the strided
// matrix-vector kernels. All run on the calling thread and never write the caller's view.
#pragma once

#include <cstdint>
#include <vector>

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/bidiagonal/reduce.hpp"

namespace kavrel_ops::application::linalg::bidiagonal {

using kavrel::application::array::types::Array;
using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

// The storage error of a non-finite input to the reductions with factors.
inline constexpr const char* non_finite_input = "bidiagonalization input contains a non-finite value";
// The overflow reason of a B that a caller scales back out of the float64 range.
inline constexpr const char* b_entry_out_of_range = "B entry exceeds the scalar range";

// U (m×m, orthogonal), B (m×n, upper bidiagonal: every entry off (i, i) and (i, i + 1) is exactly
// 0.0; diagonal and superdiagonal keep the signs the reflections give them) and V (n×n,
// orthogonal), all row-major; A = U·B·Vᵀ up to rounding. U = H_0·H_1·… and V = G_0·G_1·…, the
// left and right reflectors in the order they were made.
struct BidiagonalDecomposition {
    Array<double, 2> u;
    Array<double, 2> b;
    Array<double, 2> v;
};

// Requires (checked, in this order): m ≥ n (else ShapeMismatch, lhs [m, n], rhs [n, n]), every
// entry finite (else StorageError non_finite_input). The view may have any strides. Reflectors are
// accumulated into U and V in batches of 16, which changes no arithmetic.
[[nodiscard]] Result<BidiagonalDecomposition> bidiagonalize(const ArrayView<double, 2>& a);

// bidiagonalize of a view whose entries are large enough for the reduction's products to overflow
// scaled down first (scaling::gate::balanced_below_overflow), B scaled back by 2^k; U and V are
// orthogonal and need nothing. Errors, in this order: the gate's Overflow guards; bidiagonalize's;
// Overflow b_entry_out_of_range when B scaled back is not finite.
[[nodiscard]] Result<BidiagonalDecomposition> bidiagonalize_balanced(const ArrayView<double, 2>& a);

// The same reduction with U left as its reflectors: B and V are those of bidiagonalize (bit for
// bit), and `left` holds H_0, H_1, … of order m, each from its first non-zero position.
struct LeftReflectedBidiagonal {
    std::vector<double> b;  // m×n, row-major
    reduce::CompactReflectors left;
    Array<double, 2> v;
};
// Requires: as bidiagonalize, with the same errors.
[[nodiscard]] Result<LeftReflectedBidiagonal> bidiagonalize_keeping_left(const ArrayView<double, 2>& a);

// The diagonal d (n values) and superdiagonal e (n values, e[n − 1] = 0.0) of a bidiagonal form of
// A, neither factor formed. Reflectors come from colmajor::larfg, the left update is one
// matrix-vector product and one row-batched axpy on the trailing block, the right update one
// transposed product and one axpy; the products go through the dispatched kernels, so the last
// bits may differ between processors. |d| and |e| agree with bidiagonalize's B up to rounding.
// Requires: m ≥ n (else ShapeMismatch, lhs [m, n], rhs [n, n]); finite input, which is not
// checked here (the callers have validated and prescaled it).
struct DiagonalPair {
    std::vector<double> d;
    std::vector<double> e;
};
[[nodiscard]] Result<DiagonalPair> bidiagonal_diag_colmajor(const ArrayView<double, 2>& a);

}  // namespace kavrel_ops::application::linalg::bidiagonal
