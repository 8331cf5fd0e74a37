#include "kavrel_ops/application/linalg/cholesky.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/linalg.hpp"
#include "support/scalar.hpp"

namespace {

using namespace linalg_test;
using kavrel::domain::error::InternalError;
using kavrel_ops::application::linalg::cholesky::Array;
using kavrel_ops::application::linalg::cholesky::cholesky_decompose;
using kavrel_ops::application::linalg::cholesky::cholesky_inverse;
using kavrel_ops::application::linalg::cholesky::cholesky_solution;
using kavrel_ops::application::linalg::cholesky::CholeskyDecomposition;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// ‖A − L·Lᵀ‖_F / (n·‖A‖_F·eps), A taken from its lower triangle.
double cholesky_residual(const Matrix& a, const CholeskyDecomposition& f) {
    const std::size_t n = a.rows;
    if (n == 0) return 0.0;
    Matrix l(n, n, elements(f.l)), lt(n, n), sym(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            lt(i, j) = l(j, i);
            sym(i, j) = j <= i ? a(i, j) : a(j, i);
        }
    return distance(sym.data, multiply(l, lt).data) / (static_cast<double>(n) * frobenius(sym) * eps);
}

// D·S·D with D = diag(2^-i): symmetric positive-definite with graded magnitudes.
Matrix graded_spd(std::size_t n, std::uint64_t seed) {
    Matrix m = spd(n, seed);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) m(i, j) = std::ldexp(m(i, j), -static_cast<int>(i + j));
    return m;
}

