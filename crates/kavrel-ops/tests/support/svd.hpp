// Measures of the bidiagonalisation and SVD tests over the shared dense matrices: the distance of
// a factor from orthonormal columns and of U·diag(s)·Vᵀ from a matrix, computed in long double so
// that the reference adds no error of its own at the tolerances the tests use.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "support/linalg.hpp"

namespace svd_test {

using linalg_test::Matrix;

// max |QᵀQ − I| over the columns of q.
inline double orthonormality_error(const Matrix& q) {
    double worst = 0;
    for (std::uint64_t i = 0; i < q.cols; ++i)
        for (std::uint64_t j = 0; j < q.cols; ++j) {
            long double s = 0;
            for (std::uint64_t r = 0; r < q.rows; ++r) s += static_cast<long double>(q(r, i)) * q(r, j);
            worst = std::max(worst, std::fabs(static_cast<double>(s) - (i == j ? 1.0 : 0.0)));
        }
    return worst;
}

// max |U·diag(s)·Vᵀ − A|.
inline double reconstruction_error(const Matrix& a, const Matrix& u, const std::vector<double>& s, const Matrix& v) {
    double worst = 0;
    for (std::uint64_t i = 0; i < a.rows; ++i)
        for (std::uint64_t j = 0; j < a.cols; ++j) {
            long double sum = 0;
            for (std::uint64_t k = 0; k < s.size(); ++k) sum += static_cast<long double>(u(i, k)) * s[k] * v(j, k);
            worst = std::max(worst, std::fabs(static_cast<double>(sum) - a(i, j)));
        }
    return worst;
}

}  // namespace svd_test
