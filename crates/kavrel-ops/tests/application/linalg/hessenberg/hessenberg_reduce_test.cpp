#include "kavrel_ops/application/linalg/hessenberg/reduce.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "support/eigen.hpp"
#include "kavrel_ops/application/linalg/working.hpp"

namespace {

namespace reduce = kavrel_ops::application::linalg::hessenberg::reduce;

// The eigenvalue pipeline reduces without Q: H must come out bit for bit as with Q.
TEST(HessenbergReduceTest, WithoutQTheSameH) {
    for (std::uint64_t n : {3, 8, 131}) {
        SCOPED_TRACE(n);
        const auto a = eigen_test::random_square(n, 21);
        std::vector<double> with_q = a.data, without_q = a.data;
        std::vector<double> q = kavrel_ops::application::linalg::working::identity(n);
        reduce::reduce(with_q, n, q);
        reduce::reduce(without_q, n, {});
        EXPECT_EQ(with_q, without_q);
        EXPECT_TRUE(eigen_test::upper_hessenberg(without_q, n));
    }
}

TEST(HessenbergReduceTest, FiniteScan) {
    EXPECT_TRUE(reduce::check_finite(std::vector<double>{1, -0.0, 1e308}).has_value());
    EXPECT_FALSE(reduce::check_finite(std::vector<double>{1, 2, std::numeric_limits<double>::quiet_NaN()}).has_value());
}

}  // namespace
