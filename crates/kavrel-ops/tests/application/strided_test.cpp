#include "kavrel_ops/application/strided.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "kavrel/domain/error/error.hpp"

namespace {

namespace strided = kavrel_ops::application::strided;
using kavrel::domain::layout::Layout;
using strided::StridedWalk;
using strided::WalkKind;

constexpr std::uint64_t no_tiling = std::numeric_limits<std::uint64_t>::max();

StridedWalk walk_of(const Layout<2>& a, const Layout<2>& b, const Layout<2>& out, std::uint64_t tile) {
    return {out.shape, a, b, out.shape[0] * out.shape[1], out, tile, tile};
}

Layout<2> c_order(std::uint64_t rows, std::uint64_t cols) { return {{rows, cols}, {static_cast<std::int64_t>(cols), 1}, 0}; }
Layout<2> f_order(std::uint64_t rows, std::uint64_t cols) { return {{rows, cols}, {1, static_cast<std::int64_t>(rows)}, 0}; }

struct WalkCase {
    const char* name;
    StridedWalk walk;
    WalkKind expected;
};

TEST(StridedWalkTest, ChooseWalk) {
    const Layout<2> bcast_row{{20, 20}, {0, 1}, 0};
    const std::vector<WalkCase> cases = {
        {"row-major everywhere", walk_of(c_order(20, 20), c_order(20, 20), c_order(20, 20), 16), WalkKind::rows},
        {"b broadcast along rows", walk_of(c_order(20, 20), bcast_row, c_order(20, 20), 16), WalkKind::rows},
        {"a transposed, 16 rows", walk_of(f_order(16, 5), c_order(16, 5), c_order(16, 5), 16), WalkKind::tiles},
        {"a transposed, 15 rows", walk_of(f_order(15, 5), c_order(15, 5), c_order(15, 5), 16), WalkKind::rows},
        {"b transposed", walk_of(c_order(17, 5), f_order(17, 5), c_order(17, 5), 16), WalkKind::tiles},
        {"out column-major", walk_of(c_order(30, 2), c_order(30, 2), f_order(30, 2), 16), WalkKind::tiles},
        {"negative column stride spanning a tile", walk_of({{2, 3}, {1, -16}, 32}, c_order(2, 3), c_order(2, 3), 16),
         WalkKind::tiles},
        {"tile edge 1: every unit stride spans it", walk_of(c_order(3, 3), c_order(3, 3), c_order(3, 3), 1),
         WalkKind::tiles},
        {"no tiling", walk_of(f_order(64, 64), c_order(64, 64), c_order(64, 64), no_tiling), WalkKind::rows},
        {"zero columns", walk_of(c_order(4, 0), c_order(4, 0), c_order(4, 0), 16), WalkKind::empty},
        {"zero rows", walk_of(f_order(0, 40), c_order(0, 40), c_order(0, 40), 16), WalkKind::empty},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(strided::choose_walk(c.walk), c.expected);
    }
}

// Records the order of the elements it computes: a's element is its row x 1000 + column.
thread_local std::vector<std::pair<int, int>> visits;
struct RecordingOp {
    static float element(float a, float) {
        const int code = static_cast<int>(a);
        visits.emplace_back(code / 1000, code % 1000);
        return a;
    }
    static void slice(std::span<const float> a, std::span<const float> b, std::span<float> out) {
        for (std::size_t k = 0; k < a.size(); ++k) out[k] = element(a[k], b[k]);
    }
};
static_assert(strided::BinaryOp<RecordingOp>);

// A 20 x 20 tiled walk of 16-element tiles visits [0,16)x[0,16), [0,16)x[16,20),
// [16,20)x[0,16), [16,20)x[16,20), rows ascending within a tile and columns within a row.
TEST(StridedWalkTest, TiledWalkVisitsTilesInOrder) {
    const std::uint64_t n = 20;
    std::vector<float> a(n * n), b(n * n, 0.0f), out(n * n, -1.0f);
    const Layout<2> at = f_order(n, n);  // element (i, j) at i + j·n
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t j = 0; j < n; ++j) a[i + j * n] = static_cast<float>(i * 1000 + j);
    const StridedWalk walk = walk_of(at, c_order(n, n), c_order(n, n), 16);
    ASSERT_EQ(strided::choose_walk(walk), WalkKind::tiles);
    visits.clear();
    ASSERT_TRUE(strided::strided_serial<RecordingOp>(walk, {out, a, b}));
    std::vector<std::pair<int, int>> expected;
    for (int i0 : {0, 16})
        for (int j0 : {0, 16})
            for (int i = i0; i < std::min(i0 + 16, 20); ++i)
                for (int j = j0; j < std::min(j0 + 16, 20); ++j) expected.emplace_back(i, j);
    EXPECT_EQ(visits, expected);
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t j = 0; j < n; ++j) ASSERT_EQ(out[i * n + j], static_cast<float>(i * 1000 + j));
}

// The serial walk checks every access: storages shorter than the layouts reach stop it with an
// internal error instead of reading or writing past them.
TEST(StridedWalkTest, SerialWalkRefusesAccessesOutsideItsStorage) {
    std::vector<float> a(12, 1.0f), b(12, 2.0f), out(12, 0.0f);
    struct ShortCase {
        const char* name;
        StridedWalk walk;
        std::size_t out_len, a_len, b_len;
    };
    const std::vector<ShortCase> cases = {
        {"rows, short output", walk_of(c_order(3, 4), c_order(3, 4), c_order(3, 4), 16), 11, 12, 12},
        {"rows, short a", walk_of(c_order(3, 4), c_order(3, 4), c_order(3, 4), 16), 12, 7, 12},
        {"rows, short b", walk_of(c_order(3, 4), c_order(3, 4), c_order(3, 4), 16), 12, 12, 3},
        {"tiles, short output", walk_of(c_order(3, 4), c_order(3, 4), f_order(3, 4), 2), 11, 12, 12},
        {"tiles, short a", walk_of(f_order(3, 4), c_order(3, 4), c_order(3, 4), 2), 12, 10, 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const strided::SerialStorages s{{out.data(), c.out_len}, {a.data(), c.a_len}, {b.data(), c.b_len}};
        EXPECT_THROW((void)strided::strided_serial<RecordingOp>(c.walk, s), kavrel::domain::error::InternalError);
    }
}

}  // namespace
