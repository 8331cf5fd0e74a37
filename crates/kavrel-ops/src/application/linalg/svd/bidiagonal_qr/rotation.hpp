// Plane rotations of the bidiagonal QR iteration: the generator that maps (f, g) onto (r, 0),
// rescaling by a power of two so that f² + g² stays finite and normal for every finite pair, and
// its application to two rows of a row-major buffer (the rows of Uᵀ or Vᵀ). Every product and sum
// is rounded on its own, so the results are the same on every processor.
#pragma once

#include <cstdint>
#include <span>

namespace kavrel_ops::application::linalg::svd::bidiagonal_qr::rotation {

// c·f + s·g = r and c·g − s·f = 0 up to rounding; r ≥ 0 whenever g ≠ 0.
struct Rotation {
    double c;
    double s;
    double r;
};

// The magnitudes that generate_rotation squares without rescaling:
// lo = (1 + 2^-52)·sqrt(safmin), hi = (1 − 2^-52)·sqrt(DBL_MAX/2).
struct RotationWindow {
    double lo;
    double hi;
};
[[nodiscard]] RotationWindow rotation_window() noexcept;

// g = ±0: (1, 0, f), r keeping the sign of f. Otherwise, with mx = max(|f|, |g|) (a NaN ignored)
// and k = ilogb(mx) when mx is finite, non-zero and outside the window (else k = 0):
// d = sqrt(fs² + gs²) of fs = f·2^-k, gs = g·2^-k; r = d·2^k; c = fs·(1/d), s = gs·(1/d).
// c and s are products with the reciprocal, not quotients; inside the window nothing is scaled.
[[nodiscard]] Rotation generate_rotation(double f, double g, const RotationWindow& window) noexcept;

// Rows p and q (p ≠ q) of a row-major buffer with rows of `row_len` entries, over their full
// length: row p = c·row p + s·row q and row q = c·row q − s·row p, from the entries before the
// update. Requires: p ≠ q and both rows inside the buffer (else an internal error).
void rotate_rows(std::span<double> buffer, std::uint64_t row_len, std::uint64_t p, std::uint64_t q, double c,
                 double s);

}  // namespace kavrel_ops::application::linalg::svd::bidiagonal_qr::rotation
