// The one-byte status of every kernel that writes an output slice and of every operand check.
// A kernel that answers anything but `success` has read and written nothing.
#pragma once

#include <cstdint>

namespace zubrin_simd_core::error {

enum class SimdError : std::uint8_t {
    mismatch = 0,          // a length or dimension does not fit, overflowing products included
    output_too_short = 3,  // the output slice is shorter than required
    success = 0xFF,
};

}  // namespace zubrin_simd_core::error
