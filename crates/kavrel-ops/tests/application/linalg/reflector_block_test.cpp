#include "kavrel_ops/application/linalg/reflector_block.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <random>
#include <vector>

#include "kavrel/domain/error/error.hpp"

namespace {

using kavrel::domain::error::InternalError;
using kavrel_ops::application::linalg::reflector_block::accumulate;

constexpr double eps = 0x1p-52;

// V (rows×k): column i zero above row i, random below; taus 2/(vᵀv) so each H_i is a reflection.
struct Block {
    std::uint64_t rows, k;
    std::vector<double> v, taus;
};

Block make_block(std::uint64_t rows, std::uint64_t k, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(-1, 1);
    Block b{rows, k, std::vector<double>(rows * k, 0.0), std::vector<double>(k)};
    for (std::uint64_t i = 0; i < k; ++i) {
        double vtv = 0;
        for (std::uint64_t r = i; r < rows; ++r) {
            // Some exact zeros below the diagonal too: they are skipped and must change nothing.
            const double x = (r > i && (r + i) % 5 == 0) ? 0.0 : unit(rng);
            b.v[r * k + i] = x;
            vtv += x * x;
        }
        b.taus[i] = 2.0 / vtv;
    }
    return b;
}

TEST(ReflectorBlockTest, TwoReflectorsByHand) {
    const std::vector<double> v = {0.5, 0, -1.25, 2, 0.75, -3};  // 3×2
    const std::vector<double> taus = {0.3, 0.7};
    std::vector<double> t(4, 99.0);
    accumulate(v, 3, 2, taus, t);
    const double z0 = 2.0 * -1.25 + (-3.0) * 0.75;
    EXPECT_EQ(t, (std::vector<double>{0.3, (-0.7) * (0.3 * z0), 0.0, 0.7}));
}

// I − V·T·Vᵀ equals H_0·H_1·…·H_{k−1} formed one reflector at a time.
TEST(ReflectorBlockTest, CompactFormEqualsTheProduct) {
    for (auto [rows, k] : {std::pair<std::uint64_t, std::uint64_t>{1, 1}, {5, 3}, {40, 32}, {200, 130}}) {
        SCOPED_TRACE(testing::Message() << rows << "x" << k);
        const Block b = make_block(rows, k, rows + k);
        std::vector<double> t(k * k);
        accumulate(b.v, rows, k, b.taus, t);
        for (std::uint64_t a = 0; a < k; ++a)
            for (std::uint64_t c = 0; c < a; ++c) EXPECT_EQ(t[a * k + c], 0.0);
        std::vector<long double> product(rows * rows, 0.0L);
        for (std::uint64_t i = 0; i < rows; ++i) product[i * rows + i] = 1.0L;
        for (std::uint64_t i = 0; i < k; ++i) {  // product := product·H_i
            for (std::uint64_t r = 0; r < rows; ++r) {
                long double d = 0;
                for (std::uint64_t p = 0; p < rows; ++p) d += product[r * rows + p] * b.v[p * k + i];
                for (std::uint64_t p = 0; p < rows; ++p) product[r * rows + p] -= b.taus[i] * d * b.v[p * k + i];
            }
        }
        std::vector<long double> vt_product(rows * k, 0.0L);  // V·T
        for (std::uint64_t r = 0; r < rows; ++r)
            for (std::uint64_t a = 0; a < k; ++a)
                for (std::uint64_t c = 0; c < k; ++c)
                    vt_product[r * k + c] += static_cast<long double>(b.v[r * k + a]) * t[a * k + c];
        double worst = 0;
        for (std::uint64_t r = 0; r < rows; ++r)
            for (std::uint64_t c = 0; c < rows; ++c) {
                long double vtv = 0;
                for (std::uint64_t a = 0; a < k; ++a) vtv += vt_product[r * k + a] * b.v[c * k + a];
                const long double compact = (r == c ? 1.0L : 0.0L) - vtv;
                worst = std::max(worst, static_cast<double>(std::fabs(compact - product[r * rows + c])));
            }
        EXPECT_LT(worst, 64 * static_cast<double>(k) * eps);
    }
}

TEST(ReflectorBlockTest, ShortBuffersAreInternalErrors) {
    std::vector<double> v(6), taus(2), t(4);
    EXPECT_THROW(accumulate(std::span<const double>(v).first(5), 3, 2, taus, t), InternalError);
    EXPECT_THROW(accumulate(v, 3, 2, std::span<const double>(taus).first(1), t), InternalError);
    EXPECT_THROW(accumulate(v, 3, 2, taus, std::span<double>(t).first(3)), InternalError);
}

}  // namespace
