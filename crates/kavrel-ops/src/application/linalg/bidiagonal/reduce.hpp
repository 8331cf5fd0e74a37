// Accumulation of the bidiagonalisation's Householder reflectors into orthogonal factors: a batch
// of full-length reflectors applied from the right to a square factor, and the leading columns
// of a product of reflectors formed, transposed, from compactly stored reflectors alone, which is
// how the thin SVD gets the columns of U it uses without forming U.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kavrel_ops::application::linalg::bidiagonal::reduce {

// target := target·(I − tau_r·v_r·v_rᵀ) for r = 0, 1, …, count − 1 in turn: for each r and each of
// the d rows t of the row-major d×d target, at full length d, s = dot_slice(t, v_r), then
// axpy_slice(v_r, t, 0 − s·tau_r). vectors holds the count vectors of length d back to back;
// their leading zeros are not skipped. d = 0 does nothing.
// Requires: len(vectors) ≥ count·d, len(taus) ≥ count, len(target) ≥ d·d (else an internal error).
void apply_reflectors_right(std::span<const double> vectors, std::span<const double> taus, std::uint64_t count,
                            std::span<double> target, std::uint64_t d);

// Reflectors H_r = I − tau_r·v_r·v_rᵀ of order `order` whose vector v_r is zero before
// starts[r]; `vectors` holds each v_r from starts[r] to the end, one after another.
struct CompactReflectors {
    std::uint64_t order = 0;
    std::vector<double> vectors;
    std::vector<std::uint64_t> starts;
    std::vector<double> taus;

    // Appends the reflector whose vector is `v` from position `start` on.
    // Requires: start + len(v) = order, start above the previous reflector's start.
    void push(std::uint64_t start, std::span<const double> v, double tau);
};

// The first `cols` columns of H_0·H_1·…·H_last, transposed: a row-major buffer of `cols` rows of
// `order` entries whose row j is column j. Formed as [I_cols 0]·H_last·…·H_0, the last reflector
// first, each one as dot_slice and axpy_slice on the row segments from its start. Rows before a
// reflector's start are still unit rows that it would leave unchanged, so they are skipped.
// Requires: cols ≤ order.
[[nodiscard]] std::vector<double> leading_columns_transposed(const CompactReflectors& reflectors,
                                                             std::uint64_t cols);

}  // namespace kavrel_ops::application::linalg::bidiagonal::reduce
