#include "kavrel_ops/application/matrix/api.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"
#include "support/matrix.hpp"

namespace {

using kavrel::domain::error::display;
using kavrel::domain::error::InternalError;
using kavrel::domain::error::Result;
using kavrel_ops::application::matrix::api::batched_matmul;
using kavrel_ops::application::matrix::api::matmul_with_tile_policy;
using kavrel_ops::application::matrix::types::Accumulate;
using matrix_test::ArrayView;
using matrix_test::ArrayViewMut;
using matrix_test::Kind;
using matrix_test::Layout;
using matrix_test::Placed;
using matrix_test::same_bits;
namespace detail = kavrel_ops::application::matrix::api::detail;

const std::string shared_text =
    "Storage error: matmul output must exclusively own its storage window (interleaved iterator-yielded sub-views are "
    "rejected)";

const Kind all_kinds[] = {Kind::row, Kind::col, Kind::padded, Kind::strided};
const Accumulate both_modes[] = {Accumulate::overwrite, Accumulate::add};

// --- matmul_with_tile_policy ----------------------------------------------------------------

// Row-major C (router directly), column-major C (transposed product) and every other C
// (temporary and write-back): the same exact values, C's old values unread when overwriting,
// nothing outside C written.
TEST(MatmulFrontEndTest, EveryOutputLayoutGetsTheSameProduct) {
    struct Shape {
        std::uint64_t m, k, n;
    };
    for (const Shape& s : {Shape{4, 3, 5}, Shape{1, 6, 4}, Shape{5, 6, 1}, Shape{70, 40, 66}, Shape{3, 0, 2}})
        for (Kind ka : all_kinds)
            for (Kind kb : all_kinds)
                for (Kind kc : all_kinds)
                    for (Accumulate acc : both_modes) {
                        SCOPED_TRACE(std::to_string(s.m) + "x" + std::to_string(s.k) + "x" + std::to_string(s.n) + " A " +
                                     matrix_test::name_of(ka) + " B " + matrix_test::name_of(kb) + " C " +
                                     matrix_test::name_of(kc) + (acc == Accumulate::add ? " add" : " overwrite"));
                        const auto a = matrix_test::small_integers<double>(s.m * s.k, 1);
                        const auto b = matrix_test::small_integers<double>(s.k * s.n, 2);
                        const auto c0 = matrix_test::small_integers<double>(s.m * s.n, 3);
                        Placed<double> pa(ka, s.m, s.k, 0.0), pb(kb, s.k, s.n, 0.0), pc(kc, s.m, s.n, -8.0);
                        pa.fill(a);
                        pb.fill(b);
                        pc.fill(acc == Accumulate::add ? c0 : std::vector<double>(s.m * s.n, std::nan("")));
                        auto cv = pc.view_mut();
                        const auto r = matmul_with_tile_policy<double>(pa.view(), pb.view(), cv, acc);
                        ASSERT_TRUE(r.has_value()) << display(r.error());
                        const auto want = matrix_test::reference_product<double>(
                            a, b, acc == Accumulate::add ? c0 : std::vector<double>{}, s.m, s.k, s.n);
                        EXPECT_EQ(pc.logical(), want);
                        EXPECT_EQ(pc.guards_changed(), 0u);
                    }
}

// Every other row of a larger array: the rows between are never touched, and C's values are
// read only when adding.
TEST(MatmulFrontEndTest, EveryOtherRowOfALargerArray) {
    const std::uint64_t m = 3, k = 4, n = 5;
    const auto a = matrix_test::small_integers<float>(m * k, 4), b = matrix_test::small_integers<float>(k * n, 5);
    for (Accumulate acc : both_modes) {
        std::vector<float> storage(2 * m * n, 6.0f);
        ArrayViewMut<float, 2> c{storage.data(), {{m, n}, {2 * static_cast<std::int64_t>(n), 1}, 0}, storage.size(), 0};
        const ArrayView<float, 2> av{a.data(), a.size(), {{m, k}, {static_cast<std::int64_t>(k), 1}, 0}};
        const ArrayView<float, 2> bv{b.data(), b.size(), {{k, n}, {static_cast<std::int64_t>(n), 1}, 0}};
        ASSERT_TRUE(matmul_with_tile_policy<float>(av, bv, c, acc).has_value());
        const auto want =
            matrix_test::reference_product<float>(a, b, std::vector<float>(m * n, acc == Accumulate::add ? 6.0f : 0.0f), m, k, n);
        for (std::uint64_t i = 0; i < m; ++i)
            for (std::uint64_t j = 0; j < n; ++j) {
                EXPECT_EQ(storage[2 * i * n + j], want[i * n + j]);
                EXPECT_EQ(storage[2 * i * n + n + j], 6.0f);
            }
    }
}

TEST(MatmulFrontEndTest, ColumnMajorOutputReportsTheTransposedShapes) {
    Placed<float> pa(Kind::row, 2, 3, 0.0f), pb(Kind::row, 4, 5, 0.0f), row_c(Kind::row, 2, 5, 0.0f),
        col_c(Kind::col, 2, 5, 0.0f), other_c(Kind::strided, 2, 5, 0.0f);
    for (auto* c : {&row_c, &col_c, &other_c}) {
        auto cv = c->view_mut();
        const auto r = matmul_with_tile_policy<float>(pa.view(), pb.view(), cv, Accumulate::overwrite);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(display(r.error()), c == &col_c ? "Shape mismatch: lhs [5, 4], rhs [3, 2]"
                                                  : "Shape mismatch: lhs [2, 3], rhs [4, 5]");
    }
}

// The shared-window flag is tested first, on every output path, with one StorageError; nothing
// is written.
TEST(MatmulFrontEndTest, SharedOutputWindowIsOneStorageErrorOnEveryPath) {
    for (Kind kc : all_kinds)
        for (bool shapes_fit : {true, false})
            for (Accumulate acc : both_modes) {
                SCOPED_TRACE(std::string(matrix_test::name_of(kc)) + (shapes_fit ? "" : ", mismatched shapes"));
                Placed<float> pa(Kind::row, 2, 3, 1.0f), pb(Kind::row, shapes_fit ? 3 : 4, 5, 1.0f), pc(kc, 2, 5, 4.0f);
                auto cv = pc.view_mut();
                cv.window_shared = 1;
                const auto r = matmul_with_tile_policy<float>(pa.view(), pb.view(), cv, acc);
                ASSERT_FALSE(r.has_value());
                EXPECT_EQ(display(r.error()), shared_text);
                for (float x : pc.storage) EXPECT_EQ(x, 4.0f);
            }
}

// An output that is neither row- nor column-major gets the router's output checks before its
// values are read or a temporary is written back: an aliasing layout (never row- or
// column-major) is refused as validate_matmul refuses it, and one that reaches past its storage
// is refused before it is read.
TEST(MatmulFrontEndTest, TemporaryPathChecksTheOutputFirst) {
    Placed<float> pa(Kind::row, 2, 3, 1.0f), pb(Kind::row, 3, 3, 1.0f);
    std::vector<float> storage(8, 4.0f);
    struct Row {
        const char* name;
        Layout<2> c;
        std::string expected;
    };
    const Row rows[] = {
        {"rows alias (row stride 0)", {{2, 3}, {0, 2}, 0}, "Storage error: matmul output layout must be injective (no aliasing)"},
        {"past its storage", {{2, 3}, {1, 3}, 3}, "Storage error: storage length 8 does not cover layout physical offsets 3..=10"},
    };
    for (const Row& row : rows)
        for (Accumulate acc : both_modes) {
            SCOPED_TRACE(row.name);
            ArrayViewMut<float, 2> cv{storage.data(), row.c, storage.size(), 0};
            const auto r = matmul_with_tile_policy<float>(pa.view(), pb.view(), cv, acc);
            ASSERT_FALSE(r.has_value());
            EXPECT_EQ(display(r.error()), row.expected);
            for (float x : storage) EXPECT_EQ(x, 4.0f);
        }
}

TEST(MatmulFrontEndTest, RouterErrorOnTheTemporaryPathLeavesCUnchanged) {
    std::vector<float> a_storage(4, 1.0f);
    const ArrayView<float, 2> a{a_storage.data(), a_storage.size(), {{2, 3}, {3, 1}, 0}};  // reaches index 5 of 4
    Placed<float> pb(Kind::row, 3, 5, 1.0f), pc(Kind::strided, 2, 5, 2.0f);
    auto cv = pc.view_mut();
    const auto r = matmul_with_tile_policy<float>(a, pb.view(), cv, Accumulate::add);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(display(r.error()), "Storage error: storage length 4 does not cover layout physical offsets 0..=5");
    for (float x : pc.storage) EXPECT_EQ(x, 2.0f);
}

TEST(MatmulFrontEndTest, OutputWithoutElementsIsNeverWritten) {
    for (Layout<2> c : {Layout<2>{{0, 4}, {4, 1}, 0}, Layout<2>{{0, 4}, {1, 0}, 0}, Layout<2>{{0, 4}, {-3, 5}, 9},
                        Layout<2>{{3, 0}, {0, 1}, 0}, Layout<2>{{3, 0}, {1, 3}, 0}, Layout<2>{{3, 0}, {7, -2}, 2}}) {
        for (Accumulate acc : both_modes) {
            std::vector<double> storage(6, 3.0), values(12, 1.0);
            const ArrayView<double, 2> a{values.data(), 12, {{c.shape[0], 2}, {2, 1}, 0}};
            const ArrayView<double, 2> b{values.data(), 12, {{2, c.shape[1]}, {4, 1}, 0}};
            ArrayViewMut<double, 2> cv{storage.data(), c, storage.size(), 0};
            ASSERT_TRUE(matmul_with_tile_policy<double>(a, b, cv, acc).has_value());
            for (double x : storage) EXPECT_EQ(x, 3.0);
        }
    }
}

// A C without elements returns before any kernel: A of 2^60 elements (one read through stride 0)
// times a k×0 B would otherwise be walked row by row.
TEST(MatmulFrontEndTest, OutputWithoutElementsIgnoresTheOperandSizes) {
    const std::uint64_t m = std::uint64_t{1} << 40, k = std::uint64_t{1} << 20;
    const std::vector<float> one(1, 1.0f);
    std::vector<float> nothing;
    const ArrayView<float, 2> a{one.data(), 1, {{m, k}, {0, 0}, 0}};
    const ArrayView<float, 2> b{one.data(), 1, {{k, 0}, {0, 1}, 0}};
    ArrayViewMut<float, 2> c{nothing.data(), {{m, 0}, {0, 1}, 0}, 0, 0};
    for (Accumulate acc : both_modes) EXPECT_TRUE(matmul_with_tile_policy<float>(a, b, c, acc).has_value());
}

// The LU trailing update as it calls the engine: A22 += P·Q in place, A22 the trailing window of
// a larger row-major matrix (row stride of the whole matrix, offset at the window's corner).
TEST(MatmulFrontEndTest, AccumulatingIntoATrailingWindow) {
    const std::uint64_t n = 150, e = 70, m = n - e, w = 32;
    std::vector<double> whole = matrix_test::small_integers<double>(n * n, 7);
    const auto p = matrix_test::small_integers<double>(m * w, 8), q = matrix_test::small_integers<double>(w * m, 9);
    const std::vector<double> before = whole;
    const ArrayView<double, 2> pv{p.data(), p.size(), {{m, w}, {static_cast<std::int64_t>(w), 1}, 0}};
    const ArrayView<double, 2> qv{q.data(), q.size(), {{w, m}, {static_cast<std::int64_t>(m), 1}, 0}};
    ArrayViewMut<double, 2> a22{whole.data(), {{m, m}, {static_cast<std::int64_t>(n), 1}, e * (n + 1)}, whole.size(), 0};
    ASSERT_TRUE(matmul_with_tile_policy<double>(pv, qv, a22, Accumulate::add).has_value());
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t j = 0; j < n; ++j) {
            double want = before[i * n + j];
            if (i >= e && j >= e)
                for (std::uint64_t t = 0; t < w; ++t) want += p[(i - e) * w + t] * q[t * m + (j - e)];
            ASSERT_EQ(whole[i * n + j], want) << i << "," << j;
        }
}

