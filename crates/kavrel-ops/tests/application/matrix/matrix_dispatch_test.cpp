#include "kavrel_ops/application/matrix/dispatch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "dravik_executor/schedule/runtime/worker/indexed.hpp"
#include "dravik_parallel/ops.hpp"
#include "kavrel/domain/error/error.hpp"
#include "support/matrix.hpp"

namespace {

using kavrel::domain::error::display;
using kavrel_ops::application::matrix::dispatch::route_matmul;
using kavrel_ops::application::matrix::dispatch::runs_in_parallel;
using kavrel_ops::application::matrix::types::Accumulate;
using matrix_test::Kind;
using matrix_test::Layout;
using matrix_test::Placed;
using matrix_test::same_bits;
namespace indexed = dravik_executor::schedule::runtime::worker::indexed;

const Kind all_kinds[] = {Kind::row, Kind::col, Kind::padded, Kind::strided};
const Accumulate both_modes[] = {Accumulate::overwrite, Accumulate::add};

TEST(MatmulSizeRuleTest, ParallelFrom64RowsAnd2To18MultiplyAdds) {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    struct Row {
        std::uint64_t m, k, n;
        bool parallel;
    };
    for (const Row& r : {Row{63, 1u << 20, 1u << 20, false}, Row{64, 64, 63, false}, Row{64, 64, 64, true},
                         Row{64, 4096, 1, true}, Row{1000, 0, 1000, false}, Row{64, 1, 4095, false},
                         Row{64, max, 2, true},         // m·k overflows: saturates, stays parallel
                         Row{max, max, max, true},      // never wraps to a small count
                         Row{64, 1ull << 32, 1ull << 32, true}}) {
        SCOPED_TRACE(std::to_string(r.m) + " " + std::to_string(r.k) + " " + std::to_string(r.n));
        EXPECT_EQ(runs_in_parallel(r.m, r.k, r.n), r.parallel);
    }
}

struct Dims {
    std::uint64_t m, k, n;
};

std::string dims_name(const Dims& d) {
    return std::to_string(d.m) + "x" + std::to_string(d.k) + "x" + std::to_string(d.n);
}

// Every layout of A, B and C (router table rows dot, outer, both column-major and generic, and
// the generic kernel's dense, column, zero-skipping and row-loop paths), both modes: exact
// products of small integers, guards intact, C's old values never read when overwriting, and
// the executor used exactly when the size rule says parallel.
template <class T>
void route_every_layout(const Dims& d) {
    const auto a = matrix_test::small_integers<T>(d.m * d.k, 11);
    const auto b = matrix_test::small_integers<T>(d.k * d.n, 12);
    const auto c0 = matrix_test::small_integers<T>(d.m * d.n, 13);
    const auto overwritten = matrix_test::reference_product<T>(a, b, {}, d.m, d.k, d.n);
    const auto added = matrix_test::reference_product<T>(a, b, c0, d.m, d.k, d.n);
    const bool parallel = runs_in_parallel(d.m, d.k, d.n);
    for (Kind ka : all_kinds)
        for (Kind kb : all_kinds)
            for (Kind kc : all_kinds)
                for (Accumulate acc : both_modes) {
                    SCOPED_TRACE(std::string("A ") + matrix_test::name_of(ka) + ", B " + matrix_test::name_of(kb) + ", C " +
                                 matrix_test::name_of(kc) + (acc == Accumulate::add ? ", add" : ", overwrite"));
                    Placed<T> pa(ka, d.m, d.k, T(7)), pb(kb, d.k, d.n, T(7)), pc(kc, d.m, d.n, T(-55));
                    pa.fill(a);
                    pb.fill(b);
                    pc.fill(acc == Accumulate::add ? c0 : std::vector<T>(d.m * d.n, std::numeric_limits<T>::quiet_NaN()));
                    auto cv = pc.view_mut();
                    const std::uint64_t before = matrix_test::executor_chunks();
                    const auto r = route_matmul<T>(pa.view(), pb.view(), cv, acc);
                    ASSERT_TRUE(r.has_value()) << display(r.error());
                    EXPECT_EQ(matrix_test::executor_chunks() != before, parallel);
                    const auto& want = acc == Accumulate::add ? added : overwritten;
                    const auto got = pc.logical();
                    for (std::size_t s = 0; s < got.size(); ++s)
                        ASSERT_EQ(static_cast<double>(got[s]), want[s]) << "element " << s;
                    ASSERT_EQ(pc.guards_changed(), 0u);
                    ASSERT_EQ(pa.guards_changed() + pb.guards_changed(), 0u);
                }
}

class MatmulRouteTableTest : public testing::TestWithParam<Dims> {};

TEST_P(MatmulRouteTableTest, EveryLayoutGivesTheExactProduct) {
    route_every_layout<float>(GetParam());
    route_every_layout<double>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Sizes, MatmulRouteTableTest,
                         testing::Values(Dims{0, 3, 4}, Dims{3, 0, 4}, Dims{3, 4, 0}, Dims{0, 0, 0}, Dims{1, 1, 1},
                                         Dims{1, 7, 5}, Dims{5, 7, 1}, Dims{2, 2, 2}, Dims{2, 1, 63}, Dims{65, 2, 1},
                                         Dims{63, 64, 65}, Dims{64, 64, 63}, Dims{64, 64, 64}, Dims{65, 63, 65},
                                         Dims{130, 5, 9}, Dims{64, 0, 70}, Dims{1, 65, 64}),
                         [](const testing::TestParamInfo<Dims>& info) { return "m" + dims_name(info.param); });

// With k = 0 every path is a no-op on C except the dot kernel's, which adds 0.0 (so −0.0 turns
// into +0.0) or writes it; overwriting clears C on every path.
TEST(MatmulRouteTest, ZeroDepthOnEveryRoute) {
    struct Row {
        Kind a, b, c;
        std::uint64_t m, n;
        bool dot;
    };
    const Row rows[] = {
        {Kind::row, Kind::col, Kind::row, 3, 4, true},      // dot
        {Kind::col, Kind::row, Kind::row, 3, 4, false},     // outer
        {Kind::col, Kind::col, Kind::row, 3, 3, true},      // both column-major: A copied, dot
        {Kind::col, Kind::col, Kind::row, 5, 3, true},      // m·k = k·n = 0: still A copied, dot
        {Kind::row, Kind::row, Kind::row, 3, 4, false},     // generic
        {Kind::row, Kind::row, Kind::strided, 3, 4, false}, // generic, row loop
        {Kind::row, Kind::col, Kind::row, 70, 5000, true},  // dot, m ≥ 64 (serial: no multiply-adds)
    };
    for (const Row& r : rows)
        for (Accumulate acc : both_modes) {
            SCOPED_TRACE(std::string(matrix_test::name_of(r.a)) + "/" + matrix_test::name_of(r.b) + "/" +
                         matrix_test::name_of(r.c) + " m=" + std::to_string(r.m) + " n=" + std::to_string(r.n));
            Placed<float> pa(r.a, r.m, 0, 1.0f), pb(r.b, 0, r.n, 1.0f), pc(r.c, r.m, r.n, 9.0f);
            pc.fill(std::vector<float>(r.m * r.n, -0.0f));
            auto cv = pc.view_mut();
            ASSERT_TRUE(route_matmul<float>(pa.view(), pb.view(), cv, acc).has_value());
            const float want = acc == Accumulate::add && !r.dot ? -0.0f : 0.0f;
            for (float x : pc.logical()) ASSERT_TRUE(same_bits(x, want));
            EXPECT_EQ(pc.guards_changed(), 0u);
        }
}

// An exactly zero A[0, 1] meets an infinity in B's row 1: every route gives 0·inf = NaN in that
// column, serial and parallel, and the zero A[0, 2] before B's finite row 2 changes nothing.
TEST(MatmulRouteTest, ZeroBesideInfinityIsNaNOnEveryRoute) {
    struct Row {
        const char* route;
        Kind a, b;
        Layout<2> (*c_layout)(std::uint64_t, std::uint64_t);
        std::uint64_t m, n;
    };
    auto row_major = [](std::uint64_t m, std::uint64_t n) { return matrix_test::layout_of(Kind::row, m, n); };
    auto padded = [](std::uint64_t m, std::uint64_t n) { return matrix_test::layout_of(Kind::padded, m, n); };
    auto strided = [](std::uint64_t m, std::uint64_t n) { return matrix_test::layout_of(Kind::strided, m, n); };
    auto reversed = [](std::uint64_t m, std::uint64_t n) {
        return Layout<2>{{m, n}, {-static_cast<std::int64_t>(n), 1}, (m - 1) * n};
    };
    // m·k·n from 2^18 on with 64 rows: the parallel forms.
    constexpr std::uint64_t wide = 1400;
    const Row rows[] = {
        {"dot", Kind::row, Kind::col, row_major, 3, 4},
        {"outer", Kind::col, Kind::row, row_major, 3, 4},
        {"both column-major, m > n: B copied, outer", Kind::col, Kind::col, row_major, 5, 4},
        {"both column-major, m = n: A copied, dot", Kind::col, Kind::col, row_major, 4, 4},
        {"both column-major, m < n: A copied, dot", Kind::col, Kind::col, row_major, 3, 4},
        {"one C-contiguous row of A is also column-major: outer", Kind::row, Kind::row, row_major, 1, 4},
        {"generic, dense: tiled", Kind::row, Kind::row, row_major, 3, 4},
        {"generic, A copied to row-major: tiled", Kind::padded, Kind::row, row_major, 3, 4},
        {"generic, B copied to row-major: tiled", Kind::row, Kind::strided, row_major, 3, 4},
        {"generic, padded C: column path", Kind::row, Kind::row, padded, 3, 4},
        {"generic, reversed C: zero-skipping path", Kind::row, Kind::row, reversed, 3, 4},
        {"generic, C column stride 2: row loop", Kind::row, Kind::row, strided, 3, 4},
        {"generic, one row of padded C: row loop", Kind::row, Kind::row, padded, 1, 4},
        {"parallel outer", Kind::col, Kind::row, row_major, 64, wide},
        {"parallel dot", Kind::row, Kind::col, row_major, 64, wide},
        {"parallel row units, C column stride 2", Kind::row, Kind::row, strided, 64, wide},
    };
    const std::uint64_t k = 3;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.route);
        Placed<float> pa(r.a, r.m, k, 1.0f), pb(r.b, k, r.n, 1.0f);
        std::vector<float> a(r.m * k, 1.0f), b(k * r.n, 2.0f);
        a[1] = 0.0f;
        a[2] = -0.0f;
        b[1 * r.n + 2] = std::numeric_limits<float>::infinity();
        pa.fill(a);
        pb.fill(b);
        const Layout<2> c_layout = r.c_layout(r.m, r.n);
        std::uint64_t top = 0;
        for (std::uint64_t i : {std::uint64_t{0}, r.m - 1})
            for (std::uint64_t j : {std::uint64_t{0}, r.n - 1}) top = std::max(top, matrix_test::index_of(c_layout, i, j));
        std::vector<float> c_storage(top + 1, 9.0f);
        matrix_test::ArrayViewMut<float, 2> cv{c_storage.data(), c_layout, c_storage.size(), 0};
        ASSERT_TRUE(route_matmul<float>(pa.view(), pb.view(), cv, Accumulate::overwrite).has_value());
        EXPECT_TRUE(std::isnan(c_storage[matrix_test::index_of(cv.layout, 0, 2)]));
        for (std::uint64_t j : {0, 1, 3}) EXPECT_EQ(c_storage[matrix_test::index_of(cv.layout, 0, j)], 2.0f) << j;
        if (r.m > 1) EXPECT_EQ(c_storage[matrix_test::index_of(cv.layout, 1, 2)], std::numeric_limits<float>::infinity());
    }
}

