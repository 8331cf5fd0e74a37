// The compact-WY form of a block of Householder reflectors: H_0·H_1·…·H_{k−1} = I − V·T·Vᵀ, with the
// reflector vectors as the columns of V and T upper triangular. The blocked QR builds T here once
// per panel and then applies the whole block with three matrix products.
#pragma once

#include <cstdint>
#include <span>

namespace kavrel_ops::application::linalg::reflector_block {

// T (k×k, row-major, fully overwritten) for V (rows×k, row-major; column i is reflector i, zero above
// row i) and taus (k): forward and column by column, T[i][i] = τ_i and for a < i
// T[a][i] = (−τ_i)·Σ_{b=a}^{i−1} T[a][b]·z[b], with z = Σ_r V[r][i]·V[r][0 … i−1] over the rows r
// where V[r][i] is not exactly zero. Plain products and sums, each rounded on its own.
// Requires: v.size() ≥ rows·k, taus.size() ≥ k, t.size() ≥ k·k (else an internal error).
void accumulate(std::span<const double> v, std::uint64_t rows, std::uint64_t k, std::span<const double> taus,
                std::span<double> t);

}  // namespace kavrel_ops::application::linalg::reflector_block
