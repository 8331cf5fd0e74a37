// Operand check of the dense row-major matrix product C += A·B (A m×k, B k×n, C m×n).
// The products are formed with overflow detection: an overflow rejects, it never wraps.
#pragma once

#include <cstdint>

#include "zubrin_simd_core/error.hpp"

namespace zubrin_simd_core::tiling::gemm {

using error::SimdError;

// Forms m·k, k·n and m·n in that order (any overflow: mismatch); success when
// a_len >= m·k, b_len >= k·n and c_len >= m·n, else mismatch. Never output_too_short.
[[nodiscard]] SimdError check_tiled_gemm_dimensions(std::uint64_t a_len, std::uint64_t b_len, std::uint64_t c_len,
                                                    std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept;

}  // namespace zubrin_simd_core::tiling::gemm
