// The convergence tests of the bidiagonal QR iteration: the relative tolerance, the absolute
// threshold below which a superdiagonal entry is set to zero, the search for a negligible
// superdiagonal entry inside the active block and the test that decides when a shifted sweep
// would cost relative accuracy. Each block test exists once per chase direction.
#pragma once

#include <cstdint>
#include <span>

#include "kavrel_ops/application/linalg/svd/bidiagonal_qr/chase.hpp"

namespace kavrel_ops::application::linalg::svd::bidiagonal_qr::deflation {

using chase::Direction;
using chase::OrientedBlock;

// 2^-45.5 rounded to float64.
inline constexpr double relative_tolerance = 2.0097183471152322e-14;

// Where split found a negligible e[index]; when nothing is found, index is lo (Up) or hi − 1
// (Down) and means nothing.
struct Split {
    bool found;
    std::uint64_t index;
};

struct Deflation {
    double tol;          // relative tolerance
    double thresh;       // absolute threshold: |e[i]| ≤ thresh counts as zero
    std::uint64_t n;     // order of the whole bidiagonal

    // tol = relative_tolerance; thresh = max((smin/sqrt(n))·tol, safmin) with smin the running
    // lower bound of the smallest singular value from the recurrence
    // mu = (mu/(|e[i]| + mu))·|d[i + 1]|, stopped once it reaches zero.
    // Requires: n ≥ 2, len(d) ≥ n and len(e) ≥ n − 1 (else an internal error).
    [[nodiscard]] static Deflation of(std::span<const double> d, std::span<const double> e, std::uint64_t n);

    // The first e[i] of the block with |e[i]| ≤ tol·mu, mu running the same recurrence from the
    // end where the chase would start (hi for Up, lo for Down); the entry at the opposite end is
    // tested first against tol·|d| beside it.
    template <Direction D>
    [[nodiscard]] Split split(const OrientedBlock& block) const;

    // True when the next sweep must use a zero shift: max(2^-52, tol/100) ≥ (n·tol)·(sminl/smax),
    // smax the largest |entry| of the block, sminl the smallest value of the recurrence run over the
    // whole block in the direction's order. False when the block is all zeros.
    template <Direction D>
    [[nodiscard]] bool shift_ruins_accuracy(const OrientedBlock& block) const;
};

}  // namespace kavrel_ops::application::linalg::svd::bidiagonal_qr::deflation
