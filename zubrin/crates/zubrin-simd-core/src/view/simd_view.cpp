#include "zubrin_simd_core/view/simd_view.hpp"

namespace zubrin_simd_core::view::simd_view {

SimdError check_lengths_equal(std::uint64_t a_len, std::uint64_t b_len) noexcept {
    return a_len == b_len ? SimdError::success : SimdError::mismatch;
}

SimdError check_output_length(std::uint64_t needed, std::uint64_t out_len) noexcept {
    return out_len >= needed ? SimdError::success : SimdError::output_too_short;
}

}  // namespace zubrin_simd_core::view::simd_view