TEST(MatmulRouteTest, NaNEntryOfAReachesItsWholeRowOnEveryRoute) {
    for (Kind ka : all_kinds)
        for (Kind kb : all_kinds)
            for (Kind kc : all_kinds) {
                SCOPED_TRACE(std::string(matrix_test::name_of(ka)) + "/" + matrix_test::name_of(kb) + "/" +
                             matrix_test::name_of(kc));
                Placed<float> pa(ka, 4, 3, 1.0f), pb(kb, 3, 5, 1.0f), pc(kc, 4, 5, 0.0f);
                std::vector<float> a(12, 1.0f);
                a[2 * 3 + 1] = std::numeric_limits<float>::quiet_NaN();
                pa.fill(a);
                pb.fill(std::vector<float>(15, 1.0f));
                auto cv = pc.view_mut();
                ASSERT_TRUE(route_matmul<float>(pa.view(), pb.view(), cv, Accumulate::overwrite).has_value());
                for (std::uint64_t i = 0; i < 4; ++i)
                    for (std::uint64_t j = 0; j < 5; ++j) EXPECT_EQ(std::isnan(pc.at(i, j)), i == 2) << i << "," << j;
            }
}

// Errors come from validation only, before anything is written; the generic path's second
// validation sees the copies, which always fit.
TEST(MatmulRouteTest, ValidationErrorsLeaveCUntouched) {
    Placed<float> pa(Kind::padded, 2, 3, 1.0f), pb(Kind::row, 4, 5, 1.0f), pc(Kind::row, 2, 5, 3.0f);
    auto cv = pc.view_mut();
    auto r = route_matmul<float>(pa.view(), pb.view(), cv, Accumulate::overwrite);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(display(r.error()), "Shape mismatch: lhs [2, 3], rhs [4, 5]");
    cv.window_shared = 1;
    Placed<float> pb_ok(Kind::row, 3, 5, 1.0f);
    r = route_matmul<float>(pa.view(), pb_ok.view(), cv, Accumulate::overwrite);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(display(r.error()),
              "Storage error: matmul output must exclusively own its storage window (interleaved iterator-yielded "
              "sub-views are rejected)");
    for (float x : pc.storage) EXPECT_EQ(x, 3.0f);
}

