#include "kavrel_ops/application/linalg/udu/decompose.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/linalg.hpp"
#include "support/scalar.hpp"

namespace {

using namespace linalg_test;
using kavrel_ops::application::linalg::udu::decompose::udu_decompose;
using kavrel_ops::application::linalg::udu::decompose::UduDecomposition;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// Symmetric, indefinite, with diagonal entries ±n alternating: every pivot stays large.
Matrix dominant_indefinite(std::size_t n, std::uint64_t seed) {
    Matrix m = symmetric(n, seed);
    for (std::size_t i = 0; i < n; ++i) m(i, i) = i % 2 == 0 ? static_cast<double>(n) : -static_cast<double>(n);
    return m;
}

// ‖A − U·diag(d)·Uᵀ‖_F / (n·max|a|·eps), A taken from its upper triangle.
double udu_residual(const Matrix& a, const UduDecomposition& f) {
    const std::size_t n = a.rows;
    if (n == 0) return 0.0;
    const Matrix u(n, n, f.u);
    Matrix ud(n, n), ut(n, n), sym(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            ud(i, j) = u(i, j) * f.d[j];
            ut(i, j) = u(j, i);
            sym(i, j) = i <= j ? a(i, j) : a(j, i);
        }
    return distance(sym.data, multiply(ud, ut).data) / (static_cast<double>(n) * max_abs(a.data) * eps);
}

void expect_unit_upper(const UduDecomposition& f) {
    for (std::size_t i = 0; i < f.n; ++i)
        for (std::size_t j = 0; j <= i; ++j) EXPECT_EQ(f.u[i * f.n + j], i == j ? 1.0 : 0.0) << i << ", " << j;
}

TEST(UduDecomposeTest, ExactSmallFactors) {
    struct Case {
        const char* name;
        Matrix a;
        std::vector<double> u, d;
    };
    const double third2 = 2.0 / 3.0;
    const Case cases[] = {
        {"empty", Matrix(0, 0), {}, {}},
        {"one element", Matrix(1, 1, {-2.5}), {1}, {-2.5}},
        // d[1] = 3, U(0, 1) = 2/3, w[0] = (2/3)·3, d[0] = 4 − (2/3)·w[0].
        {"two by two", Matrix(2, 2, {4, 2, 2, 3}), {1, third2, 0, 1}, {4 - third2 * (third2 * 3), 3}},
        {"indefinite diagonal", Matrix(3, 3, {2, 0, 0, 0, -1, 0, 0, 0, 0.5}), identity(3).data, {2, -1, 0.5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = udu_decompose(view_of(c.a));
        ASSERT_TRUE(f) << kavrel::domain::error::display(f.error());
        EXPECT_EQ(f->n, c.a.rows);
        EXPECT_EQ(f->u, c.u);
        EXPECT_EQ(f->d, c.d);
    }
}

TEST(UduDecomposeTest, Failures) {
    struct Case {
        const char* name;
        Matrix a;
        std::string display;
    };
    const std::string zero_pivot = "Storage error: UDU encountered a zero pivot (needs symmetric pivoting)";
    const Case cases[] = {
        {"not square", Matrix(2, 3), "Shape mismatch: lhs [2, 3], rhs [2, 2]"},
        {"NaN before the symmetry test", Matrix(2, 2, {1, 7, 0, nan}), "Storage error: UDU input contains a non-finite value"},
        {"infinity", Matrix(2, 2, {inf, 0, 0, 1}), "Storage error: UDU input contains a non-finite value"},
        {"asymmetric beyond 1e-9·max|a|", Matrix(2, 2, {1, 1, 1 + 3e-9, 1}), "Storage error: UDU requires a symmetric matrix"},
        {"zero 1x1", Matrix(1, 1, {0}), zero_pivot},
        {"zero 3x3", Matrix(3, 3), zero_pivot},
        {"exchange: nonsingular but the last pivot is 0", Matrix(2, 2, {0, 1, 1, 0}), zero_pivot},
        // d[1] = 1, then d[0] = 1 − 1·1 = 0 exactly.
        {"singular 2x2", Matrix(2, 2, {1, 1, 1, 1}), zero_pivot},
        // The last pivot 1e-13 is at most 1e-12·max|a| = 1e-12.
        {"pivot below the relative tolerance", Matrix(2, 2, {1, 0, 0, 1e-13}), zero_pivot},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = udu_decompose(view_of(c.a));
        ASSERT_FALSE(f);
        EXPECT_EQ(kavrel::domain::error::display(f.error()), c.display);
    }
}

// Updates that overflow although the factors are finite: the factors of the input scaled down by a
// power of two, U as it is and d scaled back; factors that are themselves out of range fail.
TEST(UduDecomposeTest, FactorsNearTheTopOfTheRange) {
    // d[1] = 0.5·2^1023, U(0, 1) = 2, and d[0] = 1.5·2^1023 − 2·2^1023: the dot product 2·2^1023
    // overflows, the pivot does not.
    const double big = std::ldexp(1.0, 1023);
    auto f = udu_decompose(view_of(Matrix(2, 2, {1.5 * big, big, big, 0.5 * big})));
    ASSERT_TRUE(f) << kavrel::domain::error::display(f.error());
    EXPECT_EQ(f->u, (std::vector<double>{1, 2, 0, 1}));
    EXPECT_EQ(f->d, (std::vector<double>{-0.5 * big, 0.5 * big}));
    // 4e308 − 4e308 in the unscaled update was a NaN pivot; the factors are those of a/2^60.
    const Matrix a(3, 3, {1e300, 2e304, 2e304, 2e304, -1e300, 0, 2e304, 0, 1e300});
    Matrix small = a;
    for (double& x : small.data) x = std::ldexp(x, -60);
    auto g = udu_decompose(view_of(a)), h = udu_decompose(view_of(small));
    ASSERT_TRUE(g) << kavrel::domain::error::display(g.error());
    ASSERT_TRUE(h);
    EXPECT_EQ(g->u, h->u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(g->d[i], std::ldexp(h->d[i], 60)) << i;
    // d[0] = 1.5e308 − 4·1e308 is itself beyond the range.
    auto out = udu_decompose(view_of(Matrix(2, 2, {1.5e308, 1e308, 1e308, 0.5e308 / 2})));
    ASSERT_FALSE(out);
    EXPECT_EQ(kavrel::domain::error::display(out.error()),
              "Arithmetic overflow in layout calculations: UDU factor exceeds the scalar range");
}

// The factors of a scaled copy are the input's only where the scale keeps the bits of every entry
// of the upper triangle: an odd multiple of 2^-1074 there admits no scale, and the overflow stands;
// below the diagonal it does not enter the factors and is no obstacle.
TEST(UduDecomposeTest, NoScaleRoundsAnEntryOfTheUpperTriangle) {
    const double odd = 3 * std::numeric_limits<double>::denorm_min();
    Matrix a(4, 4, {1e300, 2e304, 2e304, 0,  //
                    2e304, -1e300, 0, 0,     //
                    2e304, 0, 1e300, 0,      //
                    0, 0, 0, 1e300});
    Matrix upper = a, lower = a;
    upper(0, 3) = odd;
    lower(3, 0) = odd;
    auto refused = udu_decompose(view_of(upper));
    ASSERT_FALSE(refused);
    EXPECT_EQ(kavrel::domain::error::display(refused.error()),
              "Arithmetic overflow in layout calculations: UDU factor exceeds the scalar range");
    auto f = udu_decompose(view_of(lower)), g = udu_decompose(view_of(times_power_of_two(lower, -60)));
    ASSERT_TRUE(f) << kavrel::domain::error::display(f.error());
    ASSERT_TRUE(g);
    EXPECT_EQ(f->u, g->u);
}

TEST(UduDecomposeTest, ShapeIsCheckedBeforeAnyElementIsRead) {
    const ArrayView<double, 2> unreadable{nullptr, 6, Layout<2>{{2, 3}, {3, 1}, 0}};
    auto f = udu_decompose(unreadable);
    ASSERT_FALSE(f);
    EXPECT_EQ(kavrel::domain::error::display(f.error()), "Shape mismatch: lhs [2, 3], rhs [2, 2]");
}

TEST(UduDecomposeTest, OnlyTheUpperTriangleEntersTheFactors) {
    // The lower triangle differs within 1e-9·max|a|: accepted, and ignored.
    Matrix a = dominant_indefinite(9, 3), perturbed = a;
    for (std::size_t i = 0; i < 9; ++i)
        for (std::size_t j = 0; j < i; ++j) perturbed(i, j) += 5e-10 * ((i + j) % 2 == 0 ? 1 : -1);
    auto f = udu_decompose(view_of(a)), g = udu_decompose(view_of(perturbed));
    ASSERT_TRUE(f);
    ASSERT_TRUE(g);
    EXPECT_EQ(f->u, g->u);
    EXPECT_EQ(f->d, g->d);
    // The pivot bound itself is accepted: |d| = 1e-12·max|a| fails, just above passes.
    EXPECT_FALSE(udu_decompose(view_of(Matrix(2, 2, {1, 0, 0, 1e-12}))));
    EXPECT_TRUE(udu_decompose(view_of(Matrix(2, 2, {1, 0, 0, 1.0000001e-12}))));
}

TEST(UduDecomposeTest, FactorsReproduceTheMatrix) {
    for (std::size_t n : {1, 2, 3, 8, 17, 64, 120}) {
        for (const Matrix& a : {dominant_indefinite(n, 600 + n), spd(n, 700 + n)}) {
            SCOPED_TRACE("n=" + std::to_string(n));
            auto f = udu_decompose(view_of(a));
            ASSERT_TRUE(f) << kavrel::domain::error::display(f.error());
            expect_unit_upper(*f);
            EXPECT_LE(udu_residual(a, *f), 1.0);
        }
    }
}

TEST(UduDecomposeTest, RandomSymmetricWithoutPivotingStaysWithinItsGrowth) {
    // Plain random symmetric matrices are indefinite with pivots of any size: the residual is
    // bounded by the growth max|U|²·max|d| / max|a| of the factors.
    for (std::size_t n : {4, 10, 30}) {
        SCOPED_TRACE("n=" + std::to_string(n));
        const Matrix a = symmetric(n, 800 + n);
        auto f = udu_decompose(view_of(a));
        ASSERT_TRUE(f);
        const double umax = max_abs(f->u);
        const double growth = std::max(1.0, umax * umax * max_abs(f->d) / max_abs(a.data));
        EXPECT_LE(udu_residual(a, *f), 2.0 * growth);
    }
}

class UduDecomposePathTest : public scalar_test::ForcedPathTest {};

TEST_P(UduDecomposePathTest, FactorsReproduceTheMatrix) {
    const Matrix a = dominant_indefinite(41, 9);
    auto f = udu_decompose(view_of(a));
    ASSERT_TRUE(f);
    EXPECT_LE(udu_residual(a, *f), 1.0);
}

INSTANTIATE_TEST_SUITE_P(Paths, UduDecomposePathTest, testing::ValuesIn(scalar_test::all_paths),
                         scalar_test::path_param_name);

TEST(UduDecomposeTest, StridedViewsFactorLikeTheirDenseCopy) {
    for (std::size_t n : {1, 2, 6, 13}) {
        const Matrix a = dominant_indefinite(n, 90 + n);
        auto dense = udu_decompose(view_of(a));
        ASSERT_TRUE(dense);
        for (Placement p : all_placements) {
            SCOPED_TRACE(std::string(name_of(p)) + " n=" + std::to_string(n));
            const StridedCopy copy = strided_copy(a, p);
            const std::vector<double> before = copy.storage;
            auto f = udu_decompose(copy.view);
            ASSERT_TRUE(f);
            EXPECT_EQ(f->u, dense->u);
            EXPECT_EQ(f->d, dense->d);
            EXPECT_EQ(copy.storage, before);
        }
    }
}

}  // namespace
