// Fixtures of the QR tests: random, graded and extreme-range matrices, and residuals
// of orthogonal factorisations measured in extended precision, relative to eps and the norm.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "support/linalg.hpp"

namespace qr_test {

using linalg_test::Array;
using linalg_test::ArrayView;
using linalg_test::eps;
using linalg_test::frobenius;
using linalg_test::Matrix;

enum class Kind { random, graded, tiny, huge, mixed };

inline const char* name_of(Kind kind) {
    switch (kind) {
        case Kind::random: return "random";
        case Kind::graded: return "graded";
        case Kind::tiny: return "tiny";
        case Kind::huge: return "huge";
        case Kind::mixed: return "mixed";
    }
    return "?";
}

// random: uniform in (−1, 1); graded: column j scaled by 2^(−20·j/cols) and row i by 2^(−10·i/rows);
// tiny/huge: random times 1e-300 / 1e300; mixed: entries spread over 2^-60 … 2^0.
inline Matrix make_matrix(std::uint64_t rows, std::uint64_t cols, Kind kind, std::uint64_t seed) {
    std::mt19937_64 rng(seed * 7919 + rows * 131 + cols);
    std::uniform_real_distribution<double> unit(-1, 1);
    std::uniform_int_distribution<int> spread(-60, 0);
    Matrix m{rows, cols, std::vector<double>(rows * cols)};
    for (std::uint64_t i = 0; i < rows; ++i)
        for (std::uint64_t j = 0; j < cols; ++j) {
            double x = unit(rng);
            switch (kind) {
                case Kind::random: break;
                case Kind::graded:
                    x = std::ldexp(x, -static_cast<int>(20 * j / std::max<std::uint64_t>(cols, 1)) -
                                          static_cast<int>(10 * i / std::max<std::uint64_t>(rows, 1)));
                    break;
                case Kind::tiny: x *= 1e-300; break;
                case Kind::huge: x *= 1e300; break;
                case Kind::mixed: x = std::ldexp(x, spread(rng)); break;
            }
            m.data[i * cols + j] = x;
        }
    return m;
}

// ‖QᵀQ − I‖_F for a square row-major q of order m.
inline double orthogonality_error(std::span<const double> q, std::uint64_t m) {
    long double sum = 0;
    for (std::uint64_t a = 0; a < m; ++a)
        for (std::uint64_t b = 0; b < m; ++b) {
            long double dot = 0;
            for (std::uint64_t i = 0; i < m; ++i) dot += static_cast<long double>(q[i * m + a]) * q[i * m + b];
            const long double d = dot - (a == b ? 1.0L : 0.0L);
            sum += d * d;
        }
    return static_cast<double>(std::sqrt(sum));
}

// ‖A[:, perm] − Q·R‖_F / ‖A‖_F, with Q m×m and R m×n row-major (perm empty: the identity).
inline double relative_residual(const Matrix& a, std::span<const double> q, std::span<const double> r,
                                std::span<const std::uint64_t> perm = {}) {
    const std::uint64_t m = a.rows, n = a.cols;
    long double sum = 0;
    for (std::uint64_t i = 0; i < m; ++i)
        for (std::uint64_t j = 0; j < n; ++j) {
            long double qr = 0;
            for (std::uint64_t p = 0; p < m; ++p) qr += static_cast<long double>(q[i * m + p]) * r[p * n + j];
            const long double d = static_cast<long double>(a(i, perm.empty() ? j : perm[j])) - qr;
            sum += d * d;
        }
    const long double norm = std::sqrt(linalg_test::sum_of_squares(a.data));
    return norm == 0 ? static_cast<double>(std::sqrt(sum)) : static_cast<double>(std::sqrt(sum) / norm);
}

// Every entry below the diagonal is +0.0 or −0.0 exactly.
inline testing::AssertionResult upper_triangular(std::span<const double> r, std::uint64_t m, std::uint64_t n) {
    for (std::uint64_t i = 1; i < m; ++i)
        for (std::uint64_t j = 0; j < std::min(i, n); ++j)
            if (r[i * n + j] != 0.0)
                return testing::AssertionFailure() << "R[" << i << "][" << j << "] = " << r[i * n + j];
    return testing::AssertionSuccess();
}

}  // namespace qr_test