// A product run in parallel equals, bit for bit, the same product whose units all run inline on
// the calling thread (inside an indexed region, as in a worker's chunk).
TEST(MatmulRouteTest, ParallelProductIsBitIdenticalToItsInlineRun) {
    struct Row {
        const char* route;
        Kind a, b, c;
    };
    const Row rows[] = {{"dot", Kind::row, Kind::col, Kind::row},
                        {"outer", Kind::col, Kind::row, Kind::row},
                        {"generic, tiled", Kind::row, Kind::row, Kind::row},
                        {"generic, grouped", Kind::row, Kind::row, Kind::padded},
                        {"generic, row units", Kind::row, Kind::row, Kind::strided}};
    const std::uint64_t m = 203, k = 71, n = 97;
    const auto a = matrix_test::uniform_values<double>(m * k, 21), b = matrix_test::uniform_values<double>(k * n, 22);
    const auto c0 = matrix_test::uniform_values<double>(m * n, 23);
    const auto overwritten = matrix_test::reference_product<double>(a, b, {}, m, k, n);
    const auto added = matrix_test::reference_product(a, b, c0, m, k, n);
    const auto scale = matrix_test::magnitude_product(a, b, m, k, n);
    for (const Row& r : rows)
        for (Accumulate acc : both_modes) {
            SCOPED_TRACE(r.route);
            Placed<double> pa(r.a, m, k, 0.0), pb(r.b, k, n, 0.0), fanned(r.c, m, n, 0.0), inline_run(r.c, m, n, 0.0);
            pa.fill(a);
            pb.fill(b);
            fanned.fill(c0);
            inline_run.fill(c0);
            auto fv = fanned.view_mut(), iv = inline_run.view_mut();
            const std::uint64_t before = matrix_test::executor_chunks();
            ASSERT_TRUE(route_matmul<double>(pa.view(), pb.view(), fv, acc).has_value());
            const std::uint64_t middle = matrix_test::executor_chunks();
            {
                const auto region = indexed::IndexedRegionGuard::enter();
                ASSERT_TRUE(route_matmul<double>(pa.view(), pb.view(), iv, acc).has_value());
            }
            EXPECT_GT(middle, before);
            EXPECT_EQ(matrix_test::executor_chunks(), middle);
            const auto x = fanned.logical(), y = inline_run.logical();
            for (std::size_t s = 0; s < x.size(); ++s) ASSERT_TRUE(same_bits(x[s], y[s])) << s;
            const auto& want = acc == Accumulate::add ? added : overwritten;
            for (std::size_t s = 0; s < x.size(); ++s)
                ASSERT_LE(std::abs(x[s] - want[s]), 2.0 * k * 0x1p-52 * (scale[s] + 1.0)) << s;
        }
}

