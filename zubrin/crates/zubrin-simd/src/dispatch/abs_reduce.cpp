#include "zubrin_simd/dispatch/abs_reduce.hpp"

#include <bit>
#include <limits>

namespace zubrin_simd::dispatch::abs_reduce {

namespace {
constexpr std::uint64_t infinity_bits = std::bit_cast<std::uint64_t>(std::numeric_limits<double>::infinity());
}  // namespace

// Any NaN magnitude maps to one quiet NaN, so the result never depends on which NaN came first
// or which lane held it.
double detail::abs_max_from_bits(std::span<const double> x, AbsMaxBitsLoop loop) noexcept {
    const std::uint64_t bits = loop(x.data(), x.size());
    return bits > infinity_bits ? std::numeric_limits<double>::quiet_NaN() : std::bit_cast<double>(bits);
}

namespace dispatch_abs_sum {
double dispatch_abs_sum_avx512f(std::span<const double> x) noexcept {
    return detail::avx512f::abs_sum(x.data(), x.size());
}
double dispatch_abs_sum_avx2_fma(std::span<const double> x) noexcept {
    return detail::avx2_fma::abs_sum(x.data(), x.size());
}
}  // namespace dispatch_abs_sum

namespace dispatch_abs_max {
double dispatch_abs_max_avx512f(std::span<const double> x) noexcept {
    return detail::abs_max_from_bits(x, detail::avx512f::abs_max_bits);
}
double dispatch_abs_max_avx2_fma(std::span<const double> x) noexcept {
    return detail::abs_max_from_bits(x, detail::avx2_fma::abs_max_bits);
}
}  // namespace dispatch_abs_max

}  // namespace zubrin_simd::dispatch::abs_reduce
