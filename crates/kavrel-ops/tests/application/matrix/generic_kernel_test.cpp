#include "kavrel_ops/application/matrix/generic_kernel.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/matrix/types.hpp"
#include "kavrel_ops/domain/tuning.hpp"
#include "support/matrix.hpp"

namespace {

using kavrel::domain::error::InternalError;
using kavrel_ops::application::matrix::types::MatmulDims;
using kavrel_ops::application::matrix::types::validate_matmul;
using matrix_test::Layout;
using matrix_test::same_bits;
namespace gk = kavrel_ops::application::matrix::generic_kernel;
namespace tuning = kavrel_ops::domain::tuning;

// One product over hand-placed operands: A m×k and B k×n row-major unless given, C with the given
// layout inside a buffer whose other elements hold a guard.
template <class T>
struct Product {
    std::vector<T> a, b, c;
    Layout<2> la, lb, lc;
    MatmulDims dims;

    Product(std::uint64_t m, std::uint64_t k, std::uint64_t n, Layout<2> c_layout, std::vector<T> a_values,
            std::vector<T> b_values, std::optional<Layout<2>> b_layout = std::nullopt)
        : a(std::move(a_values)), b(std::move(b_values)), la{{m, k}, {static_cast<std::int64_t>(k), 1}, 0},
          lb(b_layout.value_or(Layout<2>{{k, n}, {static_cast<std::int64_t>(n), 1}, 0})), lc(c_layout) {
        std::uint64_t high = lc.offset;
        for (std::uint64_t i = 0; i < m; ++i)
            for (std::uint64_t j = 0; j < n; ++j) high = std::max(high, matrix_test::index_of(lc, i, j));
        c.assign(high + 4, guard());
        for (std::uint64_t i = 0; i < m; ++i)
            for (std::uint64_t j = 0; j < n; ++j) at(i, j) = T{};
        dims = kavrel::domain::error::expect(
            validate_matmul<T>({a.data(), a.size(), la}, {b.data(), b.size(), lb}, {c.data(), lc, c.size(), 0}),
            "test product validates");
    }
    static T guard() { return T(-77); }
    T& at(std::uint64_t i, std::uint64_t j) { return c[matrix_test::index_of(lc, i, j)]; }
    void run(std::uint64_t start, std::uint64_t end, std::uint64_t block = tuning::tile_policy_block_rows) {
        gk::row_blocked_matmul_with_policy(a.data(), b.data(), c.data(), start, end, dims, block);
    }
    std::vector<T> logical() {
        std::vector<T> out;
        for (std::uint64_t i = 0; i < dims.m; ++i)
            for (std::uint64_t j = 0; j < dims.n; ++j) out.push_back(at(i, j));
        return out;
    }
    bool guards_intact() {
        std::vector<bool> addressed(c.size());
        for (std::uint64_t i = 0; i < dims.m; ++i)
            for (std::uint64_t j = 0; j < dims.n; ++j) addressed[matrix_test::index_of(lc, i, j)] = true;
        for (std::size_t s = 0; s < c.size(); ++s)
            if (!addressed[s] && c[s] != guard()) return false;
        return true;
    }
};

Layout<2> dense(std::uint64_t m, std::uint64_t n) { return {{m, n}, {static_cast<std::int64_t>(n), 1}, 0}; }
Layout<2> padded(std::uint64_t m, std::uint64_t n) { return {{m, n}, {static_cast<std::int64_t>(n) + 3, 1}, 2}; }
Layout<2> reversed(std::uint64_t m, std::uint64_t n) {
    return {{m, n}, {-static_cast<std::int64_t>(n), 1}, (m - 1) * n};
}

// Every C(i, j) is the fused chain c ← fma(a(i, p), b(p, j), c) over p on the dense, column,
// grouped and zero-skipping paths alike (nonzero inputs), for any block size.
template <class T>
std::vector<T> fused_chain(const std::vector<T>& a, const std::vector<T>& b, std::uint64_t m, std::uint64_t k,
                           std::uint64_t n) {
    std::vector<T> c(m * n, T{});
    for (std::uint64_t i = 0; i < m; ++i)
        for (std::uint64_t j = 0; j < n; ++j)
            for (std::uint64_t p = 0; p < k; ++p) c[i * n + j] = std::fma(a[i * k + p], b[p * n + j], c[i * n + j]);
    return c;
}

template <class T>
void expect_bits(const std::vector<T>& got, const std::vector<T>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t s = 0; s < got.size(); ++s)
        EXPECT_TRUE(same_bits(got[s], want[s])) << s << ": " << got[s] << " vs " << want[s];
}

