#include "kavrel_ops/application/linalg/hessenberg.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "support/eigen.hpp"
#include "kavrel/domain/error/error.hpp"

namespace {

using eigen_test::Matrix;
using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::display;
using kavrel_ops::application::linalg::hessenberg::hessenberg;
using kavrel_ops::application::linalg::hessenberg::hessenberg_gated;
using kavrel_ops::application::linalg::hessenberg::HessenbergDecomposition;
using kavrel_ops::application::linalg::hessenberg::validate_square;

HessenbergDecomposition reduce(const Matrix& a) {
    const auto array = a.array();
    auto d = hessenberg(ArrayView<double, 2>::of(array));
    EXPECT_TRUE(d.has_value()) << display(d.error());
    return std::move(*d);
}

std::vector<double> data(const kavrel::application::array::types::Array<double, 2>& a) { return a.storage.data; }

TEST(HessenbergTest, WorkedExample) {
    const Matrix a = eigen_test::square(3, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    const auto d = reduce(a);
    const std::vector<double> q = data(d.q), h = data(d.h);
    const double expected_q[] = {1, 0, 0, 0, -0.4961, -0.8682, 0, -0.8682, 0.4961};
    const double expected_h[] = {1, -3.5970, -0.2481, -8.0623, 14.0462, 2.8308, 0, 0.8308, -0.0462};
    for (int i = 0; i < 9; ++i) {
        EXPECT_NEAR(q[i], expected_q[i], 1e-4) << i;
        EXPECT_NEAR(h[i], expected_h[i], 1e-4) << i;
    }
    EXPECT_NEAR(h[3], -std::sqrt(65.0), 64 * eigen_test::eps);
    EXPECT_EQ(h[6], 0.0);
    EXPECT_FALSE(std::signbit(h[6]));
    EXPECT_EQ(h[0], 1.0);
}

TEST(HessenbergTest, SmallOrdersAreCopiedUnchanged) {
    for (std::uint64_t n : {0, 1, 2}) {
        SCOPED_TRACE(n);
        const Matrix a = eigen_test::random_square(n, 3);
        const auto d = reduce(a);
        EXPECT_EQ(data(d.h), a.data);
        std::vector<double> identity(n * n, 0.0);
        for (std::uint64_t i = 0; i < n; ++i) identity[i * n + i] = 1.0;
        EXPECT_EQ(data(d.q), identity);
        EXPECT_EQ(d.q.layout.shape[0], n);
        EXPECT_EQ(d.h.layout.shape[1], n);
    }
}

TEST(HessenbergTest, HessenbergInputHasNoReflections) {
    Matrix a = eigen_test::random_square(7, 4);
    for (std::uint64_t i = 2; i < 7; ++i)
        for (std::uint64_t j = 0; j + 1 < i; ++j) a.data[i * 7 + j] = 0.0;
    const auto d = reduce(a);
    EXPECT_EQ(data(d.h), a.data);
    for (std::uint64_t i = 0; i < 7; ++i)
        for (std::uint64_t j = 0; j < 7; ++j) EXPECT_EQ(d.q.storage.data[i * 7 + j], i == j ? 1.0 : 0.0);
}

// reflects(a) is true exactly when some step makes a reflector: n ≥ 3 and an entry below the
// subdiagonal that does not compare equal to zero (−0.0 does).
TEST(HessenbergTest, ReflectsOnlyBelowTheSubdiagonal) {
    Matrix a = eigen_test::random_square(5, 6);
    for (std::uint64_t i = 2; i < 5; ++i)
        for (std::uint64_t j = 0; j + 1 < i; ++j) a.data[i * 5 + j] = 0.0;
    const auto holds = [](const Matrix& m) {
        const auto array = m.array();
        return kavrel_ops::application::linalg::hessenberg::reflects(ArrayView<double, 2>::of(array));
    };
    EXPECT_FALSE(holds(a));
    a.data[4 * 5 + 1] = -0.0;
    EXPECT_FALSE(holds(a));
    a.data[4 * 5 + 0] = 1e-320;
    EXPECT_TRUE(holds(a));
    EXPECT_FALSE(holds(eigen_test::random_square(2, 7)));
    EXPECT_FALSE(holds(eigen_test::random_square(0, 7)));
}

// The residual, orthogonality and exact structure over orders that cross the 128-entry column
// buffer (n = 129 has a first column of 128 entries, n = 130 one of 129) and over extreme ranges.
TEST(HessenbergTest, SimilarityOrthogonalityAndStructure) {
    using qr_test::Kind;
    struct Row {
        std::uint64_t n;
        Kind kind;
    };
    const Row rows[] = {{3, Kind::random}, {4, Kind::random}, {17, Kind::graded}, {40, Kind::mixed},
                        {64, Kind::tiny}, {64, Kind::huge}, {129, Kind::random}, {130, Kind::random}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "n " << row.n << " " << qr_test::name_of(row.kind));
        const Matrix a = eigen_test::random_square(row.n, 11, row.kind);
        const auto d = reduce(a);
        const std::vector<double> q = data(d.q), h = data(d.h);
        EXPECT_TRUE(eigen_test::upper_hessenberg(h, row.n));
        EXPECT_LE(eigen_test::similarity_residual(a, q, h), 4.0 * row.n * eigen_test::eps);
        EXPECT_LE(qr_test::orthogonality_error(q, row.n), 4.0 * row.n * eigen_test::eps);
        EXPECT_EQ(h[0], a.data[0]);
        EXPECT_EQ(q[0], 1.0);
        for (std::uint64_t j = 1; j < row.n; ++j) {
            EXPECT_EQ(q[j], 0.0);
            EXPECT_EQ(q[j * row.n], 0.0);
        }
    }
}

TEST(HessenbergTest, StridedViewGivesTheSameFactors) {
    const Matrix a = eigen_test::random_square(9, 5);
    // The transpose of a stored as column-major: the same logical matrix through other strides.
    std::vector<double> column_major(81);
    for (int i = 0; i < 9; ++i)
        for (int j = 0; j < 9; ++j) column_major[j * 9 + i] = a.data[i * 9 + j];
    const auto view = *ArrayView<double, 2>::from_parts(column_major.data(), 81, {{9, 9}, {1, 9}, 0});
    const auto strided = hessenberg(view);
    ASSERT_TRUE(strided.has_value());
    const auto plain = reduce(a);
    EXPECT_EQ(strided->h.storage.data, plain.h.storage.data);
    EXPECT_EQ(strided->q.storage.data, plain.q.storage.data);
}

TEST(HessenbergTest, Errors) {
    const Matrix wide{3, 2, std::vector<double>(6, 1.0)};
    const auto array = wide.array();
    const auto shape = hessenberg(ArrayView<double, 2>::of(array));
    ASSERT_FALSE(shape.has_value());
    EXPECT_EQ(display(shape.error()), "Shape mismatch: lhs [3, 2], rhs [3, 3]");
    EXPECT_FALSE(validate_square(2, 3).has_value());
    EXPECT_EQ(*validate_square(4, 4), 4u);

    for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity()}) {
        SCOPED_TRACE(bad);
        Matrix a = eigen_test::random_square(4, 6);
        a.data[13] = bad;
        const auto arr = a.array();
        const auto d = hessenberg(ArrayView<double, 2>::of(arr));
        ASSERT_FALSE(d.has_value());
        EXPECT_EQ(display(d.error()), "Storage error: Hessenberg input contains a non-finite value");
    }
}

