// Fixtures shared by the linear-algebra tests: dense row-major test matrices (random, graded,
// Hilbert, symmetric, symmetric positive-definite), views over them with hand-built strides, and
// the reference arithmetic of the residual checks (plain loops, long double sums).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel/domain/layout/layout.hpp"

namespace linalg_test {

using kavrel::application::array::types::Array;
using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::KavrelError;
using kavrel::domain::layout::Layout;

inline constexpr double eps = 0x1p-52;

// A dense row-major matrix: element (i, j) at data[i·cols + j].
struct Matrix {
    std::uint64_t rows = 0;
    std::uint64_t cols = 0;
    std::vector<double> data;

    Matrix() = default;
    Matrix(std::uint64_t r, std::uint64_t c) : rows(r), cols(c), data(r * c) {}
    Matrix(std::uint64_t r, std::uint64_t c, std::vector<double> values) : rows(r), cols(c), data(std::move(values)) {}
    double& operator()(std::uint64_t i, std::uint64_t j) { return data[i * cols + j]; }
    double operator()(std::uint64_t i, std::uint64_t j) const { return data[i * cols + j]; }

    Array<double, 2> array() const { return *Array<double, 2>::from_vec({rows, cols}, data); }
};

// The elements of an array in storage order, and an array with its row-major layout as a Matrix.
inline std::vector<double> elements(const Array<double, 2>& a) { return {a.data(), a.data() + a.len()}; }
inline Matrix matrix_of(const Array<double, 2>& a) { return {a.layout.shape[0], a.layout.shape[1], a.storage.data}; }

inline Matrix identity(std::uint64_t n) {
    Matrix m(n, n);
    for (std::uint64_t i = 0; i < n; ++i) m(i, i) = 1.0;
    return m;
}

// Entries uniform in [-1, 1), times `scale`.
inline Matrix random_matrix(std::uint64_t rows, std::uint64_t cols, std::uint64_t seed, double scale = 1.0) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    Matrix m(rows, cols);
    for (double& x : m.data) x = scale * unit(rng);
    return m;
}

// Random symmetric entries in [-1, 1), the upper triangle mirrored: indefinite.
inline Matrix symmetric(std::uint64_t n, std::uint64_t seed) {
    Matrix m = random_matrix(n, n, seed);
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t j = 0; j < i; ++j) m(i, j) = m(j, i);
    return m;
}

// Random entries scaled by 2^-(i + j): magnitudes spread over 2(n − 1) binary orders.
inline Matrix graded(std::size_t n, std::uint64_t seed) {
    Matrix m = random_matrix(n, n, seed);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) m(i, j) = std::ldexp(m(i, j), -static_cast<int>(i + j));
    return m;
}

inline Matrix hilbert(std::size_t n) {
    Matrix m(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) m(i, j) = 1.0 / static_cast<double>(i + j + 1);
    return m;
}

// B·Bᵀ + n·I for a random B: symmetric positive-definite and well conditioned.
inline Matrix spd(std::size_t n, std::uint64_t seed) {
    const Matrix b = random_matrix(n, n, seed);
    Matrix m(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            long double s = 0;
            for (std::size_t k = 0; k < n; ++k) s += static_cast<long double>(b(i, k)) * b(j, k);
            m(i, j) = static_cast<double>(s) + (i == j ? static_cast<double>(n) : 0.0);
        }
    return m;
}

inline Matrix multiply(const Matrix& a, const Matrix& b) {
    Matrix c(a.rows, b.cols);
    for (std::size_t i = 0; i < a.rows; ++i)
        for (std::size_t j = 0; j < b.cols; ++j) {
            long double s = 0;
            for (std::size_t k = 0; k < a.cols; ++k) s += static_cast<long double>(a(i, k)) * b(k, j);
            c(i, j) = static_cast<double>(s);
        }
    return c;
}

inline std::vector<double> multiply(const Matrix& a, std::span<const double> x) {
    std::vector<double> y(a.rows);
    for (std::size_t i = 0; i < a.rows; ++i) {
        long double s = 0;
        for (std::size_t k = 0; k < a.cols; ++k) s += static_cast<long double>(a(i, k)) * x[k];
        y[i] = static_cast<double>(s);
    }
    return y;
}

// Every entry times 2^k: exact while the products stay normal, as the scaling gate's are.
inline std::vector<double> times_power_of_two(std::vector<double> v, int k) {
    for (double& x : v) x = std::ldexp(x, k);
    return v;
}
inline Matrix times_power_of_two(const Matrix& m, int k) { return {m.rows, m.cols, times_power_of_two(m.data, k)}; }

inline Matrix transposed(const Matrix& a) {
    Matrix t(a.cols, a.rows);
    for (std::uint64_t i = 0; i < a.rows; ++i)
        for (std::uint64_t j = 0; j < a.cols; ++j) t(j, i) = a(i, j);
    return t;
}

