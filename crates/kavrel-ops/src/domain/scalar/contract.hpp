// The element-type interface through which the array operations reach the SIMD slice kernels,
// for float and double. Every operation checks its slice lengths, then picks on each call the
// AVX-512F kernel, else the AVX2+FMA kernel, else a portable loop (cpu_features::kernel_path()),
// and always produces its result. Resolved at compile time: generic code calls Scalar<T> directly.
// The members are defined in impls.cpp; the portable loops are in fallback.hpp.
#pragma once

#include <concepts>
#include <span>

namespace kavrel_ops::domain::scalar::contract {

template <class T>
concept ScalarElement = std::same_as<T, float> || std::same_as<T, double>;

template <ScalarElement T>
struct Scalar;

// Numerical contract shared by both element types:
// - axpy_slice: out[i] = fma(alpha, x[i], out[i]), one rounding per element, the same bits on
//   every path; out is read before it is overwritten, and alpha = 0 still rewrites every element.
// - dot_slice: Σ a[i]·b[i] in the fixed order of the path taken (zubrin's isa/streaming.hpp for
//   the kernels, fallback::dot_portable otherwise). The order repeats exactly on one machine;
//   the last bits may differ between an AVX-512F, an AVX2+FMA and a portable machine. Empty: +0.
// A length mismatch is the caller's broken invariant: an internal error naming the operation and
// both lengths, thrown before anything is written.

template <>
struct Scalar<float> {
    // Requires: x.size() == out.size() ("axpy_slice: x.len() != out.len()").
    static void axpy_slice(std::span<const float> x, std::span<float> out, float alpha);
    // Requires: a.size() == b.size() ("dot_slice: a.len() != b.len()").
    [[nodiscard]] static float dot_slice(std::span<const float> a, std::span<const float> b);

    // out[i] = a[i] op b[i], one IEEE operation per element, the same bits on every path.
    // Requires: a.size() == b.size() ("<op>_slice: a.len() != b.len()"), then
    // out.size() == a.size() exactly ("<op>_slice: output length mismatch").
    // Requires: out does not overlap a or b.
    static void add_slice(std::span<const float> a, std::span<const float> b, std::span<float> out);
    static void sub_slice(std::span<const float> a, std::span<const float> b, std::span<float> out);
    static void mul_slice(std::span<const float> a, std::span<const float> b, std::span<float> out);
    static void div_slice(std::span<const float> a, std::span<const float> b, std::span<float> out);
};

template <>
struct Scalar<double> {
    // Requires: x.size() == out.size() ("axpy_slice: x.len() != out.len()").
    static void axpy_slice(std::span<const double> x, std::span<double> out, double alpha);
    // Requires: a.size() == b.size() ("dot_slice: a.len() != b.len()").
    [[nodiscard]] static double dot_slice(std::span<const double> a, std::span<const double> b);
};

}  // namespace kavrel_ops::domain::scalar::contract
