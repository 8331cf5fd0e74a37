#include "kavrel_ops/application/linalg/schur.hpp"

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
using kavrel::domain::error::Result;
using kavrel_ops::application::linalg::schur::francis_bound;
using kavrel_ops::application::linalg::schur::real_schur;
using kavrel_ops::application::linalg::schur::RealSchur;

Result<RealSchur> run(const Matrix& a) {
    const auto array = a.array();
    return real_schur(ArrayView<double, 2>::of(array));
}

RealSchur ok(const Matrix& a) {
    auto r = run(a);
    EXPECT_TRUE(r.has_value()) << display(r.error());
    return std::move(*r);
}

TEST(SchurTest, FrancisBound) {
    const auto terms = francis_bound(7, 7, 3);
    EXPECT_EQ(terms.order, 7u);
    EXPECT_EQ(terms.hi_shift, -6);
}

TEST(SchurTest, WorkedExamples) {
    // [[2, 1], [1, 2]]: no sweep; the pass triangularises with cs = sn = 1/√2.
    const RealSchur sym = ok(eigen_test::square(2, {2, 1, 1, 2}));
    EXPECT_EQ(sym.t.storage.data, (std::vector<double>{3, 0, 0, 1}));
    const double c = 0.7071067811865475;
    EXPECT_EQ(sym.q.storage.data, (std::vector<double>{c, -c, c, c}));

    // Already standard: T = A and Q = I exactly.
    const std::vector<double> rot = {0, -1, 0, 1, 0, 0, 0, 0, 2};
    const RealSchur r = ok(eigen_test::square(3, rot));
    EXPECT_EQ(r.t.storage.data, rot);
    EXPECT_EQ(r.q.storage.data, (std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1}));

    // Upper triangular and zero: T = A, Q = I.
    for (const std::vector<double>& a : {std::vector<double>{1, 2, 3, 0, 4, 5, 0, 0, 6}, std::vector<double>(9, 0.0)}) {
        const RealSchur s = ok(eigen_test::square(3, a));
        EXPECT_EQ(s.t.storage.data, a);
        EXPECT_EQ(s.q.storage.data, (std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
    }

    // The cyclic permutation: a standard block for −1/2 ± i·√3/2, then 1.
    const RealSchur cyc = ok(eigen_test::square(3, {0, 0, 1, 1, 0, 0, 0, 1, 0}));
    const std::vector<double>& t = cyc.t.storage.data;
    EXPECT_TRUE(eigen_test::standard_quasi_triangular(t, 3));
    EXPECT_NEAR(t[0], -0.5, 1e-15);
    EXPECT_NEAR(std::sqrt(-t[1] * t[3]), std::sqrt(3.0) / 2, 1e-15);
    EXPECT_NEAR(t[8], 1.0, 1e-15);
}

TEST(SchurTest, EmptyAndOne) {
    const RealSchur empty = ok(Matrix{0, 0, {}});
    EXPECT_TRUE(empty.t.storage.data.empty());
    EXPECT_EQ(empty.q.layout.shape[0], 0u);
    // [[1e200]] is scaled by 2^-153 and comes back exactly.
    const RealSchur big = ok(eigen_test::square(1, {1e200}));
    EXPECT_EQ(big.t.storage.data, std::vector<double>{1e200});
    EXPECT_EQ(big.q.storage.data, std::vector<double>{1.0});
}

// Residual, orthogonality and the exact standard structure, over orders past the 128-entry stack
// scratch row and over extreme ranges (the gate scales those, T is scaled back).
TEST(SchurTest, DecompositionProperties) {
    using qr_test::Kind;
    struct Row {
        std::uint64_t n;
        Kind kind;
    };
    const Row rows[] = {{2, Kind::random}, {3, Kind::random}, {8, Kind::graded}, {25, Kind::random},
                        {50, Kind::mixed}, {40, Kind::tiny}, {40, Kind::huge}, {130, Kind::random}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "n " << row.n << " " << qr_test::name_of(row.kind));
        const Matrix a = eigen_test::random_square(row.n, 17, row.kind);
        const RealSchur s = ok(a);
        EXPECT_TRUE(eigen_test::standard_quasi_triangular(s.t.storage.data, row.n));
        EXPECT_LE(eigen_test::similarity_residual(a, s.q.storage.data, s.t.storage.data), 16.0 * row.n * eigen_test::eps);
        EXPECT_LE(qr_test::orthogonality_error(s.q.storage.data, row.n), 16.0 * row.n * eigen_test::eps);
    }
}

// Near either end of the range the gate hands a scaled copy to the pipeline: Q is that of the
// matrix at unit scale and T its T times the same power of two.
TEST(SchurTest, ScaledInputFollowsAPowerOfTwoScale) {
    linalg_test::expect_power_of_two_scale(eigen_test::random_square(9, 21), {990, 1021, -1000}, run,
                                           [](const RealSchur& s) {
                                               return linalg_test::ScaledParts{s.t.storage.data, s.q.storage.data};
                                           });
}

TEST(SchurTest, Errors) {
    EXPECT_EQ(display(run(Matrix{2, 3, std::vector<double>(6, 1.0)}).error()), "Shape mismatch: lhs [2, 3], rhs [2, 2]");
    EXPECT_EQ(display(run(eigen_test::square(2, {1, std::numeric_limits<double>::infinity(), 0, 1})).error()),
              "Storage error: Hessenberg input contains a non-finite value");
    // The eigenvalue 4·(DBL_MAX/2) of the all-equal matrix cannot be scaled back.
    const double big = std::numeric_limits<double>::max() / 2;
    EXPECT_EQ(display(run(eigen_test::square(4, std::vector<double>(16, big))).error()),
              "Arithmetic overflow in layout calculations: Schur form entry exceeds the scalar range");
}

}  // namespace