template <class T>
class RowBlockedTest : public testing::Test {};
using Elements = testing::Types<float, double>;
TYPED_TEST_SUITE(RowBlockedTest, Elements);

TYPED_TEST(RowBlockedTest, EveryPathAndBlockGivesTheFusedChain) {
    using T = TypeParam;
    struct Shape {
        const char* path;
        std::uint64_t m, k, n;
        Layout<2> (*c_layout)(std::uint64_t, std::uint64_t);
    };
    const Shape shapes[] = {
        {"dense, m = 3", 3, 7, 5, dense},
        {"dense, 40 rows: blocks of 32 and 8", 40, 33, 17, dense},
        {"column path (padded C, m = 127)", 127, 6, 9, padded},
        {"grouped path (padded C, m = 128, k = 6: groups of 4 and 2)", 128, 6, 9, padded},
        {"grouped path, k = 9", 130, 9, 3, padded},
        {"zero-skipping path (reversed rows)", 37, 5, 6, reversed},
    };
    for (const Shape& s : shapes) {
        SCOPED_TRACE(s.path);
        const auto a = matrix_test::uniform_values<T>(s.m * s.k, 1), b = matrix_test::uniform_values<T>(s.k * s.n, 2);
        const auto want = fused_chain(a, b, s.m, s.k, s.n);
        for (std::uint64_t block : {1, 2, 4, 8, 16, 32}) {
            SCOPED_TRACE("block " + std::to_string(block));
            Product<T> p(s.m, s.k, s.n, s.c_layout(s.m, s.n), a, b);
            p.run(0, s.m, block);
            expect_bits(p.logical(), want);
            EXPECT_TRUE(p.guards_intact());
        }
    }
}

TYPED_TEST(RowBlockedTest, ColumnPathWhenBRowsAreNotBackToBack) {
    using T = TypeParam;
    const std::uint64_t m = 150, k = 5, n = 4;
    const auto a = matrix_test::uniform_values<T>(m * k, 3), b_values = matrix_test::uniform_values<T>(k * n, 4);
    std::vector<T> b_storage(k * (n + 2), T(99));  // two spare elements after each row
    for (std::uint64_t p = 0; p < k; ++p)
        for (std::uint64_t j = 0; j < n; ++j) b_storage[p * (n + 2) + j] = b_values[p * n + j];
    Product<T> p(m, k, n, dense(m, n), a, b_storage, Layout<2>{{k, n}, {static_cast<std::int64_t>(n) + 2, 1}, 0});
    p.run(0, m);
    expect_bits(p.logical(), fused_chain(a, b_values, m, k, n));
}

TYPED_TEST(RowBlockedTest, AUnitRangeWritesOnlyItsRows) {
    using T = TypeParam;
    for (auto layout : {dense, padded, reversed}) {
        const std::uint64_t m = 70, k = 5, n = 6;
        Product<T> p(m, k, n, layout(m, n), matrix_test::uniform_values<T>(m * k, 5),
                     matrix_test::uniform_values<T>(k * n, 6));
        p.run(64, 70);
        const auto full = fused_chain(p.a, p.b, m, k, n);
        for (std::uint64_t i = 0; i < m; ++i)
            for (std::uint64_t j = 0; j < n; ++j)
                EXPECT_TRUE(same_bits(p.at(i, j), i >= 64 ? full[i * n + j] : T{})) << i << "," << j;
        EXPECT_TRUE(p.guards_intact());
    }
}

TYPED_TEST(RowBlockedTest, EmptyRangeAndZeroDepthLeaveCUnchanged) {
    using T = TypeParam;
    for (auto layout : {dense, padded, reversed}) {
        for (std::uint64_t m : {std::uint64_t{5}, std::uint64_t{130}}) {
            Product<T> p(m, 0, 4, layout(m, 4), {}, {});
            for (std::uint64_t i = 0; i < m; ++i)
                for (std::uint64_t j = 0; j < 4; ++j) p.at(i, j) = T(-0.0);
            p.run(0, m);
            Product<T> q(m, 3, 4, layout(m, 4), std::vector<T>(m * 3, T(1)), std::vector<T>(12, T(1)));
            q.run(2, 2);
            q.run(3, 1);
            for (std::uint64_t i = 0; i < m; ++i)
                for (std::uint64_t j = 0; j < 4; ++j) {
                    EXPECT_TRUE(same_bits(p.at(i, j), T(-0.0)));
                    EXPECT_TRUE(same_bits(q.at(i, j), T{}));
                }
            EXPECT_TRUE(p.guards_intact());
            EXPECT_TRUE(q.guards_intact());
        }
    }
}

