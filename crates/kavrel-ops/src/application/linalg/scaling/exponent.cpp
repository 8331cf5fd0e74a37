#include "kavrel_ops/application/linalg/scaling/exponent.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>

namespace kavrel_ops::application::linalg::scaling::exponent {

namespace {

double halve_to_safmin() noexcept {
    double value = 1.0;
    for (;;) {
        const double half = value * 0.5;
        if (half == 0.0 || half + half * eps == half) return value;
        value = half;
    }
}

double double_to_max() noexcept {
    double value = 1.0;
    for (;;) {
        const double twice = value * 2.0;
        if (!std::isfinite(twice)) return value * 1.9999999999999998;
        value = twice;
    }
}

}  // namespace

double safmin() noexcept {
    static const double value = halve_to_safmin();
    return value;
}

double dbl_max() noexcept {
    static const double value = double_to_max();
    return value;
}

double scalbn(double x, int k) noexcept { return std::scalbn(x, k); }

int ilogb(double x) noexcept { return std::ilogb(x); }

int ceil_log2(std::uint64_t n) noexcept {
    if (n <= 1) return 0;
    return static_cast<int>(std::bit_width(n - 1));
}

int ceil_log2(double x) noexcept {
    const int e = ilogb(x);
    return scalbn(1.0, e) == x ? e : e + 1;
}

void scale_by_power_of_two(std::span<double> values, int k) noexcept {
    for (double& v : values) v = scalbn(v, k);
}

Wide wide_sub(Wide a, Wide b) noexcept {
    if (b.m == 0.0) return a;
    if (a.m == 0.0) return {-b.m, b.e};
    // The smaller operand is aligned to the larger one's exponent; past 2^-1100 it is below every
    // bit of the difference.
    constexpr long lost = 1100;
    if (a.e >= b.e) return normalised(a.m - std::scalbn(b.m, static_cast<int>(-std::min(a.e - b.e, lost))), a.e);
    return normalised(std::scalbn(a.m, static_cast<int>(-std::min(b.e - a.e, lost))) - b.m, b.e);
}

int exact_scale_limit(double x) noexcept {
    constexpr std::uint64_t fraction_bits = (std::uint64_t{1} << 52) - 1;
    const std::uint64_t magnitude = std::bit_cast<std::uint64_t>(x) & ~(std::uint64_t{1} << 63);
    if (magnitude == 0) return no_scale_limit;
    const auto biased = static_cast<int>(magnitude >> 52);
    const std::uint64_t fraction = magnitude & fraction_bits;
    // A subnormal is fraction·2^-1074; a normal (2^52 + fraction)·2^(biased − 1075).
    if (biased == 0) return std::countr_zero(fraction);
    return std::countr_zero(fraction | (fraction_bits + 1)) + biased - 1;
}

int exact_scale_limit(std::span<const double> values) noexcept {
    int limit = no_scale_limit;
    for (double v : values) limit = std::min(limit, exact_scale_limit(v));
    return limit;
}

}  // namespace kavrel_ops::application::linalg::scaling::exponent
