#include "zubrin_simd_core/tiling/gemm.hpp"

namespace zubrin_simd_core::tiling::gemm {

SimdError check_tiled_gemm_dimensions(std::uint64_t a_len, std::uint64_t b_len, std::uint64_t c_len,
                                      std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept {
    std::uint64_t a_needed = 0;
    std::uint64_t b_needed = 0;
    std::uint64_t c_needed = 0;
    if (__builtin_mul_overflow(m, k, &a_needed)) return SimdError::mismatch;
    if (__builtin_mul_overflow(k, n, &b_needed)) return SimdError::mismatch;
    if (__builtin_mul_overflow(m, n, &c_needed)) return SimdError::mismatch;
    const bool fits = a_len >= a_needed && b_len >= b_needed && c_len >= c_needed;
    return fits ? SimdError::success : SimdError::mismatch;
}

}  // namespace zubrin_simd_core::tiling::gemm
