#include "kavrel_ops/application/linalg/bidiagonal/reduce.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "support/linalg.hpp"

namespace {

namespace rd = kavrel_ops::application::linalg::bidiagonal::reduce;
using kavrel::domain::error::InternalError;
using linalg_test::Matrix;
using linalg_test::eps;

// The dense reflector I − tau·v·vᵀ of order d with v zero before `start`.
Matrix dense_reflector(std::uint64_t d, std::uint64_t start, const std::vector<double>& v, double tau) {
    Matrix h{d, d, std::vector<double>(d * d, 0.0)};
    for (std::uint64_t i = 0; i < d; ++i) h(i, i) = 1.0;
    for (std::uint64_t i = start; i < d; ++i)
        for (std::uint64_t j = start; j < d; ++j) h(i, j) -= tau * v[i - start] * v[j - start];
    return h;
}

TEST(ReduceTest, ApplyReflectorsRightMultipliesInOrder) {
    const std::uint64_t d = 5;
    std::mt19937_64 rng(2);
    std::uniform_real_distribution<double> unit(-1, 1);
    std::vector<double> vectors(3 * d), taus = {0.7, 1.3, 0.2};
    for (double& x : vectors) x = unit(rng);
    const Matrix start = linalg_test::random_matrix(d, d, 6);
    std::vector<double> target = start.data;
    rd::apply_reflectors_right(vectors, taus, 3, target, d);
    Matrix expect = start;
    for (std::uint64_t r = 0; r < 3; ++r)
        expect = linalg_test::multiply(
            expect, dense_reflector(d, 0, std::vector<double>(vectors.begin() + r * d, vectors.begin() + (r + 1) * d), taus[r]));
    for (std::size_t i = 0; i < target.size(); ++i) EXPECT_NEAR(target[i], expect.data[i], 16 * eps) << i;
    // d = 0 touches nothing.
    std::vector<double> untouched = {4.0};
    rd::apply_reflectors_right({}, {}, 5, untouched, 0);
    EXPECT_EQ(untouched, std::vector<double>{4.0});
}

TEST(ReduceTest, RefusesBuffersTooShort) {
    std::vector<double> vectors(8), taus(2), target(16), short_target(15);
    EXPECT_THROW(rd::apply_reflectors_right(vectors, taus, 3, target, 4), InternalError);
    EXPECT_THROW(rd::apply_reflectors_right(vectors, std::vector<double>(1), 2, target, 4), InternalError);
    EXPECT_THROW(rd::apply_reflectors_right(vectors, taus, 2, short_target, 4), InternalError);
    rd::CompactReflectors r;
    r.order = 4;
    r.push(1, std::vector<double>{1, 2, 3}, 0.5);
    EXPECT_THROW(r.push(1, std::vector<double>{1, 2, 3}, 0.5), InternalError);  // not increasing
    EXPECT_THROW(r.push(2, std::vector<double>{1, 2, 3}, 0.5), InternalError);  // wrong length
    EXPECT_THROW((void)rd::leading_columns_transposed(r, 5), InternalError);
}

// The leading columns formed from compact reflectors equal those of the explicit product.
TEST(ReduceTest, LeadingColumnsOfTheProduct) {
    const std::uint64_t order = 9;
    std::mt19937_64 rng(4);
    std::uniform_real_distribution<double> unit(-1, 1);
    rd::CompactReflectors reflectors;
    reflectors.order = order;
    Matrix product{order, order, std::vector<double>(order * order, 0.0)};
    for (std::uint64_t i = 0; i < order; ++i) product(i, i) = 1.0;
    for (std::uint64_t start : {0u, 1u, 3u, 4u, 7u}) {
        std::vector<double> v(order - start);
        double vv = 0;
        for (double& x : v) {
            x = unit(rng);
            vv += x * x;
        }
        reflectors.push(start, v, 2.0 / vv);
        product = linalg_test::multiply(product, dense_reflector(order, start, v, 2.0 / vv));
    }
    for (std::uint64_t cols : {0u, 1u, 5u, 9u}) {
        SCOPED_TRACE(cols);
        const std::vector<double> t = rd::leading_columns_transposed(reflectors, cols);
        ASSERT_EQ(t.size(), cols * order);
        for (std::uint64_t j = 0; j < cols; ++j)
            for (std::uint64_t r = 0; r < order; ++r) EXPECT_NEAR(t[j * order + r], product(r, j), 32 * eps) << j << ", " << r;
    }
}

}  // namespace