// Every path gives a zero of A beside an infinite row of B its IEEE product, NaN in that column;
// the zero-skipping path leaves out only the zeros before finite rows.
TYPED_TEST(RowBlockedTest, EveryPathMultipliesAZeroBesideAnInfiniteRowOfB) {
    using T = TypeParam;
    const T inf = std::numeric_limits<T>::infinity(), nan = std::numeric_limits<T>::quiet_NaN();
    struct Row {
        const char* path;
        std::uint64_t m;
        Layout<2> (*c_layout)(std::uint64_t, std::uint64_t);
    };
    for (const Row& r : {Row{"dense", 6, dense}, Row{"column", 6, padded}, Row{"grouped", 130, padded},
                         Row{"zero-skipping", 6, reversed}}) {
        SCOPED_TRACE(r.path);
        const std::uint64_t k = 3, n = 4;
        std::vector<T> a(r.m * k, T(1)), b(k * n, T(2));
        a[0 * k + 1] = T(-0.0);  // row 0 meets B's row 1, which holds an infinity
        a[1 * k + 1] = T(0.0);
        a[3 * k + 2] = T(0.0);  // row 3 meets B's finite row 2
        b[1 * n + 2] = inf;
        a[2 * k + 0] = nan;  // row 2: a NaN entry of A reaches its whole row
        Product<T> p(r.m, k, n, r.c_layout(r.m, n), a, b);
        p.run(0, r.m);
        for (std::uint64_t i = 0; i < 2; ++i)
            for (std::uint64_t j = 0; j < n; ++j) {
                if (j != 2) {
                    EXPECT_EQ(p.at(i, j), T(4)) << i << "," << j;
                } else {
                    EXPECT_TRUE(std::isnan(p.at(i, j))) << i << "," << j;
                }
            }
        for (std::uint64_t j = 0; j < n; ++j) EXPECT_TRUE(std::isnan(p.at(2, j))) << j;
        EXPECT_EQ(p.at(3, 2), inf);
        EXPECT_EQ(p.at(3, 0), T(4));
    }
}

TYPED_TEST(RowBlockedTest, BlockThatIsNotAPowerOfTwoUpTo32StopsBeforeWriting) {
    using T = TypeParam;
    for (std::uint64_t block : {0, 3, 48, 64}) {
        Product<T> p(4, 2, 3, dense(4, 3), std::vector<T>(8, T(1)), std::vector<T>(6, T(1)));
        try {
            p.run(0, 4, block);
            ADD_FAILURE() << "block " << block << " accepted";
        } catch (const InternalError& e) {
            EXPECT_STREQ(e.what(),
                         "internal error: entered unreachable code: matmul tile policy must return a power-of-two "
                         "block <= 32");
        }
        for (T x : p.logical()) EXPECT_EQ(x, T{});
    }
}

// The row loop on strided B or C: separate multiplication and addition per element, p increasing,
// zero entries skipped; the unit-stride row loop is the fused chain.
TYPED_TEST(RowBlockedTest, RowLoopRoundsEachProductAndSumUnlessStridesAreUnit) {
    using T = TypeParam;
    const std::uint64_t m = 3, k = 9, n = 5;
    auto a = matrix_test::uniform_values<T>(m * k, 7);
    a[4] = T(0);
    const auto b = matrix_test::uniform_values<T>(k * n, 8);
    const Layout<2> c_strided{{m, n}, {2, static_cast<std::int64_t>(2 * m)}, 1};
    Product<T> strided(m, k, n, c_strided, a, b);
    Product<T> unit(m, k, n, dense(m, n), a, b);
    for (std::uint64_t i = 0; i < m; ++i) {
        gk::matmul_row(strided.a.data(), strided.b.data(), strided.c.data(), strided.dims, i);
        gk::matmul_row(unit.a.data(), unit.b.data(), unit.c.data(), unit.dims, i);
    }
    std::vector<T> twice_rounded(m * n, T{});
    for (std::uint64_t i = 0; i < m; ++i)
        for (std::uint64_t p = 0; p < k; ++p) {
            if (a[i * k + p] == T{}) continue;
            for (std::uint64_t j = 0; j < n; ++j) {
                const T product = b[p * n + j] * a[i * k + p];
                twice_rounded[i * n + j] = product + twice_rounded[i * n + j];
            }
        }
    expect_bits(strided.logical(), twice_rounded);
    expect_bits(unit.logical(), fused_chain(a, b, m, k, n));
    EXPECT_TRUE(strided.guards_intact());
}

