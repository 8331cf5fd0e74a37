// The slice kernels of the CPU path, chosen once, for loops that make thousands of calls on
// lengths they have proven: a factorisation or a solve takes the table once and calls the inner
// loops directly, without choosing the path and checking the lengths again on every call, which
// costs more than a short kernel itself. The same kernels as the Scalar operations, so the same bits.
#pragma once

#include <cstddef>

#include "kavrel_ops/domain/scalar/contract.hpp"

namespace kavrel_ops::domain::scalar::slice_kernels {

using contract::ScalarElement;

template <ScalarElement T>
struct SliceKernels {
    // Scalar<T>::dot_slice of two runs of n elements.
    T (*dot)(const T* a, const T* b, std::size_t n) noexcept;
    // Scalar<T>::axpy_slice: out[i] = fma(alpha, x[i], out[i]) for i < n.
    void (*axpy)(const T* x, T* out, std::size_t n, T alpha) noexcept;
    // out[i] = out[i] + alpha·x[i] for i < n, the product and the sum each rounded: the plain
    // multiply-and-add row updates of the Householder QR, the same bits as the scalar loop.
    void (*axpy_unfused)(const T* x, T* out, std::size_t n, T alpha) noexcept;
    // Scalar<T>::tiled_gemm: C += A·B for dense row-major A (m×k), B (k×n) and C (m×n), for the
    // items of a batch, each a product too small to bear the path choice and the length checks.
    void (*tiled_gemm)(const T* a, const T* b, T* c, std::size_t m, std::size_t n, std::size_t k) noexcept;
};

// The kernels of the path every Scalar operation takes now (cpu_features::kernel_path()).
// Requires of the caller: the runs it passes hold n elements each (m·k, k·n and m·n for the
// product), out overlaps no input.
template <ScalarElement T>
[[nodiscard]] const SliceKernels<T>& current() noexcept;

}  // namespace kavrel_ops::domain::scalar::slice_kernels
