// Length checks shared by the slice kernels. Each answers with the kernel status byte, so a
// kernel returns the verdict unchanged before it touches any element.
#pragma once

#include <cstdint>

#include "zubrin_simd_core/error.hpp"

namespace zubrin_simd_core::view::simd_view {

using error::SimdError;

// success when a_len == b_len, else mismatch.
[[nodiscard]] SimdError check_lengths_equal(std::uint64_t a_len, std::uint64_t b_len) noexcept;

// success when out_len >= needed, else output_too_short.
[[nodiscard]] SimdError check_output_length(std::uint64_t needed, std::uint64_t out_len) noexcept;

}  // namespace zubrin_simd_core::view::simd_view
