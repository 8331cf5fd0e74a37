// The real Schur decomposition A = Q·T·Qᵀ of a square float64 matrix: Q orthogonal, T quasi-upper-
// triangular with 1×1 blocks for real eigenvalues and standardised 2×2 blocks for complex pairs.
// The pipeline is the scaling gate (francis_bound), the Hessenberg reduction, the Francis
// iteration and the standardisation pass, then T scaled back and range-checked. Calling thread only.
#pragma once

#include <cstdint>
#include <span>

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/scaling/gate.hpp"

namespace kavrel_ops::application::linalg::schur {

using kavrel::application::array::types::Array;
using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

struct RealSchur {
    Array<double, 2> q;  // n×n, orthogonal
    Array<double, 2> t;  // n×n; t[i][j] == 0.0 for j ≤ i − 2, subdiagonal entries only inside 2×2 blocks
};

inline constexpr const char* schur_entry_out_of_range = "Schur form entry exceeds the scalar range";

// The gate's bound for the Francis iteration: the order n caps the norm ratio, and
// hi = (1 − eps)·√(DBL_MAX·2^(−2r)).
[[nodiscard]] scaling::gate::BoundTerms francis_bound(std::uint64_t rows, std::uint64_t cols, std::int32_t r);

// Puts every 2×2 block of the quasi-triangular n×n `t` (row-major) into standard form, rotating
// the rows and columns of `t` it touches and the columns of `q` (n×n row-major) with it.
void standardize_blocks(std::span<double> t, std::span<double> q, std::uint64_t n);

// The decomposition of a square view. Errors in this order: ShapeMismatch; the gate's Overflow;
// StorageError "Hessenberg input contains a non-finite value"; the iteration's ConvergenceError;
// Overflow schur_entry_out_of_range when T does not fit the range once scaled back.
[[nodiscard]] Result<RealSchur> real_schur(const ArrayView<double, 2>& a);

}  // namespace kavrel_ops::application::linalg::schur