// --- batched_matmul -----------------------------------------------------------------------

// A stack of `count` row-major matrices, back to back.
struct Stack {
    std::vector<float> data;
    Layout<3> layout;
    Stack(std::uint64_t count, std::uint64_t rows, std::uint64_t cols, std::uint32_t seed)
        : data(matrix_test::small_integers<float>(count * rows * cols, seed)),
          layout{{count, rows, cols}, {static_cast<std::int64_t>(rows * cols), static_cast<std::int64_t>(cols), 1}, 0} {}
    ArrayView<float, 3> view() const { return {data.data(), data.size(), layout}; }
    ArrayViewMut<float, 3> view_mut() { return {data.data(), layout, data.size(), 0}; }
    std::vector<float> item(std::uint64_t i) const {
        const std::uint64_t size = layout.shape[1] * layout.shape[2];
        const std::uint64_t at = layout.shape[0] == 1 ? 0 : i;
        return {data.begin() + static_cast<std::ptrdiff_t>(at * size),
                data.begin() + static_cast<std::ptrdiff_t>((at + 1) * size)};
    }
};

void expect_items(const Stack& a, const Stack& b, const Stack& out) {
    const std::uint64_t m = out.layout.shape[1], k = a.layout.shape[2], n = out.layout.shape[2];
    for (std::uint64_t i = 0; i < out.layout.shape[0]; ++i) {
        const auto want = matrix_test::reference_product<float>(a.item(i), b.item(i), {}, m, k, n);
        const auto got = out.item(i);
        for (std::size_t s = 0; s < got.size(); ++s) ASSERT_EQ(static_cast<double>(got[s]), want[s]) << "item " << i;
    }
}

