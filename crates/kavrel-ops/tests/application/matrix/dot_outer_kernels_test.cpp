#include "kavrel_ops/application/matrix/dot_outer_kernels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"
#include "support/matrix.hpp"

namespace {

using kavrel::domain::error::InternalError;
using kavrel_ops::application::matrix::types::Accumulate;
using matrix_test::Kind;
using matrix_test::Placed;
using matrix_test::same_bits;
namespace dk = kavrel_ops::application::matrix::dot_outer_kernels;

enum class Family { dot, outer };

template <class T>
using Kernel = void (*)(const matrix_test::ArrayView<T, 2>&, const matrix_test::ArrayView<T, 2>&,
                        matrix_test::ArrayViewMut<T, 2>&, Accumulate);

template <class T>
Kernel<T> kernel(Family family, bool parallel) {
    if (family == Family::dot) return parallel ? dk::parallel_dot_matmul<T> : dk::serial_dot_matmul<T>;
    return parallel ? dk::parallel_outer_matmul<T> : dk::serial_outer_matmul<T>;
}

// The operands a family reads: A row-major and B column-major for the dot kernels, the reverse
// for the outer kernels; C row-major; all in guarded buffers.
template <class T>
struct Operands {
    Placed<T> a, b, c;
    Operands(Family f, std::uint64_t m, std::uint64_t k, std::uint64_t n)
        : a(f == Family::dot ? Kind::row : Kind::col, m, k, T(5)),
          b(f == Family::dot ? Kind::col : Kind::row, k, n, T(5)), c(Kind::row, m, n, T(-77)) {}
    void run(Family f, bool parallel, Accumulate acc) {
        auto cv = c.view_mut();
        kernel<T>(f, parallel)(a.view(), b.view(), cv, acc);
    }
};

std::string label(Family f, bool parallel, Accumulate acc) {
    return std::string(parallel ? "parallel " : "serial ") + (f == Family::dot ? "dot" : "outer") +
           (acc == Accumulate::add ? ", add" : ", overwrite");
}

const Family families[] = {Family::dot, Family::outer};
const Accumulate both_modes[] = {Accumulate::overwrite, Accumulate::add};

template <class T>
class DotOuterKernelsTest : public testing::Test {};
using Elements = testing::Types<float, double>;
TYPED_TEST_SUITE(DotOuterKernelsTest, Elements);

// Small integers: every family and form gives the exact product.
TYPED_TEST(DotOuterKernelsTest, ExactProductsAcrossUnitCounts) {
    using T = TypeParam;
    for (Family f : families)
        for (bool parallel : {false, true})
            for (Accumulate acc : both_modes)
                for (std::uint64_t m : {0, 1, 4, 5, 60, 61, 65})
                    for (std::uint64_t k : {1, 7})
                        for (std::uint64_t n : {0, 1, 3}) {
                            SCOPED_TRACE(label(f, parallel, acc) + " m=" + std::to_string(m) + " k=" + std::to_string(k) +
                                         " n=" + std::to_string(n));
                            Operands<T> o(f, m, k, n);
                            const auto a = matrix_test::small_integers<T>(m * k, 1);
                            const auto b = matrix_test::small_integers<T>(k * n, 2);
                            const auto c0 = matrix_test::small_integers<T>(m * n, 3);
                            o.a.fill(a);
                            o.b.fill(b);
                            o.c.fill(acc == Accumulate::add ? c0 : std::vector<T>(m * n, std::numeric_limits<T>::quiet_NaN()));
                            o.run(f, parallel, acc);
                            const auto want =
                                matrix_test::reference_product(a, b, acc == Accumulate::add ? c0 : std::vector<T>{}, m, k, n);
                            const auto got = o.c.logical();
                            for (std::size_t s = 0; s < got.size(); ++s) ASSERT_EQ(static_cast<double>(got[s]), want[s]) << s;
                            EXPECT_EQ(o.c.guards_changed(), 0u);
                        }
}

// k = 0: the dot kernels write 0.0 or add it (−0.0 becomes +0.0); the outer kernels clear C or
// leave it as it was.
TYPED_TEST(DotOuterKernelsTest, ZeroDepth) {
    using T = TypeParam;
    for (Family f : families)
        for (bool parallel : {false, true})
            for (Accumulate acc : both_modes) {
                SCOPED_TRACE(label(f, parallel, acc));
                Operands<T> o(f, 70, 0, 3);
                o.c.fill(std::vector<T>(70 * 3, T(-0.0)));
                o.run(f, parallel, acc);
                const bool stays_negative = f == Family::outer && acc == Accumulate::add;
                for (T x : o.c.logical()) ASSERT_TRUE(same_bits(x, stays_negative ? T(-0.0) : T(0.0)));
                EXPECT_EQ(o.c.guards_changed(), 0u);
            }
}

// A zero of A multiplies an infinite row of B in both families (0·inf = NaN in that column only);
// beside finite rows it changes nothing; a NaN entry of A makes its whole row of C NaN.
TYPED_TEST(DotOuterKernelsTest, ZeroEntryBesideInfiniteRowOfBAndNaNEntryOfA) {
    using T = TypeParam;
    const T inf = std::numeric_limits<T>::infinity();
    for (Family f : families)
        for (bool parallel : {false, true})
            for (std::uint64_t m : {1, 64}) {
                SCOPED_TRACE(label(f, parallel, Accumulate::overwrite) + " m=" + std::to_string(m));
                const std::uint64_t k = 3, n = 4;
                Operands<T> o(f, m, k, n);
                std::vector<T> a(m * k, T(1)), b(k * n, T(2));
                a[0 * k + 1] = T(0);
                a[0 * k + 2] = T(-0.0);  // beside a finite row
                if (m > 5) a[5 * k + 2] = std::numeric_limits<T>::quiet_NaN();
                b[1 * n + 3] = inf;
                o.a.fill(a);
                o.b.fill(b);
                o.run(f, parallel, Accumulate::overwrite);
                EXPECT_TRUE(std::isnan(o.c.at(0, 3)));
                for (std::uint64_t j = 0; j < 3; ++j) EXPECT_TRUE(same_bits(o.c.at(0, j), T(2))) << j;
                if (m > 5) {
                    for (std::uint64_t j = 0; j < n; ++j) EXPECT_TRUE(std::isnan(o.c.at(5, j))) << j;
                    EXPECT_EQ(o.c.at(1, 3), inf);
                }
            }
}

// The outer kernels add a row of C's terms several at a time: bit for bit what one axpy_slice per
// entry of A gives, in order, leaving out the zeros before finite rows of B, with zeros (either
// sign) between and at the ends of runs of every length, NaN and infinities in A and B (zeros
// before their rows are terms like any other), signed zeros in C, and rows ending in a partial
// vector.
TYPED_TEST(DotOuterKernelsTest, OuterTermsTogetherEqualOneAxpyPerTerm) {
    using T = TypeParam;
    using kavrel_ops::domain::scalar::contract::Scalar;
    const T inf = std::numeric_limits<T>::infinity(), nan = std::numeric_limits<T>::quiet_NaN();
    for (bool parallel : {false, true})
        for (std::uint64_t n : {1, 7, 37, 64}) {
            SCOPED_TRACE(label(Family::outer, parallel, Accumulate::add) + " n=" + std::to_string(n));
            const std::uint64_t m = parallel ? 67 : 5, k = 23;
            auto a = matrix_test::uniform_values<T>(m * k, 7), b = matrix_test::uniform_values<T>(k * n, 8);
            auto c0 = matrix_test::uniform_values<T>(m * n, 9);
            for (std::uint64_t i = 0; i < m; ++i)
                for (std::uint64_t p : {0, 5, 7, 8, 12, 22}) a[i * k + (p + i) % k] = (p % 2) ? T(-0.0) : T(0);
            a[2 * k + 3] = nan;
            b[6 * n] = inf;
            b[9 * n + n - 1] = -inf;
            c0[1] = T(-0.0);
            std::vector<T> want = c0;
            const auto finite_row = [&](std::uint64_t p) {
                return std::all_of(b.begin() + p * n, b.begin() + p * n + n, [](T x) { return std::isfinite(x); });
            };
            for (std::uint64_t i = 0; i < m; ++i)
                for (std::uint64_t p = 0; p < k; ++p) {
                    if (a[i * k + p] == T{} && finite_row(p)) continue;
                    Scalar<T>::axpy_slice(std::span<const T>(b.data() + p * n, n), std::span<T>(want.data() + i * n, n),
                                          a[i * k + p]);
                }
            Operands<T> o(Family::outer, m, k, n);
            o.a.fill(a);
            o.b.fill(b);
            o.c.fill(c0);
            o.run(Family::outer, parallel, Accumulate::add);
            const auto got = o.c.logical();
            for (std::size_t s = 0; s < got.size(); ++s) ASSERT_TRUE(same_bits(got[s], want[s])) << s;
            EXPECT_EQ(o.c.guards_changed(), 0u);
        }
}

// Up to 15 units of four rows run on the calling thread; from 16 on they go to the executor. The
// split changes nothing in any row's arithmetic.
TYPED_TEST(DotOuterKernelsTest, SixteenUnitsFanOutAndMatchSerialBitForBit) {
    using T = TypeParam;
    for (Family f : families)
        for (std::uint64_t m : {60, 61, 65, 301}) {
            SCOPED_TRACE(label(f, true, Accumulate::add) + " m=" + std::to_string(m));
            const std::uint64_t k = 33, n = 19;
            const auto a = matrix_test::uniform_values<T>(m * k, 4), b = matrix_test::uniform_values<T>(k * n, 5);
            const auto c0 = matrix_test::uniform_values<T>(m * n, 6);
            Operands<T> serial(f, m, k, n), parallel(f, m, k, n);
            for (auto* o : {&serial, &parallel}) {
                o->a.fill(a);
                o->b.fill(b);
                o->c.fill(c0);
            }
            serial.run(f, false, Accumulate::add);
            const std::uint64_t before = matrix_test::executor_chunks();
            parallel.run(f, true, Accumulate::add);
            const std::uint64_t handed = matrix_test::executor_chunks() - before;
            if (m <= 60) {
                EXPECT_EQ(handed, 0u);
            } else {
                EXPECT_GT(handed, 0u);
            }
            const auto want = serial.c.logical(), got = parallel.c.logical();
            for (std::size_t s = 0; s < got.size(); ++s) ASSERT_TRUE(same_bits(got[s], want[s])) << s;
            EXPECT_EQ(parallel.c.guards_changed(), 0u);
        }
}

TYPED_TEST(DotOuterKernelsTest, SharedOutputWindowIsRefusedFirst) {
    using T = TypeParam;
    for (Family f : families)
        for (bool parallel : {false, true}) {
            SCOPED_TRACE(label(f, parallel, Accumulate::overwrite));
            Operands<T> o(f, 0, 2, 3);  // no rows: still refused
            auto cv = o.c.view_mut();
            cv.window_shared = 1;
            try {
                kernel<T>(f, parallel)(o.a.view(), o.b.view(), cv, Accumulate::overwrite);
                ADD_FAILURE() << "shared window accepted";
            } catch (const InternalError& e) {
                EXPECT_EQ(std::string(e.what()),
                          "window is shared with sibling lane/axis views; a whole-window slice would alias their elements "
                          "(use per-element access instead)");
            }
        }
}

TYPED_TEST(DotOuterKernelsTest, OuterKernelRevalidatesBeforeClearing) {
    using T = TypeParam;
    Operands<T> o(Family::outer, 2, 3, 4);
    matrix_test::ArrayView<T, 2> short_b = o.b.view();
    short_b.layout.shape = {2, 4};  // two rows where A has three columns
    auto cv = o.c.view_mut();
    try {
        dk::serial_outer_matmul<T>(o.a.view(), short_b, cv, Accumulate::overwrite);
        ADD_FAILURE() << "mismatch accepted";
    } catch (const InternalError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "route_matmul validated dimensions: ShapeMismatch { lhs: [2, 3], rhs: [2, 4] }");
    }
    EXPECT_EQ(o.c.guards_changed(), 0u);
}

}  // namespace