TEST(CholeskyDecomposeTest, ExactSmallFactors) {
    struct Case {
        const char* name;
        Matrix a;
        std::vector<double> l;
    };
    const Case cases[] = {
        {"empty", Matrix(0, 0), {}},
        {"one element", Matrix(1, 1, {4}), {2}},
        {"two by two", Matrix(2, 2, {4, 2, 2, 3}), {2, 0, 1, std::sqrt(2.0)}},
        {"the upper triangle is never read", Matrix(2, 2, {4, 100, 2, 3}), {2, 0, 1, std::sqrt(2.0)}},
        {"diagonal", Matrix(3, 3, {9, -1, -1, 0, 16, -1, 0, 0, 0.25}), {3, 0, 0, 0, 4, 0, 0, 0, 0.5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = cholesky_decompose(view_of(c.a));
        ASSERT_TRUE(f) << kavrel::domain::error::display(f.error());
        EXPECT_EQ(f->n, c.a.rows);
        EXPECT_EQ(f->l.layout.shape, (std::array<std::uint64_t, 2>{c.a.rows, c.a.rows}));
        EXPECT_EQ(f->l.layout.offset, 0u);
        EXPECT_EQ(elements(f->l), c.l);
    }
}

// Finite entries whose inner products overflow: l(2, 0) = 1e200 / 1e-150 is infinite, l(1, 0) is
// 0, so l(2, 1) = (0 − ∞·0) / 1 and the reduction of row 2 are NaN.
const Matrix overflowing = Matrix(3, 3, {1e-300, 0, 1e200, 0, 1, 0, 1e200, 0, 1});

TEST(CholeskyDecomposeTest, Failures) {
    struct Case {
        const char* name;
        Matrix a;
        std::string display;
    };
    const std::string non_finite = "Storage error: Cholesky input contains a non-finite value";
    const Case cases[] = {
        {"2 x 3", Matrix(2, 3, {4, 0, 0, 0, 4, 0}), "Shape mismatch: lhs [2, 3], rhs [2, 2]"},
        {"0 x 1", Matrix(0, 1), "Shape mismatch: lhs [0, 1], rhs [0, 0]"},
        {"NaN first", Matrix(2, 2, {nan, 0, 0, 1}), non_finite},
        {"infinity in the strict upper triangle", Matrix(3, 3, {4, 0, inf, 0, 4, 0, 0, 0, 4}), non_finite},
        {"NaN in the middle", Matrix(3, 3, {4, 0, 0, 0, nan, 0, 0, 0, 4}), non_finite},
        {"-infinity last", Matrix(3, 3, {4, 0, 0, 0, 4, 0, 0, 0, -inf}), non_finite},
        {"zero", Matrix(1, 1, {0}), "Storage error: Cholesky pivot 0 is non-positive: matrix is not positive-definite"},
        {"negative", Matrix(1, 1, {-1}),
         "Storage error: Cholesky pivot 0 is non-positive: matrix is not positive-definite"},
        {"indefinite", Matrix(2, 2, {1, 2, 2, 1}),
         "Storage error: Cholesky pivot 1 is non-positive: matrix is not positive-definite"},
        {"semidefinite", Matrix(3, 3, {1, 1, 1, 1, 1, 1, 1, 1, 1}),
         "Storage error: Cholesky pivot 1 is non-positive: matrix is not positive-definite"},
        {"NaN reduction from overflow", overflowing,
         "Storage error: Cholesky pivot 2 is non-positive: matrix is not positive-definite"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = cholesky_decompose(view_of(c.a));
        ASSERT_FALSE(f);
        EXPECT_EQ(kavrel::domain::error::display(f.error()), c.display);
    }
}

TEST(CholeskyDecomposeTest, ShapeIsCheckedBeforeAnyElementIsRead) {
    const ArrayView<double, 2> unreadable{nullptr, 6, Layout<2>{{3, 2}, {2, 1}, 0}};
    auto f = cholesky_decompose(unreadable);
    ASSERT_FALSE(f);
    EXPECT_EQ(kavrel::domain::error::display(f.error()), "Shape mismatch: lhs [3, 2], rhs [3, 3]");
}

class CholeskyPathTest : public scalar_test::ForcedPathTest {};

TEST_P(CholeskyPathTest, FactorReproducesTheMatrix) {
    struct Case {
        const char* name;
        Matrix a;
    };
    const Case cases[] = {{"spd 1", spd(1, 1)}, {"spd 5", spd(5, 2)}, {"spd 64", spd(64, 3)},
                          {"spd 101", spd(101, 4)}, {"graded 30", graded_spd(30, 5)}, {"Hilbert 9", hilbert(9)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = cholesky_decompose(view_of(c.a));
        ASSERT_TRUE(f);
        EXPECT_LE(cholesky_residual(c.a, *f), 1.0);
        const std::size_t n = c.a.rows;
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_GT(f->l.data()[i * n + i], 0.0);
            for (std::size_t j = i + 1; j < n; ++j) EXPECT_EQ(f->l.data()[i * n + j], 0.0);
        }
    }
}

TEST_P(CholeskyPathTest, SolveHasASmallBackwardError) {
    for (const Matrix& a : {spd(1, 6), spd(7, 7), spd(90, 8), graded_spd(25, 9), hilbert(9)}) {
        auto f = cholesky_decompose(view_of(a));
        ASSERT_TRUE(f);
        const Matrix b = random_matrix(a.rows, 1, 31);
        std::vector<double> x = b.data;
        f->solve_in_place(x);
        const double scale = static_cast<double>(a.rows) * (frobenius(a) * frobenius(x) + frobenius(b)) * eps;
        EXPECT_LE(distance(multiply(a, x), b.data) / scale, 1.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, CholeskyPathTest, testing::ValuesIn(scalar_test::all_paths),
                         scalar_test::path_param_name);

TEST(CholeskyDecomposeTest, StridedViewsFactorLikeTheirDenseCopy) {
    const Matrix a = spd(11, 21);
    auto dense = cholesky_decompose(view_of(a));
    ASSERT_TRUE(dense);
    for (Placement p : all_placements) {
        SCOPED_TRACE(name_of(p));
        const StridedCopy copy = strided_copy(a, p);
        auto f = cholesky_decompose(copy.view);
        ASSERT_TRUE(f);
        EXPECT_EQ(elements(f->l), elements(dense->l));
    }
}

TEST(CholeskySolveInPlaceTest, SmallExactSolve) {
    auto f = cholesky_decompose(view_of(Matrix(2, 2, {4, 2, 2, 3})));
    ASSERT_TRUE(f);
    std::vector<double> b = {2, 1};
    f->solve_in_place(b);
    EXPECT_EQ(b, (std::vector<double>{0.5, 0.0}));
}

TEST(CholeskySolveInPlaceTest, BackSubstitutionRoundsEachProduct) {
    // L = [[1, 0], [t, 1]]: y = [1, b1 − t], then x0 = 1 − y1·t with the product rounded first.
    const double t = 1.0 / 3.0;
    CholeskyDecomposition f{kavrel::domain::error::expect(Array<double, 2>::from_vec({2, 2}, {1, 0, t, 1}), "L"), 2};
    std::vector<double> b = {1, 3.0 + t};
    const double y1 = b[1] - t;
    ASSERT_NE(1.0 - y1 * t, std::fma(-y1, t, 1.0));  // the inputs tell the two apart
    f.solve_in_place(b);
    EXPECT_EQ(b[1], y1);
    EXPECT_EQ(b[0], 1.0 - y1 * t);
}

TEST(CholeskySolveInPlaceTest, EmptyAndMismatchedRightHandSides) {
    auto empty = cholesky_decompose(view_of(Matrix(0, 0)));
    ASSERT_TRUE(empty);
    std::vector<double> none;
    empty->solve_in_place(none);
    EXPECT_TRUE(none.empty());
    auto f = cholesky_decompose(view_of(Matrix(1, 1, {4})));
    ASSERT_TRUE(f);
    std::vector<double> long_b(2);
    EXPECT_THROW(f->solve_in_place(long_b), InternalError);
}

// Several right-hand sides solved together give each one exactly the bits of its own solve, and
// a b that is not count whole right-hand sides is refused.
TEST(CholeskySolveInPlaceTest, ColumnsTogetherMatchOneAtATime) {
    auto f = cholesky_decompose(view_of(graded_spd(11, 5)));
    ASSERT_TRUE(f);
    for (std::size_t count : {1, 3, 8}) {
        SCOPED_TRACE(count);
        const Matrix rhs = random_matrix(count, 11, 20 + count);
        std::vector<double> together(rhs.data.begin(), rhs.data.end());
        f->solve_columns_in_place(together, count);
        for (std::size_t c = 0; c < count; ++c) {
            std::vector<double> one(rhs.data.begin() + c * 11, rhs.data.begin() + (c + 1) * 11);
            f->solve_in_place(one);
            for (std::size_t i = 0; i < 11; ++i)
                ASSERT_EQ(scalar_test::bits_of(together[c * 11 + i]), scalar_test::bits_of(one[i])) << c << "," << i;
        }
    }
    std::vector<double> ragged(23);
    EXPECT_THROW(f->solve_columns_in_place(ragged, 2), InternalError);
    EXPECT_THROW(f->solve_columns_in_place(ragged, 0), InternalError);
}

// --- cholesky_solution, cholesky_inverse -------------------------------------------------------

TEST(CholeskySolutionTest, SolvesFromTheMatrix) {
    const auto exact = cholesky_solution(view_of(Matrix(2, 2, {4, 2, 2, 3})), strided_vector({2, 1}, 1).view);
    ASSERT_TRUE(exact);
    EXPECT_EQ(elements(*exact), (std::vector<double>{0.5, 0.0}));
    expect_small_backward_errors({spd(1, 6), spd(7, 7), spd(90, 8), graded_spd(25, 9), hilbert(9)}, 32,
                                 [](const Matrix& a, const ArrayView<double, 1>& b) { return cholesky_solution(view_of(a), b); });
}

// A contiguous b is copied as a block, any other read element by element: the same bits.
TEST(CholeskySolutionTest, StridedRightHandSideSolvesLikeItsCopy) {
    const Matrix a = spd(10, 22);
    expect_strided_rhs_like_copy(random_matrix(10, 1, 23).data, {3, -1, -2},
                                 [&](const ArrayView<double, 1>& b) { return cholesky_solution(view_of(a), b); });
}

// The factorisation's errors come before the length of b is compared with the order.
TEST(CholeskySolutionTest, ErrorsInOrder) {
    const auto long_b = strided_vector({1, 2, 3}, 1);
    expect_failures(
        {{Matrix(2, 3, {4, 0, 0, 0, 4, 0}), "Shape mismatch: lhs [2, 3], rhs [2, 2]"},
         {Matrix(2, 2, {1, 2, 2, 1}), "Storage error: Cholesky pivot 1 is non-positive: matrix is not positive-definite"},
         {Matrix(2, 2, {4, 0, 0, 4}), "Shape mismatch: lhs [3], rhs [2]"}},
        [&](const Matrix& a) { return cholesky_solution(view_of(a), long_b.view); });
}

TEST(CholeskyInverseTest, ExactSmallInverses) {
    const auto diagonal = cholesky_inverse(view_of(Matrix(3, 3, {4, 0, 0, 0, 16, 0, 0, 0, 0.25})));
    ASSERT_TRUE(diagonal);
    EXPECT_EQ(elements(*diagonal), (std::vector<double>{0.25, 0, 0, 0, 0.0625, 0, 0, 0, 4}));
    const auto empty = cholesky_inverse(view_of(Matrix(0, 0)));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->layout.shape, (std::array<std::uint64_t, 2>{0, 0}));
}

// Orders below, at and across the groups of eight columns solved together. Each entry goes
// through both substitutions, two roundings even for n = 1, hence a bound of a few units.
TEST(CholeskyInverseTest, ProductWithTheMatrixIsTheIdentity) {
    for (const Matrix& a : {spd(1, 3), spd(8, 4), spd(17, 5), graded_spd(25, 9), hilbert(6)}) {
        SCOPED_TRACE(a.rows);
        const auto x = cholesky_inverse(view_of(a));
        ASSERT_TRUE(x);
        EXPECT_EQ(x->layout.shape, (std::array<std::uint64_t, 2>{a.rows, a.rows}));
        EXPECT_LE(inverse_residual(a, Matrix(a.rows, a.rows, elements(*x))), 4.0);
    }
    const auto refused = cholesky_inverse(view_of(Matrix(1, 1, {-1})));
    ASSERT_FALSE(refused);
    EXPECT_EQ(kavrel::domain::error::display(refused.error()),
              "Storage error: Cholesky pivot 0 is non-positive: matrix is not positive-definite");
}

}  // namespace
