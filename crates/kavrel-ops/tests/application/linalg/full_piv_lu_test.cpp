#include "kavrel_ops/application/linalg/full_piv_lu.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "kavrel_ops/application/linalg/full_piv_lu/decompose.hpp"
#include "support/linalg.hpp"

namespace {

using kavrel_ops::application::linalg::full_piv_lu::Array;
using kavrel_ops::application::linalg::full_piv_lu::FullPivLuDecomposition;
using kavrel_ops::application::linalg::full_piv_lu::lower_factor;
using kavrel_ops::application::linalg::full_piv_lu::upper_factor;
using kavrel_ops::application::linalg::full_piv_lu::decompose::full_piv_lu_decompose;
using namespace linalg_test;

TEST(FullPivLuFactorsTest, SplitTheWorkingMatrixAtTheDiagonal) {
    const FullPivLuDecomposition f{{1, 2, 3, 4, 5, 6, 7, 8, 9}, {0, 1, 2}, {0, 1, 2}, 3, 3, 1};
    const Array<double, 2> l = lower_factor(f), u = upper_factor(f);
    for (const Array<double, 2>* a : {&l, &u}) {
        EXPECT_EQ(a->layout.shape, (std::array<std::uint64_t, 2>{3, 3}));
        EXPECT_EQ(a->layout.strides, (std::array<std::int64_t, 2>{3, 1}));
        EXPECT_EQ(a->layout.offset, 0u);
    }
    EXPECT_EQ(elements(l), (std::vector<double>{1, 0, 0, 4, 1, 0, 7, 8, 1}));
    EXPECT_EQ(elements(u), (std::vector<double>{1, 2, 3, 0, 5, 6, 0, 0, 9}));
}

// After an early stop at step 1 the remainder stays in U and L's trailing block is the identity.
TEST(FullPivLuFactorsTest, EarlyStopLeavesTheRemainderInU) {
    const FullPivLuDecomposition f{{1, 2, 3, 4, 5, 6, 7, 8, 9}, {0, 1, 2}, {0, 1, 2}, 1, 3, 1};
    EXPECT_EQ(elements(lower_factor(f)), (std::vector<double>{1, 0, 0, 4, 1, 0, 7, 0, 1}));
    EXPECT_EQ(elements(upper_factor(f)), (std::vector<double>{1, 2, 3, 0, 5, 6, 0, 0, 9}));
}

// L·U against A[row_perm][:, col_perm] after an early stop: the gap is the dropped lower part of
// the remainder, at most the threshold 1e-12·max|A| plus rounding, at every scale, and |L| ≤ 1.
TEST(FullPivLuFactorsTest, EarlyStopFactorsHoldAtEveryScale) {
    Matrix near_ones(3, 3, {1, 1, 1, 1, 1 + 2e-13, 1, 1, 1, 1 + 3e-13});
    for (double scale : {1.0, 1e30, 1e-30, 1e300}) {
        for (const auto& [name, base] : {std::pair<std::string, Matrix>{"near ones", near_ones}, {"Hilbert 12", hilbert(12)}}) {
            SCOPED_TRACE(name + " at " + std::to_string(std::log10(scale)));
            Matrix a = base;
            for (double& x : a.data) x *= scale;
            auto f = full_piv_lu_decompose(view_of(a));
            ASSERT_TRUE(f);
            ASSERT_LT(f->rank, a.rows);
            const Matrix l = matrix_of(lower_factor(*f)), u = matrix_of(upper_factor(*f));
            const Matrix lu = multiply(l, u);
            const std::size_t n = a.rows;
            double gap = 0.0, lmax = 0.0;
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j) {
                    gap = std::max(gap, std::fabs(lu(i, j) - a(f->row_perm[i], f->col_perm[j])));
                    lmax = std::max(lmax, std::fabs(l(i, j)));
                }
            EXPECT_LE(lmax, 1.0);
            EXPECT_LE(gap, 1e-12 * max_abs(a) + 4.0 * static_cast<double>(n) * eps * max_abs(a));
        }
    }
}

TEST(FullPivLuFactorsTest, EmptyFactors) {
    const FullPivLuDecomposition f{{}, {}, {}, 0, 0, 1};
    EXPECT_EQ(lower_factor(f).layout.shape, (std::array<std::uint64_t, 2>{0, 0}));
    EXPECT_EQ(upper_factor(f).layout.shape, (std::array<std::uint64_t, 2>{0, 0}));
    EXPECT_EQ(lower_factor(f).len(), 0u);
}

}  // namespace