// Products started on executor workers run inline: three products, each large enough to fan
// out, computed by the three items of one parallel call, hand the executor no further chunks.
TEST(MatmulRouteTest, ProductsInsideExecutorItemsDoNotFanOutAgain) {
    const std::uint64_t m = 96, k = 64, n = 64;
    const auto a = matrix_test::small_integers<float>(m * k, 31), b = matrix_test::small_integers<float>(k * n, 32);
    std::vector<Placed<float>> outputs;
    for (int t = 0; t < 3; ++t) outputs.emplace_back(Kind::row, m, n, 0.0f);
    Placed<float> pa(Kind::row, m, k, 0.0f), pb(Kind::row, k, n, 0.0f);
    pa.fill(a);
    pb.fill(b);
    const std::uint64_t before = matrix_test::executor_chunks();
    dravik_parallel::ops::for_each_index_with<dravik_parallel::policy::Parallel>(3, [&](std::uint64_t t) {
        auto cv = outputs[t].view_mut();
        if (!route_matmul<float>(pa.view(), pb.view(), cv, Accumulate::overwrite))
            kavrel::domain::error::fail_invariant("product failed");
    });
    EXPECT_LE(matrix_test::executor_chunks() - before, 2u);  // the outer call's own chunks at most
    const auto want = matrix_test::reference_product<float>(a, b, {}, m, k, n);
    for (auto& out : outputs) {
        const auto got = out.logical();
        for (std::size_t s = 0; s < got.size(); ++s) ASSERT_EQ(static_cast<double>(got[s]), want[s]);
    }
}

}  // namespace