TEST(BatchedMatmulTest, BatchCountOfOneServesEveryItem) {
    struct Row {
        std::uint64_t ba, bb, count;
    };
    for (const Row& r : {Row{3, 1, 3}, Row{1, 3, 3}, Row{4, 4, 4}, Row{1, 1, 1}, Row{1, 1, 5}, Row{0, 0, 0}}) {
        SCOPED_TRACE(std::to_string(r.ba) + "/" + std::to_string(r.bb) + " -> " + std::to_string(r.count));
        Stack a(r.ba, 3, 4, 1), b(r.bb, 4, 5, 2), out(r.count, 3, 5, 3);
        for (float& x : out.data) x = std::numeric_limits<float>::quiet_NaN();  // never read
        auto ov = out.view_mut();
        const auto result = batched_matmul(a.view(), b.view(), ov);
        ASSERT_TRUE(result.has_value()) << display(result.error());
        expect_items(a, b, out);
    }
}

// Items on the executor (from 1024 on) give exactly what each item gives alone.
TEST(BatchedMatmulTest, ManyItemsOnTheExecutorMatchItemByItem) {
    const std::uint64_t count = 1100;
    Stack a(count, 5, 7, 4), b(1, 7, 3, 5), out(count, 5, 3, 6);
    auto ov = out.view_mut();
    const std::uint64_t before = matrix_test::executor_chunks();
    ASSERT_TRUE(batched_matmul(a.view(), b.view(), ov).has_value());
    EXPECT_GT(matrix_test::executor_chunks(), before);
    expect_items(a, b, out);
}

