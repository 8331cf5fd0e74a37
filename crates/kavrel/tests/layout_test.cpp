#include "kavrel/domain/layout/layout.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <set>
#include <type_traits>
#include <vector>

#include "kavrel/domain/dynamic/layout.hpp"
#include "kavrel/domain/layout/kernels.hpp"

namespace {

using namespace kavrel::domain;
using layout::Layout;
namespace k = layout::kernels;

constexpr std::int64_t i64_min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t i64_max = std::numeric_limits<std::int64_t>::max();
constexpr std::uint64_t two63 = std::uint64_t{1} << 63;

static_assert(std::is_trivially_copyable_v<Layout<3>>);  // a small value record, copied freely

template <class T>
std::string error_text(const error::Result<T>& r) {
    return r ? std::string("<ok>") : error::display(r.error());
}

// Every storage index a layout reaches, in logical order, computed without overflow.
std::vector<__int128> enumerate(const std::vector<std::uint64_t>& shape, const std::vector<std::int64_t>& strides,
                                std::uint64_t offset) {
    std::vector<__int128> out;
    std::uint64_t count = 1;
    for (auto e : shape) count *= e;
    std::vector<std::uint64_t> idx(shape.size(), 0);
    for (std::uint64_t n = 0; n < count; ++n) {
        __int128 at = offset;
        for (std::size_t d = 0; d < shape.size(); ++d) at += static_cast<__int128>(idx[d]) * strides[d];
        out.push_back(at);
        for (std::size_t d = shape.size(); d-- > 0;) {
            if (++idx[d] < shape[d]) break;
            idx[d] = 0;
        }
    }
    return out;
}

TEST(LayoutTest, KernelsAgreeWithEnumerationOnRandomLayouts) {
    std::mt19937_64 rng(20261210);
    for (int trial = 0; trial < 4000; ++trial) {
        const std::size_t rank = 1 + rng() % 4;
        std::vector<std::uint64_t> shape(rank);
        std::vector<std::int64_t> strides(rank);
        for (std::size_t d = 0; d < rank; ++d) {
            shape[d] = rng() % 5;
            strides[d] = static_cast<std::int64_t>(rng() % 13) - 6;
        }
        const std::uint64_t offset = rng() % 31;
        SCOPED_TRACE(testing::Message() << "trial " << trial << " shape " << error::format_dims(shape.data(), rank)
                                        << " offset " << offset);
        const auto offsets = enumerate(shape, strides, offset);
        const auto bounds = k::min_max_offsets(shape, strides, offset);
        const auto injective = k::is_injective(shape, strides);
        ASSERT_TRUE(injective.has_value());
        if (offsets.empty()) {
            ASSERT_TRUE(bounds.has_value());
            EXPECT_EQ(*bounds, (std::pair<std::int64_t, std::int64_t>(offset, offset)));
            EXPECT_TRUE(k::validate_storage(shape, strides, offset, 0).has_value());
            EXPECT_TRUE(*injective);
            continue;
        }
        const auto [lo, hi] = std::minmax_element(offsets.begin(), offsets.end());
        EXPECT_EQ(*injective, std::set<__int128>(offsets.begin(), offsets.end()).size() == offsets.size());
        if (*lo < 0) {
            EXPECT_EQ(error_text(bounds),
                      "Storage error: layout accesses negative physical offset " + std::to_string((long long)*lo));
            EXPECT_FALSE(k::validate_storage(shape, strides, offset, 1000).has_value());
        } else {
            ASSERT_TRUE(bounds.has_value());
            EXPECT_EQ(bounds->first, *lo);
            EXPECT_EQ(bounds->second, *hi);
            EXPECT_TRUE(k::validate_storage(shape, strides, offset, static_cast<std::uint64_t>(*hi) + 1).has_value());
            EXPECT_EQ(error_text(k::validate_storage(shape, strides, offset, static_cast<std::uint64_t>(*hi))),
                      "Storage error: storage length " + std::to_string((long long)*hi) +
                          " does not cover layout physical offsets " + std::to_string((long long)*lo) +
                          "..=" + std::to_string((long long)*hi));
        }
        // physical_offset of every multi-index, in the order enumerate() produced them.
        std::vector<std::uint64_t> idx(rank, 0);
        for (auto expected : offsets) {
            const auto got = k::physical_offset(shape, strides, offset, idx);
            if (expected < 0) {
                EXPECT_EQ(error_text(got), "Storage error: layout index accesses negative physical offset " +
                                               std::to_string((long long)expected));
            } else {
                ASSERT_TRUE(got.has_value()) << error_text(got);
                EXPECT_EQ(*got, expected);
            }
            for (std::size_t d = rank; d-- > 0;) {
                if (++idx[d] < shape[d]) break;
                idx[d] = 0;
            }
        }
    }
}

struct ErrorCase {
    const char* name;
    error::Result<void> result;
    const char* text;
};

template <class T>
error::Result<void> drop_value(error::Result<T> r) {
    if (!r) return std::unexpected(r.error());
    return {};
}

using S = std::vector<std::uint64_t>;
using D = std::vector<std::int64_t>;

TEST(LayoutTest, EveryFailureReasonWithItsText) {
    const std::int64_t third = 6148914691236517205;  // (2^64 - 1) / 3
    const ErrorCase cases[] = {
        {"shape product", k::validate_storage(S{1ull << 32, 1ull << 32}, D{0, 0}, 0, 10),
         "Arithmetic overflow in layout calculations: layout shape product"},
        {"base offset", drop_value(k::min_max_offsets(S{2}, D{1}, two63)),
         "Arithmetic overflow in layout calculations: layout base offset conversion"},
        {"dimension bound conversion", drop_value(k::min_max_offsets(S{two63 + 1}, D{0}, 0)),
         "Arithmetic overflow in layout calculations: layout dimension bound conversion"},
        {"dimension bound multiplication", drop_value(k::min_max_offsets(S{3}, D{1ll << 62}, 0)),
         "Arithmetic overflow in layout calculations: layout dimension bound multiplication"},
        {"minimum accumulation", drop_value(k::min_max_offsets(S{2, 2}, D{i64_min, -1}, 0)),
         "Arithmetic overflow in layout calculations: layout minimum offset accumulation"},
        {"maximum accumulation", drop_value(k::min_max_offsets(S{2}, D{1}, i64_max)),
         "Arithmetic overflow in layout calculations: layout maximum offset accumulation"},
        {"negative bound", drop_value(k::min_max_offsets(S{3}, D{-1}, 1)),
         "Storage error: layout accesses negative physical offset -1"},
        {"index conversion", drop_value(k::physical_offset(S{two63 + 5}, D{0}, 0, S{two63 + 1})),
         "Arithmetic overflow in layout calculations: layout index conversion"},
        {"offset multiplication", drop_value(k::physical_offset(S{10}, D{1ll << 62}, 0, S{4})),
         "Arithmetic overflow in layout calculations: layout offset multiplication"},
        {"offset accumulation", drop_value(k::physical_offset(S{2}, D{1}, i64_max, S{1})),
         "Arithmetic overflow in layout calculations: layout offset accumulation"},
        {"index base offset", drop_value(k::physical_offset(S{2}, D{1}, two63, S{0})),
         "Arithmetic overflow in layout calculations: layout base offset conversion"},
        {"negative index offset", drop_value(k::physical_offset(S{3}, D{-1}, 1, S{2})),
         "Storage error: layout index accesses negative physical offset -1"},
        {"index out of range", drop_value(k::physical_offset(S{2, 3}, D{3, 1}, 0, S{1, 3})),
         "Index out of bounds: index [1, 3], shape [2, 3]"},
        {"index of wrong length", drop_value(k::physical_offset(S{2, 3}, D{3, 1}, 0, S{1})),
         "Index out of bounds: index [1], shape [2, 3]"},
        {"storage too short", k::validate_storage(S{2, 3}, D{3, 1}, 0, 5),
         "Storage error: storage length 5 does not cover layout physical offsets 0..=5"},
        {"C dimension conversion", drop_value(Layout<1>::c_contiguous({two63})),
         "Arithmetic overflow in layout calculations: C-contiguous dimension conversion"},
        {"C stride multiplication", drop_value(Layout<2>::c_contiguous({1ull << 32, 1ull << 31})),
         "Arithmetic overflow in layout calculations: C-contiguous stride multiplication"},
        {"dynamic C stride multiplication",
         drop_value(dynamic::layout::LayoutDyn::c_contiguous(S{1ull << 32, 1ull << 31})),
         "Arithmetic overflow in layout calculations: C-contiguous stride multiplication"},
        {"injectivity axis span", drop_value(k::is_injective(S{3}, D{i64_min})),
         "Arithmetic overflow in layout calculations: layout injectivity axis span"},
        {"injectivity covered span", drop_value(k::is_injective(S{2, 4}, D{1, third})),
         "Arithmetic overflow in layout calculations: layout injectivity covered span"},
        {"transpose first axis", drop_value(Layout<2>{{2, 3}, {3, 1}, 0}.transpose({2, 0})),
         "Storage error: Axis 2 out of range for transposition"},
        {"transpose second axis", drop_value(Layout<2>{{2, 3}, {3, 1}, 0}.transpose({0, 5})),
         "Storage error: Axis 5 out of range for transposition"},
        {"transpose duplicate", drop_value(Layout<2>{{2, 3}, {3, 1}, 0}.transpose({1, 1})),
         "Storage error: Duplicate axis 1 in transposition"},
        {"broadcast to lower rank", drop_value(Layout<2>{{2, 3}, {3, 1}, 0}.broadcast(std::array<std::uint64_t, 1>{3})),
         "Incompatible broadcast: from [2, 3] to [3]"},
        {"broadcast mismatch", drop_value(Layout<2>{{2, 3}, {3, 1}, 0}.broadcast(std::array<std::uint64_t, 2>{4, 3})),
         "Incompatible broadcast: from [2, 3] to [4, 3]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(error_text(c.result), c.text);
    }
}

TEST(LayoutTest, DifferenceSearchGuards) {
    const S shape{3, 3};
    const D strides{1, 1};
    const k::DifferenceSearch search{shape, strides, 1, 1};
    const __int128 most_negative = static_cast<__int128>(static_cast<unsigned __int128>(1) << 127);
    EXPECT_EQ(error_text(drop_value(search.has_collision(2, most_negative, true))),
              "Arithmetic overflow in layout calculations: layout injectivity solved difference");
    EXPECT_EQ(error_text(drop_value(search.has_collision(0, most_negative, false))),
              "Arithmetic overflow in layout calculations: layout injectivity difference sum");
    // A solved stride of -1 divides every partial sum; the most negative one still fails
    // with the guard instead of overflowing the remainder.
    const D reversed{1, -1};
    const k::DifferenceSearch search_reversed{shape, reversed, 1, -1};
    EXPECT_EQ(error_text(drop_value(search_reversed.has_collision(2, most_negative, true))),
              "Arithmetic overflow in layout calculations: layout injectivity solved difference");
}

// When several checks would fail, the first one in each operation's order decides.
TEST(LayoutTest, FirstFailingCheckDecides) {
    const ErrorCase cases[] = {
        {"index length before offset conversion", drop_value(k::physical_offset(S{2}, D{1}, two63, S{0, 0})),
         "Index out of bounds: index [0, 0], shape [2]"},
        {"offset conversion before index range", drop_value(k::physical_offset(S{2}, D{1}, two63, S{5})),
         "Arithmetic overflow in layout calculations: layout base offset conversion"},
        {"earlier axis overflow before later index range",
         drop_value(k::physical_offset(S{10, 2}, D{1ll << 62, 1}, 0, S{4, 5})),
         "Arithmetic overflow in layout calculations: layout offset multiplication"},
        {"earlier index range before later index conversion",
         drop_value(k::physical_offset(S{2, two63 + 5}, D{1, 0}, 0, S{2, two63 + 1})),
         "Index out of bounds: index [2, 9223372036854775809], shape [2, 9223372036854775813]"},
        {"earlier axis multiplication before later span conversion",
         drop_value(k::min_max_offsets(S{3, two63 + 1}, D{1ll << 62, 0}, 0)),
         "Arithmetic overflow in layout calculations: layout dimension bound multiplication"},
        {"accumulation overflow before the negative bound",
         drop_value(k::min_max_offsets(S{2, 2}, D{-2, i64_max}, 1)),
         "Arithmetic overflow in layout calculations: layout maximum offset accumulation"},
        {"shape product before offset conversion", k::validate_storage(S{1ull << 32, 1ull << 32}, D{0, 0}, two63, 1),
         "Arithmetic overflow in layout calculations: layout shape product"},
        {"empty before shape product", k::validate_storage(S{1ull << 40, 1ull << 40, 0}, D{1, 1, 1}, two63, 0),
         "<ok>"},
        {"injectivity: shape product before zero stride", drop_value(k::is_injective(S{1ull << 32, 1ull << 32}, D{0, 0})),
         "Arithmetic overflow in layout calculations: layout shape product"},
        {"injectivity: empty before shape product", drop_value(k::is_injective(S{1ull << 40, 1ull << 40, 0}, D{0, 0, 0})),
         "<ok>"},
        {"injectivity: zero stride before axis span", drop_value(k::is_injective(S{3, 2}, D{i64_min, 0})), "<ok>"},
        {"transpose: first axis before second", drop_value(Layout<2>{{2, 3}, {3, 1}, 0}.transpose({5, 7})),
         "Storage error: Axis 5 out of range for transposition"},
        {"transpose: range before duplicate", drop_value(Layout<2>{{2, 3}, {3, 1}, 0}.transpose({2, 2})),
         "Storage error: Axis 2 out of range for transposition"},
        {"transpose: shape product before bounds",
         drop_value(Layout<2>{{1ull << 32, 1ull << 32}, {1ll << 40, 1ll << 40}, 0}.transpose({1, 0})),
         "Arithmetic overflow in layout calculations: layout shape product"},
        {"transpose: bounds of the result", drop_value(Layout<2>{{2, 3}, {-1, 1}, 0}.transpose({1, 0})),
         "Storage error: layout accesses negative physical offset -1"},
        {"broadcast: shape product before bounds",
         drop_value(Layout<1>{{1}, {1}, two63}.broadcast(std::array<std::uint64_t, 2>{1ull << 32, 1ull << 32})),
         "Arithmetic overflow in layout calculations: layout shape product"},
        {"broadcast: bounds of the result", drop_value(Layout<1>{{1}, {5}, two63}.broadcast(std::array<std::uint64_t, 1>{3})),
         "Arithmetic overflow in layout calculations: layout base offset conversion"},
        {"row-major: last axis first", drop_value(Layout<2>::c_contiguous({1ull << 32, two63})),
         "Arithmetic overflow in layout calculations: C-contiguous dimension conversion"},
        {"row-major: conversion of an axis before a 0", drop_value(Layout<2>::c_contiguous({two63, 0})),
         "Arithmetic overflow in layout calculations: C-contiguous dimension conversion"},
        {"row-major: product reaching 2^64", drop_value(Layout<2>::c_contiguous({1ull << 33, 1ull << 31})),
         "Arithmetic overflow in layout calculations: C-contiguous stride multiplication"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(error_text(c.result), c.text);
    }
    // The two "<ok>" injectivity rows also carry their answers.
    EXPECT_TRUE(*k::is_injective(S{1ull << 40, 1ull << 40, 0}, D{0, 0, 0}));
    EXPECT_FALSE(*k::is_injective(S{3, 2}, D{i64_min, 0}));
}

// Shape and strides are separate spans; a stride span of the wrong length is refused
// before any stride is read.
TEST(LayoutTest, StridesOfTheWrongLengthAreAnInternalError) {
    const S shape{2, 3};
    const D short_strides{1};
    std::int64_t out[1];
    EXPECT_THROW((void)k::min_max_offsets(shape, short_strides, 0), error::InternalError);
    EXPECT_THROW((void)k::validate_storage(S{0, 3}, short_strides, 0, 0), error::InternalError);
    EXPECT_THROW((void)k::physical_offset(shape, short_strides, 0, S{0, 0}), error::InternalError);
    EXPECT_THROW((void)k::is_injective(shape, short_strides), error::InternalError);
    EXPECT_THROW((void)k::broadcast_strides(shape, short_strides, S{2, 3}, std::span<std::int64_t>(out, 1)),
                 error::InternalError);
    EXPECT_THROW((void)k::c_contiguous_strides(shape, std::span<std::int64_t>(out, 1)), error::InternalError);
    EXPECT_THROW((void)k::is_c_contiguous(shape, short_strides), error::InternalError);
    EXPECT_THROW((void)k::is_f_contiguous(shape, short_strides), error::InternalError);
    const dynamic::layout::LayoutDyn uneven{S{2, 3}, D{1}, 0};
    EXPECT_THROW((void)uneven.fixed<2>(), error::InternalError);
}

TEST(LayoutTest, EmptyAndZeroRankLayouts) {
    // An empty layout is never compared with its storage.
    EXPECT_TRUE(k::validate_storage(S{0, 5}, D{5, 1}, two63, 0).has_value());
    EXPECT_TRUE(k::validate_storage(S{}, D{}, 3, 4).has_value());
    EXPECT_FALSE(k::validate_storage(S{}, D{}, 4, 4).has_value());
    // An offset above the signed range is an overflow even when no axis is walked.
    EXPECT_EQ(error_text(k::min_max_offsets(S{}, D{}, two63)),
              "Arithmetic overflow in layout calculations: layout base offset conversion");
    EXPECT_EQ(error_text(k::min_max_offsets(S{0}, D{1}, two63)),
              "Arithmetic overflow in layout calculations: layout base offset conversion");
    EXPECT_EQ(*k::min_max_offsets(S{3}, D{-1}, 2), (std::pair<std::int64_t, std::int64_t>(0, 2)));
}

TEST(LayoutTest, InjectivityFixedCases) {
    const struct {
        S shape;
        D strides;
        bool injective;
    } cases[] = {
        {{4, 4}, {4, 1}, true},  {{4, 4}, {1, 1}, false}, {{2, 3}, {2, 1}, false}, {{4, 4}, {0, 1}, false},
        {{1, 7}, {0, 0}, false}, {{1, 1}, {0, 0}, true},  {{3, 4}, {1, 3}, true},  {{2, 2, 2}, {-4, 2, -1}, true},
        {{3, 3}, {2, -1}, false}, {{3, 3}, {3, -2}, true}, {{2, 5}, {7, 2}, true},  {{1, 5}, {i64_min, 1}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(error::format_dims(c.shape.data(), c.shape.size()) + " strides " + std::to_string(c.strides[0]) +
                     "," + std::to_string(c.strides[1]));
        auto r = k::is_injective(c.shape, c.strides);
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(*r, c.injective);
    }
}

TEST(LayoutTest, BroadcastTransposeAndRowMajor) {
    auto b1 = Layout<1>{{3}, {1}, 2}.broadcast(std::array<std::uint64_t, 2>{4, 3});
    ASSERT_TRUE(b1.has_value());
    EXPECT_EQ(*b1, (Layout<2>{{4, 3}, {0, 1}, 2}));
    auto b2 = Layout<2>{{1, 3}, {3, 1}, 0}.broadcast(std::array<std::uint64_t, 2>{4, 3});
    EXPECT_EQ(*b2, (Layout<2>{{4, 3}, {0, 1}, 0}));
    auto b3 = Layout<2>{{1, 3}, {3, 1}, 0}.broadcast(std::array<std::uint64_t, 2>{0, 3});
    EXPECT_EQ(*b3, (Layout<2>{{0, 3}, {0, 1}, 0}));
    EXPECT_FALSE((Layout<1>{{0}, {1}, 0}.broadcast(std::array<std::uint64_t, 1>{1})).has_value());

    auto t = Layout<2>{{2, 3}, {3, 1}, 1}.transpose({1, 0});
    EXPECT_EQ(*t, (Layout<2>{{3, 2}, {1, 3}, 1}));

    EXPECT_EQ(*Layout<3>::c_contiguous({2, 3, 4}), (Layout<3>{{2, 3, 4}, {12, 4, 1}, 0}));
    EXPECT_EQ(*Layout<3>::c_contiguous({2, 0, 4}), (Layout<3>{{2, 0, 4}, {0, 4, 1}, 0}));
    auto dyn = dynamic::layout::LayoutDyn::c_contiguous(S{5, 0, 2});
    EXPECT_EQ(dyn->strides, (D{0, 2, 1}));
    EXPECT_EQ(dyn->fixed<3>(), (Layout<3>{{5, 0, 2}, {0, 2, 1}, 0}));
}

TEST(LayoutTest, ContiguityTests) {
    const struct {
        S shape;
        D strides;
        bool c, f;
    } cases[] = {
        {{2, 3}, {3, 1}, true, false},  {{2, 3}, {1, 2}, false, true},  {{1, 3}, {99, 1}, true, true},
        {{3, 1}, {1, -7}, true, true},  {{2, 3}, {6, 2}, false, false}, {{0, 5}, {5, 1}, true, false},
        {{5, 0}, {0, 1}, true, false},  {{2, 2}, {-2, 1}, false, false}, {{1, 1}, {0, 0}, true, true},
        {{two63, 2}, {2, 1}, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(error::format_dims(c.shape.data(), 2) + " strides " + std::to_string(c.strides[0]) + "," +
                     std::to_string(c.strides[1]));
        EXPECT_EQ(k::is_c_contiguous(c.shape, c.strides), c.c);
        EXPECT_EQ(k::is_f_contiguous(c.shape, c.strides), c.f);
    }
}

}  // namespace
