// Dense helpers for the bidiagonalisation and SVD tests: random and structured matrices, products,
// the distance of a factor from orthonormal columns and of a product from a matrix, all in plain
// row-major std::vector<double>, computed in long double so that the reference adds no error of
// its own at the tolerances the tests use.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/immutable.hpp"

namespace svd_test {

using kavrel::application::array::types::Array;
using kavrel::application::view::immutable::ArrayView;

constexpr double eps = 0x1p-52;

struct Dense {
    std::uint64_t rows = 0;
    std::uint64_t cols = 0;
    std::vector<double> data;  // row-major

    double operator()(std::uint64_t i, std::uint64_t j) const { return data[i * cols + j]; }
    double& operator()(std::uint64_t i, std::uint64_t j) { return data[i * cols + j]; }

    Array<double, 2> array() const { return *Array<double, 2>::from_vec({rows, cols}, data); }
};

inline Dense of(const Array<double, 2>& a) { return {a.layout.shape[0], a.layout.shape[1], a.storage.data}; }

inline Dense random_dense(std::uint64_t rows, std::uint64_t cols, std::uint64_t seed, double scale = 1.0) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    Dense a{rows, cols, std::vector<double>(rows * cols)};
    for (double& x : a.data) x = scale * unit(rng);
    return a;
}

inline Dense transposed(const Dense& a) {
    Dense t{a.cols, a.rows, std::vector<double>(a.data.size())};
    for (std::uint64_t i = 0; i < a.rows; ++i)
        for (std::uint64_t j = 0; j < a.cols; ++j) t(j, i) = a(i, j);
    return t;
}

inline Dense product(const Dense& a, const Dense& b) {
    Dense c{a.rows, b.cols, std::vector<double>(a.rows * b.cols)};
    for (std::uint64_t i = 0; i < a.rows; ++i)
        for (std::uint64_t j = 0; j < b.cols; ++j) {
            long double s = 0;
            for (std::uint64_t k = 0; k < a.cols; ++k) s += static_cast<long double>(a(i, k)) * b(k, j);
            c(i, j) = static_cast<double>(s);
        }
    return c;
}

inline double max_abs(const Dense& a) {
    double m = 0;
    for (double x : a.data) m = std::max(m, std::fabs(x));
    return m;
}

// max |QᵀQ − I| over the columns of q.
inline double orthonormality_error(const Dense& q) {
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
inline double reconstruction_error(const Dense& a, const Dense& u, const std::vector<double>& s, const Dense& v) {
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
