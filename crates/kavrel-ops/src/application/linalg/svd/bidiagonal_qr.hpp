// The singular value decomposition of a float64 matrix by implicit-shift QR on its bidiagonal
// form: the iteration (zero-shift and shifted sweeps chased towards the smaller end of the active
// block, relative convergence tests, zero-diagonal chases), the thin SVD and the singular values
// of a matrix that the front ends have validated and brought into the exponent range, the
// transposes they need, and the SVD bound of the scaling gate. Calling thread only.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/scaling/gate.hpp"
#include "kavrel_ops/application/linalg/svd/bidiagonal_qr/sweep.hpp"

namespace kavrel_ops::application::linalg::svd::bidiagonal_qr {

using kavrel::application::array::types::Array;
using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;
using sweep::FactorRows;
using sweep::RotationTargets;

// The storage error of an iteration that reaches its step limit.
inline constexpr const char* not_converged = "bidiagonal SVD QR failed to converge";

// Chases and sweeps one run may perform on a bidiagonal of order n: max(4000, 30·n). Dense
// matrices need about two sweeps per singular value, and badly clustered ones more, so a fixed
// count would refuse ordinary large inputs.
[[nodiscard]] std::uint64_t step_limit(std::uint64_t n) noexcept;

// Diagonalises the upper bidiagonal (d, e) of order n in place: afterwards d holds the singular
// values, each with a sign and unsorted, e[0 … n − 2] are zero, and every rotation has been
// applied to the rows given (rows 0 … n − 1 of Uᵀ with rows of m entries, of Vᵀ with rows of n).
// The same (d, e) gives the same bits of d with and without rows. n < 2 does nothing. Past
// step_limit(n) chases and sweeps: StorageError not_converged, with d, e and the rows partly
// transformed. No allocation; every product and sum is rounded on its own.
// Requires: len(d) ≥ n, len(e) ≥ n − 1 (e[n − 1] is never touched), finite entries.
[[nodiscard]] Result<void> run_bidiagonal_qr(std::span<double> d, std::span<double> e, std::uint64_t n,
                                             const RotationTargets& rows);

// The scaling gate's window for the SVD of an m×n matrix with norm ratio bound r: the order
// max(min(m, n), 1) and hi shift −2 − r − ((ceil_log2(max(m, n, 1)) + 1) div 2).
[[nodiscard]] scaling::gate::BoundTerms svd_bound(std::uint64_t m, std::uint64_t n, std::int32_t r);

// S (k = min(m, n) values, descending, all ≥ 0), U (m×k) and V (n×k), row-major, with
// A = U·diag(S)·Vᵀ up to rounding and orthonormal columns in U and V.
struct SvdResult {
    std::vector<double> s;
    Array<double, 2> u;
    Array<double, 2> v;
};

// The thin SVD of a matrix with m, n ≥ 1 and finite entries: svd_tall on the matrix, or on its
// transpose with the factors exchanged when m < n (then U is m×m and V is n×m).
[[nodiscard]] Result<SvdResult> svd_of_balanced(const ArrayView<double, 2>& a);

// The thin SVD for m ≥ n (else the bidiagonalisation's ShapeMismatch): the bidiagonal form with
// its left reflectors kept, the n used rows of Uᵀ formed from them (never the m×m U), the
// iteration with rotations, negative values made positive by negating the matching column of U,
// and a stable descending order (equal values keep their positions).
[[nodiscard]] Result<SvdResult> svd_tall(const ArrayView<double, 2>& a);

// min(m, n) singular values in descending order, all ≥ 0: the values-only column-major
// bidiagonalisation (of the transpose when m < n) and the iteration without rotations.
[[nodiscard]] Result<std::vector<double>> singular_values_of_balanced(const ArrayView<double, 2>& a);

// out[j·n + i] = src[i·n + j]. Requires: len(src) ≥ n·n (else an internal error).
[[nodiscard]] std::vector<double> transpose_square(std::span<const double> src, std::uint64_t n);

// The n×m row-major transpose of a validated m×n view of any strides.
[[nodiscard]] Result<Array<double, 2>> transpose_to_owned(const ArrayView<double, 2>& a);

namespace detail {
// run_bidiagonal_qr with its own step limit, returning the chases and sweeps performed: a seam
// for tests of the limit.
[[nodiscard]] Result<std::uint64_t> run_with_limit(std::span<double> d, std::span<double> e, std::uint64_t n,
                                                   const RotationTargets& rows, std::uint64_t limit);
}  // namespace detail

}  // namespace kavrel_ops::application::linalg::svd::bidiagonal_qr
