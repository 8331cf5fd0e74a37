// The slice kernels of the CPU path, chosen once, for loops that make thousands of calls on
// lengths they have proven: a factorisation or a solve takes the table once and calls the inner
// loops directly, without choosing the path and checking the lengths again on every call, which
// costs more than a short kernel itself. The same kernels as the Scalar operations, so the same bits.
#pragma once

#include <cstddef>

#include "kavrel_ops/domain/scalar/contract.hpp"
#include "zubrin_simd/dispatch/axpy.hpp"
#include "zubrin_simd/dispatch/dot.hpp"
#include "zubrin_simd/dispatch/gemm.hpp"

namespace kavrel_ops::domain::scalar::slice_kernels {

using contract::ScalarElement;

template <class T>
using GemmNest = zubrin_simd::dispatch::gemm::detail::GemmNest<T>;

template <ScalarElement T>
struct SliceKernels {
    // Scalar<T>::dot_slice of two runs of n elements.
    zubrin_simd::dispatch::dot::detail::DotLoop<T> dot;
    // Scalar<T>::axpy_slice: out[i] = fma(alpha, x[i], out[i]) for i < n.
    zubrin_simd::dispatch::axpy::detail::AxpyLoop<T> axpy;
    // out[i] = out[i] + alpha·x[i] for i < n, the product and the sum each rounded: the plain
    // multiply-and-add row updates of the Householder QR, the same bits as the scalar loop.
    zubrin_simd::dispatch::axpy::detail::AxpyLoop<T> axpy_unfused;
    // Scalar<T>::tiled_gemm: C += A·B for dense row-major A (m×k), B (k×n) and C (m×n), for the
    // row blocks of a product and the items of a batch, each too small to bear the path choice
    // and the length checks.
    GemmNest<T> tiled_gemm;
};

// The kernels of the path every Scalar operation takes now (cpu_features::kernel_path()).
// Requires of the caller: the runs it passes hold n elements each (m·k, k·n and m·n for the
// product), out overlaps no input.
template <ScalarElement T>
[[nodiscard]] const SliceKernels<T>& current() noexcept;

}  // namespace kavrel_ops::domain::scalar::slice_kernels
