#include "kavrel_ops/application/map.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "support/geometry.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel/domain/layout/layout.hpp"
#include "support/scalar.hpp"

namespace {

using namespace scalar_test;
using geometry_test::CacheGeometry;
using geometry_test::InjectedGeometry;
using geometry_test::with_l3;
using kavrel::domain::error::display;
using kavrel::domain::layout::Layout;
namespace map = kavrel_ops::application::map;
namespace strided = kavrel_ops::application::strided;
using map::ArrayView;
using map::ArrayViewMut;

static_assert(std::is_empty_v<map::AddOp> && std::is_empty_v<map::SubOp> && std::is_empty_v<map::MulOp> &&
              std::is_empty_v<map::DivOp>);

constexpr float guard = -1234.5f;  // never a result of the inputs below

// A layout over its own buffer, `trailing` elements past the last one it reaches.
struct Operand {
    Layout<2> layout;
    std::vector<float> storage;
};

std::uint64_t reach(const Layout<2>& l) {
    if (l.shape[0] == 0 || l.shape[1] == 0) return l.offset;
    std::int64_t high = static_cast<std::int64_t>(l.offset);
    for (int k = 0; k < 2; ++k) high += std::max<std::int64_t>(0, static_cast<std::int64_t>(l.shape[k] - 1) * l.strides[k]);
    return static_cast<std::uint64_t>(high) + 1;
}

Operand input(const Layout<2>& l, Inputs kind, std::uint64_t seed) {
    return {l, make_inputs<float>(reach(l) + 3, kind, seed)};
}

Operand output(const Layout<2>& l) { return {l, std::vector<float>(reach(l) + 5, guard)}; }

Layout<2> c_order(std::uint64_t rows, std::uint64_t cols, std::uint64_t offset = 0, std::uint64_t pad = 0) {
    return {{rows, cols}, {static_cast<std::int64_t>(cols + pad), 1}, offset};
}
Layout<2> f_order(std::uint64_t rows, std::uint64_t cols, std::uint64_t offset = 0) {
    return {{rows, cols}, {1, static_cast<std::int64_t>(rows)}, offset};
}

ArrayView<float, 2> view(const Operand& o) { return {o.storage.data(), o.storage.size(), o.layout}; }
ArrayViewMut<float, 2> view_mut(Operand& o, std::uint8_t shared = 0) {
    return {o.storage.data(), o.layout, o.storage.size(), shared};
}

float element_at(const Operand& x, std::uint64_t i, std::uint64_t j) {
    const auto& l = x.layout;
    const std::uint64_t r = l.shape[0] == 1 ? 0 : i, c = l.shape[1] == 1 ? 0 : j;
    return x.storage[static_cast<std::size_t>(static_cast<std::int64_t>(l.offset) + static_cast<std::int64_t>(r) * l.strides[0] +
                                              static_cast<std::int64_t>(c) * l.strides[1])];
}

template <class Op>
float reference(float x, float y) {
    if constexpr (std::is_same_v<Op, map::AddOp>) return x + y;
    if constexpr (std::is_same_v<Op, map::SubOp>) return x - y;
    if constexpr (std::is_same_v<Op, map::MulOp>) return x * y;
    if constexpr (std::is_same_v<Op, map::DivOp>) return x / y;
}

// Every element the output maps holds a op b bit for bit; every other storage element still
// holds the guard.
template <class Op>
testing::AssertionResult holds_map(const Operand& a, const Operand& b, const Operand& out) {
    std::vector<bool> mapped(out.storage.size(), false);
    const auto& l = out.layout;
    for (std::uint64_t i = 0; i < l.shape[0]; ++i) {
        for (std::uint64_t j = 0; j < l.shape[1]; ++j) {
            const auto at = static_cast<std::size_t>(static_cast<std::int64_t>(l.offset) +
                                                     static_cast<std::int64_t>(i) * l.strides[0] +
                                                     static_cast<std::int64_t>(j) * l.strides[1]);
            mapped[at] = true;
            const float expected = reference<Op>(element_at(a, i, j), element_at(b, i, j));
            if (bits_of(out.storage[at]) != bits_of(expected))
                return testing::AssertionFailure() << "element (" << i << ", " << j << "): " << out.storage[at]
                                                   << " expected " << expected;
        }
    }
    for (std::size_t k = 0; k < mapped.size(); ++k)
        if (!mapped[k] && bits_of(out.storage[k]) != bits_of(guard))
            return testing::AssertionFailure() << "storage element " << k << " outside the output was written";
    return testing::AssertionSuccess();
}

enum class Route { contiguous_serial, contiguous_parallel, rows_serial, rows_parallel, tiles_serial, tiles_parallel };

const char* route_name(Route r) {
    constexpr const char* names[] = {"contiguous serial", "contiguous parallel", "rows serial",
                                     "rows parallel",     "tiles serial",        "tiles parallel"};
    return names[static_cast<int>(r)];
}

// The route the map takes, from the same predicates it uses.
Route route_of(const Operand& a, const Operand& b, Operand& out, const CacheGeometry& g) {
    const auto av = view(a), bv = view(b);
    const auto ov = view_mut(out);
    if (auto w = map::dense_windows(av, bv, ov))
        return map::goes_parallel(w->out.size(), g) ? Route::contiguous_parallel : Route::contiguous_serial;
    const auto shape = out.layout.shape;
    const std::uint64_t tile = map::tile_elements(g);
    const strided::StridedWalk walk{shape,
                                    *a.layout.broadcast(shape),
                                    *b.layout.broadcast(shape),
                                    shape[0] * shape[1],
                                    out.layout,
                                    tile,
                                    tile};
    const bool parallel = map::goes_parallel(walk.count, g);
    if (strided::choose_walk(walk) == strided::WalkKind::tiles) return parallel ? Route::tiles_parallel : Route::tiles_serial;
    return parallel ? Route::rows_parallel : Route::rows_serial;
}

struct MapCase {
    std::string name;
    Layout<2> a;
    Layout<2> b;
    Layout<2> out;
    CacheGeometry geometry;
    Route route;
};

const CacheGeometry serial = with_l3(std::uint64_t{1} << 40);
const CacheGeometry parallel = with_l3(1);
const CacheGeometry default_l3 = with_l3(8388608);

// Shapes around the vector widths (8, 16 lanes, pairs of vectors), the shard length (5461) and
// the level-3 bound, for every route.
std::vector<MapCase> route_cases() {
    std::vector<MapCase> cases;
    for (std::uint64_t cols : {1, 7, 8, 15, 16, 17, 31, 32, 33, 65}) {
        const std::uint64_t rows = 3;
        const std::string shape = "(" + std::to_string(rows) + ", " + std::to_string(cols) + ")";
        const auto dense = c_order(rows, cols);
        cases.push_back({"dense " + shape, dense, dense, dense, serial, Route::contiguous_serial});
        cases.push_back({"dense parallel " + shape, dense, dense, dense, parallel, Route::contiguous_parallel});
        cases.push_back({"b (1, n) " + shape, dense, c_order(1, cols), dense, serial, Route::rows_serial});
        cases.push_back({"b (1, n) parallel " + shape, dense, c_order(1, cols), dense, parallel, Route::rows_parallel});
        cases.push_back({"b (m, 1) " + shape, dense, c_order(rows, 1), dense, serial,
                         cols == 1 ? Route::contiguous_serial : Route::rows_serial});
        cases.push_back({"b (m, 1) parallel " + shape, dense, c_order(rows, 1), dense, parallel,
                         cols == 1 ? Route::contiguous_parallel : Route::rows_parallel});
        cases.push_back({"b (1, 1) " + shape, dense, c_order(1, 1), dense, serial, Route::rows_serial});
        cases.push_back({"b (1, 1) parallel " + shape, dense, c_order(1, 1), dense, parallel, Route::rows_parallel});
    }
    // Shard edges of the contiguous parallel route.
    for (std::uint64_t n : {5460, 5461, 5462, 2 * 5461, 2 * 5461 + 1, 3 * 5461 + 100}) {
        const auto dense = c_order(1, n);
        cases.push_back({"shards of (1, " + std::to_string(n) + ")", dense, dense, dense, parallel,
                         Route::contiguous_parallel});
    }
    // The level-3 bound: 12 x n equal to it stays serial, one element more goes parallel.
    cases.push_back({"at the level-3 bound", c_order(10, 100), c_order(10, 100), c_order(10, 100), with_l3(12000),
                     Route::contiguous_serial});
    cases.push_back({"past the level-3 bound", c_order(10, 100), c_order(10, 100), c_order(10, 100), with_l3(11999),
                     Route::contiguous_parallel});
    cases.push_back({"strided at the level-3 bound", c_order(10, 100), c_order(1, 100), c_order(10, 100),
                     with_l3(12000), Route::rows_serial});
    cases.push_back({"strided past the level-3 bound", c_order(10, 100), c_order(1, 100), c_order(10, 100),
                     with_l3(11999), Route::rows_parallel});
    // 1000 x 700 at the default level-3 size: 129 shards, the last of 992 elements.
    cases.push_back({"1000 x 700, default level 3", c_order(1000, 700), c_order(1000, 700), c_order(1000, 700),
                     default_l3, Route::contiguous_parallel});
    cases.push_back({"1000 x 700, level 3 of 12 x 700000", c_order(1000, 700), c_order(1000, 700),
                     c_order(1000, 700), with_l3(12 * 700000), Route::contiguous_serial});
    // Column-major throughout: one dense window each.
    cases.push_back({"all column-major", f_order(9, 13), f_order(9, 13), f_order(9, 13), parallel,
                     Route::contiguous_parallel});
    // Offsets and padded rows: no window, so the strided route, with the same results.
    cases.push_back({"padded rows", c_order(9, 13, 2, 3), c_order(9, 13, 1, 3), c_order(9, 13, 4, 3), serial,
                     Route::rows_serial});
    cases.push_back({"padded rows parallel", c_order(9, 13, 2, 3), c_order(9, 13, 1, 3), c_order(9, 13, 4, 3),
                     parallel, Route::rows_parallel});
    // Equal shapes whose strides differ on an extent-1 axis only.
    const Layout<2> odd_row_stride{{1, 40}, {7, 1}, 0};
    cases.push_back({"strides differ on an extent-1 axis", c_order(1, 40), odd_row_stride, c_order(1, 40), serial,
                     Route::rows_serial});
    // A transposed a: tiles from 16 rows on (64-byte lines, 16 floats), rows below that.
    for (std::uint64_t rows : {15, 16, 20, 37}) {
        const std::string name = "transposed a, " + std::to_string(rows) + " rows";
        const Route s = rows < 16 ? Route::rows_serial : Route::tiles_serial;
        const Route p = rows < 16 ? Route::rows_parallel : Route::tiles_parallel;
        cases.push_back({name, f_order(rows, 23), c_order(rows, 23), c_order(rows, 23), serial, s});
        cases.push_back({name + " parallel", f_order(rows, 23), c_order(rows, 23), c_order(rows, 23), parallel, p});
        cases.push_back({name + ", b (1, n)", f_order(rows, 23), c_order(1, 23), c_order(rows, 23), serial, s});
    }
    // A column-major output, a row-major a: the output's column stride spans the tile.
    cases.push_back({"column-major out", c_order(40, 19), c_order(40, 19), f_order(40, 19), serial, Route::tiles_serial});
    cases.push_back({"column-major out parallel", c_order(40, 19), c_order(40, 19), f_order(40, 19), parallel,
                     Route::tiles_parallel});
    // 128-byte lines: a 32-element tile, so a transposed a of 20 rows walks rows.
    cases.push_back({"128-byte lines", f_order(20, 9), c_order(20, 9), c_order(20, 9), with_l3(1, 128),
                     Route::rows_parallel});
    // Negative strides (reversed rows and columns) in every operand.
    const Layout<2> reversed{{6, 11}, {-11, -1}, 65};
    cases.push_back({"reversed operands", reversed, reversed, reversed, serial, Route::rows_serial});
    cases.push_back({"reversed operands parallel", reversed, c_order(1, 11), reversed, parallel, Route::rows_parallel});
    // a broadcast as well (the map allows it; the Python functions never pass it).
    cases.push_back({"a (1, n), b (m, 1)", c_order(1, 21), c_order(5, 1), c_order(5, 21), serial, Route::rows_serial});
    // Empty outputs: nothing written, success.
    cases.push_back({"zero rows", c_order(0, 5), c_order(1, 5), c_order(0, 5), parallel, Route::rows_serial});
    cases.push_back({"zero columns", c_order(4, 0), c_order(4, 0), c_order(4, 0), parallel, Route::contiguous_serial});
    return cases;
}

class BinaryMapTest : public ForcedPathTest {};

template <class Op>
void check_routes(Inputs inputs) {
    for (const auto& c : route_cases()) {
        SCOPED_TRACE(c.name);
        const Operand a = input(c.a, inputs, 1), b = input(c.b, inputs, 2);
        Operand out = output(c.out);
        ASSERT_STREQ(route_name(route_of(a, b, out, c.geometry)), route_name(c.route));
        InjectedGeometry injected(c.geometry);
        auto ov = view_mut(out);
        auto r = map::binary_map_with_cache_line<Op>(view(a), view(b), ov);
        ASSERT_TRUE(r.has_value()) << display(r.error());
        EXPECT_TRUE(holds_map<Op>(a, b, out));
    }
}

TEST_P(BinaryMapTest, EveryRouteMatchesTheElementOperation) {
    check_routes<map::AddOp>(Inputs::mixed);
    check_routes<map::SubOp>(Inputs::mixed);
    check_routes<map::MulOp>(Inputs::mixed);
    check_routes<map::DivOp>(Inputs::mixed);
}

TEST_P(BinaryMapTest, SpecialValuesPassThroughEveryRoute) {
    check_routes<map::AddOp>(Inputs::specials);
    check_routes<map::SubOp>(Inputs::specials);
    check_routes<map::MulOp>(Inputs::specials);
    check_routes<map::DivOp>(Inputs::specials);
}

INSTANTIATE_TEST_SUITE_P(Paths, BinaryMapTest, testing::ValuesIn(all_paths), path_param_name);

// IEEE results with no error and no flush to zero: division by ±0, 0/0, infinities, and
// subnormal operands and results, on the dense and the strided routes.
TEST_P(BinaryMapTest, IeeeSpecialsAndSubnormalsKept) {
    const float inf = std::numeric_limits<float>::infinity();
    const float tiny = std::numeric_limits<float>::denorm_min();
    const float min_normal = std::numeric_limits<float>::min();
    const std::vector<float> xs = {1.0f, -1.0f, 0.0f, -0.0f, inf, -inf, 3 * tiny, min_normal, min_normal, 1e-30f};
    const std::vector<float> ys = {0.0f, 0.0f,  0.0f, -0.0f, inf, 2.0f, 0.0f,     -min_normal * 0.75f, 0.5f, 1e-10f};
    const std::uint64_t n = xs.size();
    for (const CacheGeometry& g : {serial, parallel}) {
        InjectedGeometry injected(g);
        for (const bool broadcast_rows : {false, true}) {
            // Two rows of the same values; b either dense or one broadcast row.
            Operand a{c_order(2, n), {}}, b{broadcast_rows ? c_order(1, n) : c_order(2, n), {}};
            for (int r = 0; r < 2; ++r) a.storage.insert(a.storage.end(), xs.begin(), xs.end());
            for (int r = 0; r < (broadcast_rows ? 1 : 2); ++r) b.storage.insert(b.storage.end(), ys.begin(), ys.end());
            Operand out = output(c_order(2, n));
            auto ov = view_mut(out);
            ASSERT_TRUE(map::binary_map_with_cache_line<map::DivOp>(view(a), view(b), ov));
            EXPECT_TRUE(holds_map<map::DivOp>(a, b, out));
            EXPECT_EQ(out.storage[0], inf);
            EXPECT_EQ(out.storage[1], -inf);
            EXPECT_TRUE(std::isnan(out.storage[2]) && std::isnan(out.storage[3]) && std::isnan(out.storage[4]));
            EXPECT_EQ(out.storage[5], -inf);
            EXPECT_EQ(out.storage[8], 2 * min_normal);
            EXPECT_EQ(std::fpclassify(out.storage[9]), FP_NORMAL);
            ov = view_mut(out);
            ASSERT_TRUE(map::binary_map_with_cache_line<map::MulOp>(view(a), view(b), ov));
            EXPECT_TRUE(holds_map<map::MulOp>(a, b, out));
            EXPECT_EQ(std::fpclassify(out.storage[8]), FP_SUBNORMAL);  // min_normal x 0.5 is kept, not flushed
            ov = view_mut(out);
            ASSERT_TRUE(map::binary_map_with_cache_line<map::AddOp>(view(a), view(b), ov));
            EXPECT_TRUE(holds_map<map::AddOp>(a, b, out));
            EXPECT_EQ(bits_of(out.storage[6]), bits_of(3 * tiny));  // subnormal + 0 stays subnormal
            EXPECT_EQ(std::fpclassify(out.storage[7]), FP_SUBNORMAL);  // min_normal - 0.75 min_normal
            EXPECT_EQ(out.storage[4], inf);
        }
    }
}

struct ErrorCase {
    std::string name;
    Layout<2> a;
    Layout<2> b;
    Layout<2> out;
    std::uint64_t out_len;  // 0: the output's own reach
    std::uint8_t shared;
    std::string expected;
    std::uint64_t a_len = 0;  // 0: the operand's own reach
};

const std::string shared_text =
    "Storage error: binary map output must exclusively own its storage window (interleaved iterator-yielded "
    "sub-views are rejected)";

TEST(BinaryMapErrorTest, ErrorsComeBeforeAnyWrite) {
    const std::vector<ErrorCase> cases = {
        {"b does not broadcast", c_order(3, 4), c_order(2, 4), c_order(3, 4), 0, 0,
         "Incompatible broadcast: from [2, 4] to [3, 4]"},
        {"a checked before b", c_order(3, 5), c_order(2, 4), c_order(3, 4), 0, 0,
         "Incompatible broadcast: from [3, 5] to [3, 4]"},
        {"only b broadcasts to the output's shape", c_order(1, 4), c_order(3, 4), c_order(1, 4), 0, 0,
         "Incompatible broadcast: from [3, 4] to [1, 4]"},
        {"input reaching a negative offset", {{2, 3}, {3, -1}, 0}, c_order(2, 3), c_order(2, 3), 0, 0,
         "Storage error: layout accesses negative physical offset -2"},
        {"aliasing output", c_order(2, 3), c_order(2, 3), {{2, 3}, {0, 1}, 0}, 0, 0,
         "Storage error: binary map output layout must be injective (no aliasing)"},
        {"shared window, dense route", c_order(2, 3), c_order(2, 3), c_order(2, 3), 0, 1, shared_text},
        {"shared window, strided route", c_order(2, 3), c_order(1, 3), c_order(2, 3), 0, 1, shared_text},
        {"shared window, dense parallel route", c_order(200, 30), c_order(200, 30), c_order(200, 30), 0, 1,
         shared_text},
        {"output beyond its storage", c_order(2, 3), c_order(2, 3), c_order(2, 3), 5, 0,
         "Storage error: storage length 5 does not cover layout physical offsets 0..=5"},
        {"input beyond its storage", c_order(2, 3), c_order(1, 3), c_order(2, 3), 0, 0,
         "Storage error: storage length 4 does not cover layout physical offsets 0..=5", 4},
    };
    InjectedGeometry injected(parallel);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Operand a = input(c.a, Inputs::mixed, 3), b = input(c.b, Inputs::mixed, 4);
        if (c.a_len != 0) a.storage.resize(c.a_len);
        Operand out = output(c.out);
        ArrayViewMut<float, 2> ov{out.storage.data(), c.out, c.out_len ? c.out_len : out.storage.size(), c.shared};
        auto r = map::binary_map_with_cache_line<map::AddOp>(view(a), view(b), ov);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(display(r.error()), c.expected);
        for (float v : out.storage) ASSERT_EQ(bits_of(v), bits_of(guard));
    }
}

