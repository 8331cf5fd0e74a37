// The column step shared by the unblocked and the blocked LU factorisation: pivot search,
// row interchange and the row updates of one column of a row-major working matrix.
#pragma once

#include <cstdint>
#include <span>

#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::linalg::lu::eliminate {

using kavrel::domain::error::Result;

// Eliminates column k of the n × n row-major matrix w (element (i, j) at i·n + j):
// 1. the pivot is the first row p in k .. n−1 of largest |w(p, k)| (only a strictly larger
//    magnitude replaces the candidate, so a NaN below row k is never taken);
// 2. an exactly zero maximum is the StorageError "LU pivot column {k} is exactly zero: matrix
//    is singular";
// 3. rows k and p swap over all n columns, and so do perm[k] and perm[p]; sign flips;
// 4. eliminate_below_pivot(w, n, k, end).
// Requires: w.size() == n·n, perm.size() == n, k < end ≤ n.
[[nodiscard]] Result<void> lu_eliminate_step(std::span<double> w, std::uint64_t n, std::uint64_t k,
                                             std::uint64_t end, std::span<std::uint64_t> perm, std::int8_t& sign);

// The updates under the pivot w(k, k): every row i below k gets its multiplier l = w(i, k) / w(k, k)
// (a division) stored in w(i, k), and its columns k+1 .. end−1, only those, become
// fma(0.0 − l, w(k, j), w(i, j)), one rounding each. No zero test.
// Requires: w.size() == n·n, k < end ≤ n.
void eliminate_below_pivot(std::span<double> w, std::uint64_t n, std::uint64_t k, std::uint64_t end);

// True for the zero-pivot error of lu_eliminate_step (whatever its column), false for any other.
[[nodiscard]] bool is_zero_pivot(const kavrel::domain::error::KavrelError& e) noexcept;

}  // namespace kavrel_ops::application::linalg::lu::eliminate