TEST(BatchedMatmulTest, EmptyItemsWriteNothing) {
    for (auto [m, n] : {std::pair<std::uint64_t, std::uint64_t>{0, 3}, {3, 0}}) {
        Stack a(2, m, 4, 1), b(2, 4, n, 2);
        std::vector<float> storage(4, 9.0f);
        ArrayViewMut<float, 3> out{storage.data(), {{2, m, n}, {static_cast<std::int64_t>(m * n), static_cast<std::int64_t>(n), 1}, 0},
                                   storage.size(), 0};
        ASSERT_TRUE(batched_matmul(a.view(), b.view(), out).has_value());
        for (float x : storage) EXPECT_EQ(x, 9.0f);
    }
}

// Operands without elements that any strides describe, as NumPy hands them over (a reversed
// batch axis sliced to nothing is still C-contiguous there): no item offset is formed from them.
TEST(BatchedMatmulTest, ItemsWithoutElementsTakeAnyBatchStride) {
    std::vector<float> nothing;
    const std::vector<float> ones(6, 1.0f);
    // a (2, 0, 1) over a reversed batch axis, b (2, 1, 3): the (2, 0, 3) result has no elements.
    const ArrayView<float, 3> a_rows{nothing.data(), 0, {{2, 0, 1}, {-1, 1, 1}, 0}};
    const ArrayView<float, 3> b{ones.data(), ones.size(), {{2, 1, 3}, {3, 3, 1}, 0}};
    ArrayViewMut<float, 3> no_out{nothing.data(), {{2, 0, 3}, {0, 3, 1}, 0}, 0, 0};
    EXPECT_TRUE(batched_matmul(a_rows, b, no_out).has_value());
    ArrayViewMut<float, 3> no_out_b{nothing.data(), {{2, 1, 0}, {0, 0, 1}, 0}, 0, 0};
    const ArrayView<float, 3> a{ones.data(), ones.size(), {{2, 1, 1}, {1, 1, 1}, 0}};
    const ArrayView<float, 3> b_cols{nothing.data(), 0, {{2, 1, 0}, {-5, 0, 1}, 0}};
    EXPECT_TRUE(batched_matmul(a, b_cols, no_out_b).has_value());
    // k = 0: a (2, 3, 0) and b (2, 0, 4) with negative batch strides; every output item is zero.
    for (std::uint64_t count : {2u, 1500u}) {
        SCOPED_TRACE(count);
        const ArrayView<float, 3> a_empty{nothing.data(), 0, {{count, 3, 0}, {-7, 0, 1}, 0}};
        const ArrayView<float, 3> b_empty{nothing.data(), 0, {{1, 0, 4}, {-3, 4, 1}, 0}};
        std::vector<float> storage(count * 12, std::numeric_limits<float>::quiet_NaN());
        ArrayViewMut<float, 3> out{storage.data(), {{count, 3, 4}, {12, 4, 1}, 0}, storage.size(), 0};
        ASSERT_TRUE(batched_matmul(a_empty, b_empty, out).has_value());
        for (float x : storage) ASSERT_EQ(x, 0.0f);
    }
}