TEST(BinaryMapErrorTest, ValidateBinaryShapesChecksBroadcastThenBounds) {
    Operand a = input(c_order(3, 4), Inputs::mixed, 5), out = output(c_order(3, 4));
    Operand col = input(c_order(3, 1), Inputs::mixed, 6);
    EXPECT_TRUE(map::validate_binary_shapes(view(a), view(col), view_mut(out)));
    // An output extent of 0 takes an input extent of 1 (stride 0), but not one of 3.
    Operand empty = output(c_order(0, 4)), row = input(c_order(1, 4), Inputs::mixed, 7);
    EXPECT_TRUE(map::validate_binary_shapes(view(row), view(row), view_mut(empty)));
    auto three = map::validate_binary_shapes(view(row), view(col), view_mut(empty));
    ASSERT_FALSE(three.has_value());
    EXPECT_EQ(display(three.error()), "Incompatible broadcast: from [3, 1] to [0, 4]");
    // Shape products that overflow.
    const Layout<2> huge{{std::uint64_t{1} << 40, std::uint64_t{1} << 40}, {0, 0}, 0};
    Operand one = input(c_order(1, 1), Inputs::mixed, 8);
    ArrayViewMut<float, 2> big{out.storage.data(), huge, out.storage.size(), 0};
    auto r = map::validate_binary_shapes(view(one), view(one), big);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(display(r.error()), "Arithmetic overflow in layout calculations: layout shape product");
}

}  // namespace
