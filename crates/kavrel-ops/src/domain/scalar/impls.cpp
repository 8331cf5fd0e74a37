// Scalar<float> and Scalar<double>: the length assertions, then the family's selector
// (dispatch.hpp), which picks the AVX-512F kernel, the AVX2+FMA kernel or the portable loop.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"
#include "kavrel_ops/domain/scalar/dispatch.hpp"
#include "kavrel_ops/domain/scalar/fallback.hpp"

namespace kavrel_ops::domain::scalar::contract {

namespace {

namespace ew = zubrin_simd_core::ops::elementwise;
using zubrin_simd_core::error::SimdError;

void append_number(std::string& text, std::size_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    text.append(digits, end);
}

// "invariant check failed: <what> (left == right failed; left: 3, right: 4)"
void require_equal(std::size_t left, std::size_t right, std::string_view what) {
    if (left == right) return;
    std::string message = "invariant check failed: ";
    message += what;
    message += " (left == right failed; left: ";
    append_number(message, left);
    message += ", right: ";
    append_number(message, right);
    message += ")";
    kavrel::domain::error::fail_invariant(message);
}

template <class T>
void axpy(std::span<const T> x, std::span<T> out, T alpha) {
    require_equal(x.size(), out.size(), "axpy_slice: x.len() != out.len()");
    // A refusing kernel has written nothing; after the assertion above this cannot happen.
    if (dispatch::dispatch_axpy(x, out, alpha) != SimdError::success) fallback::axpy_unfused(x, out, alpha);
}

template <class T>
T dot(std::span<const T> a, std::span<const T> b) {
    require_equal(a.size(), b.size(), "dot_slice: a.len() != b.len()");
    const auto result = dispatch::dispatch_dot(a, b);
    return result ? *result : fallback::dot_unfused(a, b);
}

// A refused block (status mismatch) has written nothing, and the operation reports nothing.
template <class T>
void update_rows(std::span<const T> coeffs, std::span<const T> x, std::span<T> out, std::uint64_t out_stride,
                 std::uint64_t rows, std::uint64_t cols) noexcept {
    (void)dispatch::dispatch_axpy_rows(coeffs, x, out, out_stride, rows, cols);
}

template <class T>
void update_rows_batch(std::span<const T> coeffs, std::span<const T> x, std::span<T> out, std::uint64_t out_stride,
                       std::uint64_t rows, std::uint64_t k, std::uint64_t cols) noexcept {
    (void)dispatch::dispatch_axpy_rows_batch(coeffs, x, out, out_stride, rows, k, cols);
}

// A refused product (status mismatch) has left C unchanged, and the operation reports nothing.
template <class T>
void multiply_tiles(std::span<const T> a, std::span<const T> b, std::span<T> c, std::uint64_t m, std::uint64_t n,
                    std::uint64_t k) noexcept {
    (void)dispatch::dispatch_tiled_gemm(a, b, c, m, n, k);
}

struct ElementwiseTexts {
    std::string_view operands;
    std::string_view output;
};

template <ew::ElementwiseOp Op>
void elementwise(std::span<const float> a, std::span<const float> b, std::span<float> out,
                 const ElementwiseTexts& texts) {
    require_equal(a.size(), b.size(), texts.operands);
    // Exact equality, stricter than the kernels, which leave a longer output's tail alone.
    require_equal(a.size(), out.size(), texts.output);
    // Unreachable after the assertions; the portable loop then writes every element.
    if (dispatch::dispatch_elementwise_binary<Op>(a, b, out) != SimdError::success) {
        (void)fallback::elementwise_portable<Op>(a, b, out);
    }
}

}  // namespace

void Scalar<float>::axpy_slice(std::span<const float> x, std::span<float> out, float alpha) { axpy(x, out, alpha); }

float Scalar<float>::dot_slice(std::span<const float> a, std::span<const float> b) { return dot(a, b); }

void Scalar<float>::axpy_rows(std::span<const float> coeffs, std::span<const float> x, std::span<float> out,
                            std::uint64_t out_stride, std::uint64_t rows, std::uint64_t cols) noexcept {
    update_rows(coeffs, x, out, out_stride, rows, cols);
}

void Scalar<float>::axpy_rows_batch(std::span<const float> coeffs, std::span<const float> x, std::span<float> out,
                                  std::uint64_t out_stride, std::uint64_t rows, std::uint64_t k,
                                  std::uint64_t cols) noexcept {
    update_rows_batch(coeffs, x, out, out_stride, rows, k, cols);
}

void Scalar<float>::tiled_gemm(std::span<const float> a, std::span<const float> b, std::span<float> c,
                               std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept {
    multiply_tiles(a, b, c, m, n, k);
}

void Scalar<float>::add_slice(std::span<const float> a, std::span<const float> b, std::span<float> out) {
    elementwise<ew::Add>(a, b, out, {"add_slice: a.len() != b.len()", "add_slice: output length mismatch"});
}

void Scalar<float>::sub_slice(std::span<const float> a, std::span<const float> b, std::span<float> out) {
    elementwise<ew::Sub>(a, b, out, {"sub_slice: a.len() != b.len()", "sub_slice: output length mismatch"});
}

void Scalar<float>::mul_slice(std::span<const float> a, std::span<const float> b, std::span<float> out) {
    elementwise<ew::Mul>(a, b, out, {"mul_slice: a.len() != b.len()", "mul_slice: output length mismatch"});
}

void Scalar<float>::div_slice(std::span<const float> a, std::span<const float> b, std::span<float> out) {
    elementwise<ew::Div>(a, b, out, {"div_slice: a.len() != b.len()", "div_slice: output length mismatch"});
}

void Scalar<double>::axpy_slice(std::span<const double> x, std::span<double> out, double alpha) {
    axpy(x, out, alpha);
}

double Scalar<double>::dot_slice(std::span<const double> a, std::span<const double> b) { return dot(a, b); }

void Scalar<double>::axpy_rows(std::span<const double> coeffs, std::span<const double> x, std::span<double> out,
                            std::uint64_t out_stride, std::uint64_t rows, std::uint64_t cols) noexcept {
    update_rows(coeffs, x, out, out_stride, rows, cols);
}

void Scalar<double>::axpy_rows_batch(std::span<const double> coeffs, std::span<const double> x, std::span<double> out,
                                  std::uint64_t out_stride, std::uint64_t rows, std::uint64_t k,
                                  std::uint64_t cols) noexcept {
    update_rows_batch(coeffs, x, out, out_stride, rows, k, cols);
}

void Scalar<double>::tiled_gemm(std::span<const double> a, std::span<const double> b, std::span<double> c,
                                std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept {
    multiply_tiles(a, b, c, m, n, k);
}

}  // namespace kavrel_ops::domain::scalar::contract
