// The element-type interface through which the array operations reach the SIMD slice kernels,
// for float and double. Every operation checks its slice lengths, then picks on each call the
// AVX-512F kernel, else the AVX2+FMA kernel, else a portable loop (its family's selector in
// dispatch.hpp), and always produces its result. Resolved at compile time: generic code calls
// Scalar<T> directly. The members are defined in impls.cpp; the portable loops are in fallback.hpp.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>

namespace kavrel_ops::domain::scalar::contract {

template <class T>
concept ScalarElement = std::same_as<T, float> || std::same_as<T, double>;

// Numerical contract shared by both element types:
// - axpy_slice: out[i] = fma(alpha, x[i], out[i]), one rounding per element, the same bits on
//   every path; out is read before it is overwritten, and alpha = 0 still rewrites every element.
// - dot_slice: Σ a[i]·b[i] in the fixed order of the path taken (zubrin's isa/streaming.hpp for
//   the kernels, fallback::dot_portable otherwise). The order repeats exactly on one machine;
//   the last bits may differ between an AVX-512F, an AVX2+FMA and a portable machine. Empty: +0.
// A length mismatch is the caller's broken invariant: an internal error naming the operation and
// both lengths, thrown before anything is written.
// - axpy_rows / axpy_rows_batch update a strided output block whose row r is
//   out[r·out_stride .. r·out_stride + cols): each element gets acc = fma(x[p·cols + j],
//   coeffs[p·rows + r], acc) for the terms p = 0 .. k − 1 in order (k = 1 for axpy_rows), each
//   rounded once, the same bits on every path. Elements between rows and past the block are never
//   touched. They raise nothing: rows, cols or k zero, an overflowing extent, out_stride < cols,
//   coeffs shorter than rows·k, x shorter than k·cols or out shorter than (rows − 1)·out_stride +
//   cols leave out unchanged and return normally, so callers check their own shapes.
//   Requires: out does not overlap coeffs or x.
// - tiled_gemm: C += A·B for dense row-major A (m×k), B (k×n) and C (m×n), row strides k, n and
//   n. Every C(i, j) becomes the chain c ← fma(a(i, p), b(p, j), c) over p = 0 … k − 1 from its
//   value on entry, the same bits on every path; a caller that wants A·B alone clears C first.
//   Elements past m·k of a, k·n of b and m·n of c are never touched. It raises nothing: a, b or
//   c shorter than m·k, k·n or m·n, or one of those products overflowing, leaves C unchanged.
//   Requires: c does not overlap a or b.

template <ScalarElement T>
struct Scalar {
    // Requires: x.size() == out.size() ("axpy_slice: x.len() != out.len()").
    static void axpy_slice(std::span<const T> x, std::span<T> out, T alpha);
    // Requires: a.size() == b.size() ("dot_slice: a.len() != b.len()").
    [[nodiscard]] static T dot_slice(std::span<const T> a, std::span<const T> b);

    // out[r·out_stride + j] = fma(x[j], coeffs[r], out[r·out_stride + j]) for r < rows, j < cols.
    static void axpy_rows(std::span<const T> coeffs, std::span<const T> x, std::span<T> out, std::uint64_t out_stride,
                          std::uint64_t rows, std::uint64_t cols) noexcept;
    // Up to four such updates in one pass: coeffs term-major (coeffs[p·rows + r]), x the k vectors
    // of cols elements back to back. Callers pass k from 1 to 4; a larger k applies all k terms.
    static void axpy_rows_batch(std::span<const T> coeffs, std::span<const T> x, std::span<T> out,
                                std::uint64_t out_stride, std::uint64_t rows, std::uint64_t k,
                                std::uint64_t cols) noexcept;

    static void tiled_gemm(std::span<const T> a, std::span<const T> b, std::span<T> c, std::uint64_t m,
                           std::uint64_t n, std::uint64_t k) noexcept;

    // float only: out[i] = a[i] op b[i], one IEEE operation per element, the same bits on every path.
    // Requires: a.size() == b.size() ("<op>_slice: a.len() != b.len()"), then
    // out.size() == a.size() exactly ("<op>_slice: output length mismatch").
    // Requires: out does not overlap a or b.
    static void add_slice(std::span<const float> a, std::span<const float> b, std::span<float> out)
        requires std::same_as<T, float>;
    static void sub_slice(std::span<const float> a, std::span<const float> b, std::span<float> out)
        requires std::same_as<T, float>;
    static void mul_slice(std::span<const float> a, std::span<const float> b, std::span<float> out)
        requires std::same_as<T, float>;
    static void div_slice(std::span<const float> a, std::span<const float> b, std::span<float> out)
        requires std::same_as<T, float>;
};

// Both element types are instantiated once, in impls.cpp.
extern template struct Scalar<float>;
extern template struct Scalar<double>;

}  // namespace kavrel_ops::domain::scalar::contract