// An empty result returns at once: an item loop over 2^62 items would not end.
TEST(BatchedMatmulTest, EmptyResultDoesNotVisitTheBatch) {
    std::vector<float> nothing;
    const std::uint64_t huge = std::uint64_t{1} << 62;
    const ArrayView<float, 3> a{nothing.data(), 0, {{1, 0, 16}, {0, 16, 1}, 0}};
    const ArrayView<float, 3> b{nothing.data(), 0, {{huge, 16, 0}, {0, 0, 1}, 0}};
    ArrayViewMut<float, 3> out{nothing.data(), {{huge, 0, 0}, {0, 0, 1}, 0}, 0, 0};
    EXPECT_TRUE(batched_matmul(a, b, out).has_value());
    const ArrayView<float, 3> tall{nothing.data(), 0, {{huge, 0, 16}, {0, 16, 1}, 0}};
    const std::vector<float> ones(16 * 5, 1.0f);
    const ArrayView<float, 3> wide{ones.data(), ones.size(), {{1, 16, 5}, {80, 5, 1}, 0}};
    ArrayViewMut<float, 3> rows_out{nothing.data(), {{huge, 0, 5}, {0, 5, 1}, 0}, 0, 0};
    EXPECT_TRUE(batched_matmul(tall, wide, rows_out).has_value());
}

// Items that share one B above the packing threshold read one packed copy of its panels, items
// with their own B pack it once each; either way every item gets one tiled_gemm per 32-row block.
TEST(BatchedMatmulTest, ItemsOverPackedPanelsMatchOneTiledGemmPerBlock) {
    for (const auto& [items, m, bb] : {std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>{3, 40, 1}, {3, 40, 3},
                                       {2, 128, 1}, {2, 128, 2}}) {
        SCOPED_TRACE(std::to_string(items) + " items of " + std::to_string(m) + " rows, " + std::to_string(bb) + " B");
        const std::uint64_t k = 512, n = 260;
        Stack a(items, m, k, 21), b(bb, k, n, 22), out(items, m, n, 23);
        for (float& x : a.data) x = x / 4 + 0.125f;  // not small integers: rounding shows any change of order
        auto ov = out.view_mut();
        ASSERT_TRUE(batched_matmul(a.view(), b.view(), ov).has_value());
        for (std::uint64_t i = 0; i < items; ++i) {
            const auto ai = a.item(i), bi = b.item(i);
            std::vector<float> want(m * n, 0.0f);
            for (std::uint64_t r = 0; r < m; r += 32) {
                const std::uint64_t rows = std::min<std::uint64_t>(32, m - r);
                kavrel_ops::domain::scalar::contract::Scalar<float>::tiled_gemm(
                    std::span<const float>(ai).subspan(r * k, rows * k), bi,
                    std::span<float>(want).subspan(r * n, rows * n), rows, n, k);
            }
            const auto got = out.item(i);
            for (std::size_t e = 0; e < got.size(); ++e) ASSERT_TRUE(same_bits(got[e], want[e])) << "item " << i << " at " << e;
        }
    }
}

