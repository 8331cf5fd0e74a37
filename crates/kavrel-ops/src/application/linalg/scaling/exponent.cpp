#include "kavrel_ops/application/linalg/scaling/exponent.hpp"

#include <bit>
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

}  // namespace kavrel_ops::application::linalg::scaling::exponent
