#include "kavrel_ops/application/linalg/schur/francis/bulge.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

namespace {

namespace bulge = kavrel_ops::application::linalg::schur::francis::bulge;

constexpr double eps = 0x1p-52;

// (I − tau·u·uᵀ)·v in long double.
std::array<long double, 3> reflect(const bulge::BulgeReflector& r, const std::array<double, 3>& v) {
    long double s = 0;
    for (int i = 0; i < 3; ++i) s += static_cast<long double>(r.u[i]) * v[i];
    std::array<long double, 3> out{};
    for (int i = 0; i < 3; ++i) out[i] = v[i] - static_cast<long double>(r.tau) * r.u[i] * s;
    return out;
}

TEST(BulgeTest, Window) {
    const auto w = bulge::bulge_window();
    EXPECT_EQ(w.small, 1.4916681462400417e-154);
    EXPECT_EQ(w.big, 6.703903964971296e+153);
}

TEST(BulgeTest, ReflectorAnnihilatesAtEveryScale) {
    const auto window = bulge::bulge_window();
    struct Row {
        std::array<double, 3> v;
        std::uint32_t nr;
    };
    const Row rows[] = {
        {{3, 4, 0}, 2},           {{-1, 2, 2}, 3},           {{0, 1, 0}, 3},
        {{1e300, 1e300, 1e300}, 3}, {{1e-300, -2e-300, 3e-300}, 3}, {{2e-320, 1e-320, 0}, 2},
        {{1e200, -1e-200, 0}, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.v[0] << " " << row.v[1] << " " << row.v[2] << " nr " << row.nr);
        const auto r = bulge::stack_reflector(row.v, row.nr, window);
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->u[0], 1.0);
        EXPECT_TRUE(std::isfinite(r->tau) && std::isfinite(r->beta));
        const auto out = reflect(*r, row.v);
        const double norm = std::hypot(std::hypot(row.v[0], row.v[1]), row.v[2]);
        // Subnormal results are rounded to the subnormal spacing 2^-1074.
        const long double tol = 8 * eps * static_cast<long double>(norm) + 4 * 0x1p-1074L;
        EXPECT_LE(std::fabs(out[0] - r->beta), tol);
        EXPECT_LE(std::fabs(out[1]), tol);
        EXPECT_LE(std::fabs(out[2]), tol);
        EXPECT_LE(std::fabs(std::fabs(static_cast<long double>(r->beta)) - norm), tol);
        EXPECT_EQ(std::signbit(r->beta), !std::signbit(row.v[0]));
    }
    EXPECT_FALSE(bulge::stack_reflector({5, 0, 7}, 2, window).has_value());
    EXPECT_FALSE(bulge::stack_reflector({5, -0.0, 0}, 3, window).has_value());
    EXPECT_TRUE(bulge::stack_reflector({5, 0, 7}, 3, window).has_value());
}

// The column loop (up to 31 columns) and the kernel path give the reflected rows to rounding, and
// both touch only rows a … a+nr−1 and columns b … c.
TEST(BulgeTest, ApplyLeftBothPathsAndBounds) {
    const auto window = bulge::bulge_window();
    std::mt19937_64 rng(2);
    std::uniform_real_distribution<double> unit(-1, 1);
    for (std::uint64_t width : {1, 2, 31, 32, 77}) {
        for (std::uint32_t nr : {2u, 3u}) {
            SCOPED_TRACE(testing::Message() << "width " << width << " nr " << nr);
            const std::uint64_t cols = width + 4, rows = 6, a = 1, b = 2, c = b + width - 1;
            std::vector<double> t(rows * cols);
            for (double& x : t) x = unit(rng);
            const std::vector<double> before = t;
            const auto r = bulge::stack_reflector({unit(rng), unit(rng), unit(rng)}, nr, window);
            ASSERT_TRUE(r.has_value());
            std::vector<double> scratch(cols, 0.0);
            bulge::apply_left(t, *r, a, cols, b, c, scratch);
            for (std::uint64_t i = 0; i < rows; ++i)
                for (std::uint64_t j = 0; j < cols; ++j) {
                    const bool inside = i >= a && i < a + nr && j >= b && j <= c;
                    if (!inside) {
                        EXPECT_EQ(t[i * cols + j], before[i * cols + j]) << i << "," << j;
                        continue;
                    }
                    long double s = 0;
                    for (std::uint32_t k = 0; k < nr; ++k) s += static_cast<long double>(r->u[k]) * before[(a + k) * cols + j];
                    const long double want = before[i * cols + j] - static_cast<long double>(r->tau) * r->u[i - a] * s;
                    EXPECT_NEAR(t[i * cols + j], static_cast<double>(want), 16 * eps) << i << "," << j;
                }
        }
    }
}

// The right application to Q held as Qᵀ gives, bit for bit, what the row-by-row loop on Q gives,
// on random, graded and signed-zero entries, and leaves the other rows of Qᵀ alone.
TEST(BulgeTest, RightApplicationOnTransposedQMatchesTheRowLoop) {
    const auto window = bulge::bulge_window();
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> unit(-1, 1);
    std::uniform_int_distribution<int> exponent(-600, 600);
    const auto row_loop = [](std::vector<double>& q, std::uint64_t n, const bulge::BulgeReflector& r,
                             std::uint64_t k) {
        for (std::uint64_t j = 0; j < n; ++j) {
            double* row = q.data() + j * n + k;
            double s = 0.0 + r.u[0] * row[0] + r.u[1] * row[1];
            if (r.nr == 3) s = s + r.u[2] * row[2];
            s = s * r.tau;
            for (std::uint32_t i = 0; i < r.nr; ++i) row[i] = row[i] - r.u[i] * s;
        }
    };
    for (int kind : {0, 1, 2}) {
        for (std::uint64_t n : {3, 4, 5, 17, 64}) {
            for (std::uint32_t nr : {2u, 3u}) {
                SCOPED_TRACE(testing::Message() << "kind " << kind << " n " << n << " nr " << nr);
                std::vector<double> q(n * n);
                for (double& x : q) {
                    x = unit(rng);
                    if (kind == 1) x = std::ldexp(x, exponent(rng));  // graded over many binades
                    if (kind == 2 && rng() % 3 == 0) x = rng() % 2 ? 0.0 : -0.0;
                }
                std::array<double, 3> v{unit(rng), unit(rng), unit(rng)};
                if (kind == 1) v = {std::ldexp(v[0], 300), std::ldexp(v[1], -300), v[2]};
                const auto r = bulge::stack_reflector(v, nr, window);
                ASSERT_TRUE(r.has_value());
                for (std::uint64_t k : {std::uint64_t{0}, n - nr}) {
                    std::vector<double> want = q, qt(n * n);
                    row_loop(want, n, *r, k);
                    for (std::uint64_t i = 0; i < n; ++i)
                        for (std::uint64_t j = 0; j < n; ++j) qt[j * n + i] = q[i * n + j];
                    bulge::apply_right_transposed(qt, n, *r, k);
                    for (std::uint64_t i = 0; i < n; ++i)
                        for (std::uint64_t j = 0; j < n; ++j) {
                            ASSERT_EQ(std::signbit(qt[j * n + i]), std::signbit(want[i * n + j])) << i << "," << j;
                            ASSERT_EQ(qt[j * n + i], want[i * n + j]) << i << "," << j;
                        }
                }
            }
        }
    }
}

}  // namespace