TEST(BatchedMatmulTest, ChecksInOrder) {
    std::vector<float> storage(200, 1.0f);
    auto view = [&](Layout<3> l, std::uint64_t len = 200) { return ArrayView<float, 3>{storage.data(), len, l}; };
    auto out_view = [&](Layout<3> l, std::uint64_t len = 200) { return ArrayViewMut<float, 3>{storage.data(), l, len, 0}; };
    auto dense = [](std::uint64_t b, std::uint64_t r, std::uint64_t c, std::uint64_t offset = 0) {
        return Layout<3>{{b, r, c}, {static_cast<std::int64_t>(r * c), static_cast<std::int64_t>(c), 1}, offset};
    };
    auto storage_text = [](const Layout<3>& l, std::uint64_t len) {
        auto r = kavrel::domain::layout::kernels::validate_storage(l.shape, l.strides, l.offset, len);
        return r ? std::string("(fits)") : display(r.error());
    };
    struct Row {
        const char* name;
        Layout<3> a, b, out;
        std::string expected;
    };
    const Row rows[] = {
        {"batch counts 2 and 3", dense(2, 2, 3), dense(3, 3, 4), dense(3, 2, 4), "Shape mismatch: lhs [2, 2, 3], rhs [3, 3, 4]"},
        {"batch count 0 beside 1", dense(0, 2, 3), dense(1, 3, 4), dense(1, 2, 4), "Shape mismatch: lhs [0, 2, 3], rhs [1, 3, 4]"},
        {"inner extents", dense(2, 2, 3), dense(2, 4, 4), dense(2, 2, 4), "Shape mismatch: lhs [2, 2, 3], rhs [2, 4, 4]"},
        {"rows of out", dense(2, 2, 3), dense(2, 3, 4), dense(2, 3, 4), "Shape mismatch: lhs [2, 2, 3], rhs [2, 3, 4]"},
        {"columns of out, before a's storage", dense(2, 2, 3, 190), dense(2, 3, 4), dense(2, 2, 5),
         "Shape mismatch: lhs [2, 2, 3], rhs [2, 3, 4]"},
        {"a's storage first", dense(2, 2, 3, 190), dense(2, 3, 4, 190), dense(2, 2, 4, 190), storage_text(dense(2, 2, 3, 190), 200)},
        {"then b's", dense(2, 2, 3), dense(2, 3, 4, 190), dense(2, 2, 4, 190), storage_text(dense(2, 3, 4, 190), 200)},
        {"then out's", dense(2, 2, 3), dense(2, 3, 4), dense(2, 2, 4, 190), storage_text(dense(2, 2, 4, 190), 200)},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto out = out_view(r.out);
        const std::vector<float> before = storage;
        const auto result = batched_matmul(view(r.a), view(r.b), out);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(display(result.error()), r.expected);
        EXPECT_EQ(storage, before);
    }
}

