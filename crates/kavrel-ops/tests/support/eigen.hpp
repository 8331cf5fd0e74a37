// Fixtures of the Hessenberg, Schur and eigensolver tests: similarity residuals ‖A − Q·M·Qᵀ‖ in
// extended precision, the exact structure tests of Hessenberg and quasi-triangular matrices, and
// small matrices with known spectra.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "support/qr.hpp"

namespace eigen_test {

using qr_test::eps;
using qr_test::Matrix;

inline Matrix square(std::uint64_t n, std::vector<double> data) { return Matrix{n, n, std::move(data)}; }

// ‖A − Q·M·Qᵀ‖_F / ‖A‖_F (the absolute residual when A = 0), all n×n row-major.
inline double similarity_residual(const Matrix& a, std::span<const double> q, std::span<const double> m) {
    const std::uint64_t n = a.rows;
    std::vector<long double> qm(n * n, 0.0L);
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t k = 0; k < n; ++k)
            for (std::uint64_t j = 0; j < n; ++j) qm[i * n + j] += static_cast<long double>(q[i * n + k]) * m[k * n + j];
    long double sum = 0;
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t j = 0; j < n; ++j) {
            long double x = 0;
            for (std::uint64_t k = 0; k < n; ++k) x += qm[i * n + k] * q[j * n + k];
            const long double d = static_cast<long double>(a(i, j)) - x;
            sum += d * d;
        }
    const long double norm = std::sqrt(linalg_test::sum_of_squares(a.data));
    return static_cast<double>(norm == 0 ? std::sqrt(sum) : std::sqrt(sum) / norm);
}

// Every entry with j ≤ i − 2 is exactly zero.
inline testing::AssertionResult upper_hessenberg(std::span<const double> h, std::uint64_t n) {
    for (std::uint64_t i = 2; i < n; ++i)
        for (std::uint64_t j = 0; j + 1 < i; ++j)
            if (h[i * n + j] != 0.0) return testing::AssertionFailure() << "entry [" << i << "][" << j << "] = " << h[i * n + j];
    return testing::AssertionSuccess();
}

// Hessenberg, no two consecutive non-zero subdiagonal entries, and every 2×2 block (non-zero
// subdiagonal) in standard form: equal diagonal entries and off-diagonal entries of opposite signs.
inline testing::AssertionResult standard_quasi_triangular(std::span<const double> t, std::uint64_t n) {
    if (auto h = upper_hessenberg(t, n); !h) return h;
    for (std::uint64_t i = 1; i < n; ++i) {
        if (t[i * n + i - 1] == 0.0) continue;
        if (i + 1 < n && t[(i + 1) * n + i] != 0.0)
            return testing::AssertionFailure() << "consecutive subdiagonal entries at row " << i;
        const std::uint64_t j = i - 1;
        if (t[j * n + j] != t[i * n + i]) return testing::AssertionFailure() << "block at " << j << " has unequal diagonal";
        if (t[j * n + i] == 0.0 || std::signbit(t[j * n + i]) == std::signbit(t[i * n + j]))
            return testing::AssertionFailure() << "block at " << j << " has off-diagonal entries of one sign";
    }
    return testing::AssertionSuccess();
}

// A random n×n matrix with entries in (−1, 1).
inline Matrix random_square(std::uint64_t n, std::uint64_t seed, qr_test::Kind kind = qr_test::Kind::random) {
    return qr_test::make_matrix(n, n, kind, seed);
}

}  // namespace eigen_test
