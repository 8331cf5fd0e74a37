#include "kavrel_ops/application/linalg/full_piv_lu.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "linalg_test_support.hpp"

namespace {

using kavrel_ops::application::linalg::full_piv_lu::Array;
using kavrel_ops::application::linalg::full_piv_lu::FullPivLuDecomposition;
using kavrel_ops::application::linalg::full_piv_lu::lower_factor;
using kavrel_ops::application::linalg::full_piv_lu::upper_factor;
using linalg_test::elements;

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

TEST(FullPivLuFactorsTest, EmptyFactors) {
    const FullPivLuDecomposition f{{}, {}, {}, 0, 0, 1};
    EXPECT_EQ(lower_factor(f).layout.shape, (std::array<std::uint64_t, 2>{0, 0}));
    EXPECT_EQ(upper_factor(f).layout.shape, (std::array<std::uint64_t, 2>{0, 0}));
    EXPECT_EQ(lower_factor(f).len(), 0u);
}

}  // namespace
