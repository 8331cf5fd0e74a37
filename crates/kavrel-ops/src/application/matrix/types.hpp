// What every matrix product C = A·B of the system is checked against before anything is
// written: the three shapes fit together, A and B fit their storage, and C is a writable view
// of its own that fits its storage without aliasing. The result, MatmulDims, is the product's
// geometry; with it a kernel addresses any element of the three operands without further checks.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kavrel/application/view/immutable.hpp"
#include "kavrel/application/view/mutable_core.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"

namespace kavrel_ops::application::matrix::types {

using kavrel::application::view::immutable::ArrayView;
using kavrel::application::view::mutable_core::ArrayViewMut;
using kavrel::domain::error::Result;
using kavrel_ops::domain::scalar::contract::ScalarElement;

// Whether a product replaces C or adds to it. Every caller passes a constant: the Python
// functions, the batched product and the matrix exponential overwrite, the LU trailing update adds.
enum class Accumulate : std::uint8_t {
    overwrite = 0,  // C = A·B; C's previous values are never read
    add = 1,        // C = C + A·B
};

// The validated geometry of one product: A is m×k, B k×n, C m×n; element (i, j) of operand X
// lies at X_base[X_offset + i·X_row_stride + j·X_col_stride]. Holds no pointers.
struct MatmulDims {
    std::uint64_t m;
    std::uint64_t k;
    std::uint64_t n;
    std::int64_t a_row_stride;
    std::int64_t a_col_stride;
    std::int64_t b_row_stride;
    std::int64_t b_col_stride;
    std::int64_t c_row_stride;
    std::int64_t c_col_stride;
    std::uint64_t a_offset;
    std::uint64_t b_offset;
    std::uint64_t c_offset;
};

// Checks, in this order, the first failure winning and nothing written:
// - A.cols = B.rows, A.rows = C.rows, B.cols = C.cols, else ShapeMismatch {lhs: A's shape,
//   rhs: B's shape} (C's shape is never named);
// - validate_storage of A, then of B, unchanged;
// - C through index::validate_mutable_output with the label "matmul": a shared window, C's
//   storage, the injectivity test's error, a non-injective layout.
// Instances: float, double.
template <ScalarElement T>
[[nodiscard]] Result<MatmulDims> validate_matmul(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b,
                                                 const ArrayViewMut<T, 2>& c);

// Storage index of element (i, j) of an operand of a validated product. The arithmetic wraps
// modulo 2^64, which gives the exact index whenever the element lies inside its storage.
constexpr std::uint64_t element_index(std::uint64_t offset, std::int64_t row_stride, std::int64_t col_stride,
                                      std::uint64_t i, std::uint64_t j) noexcept {
    return offset + i * static_cast<std::uint64_t>(row_stride) + j * static_cast<std::uint64_t>(col_stride);
}

// `count` elements from storage index `start`. An empty run never forms a pointer from `start`,
// which an operand without elements may place anywhere.
template <class T>
std::span<T> run(T* base, std::uint64_t start, std::uint64_t count) noexcept {
    if (count == 0) return {};
    return {base + start, static_cast<std::size_t>(count)};
}

// A signed stride compared with an unsigned extent, exactly (an extent above the signed range
// equals no stride and exceeds every one).
constexpr bool stride_equals(std::int64_t stride, std::uint64_t extent) noexcept {
    return stride >= 0 && static_cast<std::uint64_t>(stride) == extent;
}
constexpr bool stride_below(std::int64_t stride, std::uint64_t extent) noexcept {
    return stride < 0 || static_cast<std::uint64_t>(stride) < extent;
}

// Which exactly zero entries of A a product may leave out. A[i, p] = ±0 adds 0·B[p, j] = ±0 to
// every C[i, j] while row p of B is finite, which changes no value (leaving it out only keeps a
// −0.0 of an accumulated C that adding +0.0 would make +0.0, as these paths always did), but
// NaN where that row holds an infinity or a NaN. Each row's verdict is found on first need and
// kept for the rows of C that share the record; one record serves one thread.
template <class T>
struct ZeroSkip {
    // Row p of B: n elements from storage index offset + p·row_stride, col_stride apart.
    const T* b;
    std::uint64_t offset;
    std::int64_t row_stride;
    std::int64_t col_stride;
    std::uint64_t n;
    std::uint64_t k;
    std::vector<std::uint8_t> verdicts = {};  // per row of B: 0 not yet known, 1 finite, 2 not; k once used
};

// True when row p of B is finite, found on first need. Kept out of line: it runs only for zeros.
template <class T>
[[gnu::noinline]] bool finite_row(ZeroSkip<T>& z, std::uint64_t p) {
    if (z.verdicts.empty()) z.verdicts.assign(static_cast<std::size_t>(z.k), 0);
    std::uint8_t& verdict = z.verdicts[static_cast<std::size_t>(p)];
    if (verdict == 0) {
        verdict = 1;
        for (std::uint64_t j = 0; j < z.n; ++j)
            if (!std::isfinite(z.b[element_index(z.offset, z.row_stride, z.col_stride, p, j)])) {
                verdict = 2;
                break;
            }
    }
    return verdict == 1;
}

// True when A's entry `a` in column p may be left out: it is zero and row p of B is finite.
template <class T>
inline bool skips(ZeroSkip<T>& z, T a, std::uint64_t p) {
    return a == T{} && finite_row(z, p);
}

extern template Result<MatmulDims> validate_matmul<float>(const ArrayView<float, 2>&, const ArrayView<float, 2>&,
                                                          const ArrayViewMut<float, 2>&);
extern template Result<MatmulDims> validate_matmul<double>(const ArrayView<double, 2>&, const ArrayView<double, 2>&,
                                                           const ArrayViewMut<double, 2>&);

}  // namespace kavrel_ops::application::matrix::types
