#include "kavrel_ops/application/linalg/lu/decompose.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "kavrel_ops/infrastructure/cache.hpp"
#include "support/linalg.hpp"
#include "support/scalar.hpp"

namespace {

using namespace linalg_test;
using kavrel::application::view::mutable_core::ArrayViewMut;
using kavrel::domain::error::Result;
using kavrel_ops::application::linalg::lu::LuDecomposition;
using kavrel_ops::application::linalg::lu::decompose::lu_decompose;
namespace detail = kavrel_ops::application::linalg::lu::decompose::detail;
using detail::LuVariant;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// ‖P·A − L·U‖_F / (n·‖A‖_F·eps), with row i of P·A being row perm[i] of A.
double lu_residual(const Matrix& a, const LuDecomposition& f) {
    const std::size_t n = a.rows;
    if (n == 0) return 0.0;
    Matrix l = identity(n), u(n, n), pa(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            (j < i ? l(i, j) : u(i, j)) = f.lu.data()[i * n + j];
            pa(i, j) = a(f.perm[i], j);
        }
    return distance(pa.data, multiply(l, u).data) / (static_cast<double>(n) * frobenius(a) * eps);
}

bool is_permutation_of_order(const std::vector<std::uint64_t>& perm, std::size_t n) {
    std::vector<std::uint64_t> sorted = perm;
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::uint64_t> iota(n);
    std::iota(iota.begin(), iota.end(), std::uint64_t{0});
    return sorted == iota;
}

// A row-permuted, strongly diagonal matrix: the pivot of every column is clear by a wide margin,
// so both variants must choose the same rows.
Matrix separated_pivots(std::size_t n, std::uint64_t seed) {
    Matrix noise = random_matrix(n, n, seed);
    std::vector<std::size_t> rows(n);
    std::iota(rows.begin(), rows.end(), std::size_t{0});
    std::shuffle(rows.begin(), rows.end(), std::mt19937_64(seed));
    Matrix a(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            a(rows[i], j) = 0.01 * noise(i, j) + (i == j ? 10.0 + static_cast<double>(i % 7) : 0.0);
    return a;
}

// --- Small cases ------------------------------------------------------------------------

TEST(LuDecomposeTest, ExactSmallFactors) {
    struct Case {
        const char* name;
        Matrix a;
        std::vector<double> lu;
        std::vector<std::uint64_t> perm;
        int sign;
    };
    const Case cases[] = {
        {"empty", Matrix(0, 0), {}, {}, 1},
        {"one element", Matrix(1, 1, {5}), {5}, {0}, 1},
        {"one interchange", Matrix(2, 2, {0, 1, 1, 0}), {1, 0, 0, 1}, {1, 0}, -1},
        {"equal magnitudes keep the first row", Matrix(2, 2, {1, 1, -1, 2}), {1, 1, -1, 3}, {0, 1}, 1},
        {"multiplier and reduced entry", Matrix(2, 2, {1, 2, 4, 4}), {4, 4, 0.25, 1}, {1, 0}, -1},
        {"two interchanges cancel in the sign", Matrix(3, 3, {0, 0, 1, 1, 0, 0, 0, 1, 0}),
         {1, 0, 0, 0, 1, 0, 0, 0, 1}, {1, 2, 0}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = lu_decompose(view_of(c.a));
        ASSERT_TRUE(f) << kavrel::domain::error::display(f.error());
        EXPECT_EQ(f->lu.layout.shape, (std::array<std::uint64_t, 2>{c.a.rows, c.a.rows}));
        EXPECT_EQ(f->lu.layout.offset, 0u);
        EXPECT_EQ(std::vector<double>(f->lu.data(), f->lu.data() + f->lu.len()), c.lu);
        EXPECT_EQ(f->perm, c.perm);
        EXPECT_EQ(f->sign, c.sign);
    }
}

TEST(LuDecomposeTest, Failures) {
    struct Case {
        const char* name;
        Matrix a;
        std::string display;
    };
    const Case cases[] = {
        {"2 x 3", Matrix(2, 3, {1, 2, 3, 4, 5, 6}), "Shape mismatch: lhs [2, 3], rhs [2, 2]"},
        {"3 x 2", Matrix(3, 2, {1, 2, 3, 4, 5, 6}), "Shape mismatch: lhs [3, 2], rhs [3, 3]"},
        {"0 x 3", Matrix(0, 3), "Shape mismatch: lhs [0, 3], rhs [0, 0]"},
        {"non-square with a NaN", Matrix(2, 3, {nan, 2, 3, 4, 5, 6}), "Shape mismatch: lhs [2, 3], rhs [2, 2]"},
        {"NaN first", Matrix(3, 3, {nan, 2, 3, 4, 5, 6, 7, 8, 10}),
         "Storage error: LU input contains a non-finite value"},
        {"infinity in the middle", Matrix(3, 3, {1, 2, 3, 4, inf, 6, 7, 8, 10}),
         "Storage error: LU input contains a non-finite value"},
        {"-infinity last", Matrix(3, 3, {1, 2, 3, 4, 5, 6, 7, 8, -inf}),
         "Storage error: LU input contains a non-finite value"},
        {"non-finite before a zero pivot", Matrix(2, 2, {0, 1, 0, nan}),
         "Storage error: LU input contains a non-finite value"},
        {"zero", Matrix(1, 1, {0}), "Storage error: LU pivot column 0 is exactly zero: matrix is singular"},
        {"dependent rows", Matrix(2, 2, {1, 2, 2, 4}),
         "Storage error: LU pivot column 1 is exactly zero: matrix is singular"},
        {"zero middle column", Matrix(3, 3, {1, 0, 2, 3, 0, 4, 5, 0, 7}),
         "Storage error: LU pivot column 1 is exactly zero: matrix is singular"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = lu_decompose(view_of(c.a));
        ASSERT_FALSE(f);
        EXPECT_EQ(kavrel::domain::error::display(f.error()), c.display);
    }
}

TEST(LuDecomposeTest, ShapeIsCheckedBeforeAnyElementIsRead) {
    // No storage behind the view: any read would fault.
    const ArrayView<double, 2> unreadable{nullptr, 6, Layout<2>{{2, 3}, {3, 1}, 0}};
    auto f = lu_decompose(unreadable);
    ASSERT_FALSE(f);
    EXPECT_EQ(kavrel::domain::error::display(f.error()), "Shape mismatch: lhs [2, 3], rhs [2, 2]");
}

TEST(LuDecomposeTest, NearlySingularIsNotSingular) {
    // Singular, but the reduced entry 2 − (1/3)·6 is not exactly zero once 1/3 is rounded; only
    // exact zeros fail.
    const Matrix a(2, 2, {1, 2, 3, 6});
    auto f = lu_decompose(view_of(a));
    ASSERT_TRUE(f);
    EXPECT_NE(f->lu.data()[3], 0.0);
}

// --- Residuals --------------------------------------------------------------------------

struct ResidualCase {
    const char* name;
    Matrix a;
};

std::vector<ResidualCase> residual_cases() {
    std::vector<ResidualCase> cases;
    for (std::size_t n : {1, 2, 3, 7, 16, 33, 100}) cases.push_back({"random", random_matrix(n, n, 100 + n)});
    cases.push_back({"graded 40", graded(40, 7)});
    cases.push_back({"Hilbert 12", hilbert(12)});
    cases.push_back({"separated pivots 70", separated_pivots(70, 3)});
    return cases;
}

TEST(LuDecomposeTest, FactorsReproduceThePermutedMatrix) {
    for (const ResidualCase& c : residual_cases()) {
        SCOPED_TRACE(std::string(c.name) + " n=" + std::to_string(c.a.rows));
        auto f = lu_decompose(view_of(c.a));
        ASSERT_TRUE(f);
        ASSERT_TRUE(is_permutation_of_order(f->perm, c.a.rows));
        EXPECT_EQ(f->sign, parity(f->perm));
        EXPECT_LE(lu_residual(c.a, *f), 1.0);
        for (std::size_t i = 0; i < c.a.rows; ++i)
            for (std::size_t j = 0; j < i; ++j) EXPECT_LE(std::fabs(f->lu.data()[i * c.a.rows + j]), 1.0);
    }
}

class LuDecomposePathTest : public scalar_test::ForcedPathTest {};

TEST_P(LuDecomposePathTest, FactorsReproduceThePermutedMatrix) {
    for (const Matrix& a : {random_matrix(37, 37, 5), graded(21, 9)}) {
        auto f = lu_decompose(view_of(a));
        ASSERT_TRUE(f);
        EXPECT_LE(lu_residual(a, *f), 1.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, LuDecomposePathTest, testing::ValuesIn(scalar_test::all_paths),
                         scalar_test::path_param_name);

TEST(LuDecomposeTest, StridedViewsFactorLikeTheirDenseCopy) {
    for (std::size_t n : {1, 2, 5, 17}) {
        const Matrix a = random_matrix(n, n, 40 + n);
        auto dense = lu_decompose(view_of(a));
        ASSERT_TRUE(dense);
        for (Placement p : all_placements) {
            SCOPED_TRACE(std::string(name_of(p)) + " n=" + std::to_string(n));
            const StridedCopy copy = strided_copy(a, p);
            const std::vector<double> before = copy.storage;
            auto f = lu_decompose(copy.view);
            ASSERT_TRUE(f);
            EXPECT_EQ(std::vector<double>(f->lu.data(), f->lu.data() + f->lu.len()),
                      std::vector<double>(dense->lu.data(), dense->lu.data() + dense->lu.len()));
            EXPECT_EQ(f->perm, dense->perm);
            EXPECT_EQ(copy.storage, before);  // the view is only read
        }
    }
}

// --- The variant choice and the blocked variant -----------------------------------------

TEST(LuDecomposeTest, VariantFollowsTheLevel3Size) {
    constexpr std::uint64_t default_l3 = 8388608;
    struct Case {
        std::uint64_t n;
        std::uint64_t l3;
        LuVariant variant;
    };
    const Case cases[] = {
        {0, 0, LuVariant::unblocked},
        {1, 7, LuVariant::blocked},
        {1, 8, LuVariant::unblocked},
        {1024, default_l3, LuVariant::unblocked},
        {1025, default_l3, LuVariant::blocked},
        // Past 2^61 − 1 elements, or when n·n overflows, the byte count saturates at 2^64 − 1.
        {std::uint64_t{1} << 30, std::uint64_t{1} << 63, LuVariant::unblocked},  // 2^60 elements, 2^63 bytes
        {(std::uint64_t{1} << 31) - 1, std::numeric_limits<std::uint64_t>::max() - 1, LuVariant::blocked},
        {std::uint64_t{1} << 32, std::numeric_limits<std::uint64_t>::max(), LuVariant::unblocked},  // n·n overflows
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("n=" + std::to_string(c.n) + " l3=" + std::to_string(c.l3));
        EXPECT_EQ(detail::choose_variant(c.n, c.l3), c.variant);
    }
}

// The trailing products the blocked variant asked for, with what they were handed.
struct ProductCall {
    std::uint64_t m;
    std::uint64_t w;
};
std::vector<ProductCall> product_calls;

// A22 += P·Q by definition, after checking that P, Q and A22 are the negated multipliers below
// the panel, the panel's U12 rows and the trailing window of the working matrix.
Result<void> reference_trailing_product(const ArrayView<double, 2>& p, const ArrayView<double, 2>& q,
                                        ArrayViewMut<double, 2>& a22) {
    const std::uint64_t m = a22.layout.shape[0], w = p.layout.shape[1];
    const auto n = static_cast<std::uint64_t>(a22.layout.strides[0]);
    const std::uint64_t e = a22.layout.offset / (n + 1), c = e - w;
    product_calls.push_back({m, w});
    const auto sm = static_cast<std::int64_t>(m), sw = static_cast<std::int64_t>(w);
    EXPECT_EQ(p.layout, (Layout<2>{{m, w}, {sw, 1}, 0}));
    EXPECT_EQ(q.layout, (Layout<2>{{w, m}, {sm, 1}, 0}));
    EXPECT_EQ(a22.layout, (Layout<2>{{m, m}, {static_cast<std::int64_t>(n), 1}, e * (n + 1)}));
    EXPECT_EQ(a22.len, n * n);
    EXPECT_EQ(a22.window_shared, 0);
    EXPECT_EQ(e + m, n);
    const double* wk = a22.ptr;
    // Bits, not values: an overflowing attempt hands on NaN as well.
    const auto bits = [](double x) { return std::bit_cast<std::uint64_t>(x); };
    for (std::uint64_t i = 0; i < m; ++i)
        for (std::uint64_t t = 0; t < w; ++t) {
            EXPECT_EQ(bits(p.ptr[i * w + t]), bits(0.0 - wk[(e + i) * n + c + t]));
            EXPECT_EQ(bits(q.ptr[t * m + i]), bits(wk[(c + t) * n + e + i]));
        }
    for (std::uint64_t i = 0; i < m; ++i)
        for (std::uint64_t j = 0; j < m; ++j) {
            double s = 0.0;
            for (std::uint64_t t = 0; t < w; ++t) s = s + p.ptr[i * w + t] * q.ptr[t * m + j];
            a22.ptr[(e + i) * n + e + j] += s;
        }
    return {};
}

Result<void> refusing_trailing_product(const ArrayView<double, 2>&, const ArrayView<double, 2>&,
                                       ArrayViewMut<double, 2>&) {
    return kavrel::domain::error::storage_error("trailing product refused");
}

Result<LuDecomposition> blocked(const Matrix& a) {
    return detail::lu_decompose_as(view_of(a), LuVariant::blocked, reference_trailing_product);
}

Result<LuDecomposition> unblocked(const Matrix& a) {
    return detail::lu_decompose_as(view_of(a), LuVariant::unblocked, refusing_trailing_product);
}

TEST(LuDecomposeBlockedTest, PanelsOf64ColumnsWithOneProductEach) {
    struct Case {
        std::size_t n;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;  // (m, w) per product
    };
    const Case cases[] = {
        {0, {}}, {1, {}}, {63, {}}, {64, {}},
        {65, {{1, 64}}},  // the last panel has width 1 and no update
        {133, {{69, 64}, {5, 64}}},
        {200, {{136, 64}, {72, 64}, {8, 64}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("n=" + std::to_string(c.n));
        product_calls.clear();
        const Matrix a = random_matrix(c.n, c.n, 900 + c.n);
        auto f = blocked(a);
        ASSERT_TRUE(f);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> seen;
        for (const ProductCall& call : product_calls) seen.emplace_back(call.m, call.w);
        EXPECT_EQ(seen, c.calls);
        EXPECT_TRUE(is_permutation_of_order(f->perm, c.n));
        EXPECT_EQ(f->sign, parity(f->perm));
        EXPECT_LE(lu_residual(a, *f), 1.0);
    }
}

TEST(LuDecomposeBlockedTest, AgreesWithTheUnblockedVariant) {
    for (std::size_t n : {65, 130, 150}) {
        SCOPED_TRACE("n=" + std::to_string(n));
        const Matrix a = separated_pivots(n, 11 + n);
        auto b = blocked(a);
        auto u = unblocked(a);
        ASSERT_TRUE(b);
        ASSERT_TRUE(u);
        EXPECT_EQ(b->perm, u->perm);
        EXPECT_EQ(b->sign, u->sign);
        // The first panel's columns see the same operations in both variants.
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < std::min<std::size_t>(i, 64); ++j)
                EXPECT_EQ(b->lu.data()[i * n + j], u->lu.data()[i * n + j]);
        const std::span<const double> bs(b->lu.data(), n * n), us(u->lu.data(), n * n);
        EXPECT_LE(distance(bs, us), 4.0 * static_cast<double>(n) * frobenius(us) * eps);
    }
}

TEST(LuDecomposeBlockedTest, GradedAndHilbertMatrices) {
    for (const Matrix& a : {graded(70, 2), hilbert(70)}) {
        auto f = blocked(a);
        ASSERT_TRUE(f);
        EXPECT_LE(lu_residual(a, *f), 1.0);
    }
}

TEST(LuDecomposeBlockedTest, FailuresEndTheFactorisation) {
    Matrix zero_column = random_matrix(70, 70, 4);
    for (std::size_t i = 0; i < 70; ++i) zero_column(i, 66) = 0.0;
    for (auto variant : {LuVariant::unblocked, LuVariant::blocked}) {
        auto f = detail::lu_decompose_as(view_of(zero_column), variant, reference_trailing_product);
        ASSERT_FALSE(f);
        EXPECT_EQ(storage_text(f.error()), "LU pivot column 66 is exactly zero: matrix is singular");
    }
    const Matrix a = random_matrix(100, 100, 5);
    auto refused = detail::lu_decompose_as(view_of(a), LuVariant::blocked, refusing_trailing_product);
    ASSERT_FALSE(refused);
    EXPECT_EQ(storage_text(refused.error()), "trailing product refused");
}

// Column 0 of ±1 (ties: no interchange, multipliers ±1) and a column `big` near the largest
// finite value: the first step's updates overflow wherever the signs agree, although A·2^-k
// factors. With big past the first panel the blocked variant overflows in the panel's U12 rows
// and in the trailing products.
Matrix overflowing_elimination(std::size_t n, std::uint64_t seed, std::size_t big = 1) {
    Matrix a = random_matrix(n, n, seed);
    std::mt19937_64 g(seed);
    std::uniform_real_distribution<double> u(0.5, 1.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double sign = (g() & 1) ? 1.0 : -1.0;
        a(i, 0) = (g() & 1) ? 1.0 : -1.0;
        a(i, big) = sign * 1e308 * u(g);
    }
    // Rows 0 and 1 alike in column `big`, opposite in column 0: row 1's update is 2e308.
    a(0, big) = a(1, big) = 1e308;
    a(1, 0) = -a(0, 0);
    return a;
}

// Column j of a times 2^-c[j].
Matrix columns_times(const Matrix& a, const std::vector<std::int32_t>& c) {
    Matrix s = a;
    for (std::size_t i = 0; i < a.rows; ++i)
        for (std::size_t j = 0; j < a.cols; ++j) s(i, j) = std::ldexp(a(i, j), -c[j]);
    return s;
}

// Where the elimination of A overflows, A with column j times 2^-c[j] is factored, each c[j] the
// least that keeps the column finite (every entry here keeps its bits at any scale): the
// permutation and multipliers of A·2^-64 (factored as it is), U the same up to the exact power
// of two of its column, in both variants; the columns that never overflow keep their scale.
void expect_factors_of_the_scaled_input(const Matrix& a, const std::function<Result<LuDecomposition>(const Matrix&)>& factor) {
    const std::size_t n = a.rows;
    auto f = factor(a);
    ASSERT_TRUE(f);
    ASSERT_EQ(f->column_exponent.size(), n);
    EXPECT_TRUE(f->row_exponent.empty());
    const std::vector<std::int32_t> c = f->column_exponent;
    EXPECT_EQ(c[0], 0);  // the column of ±1
    auto g = factor(times_power_of_two(a, -64));
    ASSERT_TRUE(g);
    ASSERT_TRUE(g->column_exponent.empty());
    EXPECT_EQ(f->perm, g->perm);
    EXPECT_EQ(f->sign, g->sign);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            const double want = g->lu.data()[i * n + j];
            const double got = f->lu.data()[i * n + j];
            ASSERT_EQ(got, j < i ? want : std::ldexp(want, 64 - c[j])) << i << "," << j;
        }
    // One scale less is not enough: with every column at 2^-(c[j] − 1) a scale is still needed.
    std::vector<std::int32_t> less_scale(n);
    for (std::size_t j = 0; j < n; ++j) less_scale[j] = std::max(c[j] - 1, 0);
    auto less = factor(columns_times(a, less_scale));
    ASSERT_TRUE(less);
    EXPECT_FALSE(less->column_exponent.empty());
}

TEST(LuDecomposeTest, OverflowingEliminationFactorsTheLeastScaledInput) {
    struct Case {
        std::size_t n, big;
    };
    for (auto* variant : {&unblocked, &blocked})
        for (const Case c : {Case{2, 1}, Case{3, 1}, Case{70, 1}, Case{131, 1}, Case{131, 70}}) {
            SCOPED_TRACE(std::string(variant == &blocked ? "blocked" : "unblocked") + " n=" + std::to_string(c.n) +
                         " big column " + std::to_string(c.big));
            expect_factors_of_the_scaled_input(overflowing_elimination(c.n, 60 + c.n, c.big), *variant);
        }
}

// A scale may not round an entry: beside 2^1023 ± 2^1023 (column 1 overflows) an odd multiple of
// 2^-1074 keeps its column, or, where it lies in column 1 itself, its row unscaled; where such
// entries lie in every row and column that a scale could help with, nothing exact keeps the
// elimination finite.
TEST(LuDecomposeTest, ScalesKeepEveryEntryExact) {
    const double big = std::ldexp(1.0, 1023), tiny = std::numeric_limits<double>::denorm_min();
    struct Case {
        const char* name;
        Matrix a;
        std::vector<std::int32_t> rows, cols;
        std::vector<double> lu;  // empty: out of range
    };
    const Case cases[] = {
        {"tiny entry in a column of its own", Matrix(3, 3, {big, big, 0, big, -big, 0, 0, 0, 3 * tiny}), {}, {0, 1, 0},
         {big, big / 2, 0, 1, -big, 0, 0, 0, 3 * tiny}},
        {"tiny entry in the overflowing column", Matrix(3, 3, {big, big, 0, big, -big, 0, 0, tiny, 0x1p-1060}), {1, 1, 0}, {},
         {big / 2, big / 2, 0, 1, -big, 0, 0, -tiny / big, 0x1p-1060}},
        {"tiny entries in every row and column that must be scaled",
         Matrix(3, 3, {big, big, tiny, big, -big, tiny, tiny, tiny, 1}), {}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (auto* variant : {&unblocked, &blocked}) {
            auto f = (*variant)(c.a);
            if (c.lu.empty()) {
                ASSERT_FALSE(f);
                EXPECT_EQ(kavrel::domain::error::display(f.error()),
                          "Arithmetic overflow in layout calculations: LU factor exceeds the scalar range");
                continue;
            }
            ASSERT_TRUE(f) << kavrel::domain::error::display(f.error());
            EXPECT_EQ(f->row_exponent, c.rows);
            EXPECT_EQ(f->column_exponent, c.cols);
            EXPECT_EQ(std::vector<double>(f->lu.data(), f->lu.data() + 9), c.lu);
        }
    }
}

// Partial pivoting's growth can exceed every scale: the n = 1030 growth matrix (1 on the
// diagonal and in the last column, −1 below the diagonal) has U(n−1, n−1) = 2^1029 at entries
// of magnitude 1, which no scale in [1, 2) keeps finite.
TEST(LuDecomposeTest, GrowthBeyondTheRangeIsAnOverflow) {
    const std::size_t n = 1030;
    Matrix a(n, n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < i; ++j) a(i, j) = -1.0;
        a(i, i) = 1.0;
        a(i, n - 1) = 1.0;
    }
    auto f = lu_decompose(view_of(a));
    ASSERT_FALSE(f);
    EXPECT_EQ(kavrel::domain::error::display(f.error()),
              "Arithmetic overflow in layout calculations: LU factor exceeds the scalar range");
}

// With a level-3 size below n·n·8 the factorisation runs in panels whose trailing updates go
// through the matrix-product engine: the same permutation as the definition's product, factors
// that reproduce the matrix, and the unblocked bits again once the matrix fits.
TEST(LuDecomposeBlockedTest, SmallLevel3SizeTakesTheEngineProduct) {
    namespace cache = kavrel_ops::infrastructure::cache;
    cache::CacheGeometry small;
    small.l3_bytes = 8 * 64 * 64;
    cache::cached_cache_geometry::GEOMETRY.inject_for_testing(&small);
    for (std::size_t n : {64, 65, 130, 200}) {
        SCOPED_TRACE("n=" + std::to_string(n));
        const Matrix a = separated_pivots(n, 29 + n);
        auto f = lu_decompose(view_of(a));
        ASSERT_TRUE(f);
        auto reference = n * n * 8 <= small.l3_bytes ? unblocked(a) : blocked(a);
        ASSERT_TRUE(reference);
        EXPECT_EQ(f->perm, reference->perm);
        EXPECT_EQ(f->sign, reference->sign);
        EXPECT_LE(lu_residual(a, *f), 1.0);
        if (n * n * 8 <= small.l3_bytes) {
            EXPECT_EQ(std::vector<double>(f->lu.data(), f->lu.data() + n * n),
                      std::vector<double>(reference->lu.data(), reference->lu.data() + n * n));
        }
    }
    for (const Matrix& a : {graded(150, 2), hilbert(90)}) {
        auto f = lu_decompose(view_of(a));
        ASSERT_TRUE(f);
        EXPECT_LE(lu_residual(a, *f), 1.0);
    }
    // An overflowing elimination through the engine's trailing products, too.
    expect_factors_of_the_scaled_input(overflowing_elimination(131, 7, 70),
                                       [](const Matrix& m) { return lu_decompose(view_of(m)); });
    cache::cached_cache_geometry::GEOMETRY.inject_for_testing(nullptr);
}

}  // namespace