kavrel::domain::error::Result<HessenbergDecomposition> gated(const Matrix& a) {
    const auto array = a.array();
    return hessenberg_gated(ArrayView<double, 2>::of(array));
}

// Inside the gate's window the input is reduced as it stands: hessenberg's bits.
TEST(HessenbergTest, GatedLeavesOrdinaryInputToTheReduction) {
    const Matrix a = eigen_test::random_square(9, 12, qr_test::Kind::graded);
    const auto d = gated(a);
    ASSERT_TRUE(d.has_value()) << display(d.error());
    const auto plain = reduce(a);
    EXPECT_EQ(data(d->h), data(plain.h));
    EXPECT_EQ(data(d->q), data(plain.q));
}

// Near either end of the range a scaled copy is reduced: Q is that of the matrix at unit scale,
// and H is its H times the same power of two.
TEST(HessenbergTest, GatedFactorsFollowAPowerOfTwoScale) {
    linalg_test::expect_power_of_two_scale(eigen_test::random_square(6, 13), {1015, 1021, -1000}, gated,
                                           [](const HessenbergDecomposition& d) {
                                               return linalg_test::ScaledParts{data(d.h), data(d.q)};
                                           });
}

// H[0][0], which no step writes, is the input's entry even when the rest was scaled: a subnormal
// corner would not survive 2^-k and back.
TEST(HessenbergTest, GatedKeepsTheInputCorner) {
    const Matrix a = eigen_test::square(3, {3e-310, 1, 1, 1e308, 1, 1, 1e308, 1, 1});
    const auto d = gated(a);
    ASSERT_TRUE(d.has_value()) << display(d.error());
    EXPECT_EQ(data(d->h)[0], 3e-310);
    for (double x : data(d->h)) EXPECT_TRUE(std::isfinite(x));
    // Without a reflection nothing is scaled: H is the input, bit for bit.
    const Matrix hessenberg_form = eigen_test::square(3, {1e300, 1, 1e-300, 1e-300, 1, 1, 0, 1e-300, 1e-300});
    const auto kept = gated(hessenberg_form);
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(data(kept->h), hessenberg_form.data);
}

TEST(HessenbergTest, GatedErrorsInOrder) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    // The shape before any entry is read.
    const auto shape = gated(Matrix{3, 2, {nan, 1, 1, 1, 1, 1}});
    ASSERT_FALSE(shape.has_value());
    EXPECT_EQ(display(shape.error()), "Shape mismatch: lhs [3, 2], rhs [3, 3]");
    Matrix bad = eigen_test::random_square(4, 6);
    bad.data[13] = nan;
    const auto non_finite = gated(bad);
    ASSERT_FALSE(non_finite.has_value());
    EXPECT_EQ(display(non_finite.error()), "Storage error: Hessenberg input contains a non-finite value");
    // H holds the column norm √3·(DBL_MAX/2): no power of two brings it back into range.
    const auto huge = gated(Matrix{4, 4, std::vector<double>(16, std::numeric_limits<double>::max() / 2)});
    ASSERT_FALSE(huge.has_value());
    EXPECT_EQ(display(huge.error()), "Arithmetic overflow in layout calculations: Hessenberg entry exceeds the scalar range");
}

}  // namespace