inline long double sum_of_squares(std::span<const double> v) {
    long double s = 0;
    for (double x : v) s += static_cast<long double>(x) * x;
    return s;
}

inline double frobenius(std::span<const double> v) { return static_cast<double>(std::sqrt(sum_of_squares(v))); }
inline double frobenius(const Matrix& m) { return frobenius(m.data); }

inline double max_abs(std::span<const double> v) {
    double m = 0.0;
    for (double x : v) m = std::max(m, std::fabs(x));
    return m;
}
inline double max_abs(const Matrix& m) { return max_abs(m.data); }

inline double distance(std::span<const double> a, std::span<const double> b) {
    long double s = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const long double d = static_cast<long double>(a[i]) - b[i];
        s += d * d;
    }
    return static_cast<double>(std::sqrt(s));
}

// ‖A·x − b‖ / (n·(‖A‖·‖x‖ + ‖b‖)·eps): the normwise backward error of x, scaled.
inline double backward_error(const Matrix& a, std::span<const double> x, std::span<const double> b) {
    const double scale = static_cast<double>(a.rows) * (frobenius(a) * frobenius(x) + frobenius(b)) * eps;
    return distance(multiply(a, x), b) / scale;
}

// ‖A·X − I‖_F / (n·‖A‖_F·‖X‖_F·eps).
inline double inverse_residual(const Matrix& a, const Matrix& x) {
    const double scale = static_cast<double>(a.rows) * frobenius(a) * frobenius(x) * eps;
    return distance(multiply(a, x).data, identity(a.rows).data) / scale;
}

inline ArrayView<double, 2> view_of(const Matrix& m) {
    return kavrel::domain::error::expect(
        ArrayView<double, 2>::from_parts(m.data.data(), m.data.size(),
                                         Layout<2>{{m.rows, m.cols},
                                                   {static_cast<std::int64_t>(m.cols), 1},
                                                   0}),
        "test view");
}

// One placement of a matrix inside a larger storage buffer, seen through a hand-built layout.
enum class Placement { column_major, padded_rows, reversed_rows, reversed_cols, spread };

inline const Placement all_placements[] = {Placement::column_major, Placement::padded_rows, Placement::reversed_rows,
                                           Placement::reversed_cols, Placement::spread};

inline const char* name_of(Placement p) {
    switch (p) {
        case Placement::column_major: return "column_major";
        case Placement::padded_rows: return "padded_rows";
        case Placement::reversed_rows: return "reversed_rows";
        case Placement::reversed_cols: return "reversed_cols";
        case Placement::spread: return "spread";
    }
    return "?";
}

// The matrix written into `storage` (guard values elsewhere) so that the returned view reads it
// back element for element.
struct StridedCopy {
    std::vector<double> storage;
    ArrayView<double, 2> view;
};

inline StridedCopy strided_copy(const Matrix& m, Placement p) {
    const auto r = static_cast<std::int64_t>(m.rows), c = static_cast<std::int64_t>(m.cols);
    Layout<2> l{{m.rows, m.cols}, {c, 1}, 0};
    std::size_t len = 0;
    switch (p) {
        case Placement::column_major: l.strides = {1, r}; len = m.rows * m.cols; break;
        case Placement::padded_rows: l.strides = {c + 3, 1}; l.offset = 5; len = 5 + m.rows * (m.cols + 3); break;
        case Placement::reversed_rows:
            l.strides = {-c, 1};
            l.offset = m.rows == 0 ? 0 : (m.rows - 1) * m.cols;
            len = m.rows * m.cols;
            break;
        case Placement::reversed_cols:
            l.strides = {c, -1};
            l.offset = m.cols == 0 ? 0 : m.cols - 1;
            len = m.rows * m.cols;
            break;
        case Placement::spread: l.strides = {2 * c + 1, 2}; l.offset = 1; len = 2 + m.rows * (2 * m.cols + 1); break;
    }
    StridedCopy out{std::vector<double>(len, -777.0), {}};
    for (std::size_t i = 0; i < m.rows; ++i)
        for (std::size_t j = 0; j < m.cols; ++j) {
            const std::int64_t at = static_cast<std::int64_t>(l.offset) + static_cast<std::int64_t>(i) * l.strides[0] +
                                    static_cast<std::int64_t>(j) * l.strides[1];
            out.storage[static_cast<std::size_t>(at)] = m(i, j);
        }
    out.view = kavrel::domain::error::expect(ArrayView<double, 2>::from_parts(out.storage.data(), len, l), "test view");
    return out;
}

// A vector written into `storage` every |stride| elements (guard values between), read back
// element for element through the returned view; a negative stride stores it last to first.
struct StridedVector {
    std::vector<double> storage;
    ArrayView<double, 1> view;
};

