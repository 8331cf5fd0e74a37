// Operation markers of the element-wise binary kernels: empty types that pick a + b, a − b,
// a · b or a / b at compile time, so each operation gets its own loop without a run-time switch.
#pragma once

#include <concepts>

namespace zubrin_simd_core::ops::elementwise {

struct Add {};
struct Sub {};
struct Mul {};
struct Div {};

template <class Op>
concept ElementwiseOp = std::same_as<Op, Add> || std::same_as<Op, Sub> || std::same_as<Op, Mul> ||
                        std::same_as<Op, Div>;

}  // namespace zubrin_simd_core::ops::elementwise