TEST(BatchedMatmulTest, DisjointItemTestUsesCheckedMagnitudes) {
    constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    struct Row {
        const char* name;
        Layout<3> out;
        bool disjoint;
    };
    const Row rows[] = {
        {"fresh row-major output", {{3, 4, 5}, {20, 5, 1}, 0}, true},
        {"stride exactly one item's span", {{3, 4, 5}, {-20, 5, 1}, 40}, true},
        {"one short of the span", {{3, 4, 5}, {19, 5, 1}, 0}, false},
        {"broadcast output", {{3, 4, 5}, {0, 5, 1}, 0}, false},
        {"one item", {{1, 4, 5}, {20, 5, 1}, 0}, false},
        {"no rows", {{3, 0, 5}, {20, 5, 1}, 0}, false},
        {"no columns", {{3, 4, 0}, {20, 5, 1}, 0}, false},
        {"most negative batch stride", {{2, 1, 1}, {min, 1, 1}, 0}, true},
        {"most negative row stride: the span overflows", {{2, 3, 1}, {max, min, 1}, 0}, false},
        {"span sum overflows", {{2, 2, 2}, {max, max, max}, 0}, false},
        {"span plus one overflows", {{2, 2, 1}, {max, -max, 0}, 0}, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(detail::items_own_disjoint_storage(r.out), r.disjoint);
    }
}

// The shipped batched product runs items that the router would send to the serial generic
// kernels directly with item 0's checked geometry; every other batch goes item by item through the
// front end. Both give the same bits, from outputs full of NaN, with zeros, signed zeros and
// infinities in the operands (where skipping or multiplying a zero would show), and the same error.
Result<void> overwriting_item(const ArrayView<float, 2>& a, const ArrayView<float, 2>& b, ArrayViewMut<float, 2>& c) {
    return matmul_with_tile_policy<float>(a, b, c, Accumulate::overwrite);
}

TEST(BatchedMatmulTest, DirectItemsMatchTheFrontEndItemByItem) {
    struct Row {
        const char* name;
        std::uint64_t ba, bb, count, m, k, n;
        std::int64_t out_row_stride;  // 0: n (row-major items)
        bool reversed = false;        // A's and the output's items last to first (negative batch strides)
    };
    const Row rows[] = {
        {"4x4 items", 6, 6, 6, 4, 4, 4, 0},
        {"two row blocks, b broadcast", 3, 1, 3, 33, 40, 17, 0},
        {"a broadcast", 1, 4, 4, 5, 3, 6, 0},
        {"executor chunks", 1100, 1, 1100, 5, 7, 3, 0},
        {"k = 0", 3, 3, 3, 3, 0, 5, 0},
        {"one row (outer kernel)", 4, 4, 4, 1, 6, 5, 0},
        {"one column", 4, 4, 4, 5, 6, 1, 0},
        {"parallel-sized items", 3, 1, 3, 64, 64, 64, 0},
        {"one block of the register tiles per item", 4, 4, 4, 16, 32, 16, 0},
        {"one block of the register tiles, b broadcast", 40, 1, 40, 20, 33, 18, 0},
        {"padded output rows (temporary)", 3, 3, 3, 4, 5, 6, 9},
        {"output rows on one another (not injective)", 3, 3, 3, 4, 5, 6, -1},
        {"items last to first", 5, 1, 5, 3, 4, 2, 0, true},
        {"items last to first on the executor", 1100, 1100, 1100, 2, 3, 4, 0, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Stack a(r.ba, r.m, r.k, 11), b(r.bb, r.k, r.n, 12);
        if (!a.data.empty()) a.data[0] = -0.0f;
        if (a.data.size() > 3) a.data[3] = 0.0f;
        if (b.data.size() > 2) b.data[2] = std::numeric_limits<float>::infinity();
        if (b.data.size() > 5) b.data[5] = -0.0f;
        const std::int64_t rs = r.out_row_stride == 0 ? static_cast<std::int64_t>(r.n)
                                                       : (r.out_row_stride < 0 ? 0 : r.out_row_stride);
        const std::int64_t item = std::max<std::int64_t>(rs * static_cast<std::int64_t>(r.m), static_cast<std::int64_t>(r.n));
        const Layout<3> out_layout = r.reversed ? Layout<3>{{r.count, r.m, r.n}, {-item, rs, 1}, static_cast<std::uint64_t>(item) * (r.count - 1)}
                                                : Layout<3>{{r.count, r.m, r.n}, {item, rs, 1}, 0};
        ArrayView<float, 3> a_view = a.view();
        if (r.reversed) {
            a_view.layout.strides[0] = -a_view.layout.strides[0];
            a_view.layout.offset = static_cast<std::uint64_t>(-a_view.layout.strides[0]) * (r.ba - 1);
        }
        std::vector<float> direct(static_cast<std::size_t>(item) * r.count + 1, std::numeric_limits<float>::quiet_NaN());
        std::vector<float> itemwise = direct;
        ArrayViewMut<float, 3> direct_out{direct.data(), out_layout, direct.size(), 0};
        ArrayViewMut<float, 3> itemwise_out{itemwise.data(), out_layout, itemwise.size(), 0};
        const auto got = batched_matmul(a_view, b.view(), direct_out);
        const auto want = detail::batched_matmul_with(a_view, b.view(), itemwise_out, overwriting_item);
        ASSERT_EQ(got.has_value(), want.has_value());
        if (!want) {
            EXPECT_EQ(display(got.error()), display(want.error()));
        }
        for (std::size_t s = 0; s < direct.size(); ++s)
            ASSERT_TRUE(same_bits(direct[s], itemwise[s])) << "element " << s << ": " << direct[s] << " vs " << itemwise[s];
    }
}

// --- The first error, through a product that fails on chosen items --------------------------

// Items are told apart by the offset of their A view (A's batch stride is item_elements).
constexpr std::uint64_t item_elements = 6;
std::set<std::uint64_t> failing;
std::mutex seen_lock;
std::vector<std::uint64_t> seen;

Result<void> failing_product(const ArrayView<float, 2>& a, const ArrayView<float, 2>& b, ArrayViewMut<float, 2>& c) {
    const std::uint64_t item = a.layout.offset / item_elements;
    {
        const std::lock_guard<std::mutex> guard(seen_lock);
        seen.push_back(item);
    }
    if (failing.count(item)) return kavrel::domain::error::storage_error("item " + std::to_string(item));
    return matmul_with_tile_policy<float>(a, b, c, Accumulate::overwrite);
}

Result<void> throwing_product(const ArrayView<float, 2>& a, const ArrayView<float, 2>&, ArrayViewMut<float, 2>&) {
    if (a.layout.offset / item_elements == 700) kavrel::domain::error::fail_invariant("invariant: item 700 broke");
    return {};
}

class BatchedFirstErrorTest : public testing::Test {
protected:
    void SetUp() override { seen.clear(); }
    void TearDown() override { failing.clear(); }
};

// Below 1024 items, on both paths: the lowest failing item's error; nothing after it runs.
TEST_F(BatchedFirstErrorTest, LowestFailingItemWinsAndLaterItemsAreSkipped) {
    for (bool shared : {true, false}) {
        SCOPED_TRACE(shared ? "disjoint outputs" : "overlapping outputs (serial path)");
        seen.clear();
        failing = {1, 3};
        Stack a(5, 2, 3, 1), b(1, 3, 4, 2);
        std::vector<float> storage(5 * 8, 0.0f);
        const std::int64_t batch_stride = shared ? 8 : 4;
        ArrayViewMut<float, 3> out{storage.data(), {{5, 2, 4}, {batch_stride, 4, 1}, 0}, storage.size(), 0};
        ASSERT_EQ(detail::items_own_disjoint_storage(out.layout), shared);
        const auto r = detail::batched_matmul_with(a.view(), b.view(), out, failing_product);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(display(r.error()), "Storage error: item 1");
        EXPECT_EQ(seen, (std::vector<std::uint64_t>{0, 1}));
        // Item 0 was computed and kept.
        const auto want = matrix_test::reference_product<float>(a.item(0), b.item(0), {}, 2, 3, 4);
        for (std::size_t s = 0; s < want.size(); ++s) EXPECT_EQ(storage[s], want[s]);
    }
}

// From 1024 items on, items run in executor chunks: exactly one of the failing items' errors
// comes back, every item ran at most once, and each item that ran and did not fail is correct.
TEST_F(BatchedFirstErrorTest, OneErrorFromConcurrentFailures) {
    const std::uint64_t count = 3000;
    failing = {10, 1500, 2999};
    Stack a(count, 2, 3, 1), b(1, 3, 4, 2), out(count, 2, 4, 3);
    std::fill(out.data.begin(), out.data.end(), std::numeric_limits<float>::quiet_NaN());
    auto ov = out.view_mut();
    const auto r = detail::batched_matmul_with(a.view(), b.view(), ov, failing_product);
    ASSERT_FALSE(r.has_value());
    const std::string text = display(r.error());
    EXPECT_TRUE(text == "Storage error: item 10" || text == "Storage error: item 1500" ||
                text == "Storage error: item 2999")
        << text;
    std::set<std::uint64_t> ran(seen.begin(), seen.end());
    EXPECT_EQ(ran.size(), seen.size()) << "an item ran twice";
    for (std::uint64_t i : ran) {
        if (failing.count(i)) continue;
        const auto want = matrix_test::reference_product<float>(a.item(i), b.item(i), {}, 2, 3, 4);
        const auto got = out.item(i);
        for (std::size_t s = 0; s < got.size(); ++s) ASSERT_EQ(static_cast<double>(got[s]), want[s]) << "item " << i;
    }
}

TEST_F(BatchedFirstErrorTest, InternalErrorInAnExecutorItemStopsTheProduct) {
    Stack a(2000, 2, 3, 1), b(1, 3, 4, 2), out(2000, 2, 4, 3);
    auto ov = out.view_mut();
    try {
        (void)detail::batched_matmul_with(a.view(), b.view(), ov, throwing_product);
        ADD_FAILURE() << "no internal error";
    } catch (const InternalError& e) {
        EXPECT_EQ(std::string(e.what()), "dravik global executor: for_each_index_with: SpawnFailed(Panicked)");
    }
}

}  // namespace
