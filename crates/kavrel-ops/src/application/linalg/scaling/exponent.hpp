// The float64 exponent-range constants and power-of-two arithmetic shared by the factorisations
// and eigensolvers: eps, safmin and the largest finite value, binary exponents (ilogb,
// ceil_log2), exact rescaling by 2^k with the C library's scalbn semantics and the largest exact
// one, and float64 arithmetic with an unbounded exponent for results at the ends of the range.
// Every rescaling of a matrix or a result in linalg goes through these, so it stays exact.
#pragma once

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <span>

namespace kavrel_ops::application::linalg::scaling::exponent {

inline constexpr double eps = 0x1p-52;
// The smallest positive normal value 2^-1022, found once by halving 1 while the half is non-zero
// and keeps a full significand.
[[nodiscard]] double safmin() noexcept;
// The largest finite value (2 − 2^-52)·2^1023, found once by doubling 1 to the largest finite power
// of two and multiplying by the largest significand.
[[nodiscard]] double dbl_max() noexcept;

// x·2^k as the C library's scalbn computes it: exact unless the result overflows or falls
// below the normal range, where it is rounded once.
[[nodiscard]] double scalbn(double x, int k) noexcept;

// The binary exponent of the leading bit of |x| (floor(log2 |x|) without rounding, also for a
// subnormal x). Requires: x finite and non-zero.
[[nodiscard]] int ilogb(double x) noexcept;

// The smallest c with 2^c ≥ n; 0 for n ≤ 1.
[[nodiscard]] int ceil_log2(std::uint64_t n) noexcept;

// The exponent of the leading bit of x, plus one unless x is an exact power of two.
// Requires: x positive and finite.
[[nodiscard]] int ceil_log2(double x) noexcept;

// values[i] := values[i]·2^k for every entry, each with scalbn.
void scale_by_power_of_two(std::span<double> values, int k) noexcept;

// A float64 significand with an exponent of its own: m·2^e with m = ±0 or 0.5 ≤ |m| < 1. Each
// operation rounds as float64 arithmetic does in the normal range, and no value overflows or
// underflows, so a computation that would leave the range keeps every bit of its own. An addend
// more than 2^1074 times smaller than the other is lost below the sum's last bit.
struct Wide {
    double m;
    long e;
};
// m·2^e in the form above (frexp leaves ±inf and NaN as they are).
[[nodiscard]] inline Wide normalised(double m, long e) noexcept {
    int carry = 0;
    const double n = std::frexp(m, &carry);
    return {n, n == 0.0 ? 0 : e + carry};
}
[[nodiscard]] inline Wide wide_of(double x) noexcept { return normalised(x, 0); }
[[nodiscard]] inline Wide wide_mul(Wide a, Wide b) noexcept { return normalised(a.m * b.m, a.e + b.e); }
// Requires: b non-zero.
[[nodiscard]] inline Wide wide_div(Wide a, Wide b) noexcept { return normalised(a.m / b.m, a.e - b.e); }
[[nodiscard]] Wide wide_sub(Wide a, Wide b) noexcept;
// a·2^k rounded once to float64: ±inf beyond the range, rounded to the subnormal grid below it.
// Past the bounds of int scalbln saturates all the same.
[[nodiscard]] inline double narrow(Wide a, long k = 0) noexcept {
    return std::scalbln(a.m, std::clamp<long>(a.e + k, INT_MIN, INT_MAX));
}

// The largest k ≥ 0 with x·2^-k exact: x's lowest set bit may sink to 2^-1074 and no further.
// no_scale_limit for ±0, which every scale keeps. Requires: x finite.
inline constexpr int no_scale_limit = 1 << 30;
[[nodiscard]] int exact_scale_limit(double x) noexcept;
// The least exact_scale_limit over the values (no_scale_limit for none).
[[nodiscard]] int exact_scale_limit(std::span<const double> values) noexcept;

}  // namespace kavrel_ops::application::linalg::scaling::exponent
