#include "kavrel_ops/application/linalg/scaling/norm_ratio.hpp"

#include <algorithm>
#include <cmath>

#include "kavrel_ops/application/linalg/scaling/exponent.hpp"

namespace kavrel_ops::application::linalg::scaling::norm_ratio {

namespace ex = exponent;

PairwiseSquares pairwise_squares(std::span<const double> x, double scale) noexcept {
    if (x.empty()) return {0, 0.0};
    if (x.size() == 1) {
        const double t = x[0] / scale;  // divide first, then square
        return {0, t * t};
    }
    const std::size_t h = x.size() / 2;
    const PairwiseSquares left = pairwise_squares(x.first(h), scale);
    const PairwiseSquares right = pairwise_squares(x.subspan(h), scale);
    const std::int32_t emax = std::max(left.exponent, right.exponent);
    const double m = ex::scalbn(left.mantissa, left.exponent - emax) + ex::scalbn(right.mantissa, right.exponent - emax);
    if (m >= 2.0) return {emax + 1, m * 0.5};
    return {emax, m};
}

std::optional<RatioSum> RatioSum::of(std::span<const double> x, double scale) noexcept {
    const std::uint64_t n = x.size();
    const int e1 = ex::ceil_log2(4 * static_cast<std::uint64_t>(ex::ceil_log2(std::max<std::uint64_t>(n, 1))) + 12) - 53;
    // ceil_log2(max(4n, 1)) + ceil_log2(safmin) − 52, with ceil_log2(4n) = ceil_log2(n) + 2 so
    // that 4n is never formed.
    const int e2 = (n == 0 ? 0 : ex::ceil_log2(n) + 2) + ex::ceil_log2(ex::safmin()) - 52;
    const double bound = ex::scalbn(1.0, std::max(e1, e2) + 1);
    if (2.0 * bound >= 1.0) return std::nullopt;
    const PairwiseSquares sum = pairwise_squares(x, scale);
    if (!(sum.mantissa > 0.0) || !std::isfinite(sum.mantissa)) return std::nullopt;
    return RatioSum{sum.mantissa, bound, sum.exponent};
}

std::int32_t half_ceil_log2(std::uint64_t count) noexcept {
    return (ex::ceil_log2(std::max<std::uint64_t>(count, 1)) + 1) >> 1;
}

std::int32_t norm_ratio_log2(std::span<const double> x, double scale) noexcept {
    const std::int32_t cap = half_ceil_log2(x.size());
    const std::optional<RatioSum> sum = RatioSum::of(x, scale);
    if (!sum) return cap;
    int c = ex::ceil_log2(sum->mantissa);
    // A mantissa just below 2^c may be the rounded-down image of one at or above it.
    const double power = ex::scalbn(1.0, c);
    if (power > sum->mantissa && sum->mantissa > (1.0 - sum->bound) * power) ++c;
    return std::min(cap, (sum->exponent + c + 1) / 2);
}

}  // namespace kavrel_ops::application::linalg::scaling::norm_ratio
