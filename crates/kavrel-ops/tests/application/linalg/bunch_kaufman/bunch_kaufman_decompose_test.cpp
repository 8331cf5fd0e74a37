#include "kavrel_ops/application/linalg/bunch_kaufman/decompose.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "kavrel_ops/application/linalg/bunch_kaufman.hpp"
#include "support/linalg.hpp"
#include "support/scalar.hpp"

namespace {

using namespace linalg_test;
using kavrel_ops::application::linalg::bunch_kaufman::BunchKaufmanDecomposition;
namespace bk = kavrel_ops::application::linalg::bunch_kaufman;
using bk::decompose::bunch_kaufman_decompose;
using bk::decompose::detail::one_by_one_growth_ok;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// Symmetric with a zero diagonal: every column starts with absakk = 0, so 2×2 pivots abound.
Matrix hollow_symmetric(std::size_t n, std::uint64_t seed) {
    Matrix m = symmetric(n, seed);
    for (std::size_t i = 0; i < n; ++i) m(i, i) = 0.0;
    return m;
}

Matrix scaled(const Matrix& a, int k) {
    Matrix m = a;
    for (double& x : m.data) x = std::ldexp(x, k);
    return m;
}

// ‖Pᵀ·A·P − L·D·Lᵀ‖_F / (n·eps·‖|L|·|D|·|L|ᵀ‖_F), (Pᵀ·A·P)(i, j) = A(perm[i], perm[j]): the
// classical backward-error bound of an LDLᵀ factorisation is a small multiple of one.
double bk_residual(const Matrix& a, const BunchKaufmanDecomposition& f) {
    const std::size_t n = a.rows;
    if (n == 0) return 0.0;
    const Matrix l(n, n, f.l), d(n, n, f.d);
    Matrix lt(n, n), pap(n, n), al(n, n), ad(n, n), alt(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            lt(i, j) = l(j, i);
            pap(i, j) = a(f.perm[i], f.perm[j]);
            al(i, j) = std::fabs(l(i, j));
            ad(i, j) = std::fabs(d(i, j));
            alt(i, j) = std::fabs(l(j, i));
        }
    const double bound = frobenius(multiply(multiply(al, ad), alt));
    return distance(pap.data, multiply(multiply(l, d), lt).data) / (static_cast<double>(n) * eps * bound);
}

// L unit lower triangular with the 2×2 zeros, D symmetric block diagonal, perm a permutation.
void expect_structure(const BunchKaufmanDecomposition& f) {
    const std::size_t n = f.n;
    std::vector<std::uint64_t> sorted = f.perm;
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(sorted[i], i);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            const double l = f.l[i * n + j], d = f.d[i * n + j];
            if (j == i) {
                EXPECT_EQ(l, 1.0);
            }
            if (j > i) {
                EXPECT_EQ(l, 0.0);
            }
            EXPECT_TRUE(std::isfinite(l) && std::isfinite(d)) << "(" << i << ", " << j << ")";
            const bool in_block = i == j || (j == i + 1 && f.block_2x2[i]) || (i == j + 1 && f.block_2x2[j]);
            if (!in_block) {
                EXPECT_EQ(d, 0.0) << "(" << i << ", " << j << ")";
            }
        }
    for (std::size_t k = 0; k + 1 < n; ++k)
        if (f.block_2x2[k]) {
            EXPECT_EQ(f.l[(k + 1) * n + k], 0.0);
            EXPECT_EQ(f.d[k * n + k + 1], f.d[(k + 1) * n + k]);
            EXPECT_FALSE(f.block_2x2[k + 1]);
        }
}

std::size_t count_2x2(const BunchKaufmanDecomposition& f) {
    return static_cast<std::size_t>(std::count(f.block_2x2.begin(), f.block_2x2.end(), true));
}

// --- Exact small factorisations -----------------------------------------------------------