// The row loop judges a zero of A by the elements of B's row that the product reads: with B's
// column stride 2 an infinity in the gap between them changes nothing, one at the row's last
// element makes that column NaN.
TYPED_TEST(RowBlockedTest, RowLoopJudgesAZeroByTheStridedRowOfB) {
    using T = TypeParam;
    const T inf = std::numeric_limits<T>::infinity();
    const std::uint64_t k = 3, n = 4;
    const Layout<2> b_strided{{k, n}, {static_cast<std::int64_t>(2 * n), 2}, 0};
    for (bool in_gap : {true, false}) {
        SCOPED_TRACE(in_gap ? "infinity between the elements read" : "infinity at the last element read");
        std::vector<T> b(k * 2 * n, T(1));
        b[1 * 2 * n + (in_gap ? 2 * n - 1 : 2 * (n - 1))] = inf;
        Product<T> p(1, k, n, dense(1, n), {T(2), T(0), T(3)}, b, b_strided);
        gk::matmul_row(p.a.data(), p.b.data(), p.c.data(), p.dims, 0);
        for (std::uint64_t j = 0; j + 1 < n; ++j) EXPECT_EQ(p.at(0, j), T(5)) << j;
        if (in_gap) {
            EXPECT_EQ(p.at(0, n - 1), T(5));
        } else {
            EXPECT_TRUE(std::isnan(p.at(0, n - 1)));
        }
    }
}

// Row-block units and row units see the same arithmetic as the serial driver, bit for bit.
TYPED_TEST(RowBlockedTest, ParallelDriverMatchesSerialDriverBitForBit) {
    using T = TypeParam;
    struct Shape {
        std::uint64_t m, k, n;
        Layout<2> c_layout;
    };
    const std::uint64_t m = 200, k = 37, n = 45;
    for (const Shape& s : {Shape{m, k, n, dense(m, n)}, Shape{m, k, n, padded(m, n)}, Shape{m, k, n, reversed(m, n)},
                           Shape{m, k, n, Layout<2>{{m, n}, {1, static_cast<std::int64_t>(m)}, 0}}}) {
        const auto a = matrix_test::uniform_values<T>(m * k, 9), b = matrix_test::uniform_values<T>(k * n, 10);
        Product<T> serial(s.m, s.k, s.n, s.c_layout, a, b), parallel(s.m, s.k, s.n, s.c_layout, a, b);
        gk::serial_matmul(serial.a.data(), serial.b.data(), serial.c.data(), serial.dims);
        gk::parallel_matmul(parallel.a.data(), parallel.b.data(), parallel.c.data(), parallel.dims);
        expect_bits(parallel.logical(), serial.logical());
        EXPECT_TRUE(parallel.guards_intact());
    }
}

// Overwriting in parallel, each unit clears its own rows first: the result is the serial product
// from a cleared C, whatever C held (NaN, −0.0), on row-block units and on row units, and nothing
// outside C is touched.
TYPED_TEST(RowBlockedTest, ParallelUnitsClearTheirOwnRows) {
    using T = TypeParam;
    const std::uint64_t m = 203, k = 19, n = 45;
    for (const Layout<2>& lc : {dense(m, n), padded(m, n), reversed(m, n),
                                Layout<2>{{m, n}, {1, static_cast<std::int64_t>(m)}, 0}}) {
        const auto a = matrix_test::uniform_values<T>(m * k, 31), b = matrix_test::uniform_values<T>(k * n, 32);
        Product<T> serial(m, k, n, lc, a, b), parallel(m, k, n, lc, a, b);
        for (std::uint64_t i = 0; i < m; ++i)
            for (std::uint64_t j = 0; j < n; ++j) parallel.at(i, j) = (i + j) % 2 ? T(-0.0) : std::numeric_limits<T>::quiet_NaN();
        gk::serial_matmul(serial.a.data(), serial.b.data(), serial.c.data(), serial.dims);
        gk::parallel_matmul(parallel.a.data(), parallel.b.data(), parallel.c.data(), parallel.dims, true);
        expect_bits(parallel.logical(), serial.logical());
        EXPECT_TRUE(parallel.guards_intact());
    }
}

}  // namespace
