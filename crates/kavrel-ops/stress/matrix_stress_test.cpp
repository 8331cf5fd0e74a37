// Several threads running matrix products on the global executor at once: large products on
// every router family and every output path, and batched products of many items (on the
// executor) and of a few large items (each fanning out), every result checked exactly; and
// batched products whose items fail on several threads at once, each reporting one error.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ostrel_testing/deadline.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/application/view/mutable_core.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/matrix/api.hpp"

namespace {

using kavrel::application::view::immutable::ArrayView;
using kavrel::application::view::mutable_core::ArrayViewMut;
using kavrel::domain::layout::Layout;
using kavrel_ops::application::matrix::api::batched_matmul;
using kavrel_ops::application::matrix::api::matmul_with_tile_policy;
using kavrel_ops::application::matrix::types::Accumulate;

constexpr unsigned callers = 5;

std::vector<float> small_integers(std::uint64_t count, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> pick(-2, 2);
    std::vector<float> v(count);
    for (auto& x : v) x = static_cast<float>(pick(gen));
    return v;
}

std::int64_t signed_of(std::uint64_t x) { return static_cast<std::int64_t>(x); }

// One m×k by k×n product with A, B and C in the layouts the variant picks; false on a wrong
// element.
bool checked_product(unsigned variant, std::uint32_t seed) {
    const std::uint64_t m = 96 + variant, k = 64, n = 80;
    const auto a = small_integers(m * k, seed), b = small_integers(k * n, seed + 1);
    std::vector<float> a_buf(m * k), b_buf(k * n), c_buf(2 * m * n, 0.0f);
    const bool a_col = variant & 1, b_col = variant & 2;
    for (std::uint64_t i = 0; i < m; ++i)
        for (std::uint64_t p = 0; p < k; ++p) a_buf[a_col ? i + p * m : i * k + p] = a[i * k + p];
    for (std::uint64_t p = 0; p < k; ++p)
        for (std::uint64_t j = 0; j < n; ++j) b_buf[b_col ? p + j * k : p * n + j] = b[p * n + j];
    const ArrayView<float, 2> av{a_buf.data(), a_buf.size(),
                                 {{m, k}, {a_col ? 1 : signed_of(k), a_col ? signed_of(m) : 1}, 0}};
    const ArrayView<float, 2> bv{b_buf.data(), b_buf.size(),
                                 {{k, n}, {b_col ? 1 : signed_of(n), b_col ? signed_of(k) : 1}, 0}};
    // C row-major, column-major or every other row.
    const unsigned c_kind = variant % 3;
    const Layout<2> lc = c_kind == 0   ? Layout<2>{{m, n}, {signed_of(n), 1}, 0}
                         : c_kind == 1 ? Layout<2>{{m, n}, {1, signed_of(m)}, 0}
                                       : Layout<2>{{m, n}, {2 * signed_of(n), 1}, 0};
    ArrayViewMut<float, 2> cv{c_buf.data(), lc, c_buf.size(), 0};
    if (!matmul_with_tile_policy<float>(av, bv, cv, Accumulate::overwrite)) return false;
    for (std::uint64_t i = 0; i < m; ++i)
        for (std::uint64_t j = 0; j < n; ++j) {
            float want = 0.0f;
            for (std::uint64_t p = 0; p < k; ++p) want += a[i * k + p] * b[p * n + j];
            const auto at = static_cast<std::int64_t>(i) * lc.strides[0] + static_cast<std::int64_t>(j) * lc.strides[1];
            if (c_buf[static_cast<std::size_t>(at)] != want) return false;
        }
    return true;
}

bool checked_batch(std::uint64_t count, std::uint64_t size, std::uint32_t seed) {
    const auto a = small_integers(count * size * size, seed), b = small_integers(size * size, seed + 1);
    std::vector<float> out(count * size * size, 0.0f);
    const auto s = signed_of(size);
    const ArrayView<float, 3> av{a.data(), a.size(), {{count, size, size}, {s * s, s, 1}, 0}};
    const ArrayView<float, 3> bv{b.data(), b.size(), {{1, size, size}, {s * s, s, 1}, 0}};
    ArrayViewMut<float, 3> ov{out.data(), {{count, size, size}, {s * s, s, 1}, 0}, out.size(), 0};
    if (!batched_matmul(av, bv, ov)) return false;
    for (std::uint64_t t = 0; t < count; t += 97)
        for (std::uint64_t i = 0; i < size; ++i)
            for (std::uint64_t j = 0; j < size; ++j) {
                float want = 0.0f;
                for (std::uint64_t p = 0; p < size; ++p) want += a[(t * size + i) * size + p] * b[p * size + j];
                if (out[(t * size + i) * size + j] != want) return false;
            }
    return true;
}

TEST(MatrixStressTest, ManyCallersRunProductsAtOnce) {
    std::atomic<int> wrong{0};
    ostrel_testing::run_threads(
        callers,
        [&](unsigned t) {
            for (unsigned r = 0; r < 6; ++r) {
                if (!checked_product(t + r, 100 * t + r)) wrong.fetch_add(1);
                if (!checked_batch(1500, 4, 7 * t + r)) wrong.fetch_add(1);
                if (!checked_batch(3, 80, 11 * t + r)) wrong.fetch_add(1);
            }
        },
        "concurrent matrix products");
    EXPECT_EQ(wrong.load(), 0);
}

// Every item whose index is a multiple of 7 fails (items are told apart by their A offset; A's
// batch stride is 4).
kavrel::domain::error::Result<void> every_seventh_fails(const ArrayView<float, 2>& a, const ArrayView<float, 2>& b,
                                                        ArrayViewMut<float, 2>& c) {
    const std::uint64_t item = a.layout.offset / 4;
    if (item % 7 == 0) return kavrel::domain::error::storage_error("item " + std::to_string(item));
    return matmul_with_tile_policy<float>(a, b, c, Accumulate::overwrite);
}

TEST(MatrixStressTest, ConcurrentItemFailuresReportOneErrorEach) {
    std::atomic<int> wrong{0};
    ostrel_testing::run_threads(
        callers,
        [&](unsigned t) {
            const std::uint64_t count = 4000;
            const auto a = small_integers(count * 4, t), b = small_integers(4, t + 1);
            const ArrayView<float, 3> av{a.data(), a.size(), {{count, 2, 2}, {4, 2, 1}, 0}};
            const ArrayView<float, 3> bv{b.data(), b.size(), {{1, 2, 2}, {4, 2, 1}, 0}};
            for (unsigned r = 0; r < 10; ++r) {
                std::vector<float> storage(count * 4, 0.0f);
                ArrayViewMut<float, 3> ov{storage.data(), {{count, 2, 2}, {4, 2, 1}, 0}, storage.size(), 0};
                const auto result =
                    kavrel_ops::application::matrix::api::detail::batched_matmul_with(av, bv, ov, every_seventh_fails);
                if (result) {
                    wrong.fetch_add(1);
                    continue;
                }
                const std::string text = kavrel::domain::error::display(result.error());
                const std::uint64_t item = std::stoull(text.substr(text.rfind(' ') + 1));
                if (item % 7 != 0 || item >= count) wrong.fetch_add(1);
            }
        },
        "concurrent failing batched products");
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
