#include "kavrel_ops/application/linalg/norms.hpp"

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
namespace norms = kavrel_ops::application::linalg::norms;
using norms::entrywise_norm;
using norms::frobenius_norm;
using norms::NormL1;
using norms::NormMax;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

static_assert(norms::NormKind<NormL1> && norms::NormKind<NormMax>);

struct Norms {
    double fro, l1, max;
};

Norms all_norms(const ArrayView<double, 2>& v) {
    auto fro = frobenius_norm(v);
    auto l1 = entrywise_norm<NormL1>(v);
    auto max = entrywise_norm<NormMax>(v);
    EXPECT_TRUE(fro && l1 && max);
    return {fro.value_or(-1.0), l1.value_or(-1.0), max.value_or(-1.0)};
}

// Σ x², Σ |x| in long double, max |x|.
Norms reference(const Matrix& m) {
    long double squares = 0, sum = 0;
    double max = 0;
    for (double x : m.data) {
        squares += static_cast<long double>(x) * x;
        sum += std::fabs(x);
        max = std::max(max, std::fabs(x));
    }
    return {static_cast<double>(std::sqrt(squares)), static_cast<double>(sum), max};
}

TEST(NormsTest, SmallExactValues) {
    struct Case {
        const char* name;
        Matrix a;
        Norms expected;
    };
    const Case cases[] = {
        {"3, 4", Matrix(1, 2, {3, 4}), {5, 7, 4}},
        {"0 rows", Matrix(0, 5), {0, 0, 0}},
        {"0 columns", Matrix(4, 0), {0, 0, 0}},
        {"squares overflow, the others do not", Matrix(1, 1, {1e155}), {inf, 1e155, 1e155}},
        {"negative entries", Matrix(2, 2, {-1, -2, -2, -4}), {5, 9, 4}},
        {"infinity", Matrix(1, 3, {1, -inf, 2}), {inf, inf, inf}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Norms n = all_norms(view_of(c.a));
        EXPECT_EQ(n.fro, c.expected.fro);
        EXPECT_EQ(n.l1, c.expected.l1);
        EXPECT_EQ(n.max, c.expected.max);
    }
}

TEST(NormsTest, StridedViewsAgreeWithTheDenseMatrix) {
    // Lanes with stride 1 (padded rows) and −1 (reversed columns) go through the slice kernels,
    // the others element by element; only the summation order differs.
    for (std::size_t rows : {1, 3, 10}) {
        for (std::size_t cols : {1, 2, 9, 33}) {
            const Matrix a = random_matrix(rows, cols, rows * 100 + cols);
            const Norms r = reference(a);
            for (Placement p : all_placements) {
                SCOPED_TRACE(std::string(name_of(p)) + " " + std::to_string(rows) + "x" + std::to_string(cols));
                const StridedCopy copy = strided_copy(a, p);
                const Norms n = all_norms(copy.view);
                const double tol = static_cast<double>(rows * cols) * eps;
                EXPECT_NEAR(n.fro, r.fro, tol * r.fro);
                EXPECT_NEAR(n.l1, r.l1, tol * r.l1);
                EXPECT_EQ(n.max, r.max);
            }
        }
    }
}

TEST(NormsTest, StorageIsValidatedFirst) {
    std::vector<double> storage(5, 1.0);
    const ArrayView<double, 2> short_storage{storage.data(), 5, Layout<2>{{2, 3}, {3, 1}, 0}};
    const std::string expected = "Storage error: storage length 5 does not cover layout physical offsets 0..=5";
    auto fro = frobenius_norm(short_storage);
    auto l1 = entrywise_norm<NormL1>(short_storage);
    auto max = entrywise_norm<NormMax>(short_storage);
    ASSERT_FALSE(fro);
    ASSERT_FALSE(l1);
    ASSERT_FALSE(max);
    EXPECT_EQ(kavrel::domain::error::display(fro.error()), expected);
    EXPECT_EQ(kavrel::domain::error::display(l1.error()), expected);
    EXPECT_EQ(kavrel::domain::error::display(max.error()), expected);
}

// Every accepted name, byte for byte, picks its norm; near misses are not names.
TEST(NormsTest, NormOrderNames) {
    const Matrix a(1, 2, {3, -4});
    const std::pair<const char*, double> names[] = {{"fro", 5}, {"2", 5}, {"l2", 5}, {"1", 7},
                                                    {"l1", 7}, {"max", 4}, {"inf", 4}};
    for (const auto& [name, value] : names) {
        SCOPED_TRACE(name);
        const auto order = norms::norm_order(name);
        ASSERT_TRUE(order.has_value());
        const auto n = norms::norm_of(view_of(a), *order);
        ASSERT_TRUE(n);
        EXPECT_EQ(*n, value);
    }
    for (const char* name : {"", "Fro", "fro ", "L1", "-inf", "nuc", "frobenius"}) EXPECT_EQ(norms::norm_order(name), std::nullopt) << name;
    EXPECT_EQ(norms::norm_order(std::string_view("fro\0", 4)), std::nullopt);
}

TEST(NormsTest, NormOfFailsAsTheNormItNames) {
    std::vector<double> storage(5, 1.0);
    const ArrayView<double, 2> short_storage{storage.data(), 5, Layout<2>{{2, 3}, {3, 1}, 0}};
    for (norms::NormOrder order : {norms::NormOrder::frobenius, norms::NormOrder::l1, norms::NormOrder::max}) {
        const auto n = norms::norm_of(short_storage, order);
        ASSERT_FALSE(n);
        EXPECT_EQ(kavrel::domain::error::display(n.error()),
                  "Storage error: storage length 5 does not cover layout physical offsets 0..=5");
    }
}

TEST(NormsTest, MaxCombineKeepsNaN) {
    EXPECT_TRUE(std::isnan(NormMax::combine(3.0, nan)));
    EXPECT_TRUE(std::isnan(NormMax::combine(nan, 3.0)));
    EXPECT_EQ(NormMax::combine(3.0, 2.0), 3.0);
    EXPECT_EQ(NormMax::combine(2.0, 3.0), 3.0);
    EXPECT_EQ(NormL1::combine(2.0, 3.0), 5.0);
}

class NormsPathTest : public scalar_test::ForcedPathTest {};

// A NaN anywhere makes the maximum NaN on every kernel path, wherever it sits: in a vector
// block, a masked tail, a later row than the largest entry, with an infinity beside it.
TEST_P(NormsPathTest, MaxOfAnyNaNIsNaN) {
    for (std::size_t cols : {1, 3, 8, 13, 64, 71}) {
        for (std::size_t rows : {1, 4}) {
            const Matrix base = random_matrix(rows, cols, cols * 10 + rows);
            for (std::size_t at = 0; at < rows * cols; at += std::max<std::size_t>(1, rows * cols / 7)) {
                for (double big : {2.0, inf}) {
                    Matrix a = base;
                    a.data[at] = nan;
                    a.data[(at + 1) % a.data.size()] = a.data.size() == 1 ? nan : big;
                    for (Placement p : {Placement::column_major, Placement::padded_rows, Placement::reversed_cols,
                                        Placement::spread}) {
                        SCOPED_TRACE(std::string(name_of(p)) + " " + std::to_string(rows) + "x" + std::to_string(cols) +
                                     " NaN at " + std::to_string(at));
                        auto dense = entrywise_norm<NormMax>(view_of(a));
                        auto strided = entrywise_norm<NormMax>(strided_copy(a, p).view);
                        ASSERT_TRUE(dense && strided);
                        EXPECT_TRUE(std::isnan(*dense));
                        EXPECT_TRUE(std::isnan(*strided));
                    }
                }
            }
        }
    }
}

TEST_P(NormsPathTest, KernelPathsAgreeWithTheReference) {
    for (std::size_t len : {1, 2, 7, 8, 9, 31, 100, 257}) {
        SCOPED_TRACE("len=" + std::to_string(len));
        const Matrix a = random_matrix(1, len, len);
        const Norms r = reference(a), n = all_norms(view_of(a));
        const double tol = static_cast<double>(len) * eps;
        EXPECT_NEAR(n.fro, r.fro, tol * r.fro);
        EXPECT_NEAR(n.l1, r.l1, tol * r.l1);
        EXPECT_EQ(n.max, r.max);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, NormsPathTest, testing::ValuesIn(scalar_test::all_paths),
                         scalar_test::path_param_name);

}  // namespace
