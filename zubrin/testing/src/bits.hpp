// Bit comparison of floating-point results for the kernel and Scalar tests: where the
// arithmetic is fixed, results must match bit for bit, with any NaN matching any NaN, and a
// mismatch is reported with both values and their bit patterns.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <type_traits>

namespace zubrin_testing::bits {

template <class T>
using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;

template <class T>
Bits<T> bits_of(T value) {
    return std::bit_cast<Bits<T>>(value);
}

// Bit equality; any NaN matches any NaN (which operand's payload survives an add is not fixed).
template <class T>
bool same_bits(T x, T y) {
    if (std::isnan(x) && std::isnan(y)) return true;
    return bits_of(x) == bits_of(y);
}

template <class T>
testing::AssertionResult bits_equal(T actual, T expected) {
    if (same_bits(actual, expected)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "actual " << actual << " (bits 0x" << std::hex << bits_of(actual)
                                       << ") expected " << expected << " (bits 0x" << bits_of(expected) << ")";
}

}  // namespace zubrin_testing::bits
