// Scalar<T> for float and double, one definition each: the length assertions, then the family's
// selector (dispatch.hpp), which picks the AVX-512F kernel, the AVX2+FMA kernel or the portable loop.
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

// "invariant check failed: <what> (left == right failed; left: 3, right: 4)"
void require_equal(std::size_t left, std::size_t right, std::string_view what) {
    if (left == right) return;
    std::string message = "invariant check failed: ";
    message += what;
    message += " (left == right failed; left: ";
    message += kavrel::domain::error::format_decimal(left);
    message += ", right: ";
    message += kavrel::domain::error::format_decimal(right);
    message += ")";
    kavrel::domain::error::fail_invariant(message);
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

template <ScalarElement T>
void Scalar<T>::axpy_slice(std::span<const T> x, std::span<T> out, T alpha) {
    require_equal(x.size(), out.size(), "axpy_slice: x.len() != out.len()");
    // A refusing kernel has written nothing; after the assertion above this cannot happen.
    if (dispatch::dispatch_axpy(x, out, alpha) != SimdError::success) fallback::axpy_unfused(x, out, alpha);
}

template <ScalarElement T>
T Scalar<T>::dot_slice(std::span<const T> a, std::span<const T> b) {
    require_equal(a.size(), b.size(), "dot_slice: a.len() != b.len()");
    const auto result = dispatch::dispatch_dot(a, b);
    return result ? *result : fallback::dot_unfused(a, b);
}

// A refused block (status mismatch) has written nothing, and the operation reports nothing.
template <ScalarElement T>
void Scalar<T>::axpy_rows(std::span<const T> coeffs, std::span<const T> x, std::span<T> out,
                          std::uint64_t out_stride, std::uint64_t rows, std::uint64_t cols) noexcept {
    (void)dispatch::dispatch_axpy_rows(coeffs, x, out, out_stride, rows, cols);
}

template <ScalarElement T>
void Scalar<T>::axpy_rows_batch(std::span<const T> coeffs, std::span<const T> x, std::span<T> out,
                                std::uint64_t out_stride, std::uint64_t rows, std::uint64_t k,
                                std::uint64_t cols) noexcept {
    (void)dispatch::dispatch_axpy_rows_batch(coeffs, x, out, out_stride, rows, k, cols);
}

// A refused product (status mismatch) has left C unchanged, and the operation reports nothing.
template <ScalarElement T>
void Scalar<T>::tiled_gemm(std::span<const T> a, std::span<const T> b, std::span<T> c, std::uint64_t m,
                           std::uint64_t n, std::uint64_t k) noexcept {
    (void)dispatch::dispatch_tiled_gemm(a, b, c, m, n, k);
}

template <ScalarElement T>
void Scalar<T>::add_slice(std::span<const float> a, std::span<const float> b, std::span<float> out)
    requires std::same_as<T, float>
{
    elementwise<ew::Add>(a, b, out, {"add_slice: a.len() != b.len()", "add_slice: output length mismatch"});
}

template <ScalarElement T>
void Scalar<T>::sub_slice(std::span<const float> a, std::span<const float> b, std::span<float> out)
    requires std::same_as<T, float>
{
    elementwise<ew::Sub>(a, b, out, {"sub_slice: a.len() != b.len()", "sub_slice: output length mismatch"});
}

template <ScalarElement T>
void Scalar<T>::mul_slice(std::span<const float> a, std::span<const float> b, std::span<float> out)
    requires std::same_as<T, float>
{
    elementwise<ew::Mul>(a, b, out, {"mul_slice: a.len() != b.len()", "mul_slice: output length mismatch"});
}

template <ScalarElement T>
void Scalar<T>::div_slice(std::span<const float> a, std::span<const float> b, std::span<float> out)
    requires std::same_as<T, float>
{
    elementwise<ew::Div>(a, b, out, {"div_slice: a.len() != b.len()", "div_slice: output length mismatch"});
}

// The float-only slice operations are constrained members, so Scalar<double> instantiates none of them.
template struct Scalar<float>;
template struct Scalar<double>;

}  // namespace kavrel_ops::domain::scalar::contract