inline StridedVector strided_vector(const std::vector<double>& v, std::int64_t stride) {
    const std::uint64_t n = v.size(), step = static_cast<std::uint64_t>(stride < 0 ? -stride : stride);
    const std::uint64_t len = n == 0 ? 0 : (n - 1) * step + 1;
    Layout<1> l{{n}, {stride}, stride < 0 && n > 0 ? (n - 1) * step : 0};
    StridedVector out{std::vector<double>(len, -777.0), {}};
    for (std::uint64_t i = 0; i < n; ++i)
        out.storage[static_cast<std::size_t>(static_cast<std::int64_t>(l.offset) + static_cast<std::int64_t>(i) * stride)] = v[i];
    out.view = kavrel::domain::error::expect(ArrayView<double, 1>::from_parts(out.storage.data(), len, l), "test view");
    return out;
}

inline std::vector<double> elements(const Array<double, 1>& a) { return {a.data(), a.data() + a.len()}; }

// --- Power-of-two scales through the scaling gate ----------------------------------------------

// What a factorisation of A·2^j must give: `scaled` (R, B, H, T, the singular values or the
// eigenvalues) times 2^j and `fixed` (the orthogonal factors, a permutation) unchanged.
struct ScaledParts {
    std::vector<double> scaled;
    std::vector<double> fixed;
};

// `values` with `more` appended, as doubles (exact for indices and ranks).
template <class More>
std::vector<double> joined(std::vector<double> values, const More& more) {
    for (const auto& x : more) values.push_back(static_cast<double>(x));
    return values;
}

// solve(A·2^j) for each j against solve(A), bit for bit: a power of two scales every value of
// the gated solvers exactly, whether the gate scaled A·2^j, A, or neither.
template <class Solve, class Parts>
void expect_power_of_two_scale(const Matrix& a, std::initializer_list<int> exponents, Solve&& solve, Parts&& parts) {
    const auto unit = solve(a);
    ASSERT_TRUE(unit.has_value()) << kavrel::domain::error::display(unit.error());
    const ScaledParts u = parts(*unit);
    for (int j : exponents) {
        SCOPED_TRACE(testing::Message() << a.rows << "x" << a.cols << " at 2^" << j);
        const auto r = solve(times_power_of_two(a, j));
        ASSERT_TRUE(r.has_value()) << kavrel::domain::error::display(r.error());
        const ScaledParts p = parts(*r);
        EXPECT_EQ(p.scaled, times_power_of_two(u.scaled, j));
        EXPECT_EQ(p.fixed, u.fixed);
    }
}

// --- Right-hand sides ------------------------------------------------------------------------

// solve(A, b) for each A and a random b: x with a normwise backward error within n·eps.
template <class Solve>
void expect_small_backward_errors(std::initializer_list<Matrix> matrices, std::uint64_t seed, Solve&& solve) {
    for (const Matrix& a : matrices) {
        SCOPED_TRACE(a.rows);
        const std::vector<double> b = random_matrix(a.rows, 1, seed).data;
        const auto x = solve(a, strided_vector(b, 1).view);
        ASSERT_TRUE(x.has_value());
        EXPECT_LE(backward_error(a, elements(*x), b), 1.0);
    }
}

// solve(b) for b stored at each stride gives the bits of the contiguous b's solution.
template <class Solve>
void expect_strided_rhs_like_copy(const std::vector<double>& b, std::initializer_list<std::int64_t> strides,
                                  Solve&& solve) {
    const auto dense = solve(strided_vector(b, 1).view);
    ASSERT_TRUE(dense.has_value());
    for (std::int64_t stride : strides) {
        SCOPED_TRACE(stride);
        const auto x = solve(strided_vector(b, stride).view);
        ASSERT_TRUE(x.has_value());
        EXPECT_EQ(elements(*x), elements(*dense));
    }
}

// solve(A) fails with the display text paired with each A.
template <class Solve>
void expect_failures(std::initializer_list<std::pair<Matrix, std::string>> cases, Solve&& solve) {
    for (const auto& [a, text] : cases) {
        SCOPED_TRACE(text);
        const auto r = solve(a);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(kavrel::domain::error::display(r.error()), text);
    }
}

// The sign of a permutation, for comparison with a recorded sign.
inline int parity(std::vector<std::uint64_t> perm) {
    int sign = 1;
    for (std::size_t i = 0; i < perm.size(); ++i)
        while (perm[i] != i) {
            std::swap(perm[i], perm[perm[i]]);
            sign = -sign;
        }
    return sign;
}

// The message of a StorageError, or a marker naming the variant that came instead.
inline std::string storage_text(const KavrelError& e) {
    if (const auto* s = std::get_if<kavrel::domain::error::StorageError>(&e)) return s->text;
    return "<not a StorageError: " + kavrel::domain::error::display(e) + ">";
}

}  // namespace linalg_test
