#include "kavrel_ops/application/linalg/eigen.hpp"

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
namespace eigen = kavrel_ops::application::linalg::eigen;

Result<eigen::SymmetricEigen> run(const Matrix& a) {
    const auto array = a.array();
    return eigen::symmetric_eigen_jacobi_with_tolerance(ArrayView<double, 2>::of(array));
}

eigen::SymmetricEigen ok(const Matrix& a) {
    auto r = run(a);
    EXPECT_TRUE(r.has_value()) << display(r.error());
    return std::move(*r);
}

Matrix symmetric(std::uint64_t n, std::uint64_t seed, qr_test::Kind kind = qr_test::Kind::random) {
    Matrix a = eigen_test::random_square(n, seed, kind);
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t j = 0; j < i; ++j) a.data[i * n + j] = a.data[j * n + i];
    return a;
}

TEST(SymmetricEigenTest, WorkedExamples) {
    const auto two = ok(eigen_test::square(2, {2, 1, 1, 2}));
    const double c = 0.7071067811865476, s = 0.7071067811865475;
    EXPECT_NEAR(two.w[0], 1.0, 4 * eigen_test::eps);
    EXPECT_NEAR(two.w[1], 3.0, 4 * eigen_test::eps);
    EXPECT_EQ(two.v.storage.data, (std::vector<double>{c, s, -s, c}));

    const auto diag = ok(eigen_test::square(3, {3, 0, 0, 0, 1, 0, 0, 0, 2}));
    EXPECT_EQ(diag.w, (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(diag.v.storage.data, (std::vector<double>{0, 0, 1, 1, 0, 0, 0, 1, 0}));

    const auto equal = ok(eigen_test::square(2, {2, 0, 0, 2}));
    EXPECT_EQ(equal.w, (std::vector<double>{2, 2}));
    EXPECT_EQ(equal.v.storage.data, (std::vector<double>{1, 0, 0, 1}));

    const auto zero = ok(eigen_test::square(3, std::vector<double>(9, 0.0)));
    EXPECT_EQ(zero.w, std::vector<double>(3, 0.0));

    const auto empty = ok(Matrix{0, 0, {}});
    EXPECT_TRUE(empty.w.empty());
    EXPECT_EQ(empty.v.layout.shape[0], 0u);

    // [[1e308]]: r = 0, hi = DBL_MAX/2, scaled by 2^-1 and back exactly.
    const auto big = ok(eigen_test::square(1, {1e308}));
    EXPECT_EQ(big.w, std::vector<double>{1e308});
    EXPECT_EQ(big.v.storage.data, std::vector<double>{1.0});

    // An asymmetry of 2^-52 is within (n + 2)·eps·‖A‖_F: the upper triangle wins.
    const auto near = ok(eigen_test::square(2, {1, 1, 1 + 0x1p-52, 1}));
    EXPECT_NEAR(near.w[0], 0.0, 4 * eigen_test::eps);
    EXPECT_NEAR(near.w[1], 2.0, 4 * eigen_test::eps);
}

// Ascending values, orthonormal columns and A·V = V·diag(w), over orders, gradings and ranges.
TEST(SymmetricEigenTest, DecompositionProperties) {
    using qr_test::Kind;
    struct Row {
        std::uint64_t n;
        Kind kind;
    };
    const Row rows[] = {{2, Kind::random}, {5, Kind::random}, {16, Kind::graded}, {40, Kind::mixed},
                        {30, Kind::tiny}, {30, Kind::huge}, {90, Kind::random}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "n " << row.n << " " << qr_test::name_of(row.kind));
        const std::uint64_t n = row.n;
        const Matrix a = symmetric(n, 13, row.kind);
        const auto e = ok(a);
        for (std::uint64_t j = 1; j < n; ++j) EXPECT_LE(e.w[j - 1], e.w[j]);
        const std::vector<double>& v = e.v.storage.data;
        EXPECT_LE(qr_test::orthogonality_error(v, n), 8.0 * n * eigen_test::eps);
        std::vector<double> d(n * n, 0.0);
        for (std::uint64_t j = 0; j < n; ++j) d[j * n + j] = e.w[j];
        EXPECT_LE(eigen_test::similarity_residual(a, v, d), 8.0 * n * eigen_test::eps);
    }
}

// The symmetry test in units of max|a|: a large antisymmetric part is refused at both ends of the
// range (the plain threshold (n+2)·eps·‖A‖_F is inf there), and a tiny matrix still tolerates
// rounding-level asymmetry (the plain threshold underflows to 0 there).
TEST(SymmetricEigenTest, SymmetryTestAcrossTheRange) {
    const double big = 1.5e308, tiny = 0x1p-1070;
    EXPECT_EQ(display(run(eigen_test::square(2, {0, big, -big, 0})).error()),
              "Invalid input: symmetric eigensolver input is not symmetric at (0, 1)");
    EXPECT_EQ(display(run(eigen_test::square(3, {1, 0, 0, 0, big, big, 0, big / 2, 1})).error()),
              "Invalid input: symmetric eigensolver input is not symmetric at (1, 2)");
    EXPECT_EQ(display(run(eigen_test::square(2, {0, tiny, -tiny, 0})).error()),
              "Invalid input: symmetric eigensolver input is not symmetric at (0, 1)");
    // 1 + 2^-52 units of a matrix scaled into the subnormal range: symmetric to rounding.
    const double unit = 0x1p-1020;
    EXPECT_TRUE(run(eigen_test::square(2, {unit, unit, unit * (1 + 0x1p-52), unit})).has_value());
    // Entries near DBL_MAX, exactly symmetric: accepted, eigenvalues in range.
    const auto e = ok(eigen_test::square(2, {big, 0.5e308, 0.5e308, -big}));
    EXPECT_NEAR(e.w[1] / 1e308, std::sqrt(1.5 * 1.5 + 0.25), 1e-15);
    EXPECT_EQ(e.w[0], -e.w[1]);
}

// Beyond either end of this solver's window the symmetrised copy is scaled in place: V is that of
// the matrix at unit scale and the eigenvalues its values times the same power of two.
TEST(SymmetricEigenTest, ScaledInputFollowsAPowerOfTwoScale) {
    linalg_test::expect_power_of_two_scale(symmetric(4, 31), {1022, -1000}, run, [](const eigen::SymmetricEigen& e) {
        return linalg_test::ScaledParts{e.w, e.v.storage.data};
    });
}

TEST(SymmetricEigenTest, Errors) {
    EXPECT_EQ(display(run(Matrix{2, 3, std::vector<double>(6, 1.0)}).error()), "Shape mismatch: lhs [2, 3], rhs [2, 2]");
    // The non-finite entry is reported before any symmetry test.
    EXPECT_EQ(display(run(eigen_test::square(2, {1, 5, std::numeric_limits<double>::quiet_NaN(), 1})).error()),
              "Invalid input: symmetric eigensolver input has a non-finite entry at (1, 0)");
    EXPECT_EQ(display(run(eigen_test::square(2, {1, 2, 3, 4})).error()),
              "Invalid input: symmetric eigensolver input is not symmetric at (0, 1)");
    EXPECT_EQ(display(run(eigen_test::square(2, std::vector<double>(4, 1.5e308))).error()),
              "Arithmetic overflow in layout calculations: Jacobi eigensolver: an eigenvalue exceeds the scalar range");
}

TEST(SymmetricEigenTest, RotationBudget) {
    EXPECT_EQ(eigen::rotation_budget(0), 1u);
    EXPECT_EQ(eigen::rotation_budget(1), 32u);
    EXPECT_EQ(eigen::rotation_budget(500), 8000000u);
    EXPECT_EQ(eigen::rotation_budget(std::uint64_t{1} << 32), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(eigen::rotation_budget(std::uint64_t{1} << 30), std::numeric_limits<std::uint64_t>::max());

    // One rotation finishes a 2×2: the check after the last allowed rotation finds nothing left.
    std::vector<double> a = {2, 1, 1, 2}, v = {1, 0, 0, 1};
    EXPECT_TRUE(eigen::diagonalise(a, v, 2, eigen::frobenius_norm(a), 1).has_value());
    // A 3×3 needs more than one: the remaining pivot over the norm is the residual.
    std::vector<double> b = {4, 1, 0.5, 1, 3, 0.25, 0.5, 0.25, 2}, w = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    const auto r = eigen::diagonalise(b, w, 3, eigen::frobenius_norm(b), 1);
    ASSERT_FALSE(r.has_value());
    const auto* err = std::get_if<kavrel::domain::error::ConvergenceError>(&r.error());
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->max_iters, 1u);
    EXPECT_EQ(err->tol, eigen_test::eps);
    EXPECT_GT(err->residual, 0.0);
    EXPECT_TRUE(display(r.error()).starts_with("Solver did not converge after 1 iterations (residual "));
    EXPECT_TRUE(display(r.error()).ends_with(", tolerance 2.220446049250313e-16)"));
}

TEST(SymmetricEigenTest, FrobeniusNorm) {
    EXPECT_EQ(eigen::frobenius_norm(std::vector<double>{}), 0.0);
    EXPECT_EQ(eigen::frobenius_norm(std::vector<double>{0, -0.0}), 0.0);
    EXPECT_EQ(eigen::frobenius_norm(std::vector<double>{3, -4}), 5.0);
    EXPECT_NEAR(eigen::frobenius_norm(std::vector<double>{1e300, 1e300}) / 1e300, std::sqrt(2.0), 4 * eigen_test::eps);
}

}  // namespace