TEST(BunchKaufmanDecomposeTest, ExactSmallFactors) {
    struct Case {
        const char* name;
        Matrix a;
        std::vector<double> l, d;
        std::vector<std::uint64_t> perm;
        std::vector<bool> blocks;
    };
    const double t = 1e-170;  // t·t underflows to 0
    const Case cases[] = {
        {"empty", Matrix(0, 0), {}, {}, {}, {}},
        {"one element", Matrix(1, 1, {-3}), {1}, {-3}, {0}, {false}},
        {"one zero", Matrix(1, 1, {0}), {1}, {0}, {0}, {false}},
        {"zero 3x3", Matrix(3, 3), identity(3).data, std::vector<double>(9), {0, 1, 2}, {false, false, false}},
        {"exchange", Matrix(2, 2, {0, 1, 1, 0}), {1, 0, 0, 1}, {0, 1, 1, 0}, {0, 1}, {true, false}},
        {"tiny exchange: no zero 1x1 pivot, no false singular block", Matrix(2, 2, {0, t, t, 0}), {1, 0, 0, 1},
         {0, t, t, 0}, {0, 1}, {true, false}},
        {"b read below the diagonal", Matrix(2, 2, {0, 1, 1 + 5e-10, 0}), {1, 0, 0, 1},
         {0, 1 + 5e-10, 1 + 5e-10, 0}, {0, 1}, {true, false}},
        // Within the symmetry tolerance the lower triangle decides: W(0, 1) = 0 is not read, and
        // the block [[0, 1e-10], [1e-10, 0]] is a regular 2×2 pivot.
        {"upper zeros within the tolerance", Matrix(3, 3, {0, 0, 0, 1e-10, 0, 1e-10, 0, 1e-10, 1}),
         {1, 0, 0, 0, 1, 0, 1, 0, 1}, {0, 1e-10, 0, 1e-10, 0, 0, 0, 0, 1}, {0, 1, 2}, {true, false, false}},
        {"diagonally dominant", Matrix(3, 3, {4, 1, 0, 1, 4, 2, 0, 2, 8}), {1, 0, 0, 0.25, 1, 0, 0, 2 / 3.75, 1},
         {4, 0, 0, 0, 3.75, 0, 0, 0, 8 - (2 / 3.75) * 2}, {0, 1, 2}, {false, false, false}},
        // colmax 4 at row 2, absakk 1 < alpha·4, rowmax 4, 1·4 < 4·(4·alpha), |a22| = 16 ≥ 4·alpha:
        // rows and columns 0 and 2 are exchanged, then 16 is a 1×1 pivot.
        {"swapped 1x1 pivot", Matrix(3, 3, {1, 0, 4, 0, 2, 0, 4, 0, 16}), {1, 0, 0, 0, 1, 0, 0.25, 0, 1},
         {16, 0, 0, 0, 2, 0, 0, 0, 0}, {2, 1, 0}, {false, false, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = bunch_kaufman_decompose(view_of(c.a));
        ASSERT_TRUE(f) << kavrel::domain::error::display(f.error());
        EXPECT_EQ(f->n, c.a.rows);
        EXPECT_EQ(f->l, c.l);
        EXPECT_EQ(f->d, c.d);
        EXPECT_EQ(f->perm, c.perm);
        EXPECT_EQ(f->block_2x2, c.blocks);
        const auto l = bk::l_factor(*f), d = bk::d_factor(*f);
        EXPECT_EQ(l.layout.shape, (std::array<std::uint64_t, 2>{c.a.rows, c.a.rows}));
        EXPECT_EQ(std::vector<double>(l.data(), l.data() + l.len()), c.l);
        EXPECT_EQ(std::vector<double>(d.data(), d.data() + d.len()), c.d);
        EXPECT_EQ(bk::permutation(*f), c.perm);
    }
}

TEST(BunchKaufmanDecomposeTest, Failures) {
    struct Case {
        const char* name;
        Matrix a;
        std::string display;
    };
    const Case cases[] = {
        {"not square", Matrix(3, 4), "Shape mismatch: lhs [3, 4], rhs [3, 3]"},
        {"NaN before the symmetry test", Matrix(2, 2, {1, 5, 0, nan}),
         "Storage error: Bunch-Kaufman input contains a non-finite value"},
        {"infinity", Matrix(2, 2, {1, 0, 0, -inf}), "Storage error: Bunch-Kaufman input contains a non-finite value"},
        {"asymmetric beyond 1e-9·max|a|", Matrix(2, 2, {0, 1, 1 + 2e-9, 0}),
         "Storage error: Bunch-Kaufman requires a symmetric matrix"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = bunch_kaufman_decompose(view_of(c.a));
        ASSERT_FALSE(f);
        EXPECT_EQ(kavrel::domain::error::display(f.error()), c.display);
    }
}

TEST(BunchKaufmanDecomposeTest, ShapeIsCheckedBeforeAnyElementIsRead) {
    const ArrayView<double, 2> unreadable{nullptr, 12, Layout<2>{{3, 4}, {4, 1}, 0}};
    auto f = bunch_kaufman_decompose(unreadable);
    ASSERT_FALSE(f);
    EXPECT_EQ(kavrel::domain::error::display(f.error()), "Shape mismatch: lhs [3, 4], rhs [3, 3]");
}

// W(0, 1) = W(2, 1) = 0 above the diagonal against W(1, 0) = 1e-10 below it, within the
// tolerance: column 1 is read below the diagonal, so rowmax is 1e-10, not 0, and neither
// diagonal entry becomes a 1×1 pivot over a column it cannot divide.
TEST(BunchKaufmanDecomposeTest, AsymmetryWithinTheToleranceNeverGivesAZeroPivot) {
    for (double a00 : {0.0, 1e-11}) {
        SCOPED_TRACE(a00);
        const Matrix a(3, 3, {a00, 0, 0, 1e-10, 0, 0, 0, 0, 1});
        auto f = bunch_kaufman_decompose(view_of(a));
        ASSERT_TRUE(f) << kavrel::domain::error::display(f.error());
        expect_structure(*f);
        EXPECT_EQ(f->perm, (std::vector<std::uint64_t>{0, 1, 2}));
        EXPECT_EQ(f->block_2x2, (std::vector<bool>{true, false, false}));
        EXPECT_EQ(f->d, (std::vector<double>{a00, 1e-10, 0, 1e-10, 0, 0, 0, 0, 1}));
    }
}

// --- Residuals ------------------------------------------------------------------------------

struct ResidualCase {
    std::string name;
    Matrix a;
};

std::vector<ResidualCase> residual_cases() {
    std::vector<ResidualCase> cases;
    for (std::size_t n : {2, 3, 5, 8, 17, 40, 101}) {
        cases.push_back({"symmetric " + std::to_string(n), symmetric(n, 300 + n)});
        cases.push_back({"hollow " + std::to_string(n), hollow_symmetric(n, 500 + n)});
    }
    cases.push_back({"spd 30", spd(30, 4)});
    return cases;
}

TEST(BunchKaufmanDecomposeTest, FactorsReproduceThePermutedMatrix) {
    std::size_t blocks = 0;
    for (const ResidualCase& c : residual_cases()) {
        SCOPED_TRACE(c.name);
        auto f = bunch_kaufman_decompose(view_of(c.a));
        ASSERT_TRUE(f) << kavrel::domain::error::display(f.error());
        expect_structure(*f);
        EXPECT_LE(bk_residual(c.a, *f), 0.25);
        blocks += count_2x2(*f);
    }
    EXPECT_GT(blocks, 20u);  // the 2×2 path is exercised, not only 1×1 pivots
}

TEST(BunchKaufmanDecomposeTest, PositiveDefiniteTakesOnlyDiagonalPivots) {
    auto f = bunch_kaufman_decompose(view_of(spd(25, 8)));
    ASSERT_TRUE(f);
    std::vector<std::uint64_t> iota(25);
    std::iota(iota.begin(), iota.end(), std::uint64_t{0});
    EXPECT_EQ(f->perm, iota);
    EXPECT_EQ(count_2x2(*f), 0u);
}

class BunchKaufmanDecomposePathTest : public scalar_test::ForcedPathTest {};

TEST_P(BunchKaufmanDecomposePathTest, FactorsReproduceThePermutedMatrix) {
    for (const Matrix& a : {symmetric(37, 5), hollow_symmetric(23, 6)}) {
        auto f = bunch_kaufman_decompose(view_of(a));
        ASSERT_TRUE(f);
        EXPECT_LE(bk_residual(a, *f), 0.25);
    }
}

// The matrix families where an update of both triangles, each with its own rounding, left
// factors that describe neither: the residual stays at the rounding level of the factors.
TEST_P(BunchKaufmanDecomposePathTest, BackwardStableOnHardFamilies) {
    std::vector<ResidualCase> cases;
    for (std::size_t n : {10, 33, 64, 100}) cases.push_back({"Hilbert " + std::to_string(n), hilbert(n)});
    for (std::size_t n : {20, 60}) {
        Matrix g = symmetric(n, 900 + n);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) g(i, j) = std::ldexp(g(i, j), -static_cast<int>(i + j));
        cases.push_back({"graded " + std::to_string(n), g});
    }
    for (std::size_t n : {40, 100}) {
        const Matrix b = random_matrix(n, n / 2, 950 + n);
        Matrix bt(n / 2, n);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n / 2; ++j) bt(j, i) = b(i, j);
        Matrix low_rank = multiply(b, bt);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < i; ++j) low_rank(i, j) = low_rank(j, i);
        cases.push_back({"rank " + std::to_string(n / 2) + " of " + std::to_string(n), low_rank});
    }
    for (std::size_t h : {6, 60}) {
        // [[H, Bᵀ], [B, 0]] with H positive definite and B of h/2 random rows.
        const std::size_t c = h / 2, n = h + c;
        const Matrix hh = spd(h, 970 + h), b = random_matrix(c, h, 980 + h);
        Matrix kkt(n, n);
        for (std::size_t i = 0; i < h; ++i)
            for (std::size_t j = 0; j < h; ++j) kkt(i, j) = hh(i, j);
        for (std::size_t i = 0; i < c; ++i)
            for (std::size_t j = 0; j < h; ++j) kkt(h + i, j) = kkt(j, h + i) = b(i, j);
        cases.push_back({"saddle point " + std::to_string(n), kkt});
    }
    for (const ResidualCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = bunch_kaufman_decompose(view_of(c.a));
        ASSERT_TRUE(f) << kavrel::domain::error::display(f.error());
        expect_structure(*f);
        EXPECT_LE(bk_residual(c.a, *f), 30.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, BunchKaufmanDecomposePathTest, testing::ValuesIn(scalar_test::all_paths),
                         scalar_test::path_param_name);

TEST(BunchKaufmanDecomposeTest, StridedViewsFactorLikeTheirDenseCopy) {
    for (std::size_t n : {1, 2, 6, 13}) {
        const Matrix a = hollow_symmetric(n, 70 + n);
        auto dense = bunch_kaufman_decompose(view_of(a));
        ASSERT_TRUE(dense);
        for (Placement p : all_placements) {
            SCOPED_TRACE(std::string(name_of(p)) + " n=" + std::to_string(n));
            const StridedCopy copy = strided_copy(a, p);
            const std::vector<double> before = copy.storage;
            auto f = bunch_kaufman_decompose(copy.view);
            ASSERT_TRUE(f);
            EXPECT_EQ(f->l, dense->l);
            EXPECT_EQ(f->d, dense->d);
            EXPECT_EQ(f->perm, dense->perm);
            EXPECT_EQ(copy.storage, before);  // the view is only read
        }
    }
}

// --- Entries near the ends of the exponent range --------------------------------------------

// Scaling A by 2^k scales every entry the elimination forms by 2^k and leaves the multipliers
// alone, as long as the pivot tests and the 2×2 inverses do not under- or overflow: the factors
// of 2^k·A are exactly L, 2^k·D and the same perm. At these scales the plain products
// colmax·(colmax·alpha), absakk·rowmax and a·c − b·b leave the float64 range.
TEST(BunchKaufmanDecomposeTest, ExtremeScalesKeepTheFactorsOfTheUnitScale) {
    const std::vector<ResidualCase> bases = {
        {"exchange with a tail", Matrix(3, 3, {0, 1, 0.5, 1, 0, 0.25, 0.5, 0.25, 1})},
        {"symmetric 9", symmetric(9, 11)},
        {"hollow 12", hollow_symmetric(12, 12)},
        {"hollow 31", hollow_symmetric(31, 13)},
    };
    for (const ResidualCase& base : bases) {
        auto unit = bunch_kaufman_decompose(view_of(base.a));
        ASSERT_TRUE(unit);
        ASSERT_GT(count_2x2(*unit), 0u);
        for (int k : {-900, -600, -540, 540, 600, 900}) {
            SCOPED_TRACE(base.name + " scaled by 2^" + std::to_string(k));
            auto f = bunch_kaufman_decompose(view_of(scaled(base.a, k)));
            ASSERT_TRUE(f) << kavrel::domain::error::display(f.error());
            EXPECT_EQ(f->perm, unit->perm);
            EXPECT_EQ(f->block_2x2, unit->block_2x2);
            EXPECT_EQ(f->l, unit->l);
            std::vector<double> d = unit->d;
            for (double& x : d) x = std::ldexp(x, k);
            EXPECT_EQ(f->d, d);
        }
    }
}

// A trailing entry overflows between two steps although D is finite: the factors are those of the
// input scaled by 2^-60, L and perm as they are and D scaled back. A D beyond the range fails.
TEST(BunchKaufmanDecomposeTest, UpdatesOverflowingBetweenStepsKeepFiniteFactors) {
    const Matrix a(3, 3, {-1.41477408e308, 3.98768572e307, 1.21408433e308,  //
                          3.98768572e307, 9.96212400e307, -1.51888838e308,  //
                          1.21408433e308, -1.51888838e308, 1.04640618e308});
    auto f = bunch_kaufman_decompose(view_of(a)), g = bunch_kaufman_decompose(view_of(scaled(a, -60)));
    ASSERT_TRUE(f) << kavrel::domain::error::display(f.error());
    ASSERT_TRUE(g);
    expect_structure(*f);
    EXPECT_EQ(f->perm, g->perm);
    EXPECT_EQ(f->block_2x2, g->block_2x2);
    EXPECT_EQ(f->l, g->l);
    std::vector<double> d = g->d;
    for (double& x : d) x = std::ldexp(x, 60);
    EXPECT_EQ(f->d, d);
    // 1×1 pivot 1e308, then D(1, 1) = −1e308 − 1e308·1e308/1e308.
    auto out = bunch_kaufman_decompose(view_of(Matrix(2, 2, {1e308, 1e308, 1e308, -1e308})));
    ASSERT_FALSE(out);
    EXPECT_EQ(kavrel::domain::error::display(out.error()),
              "Arithmetic overflow in layout calculations: Bunch-Kaufman factor exceeds the scalar range");
}

// The factors of a scaled copy are the input's only where the scale keeps the bits of every entry
// read, those of the lower triangle: an odd multiple of 2^-1074 there beside the overflowing
// entries admits no scale, and the overflow stands; above the diagonal it is no obstacle.
TEST(BunchKaufmanDecomposeTest, NoScaleRoundsAnEntryOfTheLowerTriangle) {
    const double odd = 3 * std::numeric_limits<double>::denorm_min();
    const Matrix a(4, 4, {-1.41477408e308, 3.98768572e307, 1.21408433e308, 0,  //
                          3.98768572e307, 9.96212400e307, -1.51888838e308, 0,  //
                          1.21408433e308, -1.51888838e308, 1.04640618e308, 0,  //
                          0, 0, 0, 1.0});
    Matrix lower = a, upper = a;
    lower(3, 2) = odd;
    upper(2, 3) = odd;
    auto f = bunch_kaufman_decompose(view_of(lower));
    ASSERT_FALSE(f);
    EXPECT_EQ(kavrel::domain::error::display(f.error()),
              "Arithmetic overflow in layout calculations: Bunch-Kaufman factor exceeds the scalar range");
    auto g = bunch_kaufman_decompose(view_of(upper)), h = bunch_kaufman_decompose(view_of(scaled(upper, -60)));
    ASSERT_TRUE(g) << kavrel::domain::error::display(g.error());
    ASSERT_TRUE(h);
    EXPECT_EQ(g->perm, h->perm);
    EXPECT_EQ(g->l, h->l);
}

TEST(BunchKaufmanDecomposeTest, HugeTwoByTwoBlockKeepsItsMultipliers) {
    // b = 1e160: b·b overflows, so the plain quotients of a zero-diagonal block are all zero.
    // Exactly, L(2, 0) = y/b and L(2, 1) = x/b.
    const double b = 1e160, x = 3e159, y = -7e159;
    const Matrix a(3, 3, {0, b, x, b, 0, y, x, y, 1e150});
    auto f = bunch_kaufman_decompose(view_of(a));
    ASSERT_TRUE(f);
    ASSERT_TRUE(f->block_2x2[0]);
    EXPECT_DOUBLE_EQ(f->l[6], y / b);
    EXPECT_DOUBLE_EQ(f->l[7], x / b);
    EXPECT_LE(bk_residual(a, *f), 0.25);
}

TEST(BunchKaufmanDecomposeTest, SubnormalEntriesFactorWithoutInfinities) {
    // Entries from 2^-1074 up: products of any two vanish, quotients of the block overflow.
    const Matrix a(3, 3, {0, 0x1p-1070, 0x1p-1073, 0x1p-1070, 0, 0x1p-1072, 0x1p-1073, 0x1p-1072, 0x1p-1074});
    auto f = bunch_kaufman_decompose(view_of(a));
    ASSERT_TRUE(f) << kavrel::domain::error::display(f.error());
    expect_structure(*f);
    ASSERT_TRUE(f->block_2x2[0]);
    EXPECT_EQ(f->l[6], 0.25);   // y/b = 2^-1072 / 2^-1070
    EXPECT_EQ(f->l[7], 0.125);  // x/b
}

// --- The 1×1 growth test ----------------------------------------------------------------------

double random_in_binade(std::mt19937_64& rng, int e) {
    std::uniform_real_distribution<double> unit(1.0, 2.0);
    return std::ldexp(unit(rng), e);
}

TEST(BunchKaufmanDecomposeTest, GrowthTestIsScaleInvariantBeyondTheRange) {
    // The unscaled triple's products are normal, so its answer is the plain test's. The triple
    // scaled by 2^k must get the same answer where its plain products underflow or overflow;
    // z near sqrt(x·y/alpha) makes the two sides meet within a few ulps.
    std::mt19937_64 rng(22);
    std::uniform_int_distribution<int> exponent(-40, 40);
    for (int trial = 0; trial < 20000; ++trial) {
        const double x = random_in_binade(rng, exponent(rng)), y = random_in_binade(rng, exponent(rng));
        std::uniform_int_distribution<int> ulps(-4, 4);
        const double z = std::sqrt(x * y / bk::decompose::alpha) * (1.0 + ulps(rng) * eps);
        const bool expected = x * y >= z * (z * bk::decompose::alpha);
        ASSERT_EQ(one_by_one_growth_ok(x, y, z), expected);
        for (int k : {-980, -600, -540, 540, 600, 960}) {
            ASSERT_EQ(one_by_one_growth_ok(std::ldexp(x, k), std::ldexp(y, k), std::ldexp(z, k)), expected)
                << x << " " << y << " " << z << " 2^" << k;
        }
    }
    EXPECT_FALSE(one_by_one_growth_ok(0.0, 1e-200, 1e-200));
    EXPECT_FALSE(one_by_one_growth_ok(1e-200, 0.0, 1e-300));
    EXPECT_TRUE(one_by_one_growth_ok(inf, 1.0, 1.0));  // non-finite operands: the plain test
}

}  // namespace
