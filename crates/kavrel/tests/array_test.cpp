#include "kavrel/application/array/types.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <numeric>
#include <random>
#include <type_traits>
#include <vector>

#include "kavrel/application/dynamic/array.hpp"
#include "kavrel/application/iter/element/element_iter.hpp"
#include "kavrel/application/view/contiguous.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/application/view/mutable_core.hpp"

namespace {

using namespace kavrel;
using application::array::types::Array;
using application::iter::element::element_iter::ElementIter;
using application::view::contiguous::dense_transpose;
using application::view::contiguous::to_contiguous;
using application::view::immutable::ArrayView;
using application::view::immutable::contiguous_window;
using application::view::mutable_core::ArrayViewMut;
using Iter2 = ElementIter<double, 2>;
using Iter3 = ElementIter<double, 3>;
using domain::layout::Layout;

static_assert(std::is_trivially_copyable_v<ArrayView<float, 2>>);
static_assert(std::is_trivially_copyable_v<ArrayViewMut<double, 3>>);
static_assert(std::is_convertible_v<ArrayViewMut<double, 2>, ArrayView<double, 2>>);
static_assert(!std::is_convertible_v<ArrayView<double, 2>, ArrayViewMut<double, 2>>);

template <class T>
std::string error_text(const domain::error::Result<T>& r) {
    return r ? std::string("<ok>") : domain::error::display(r.error());
}

// Storage holds its own index, so a walk's output is the list of storage indices it read.
std::vector<double> iota(std::size_t n) {
    std::vector<double> v(n);
    std::iota(v.begin(), v.end(), 0.0);
    return v;
}

template <std::size_t N>
std::vector<double> reference_walk(const std::vector<double>& storage, const Layout<N>& l) {
    std::vector<double> out;
    std::uint64_t count = 1;
    for (auto e : l.shape) count *= e;
    std::array<std::uint64_t, N> idx{};
    for (std::uint64_t n = 0; n < count; ++n) {
        std::int64_t at = static_cast<std::int64_t>(l.offset);
        for (std::size_t d = 0; d < N; ++d) at += static_cast<std::int64_t>(idx[d]) * l.strides[d];
        out.push_back(storage.at(static_cast<std::size_t>(at)));
        for (std::size_t d = N; d-- > 0;) {
            if (++idx[d] < l.shape[d]) break;
            idx[d] = 0;
        }
    }
    return out;
}

TEST(ArrayTest, FromVecChecksLength) {
    EXPECT_EQ(error_text(Array<double, 2>::from_vec({2, 3}, std::vector<double>(5))),
              "Storage error: Vector length 5 does not match layout size 6");
    EXPECT_TRUE((Array<double, 2>::from_vec({0, 3}, {})).has_value());
    EXPECT_TRUE((Array<double, 1>::from_vec({0}, {})).has_value());
    EXPECT_EQ(error_text(Array<double, 2>::from_vec({1ull << 32, 1ull << 31}, {})),
              "Arithmetic overflow in layout calculations: C-contiguous stride multiplication");
    auto a = Array<double, 2>::from_vec({2, 2}, {1, 2, 3, 4});
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->layout, (Layout<2>{{2, 2}, {2, 1}, 0}));
    auto z = Array<double, 1>::from_elem({4});
    EXPECT_EQ(z.storage.data, std::vector<double>(4, 0.0));
    // One axis runs only the bounds check, so its failure is the bound's own reason.
    EXPECT_EQ(error_text(Array<double, 1>::from_vec({std::numeric_limits<std::uint64_t>::max()}, {})),
              "Arithmetic overflow in layout calculations: layout dimension bound conversion");
}

TEST(ArrayTest, FromElemStopsOnAnUnbuildableShape) {
    try {
        (void)Array<double, 2>::from_elem({1ull << 32, 1ull << 31});
        FAIL() << "no internal error";
    } catch (const domain::error::InternalError& e) {
        EXPECT_STREQ(e.what(),
                     "C-contiguous layout must construct: Overflow { reason: \"C-contiguous stride multiplication\" }");
    }
}

TEST(ArrayTest, IntoVecHandsOverOrWalks) {
    auto a = *Array<double, 1>::from_vec({3}, {7, 8, 9});
    const double* buffer = a.data();
    auto v = std::move(a).into_vec();
    EXPECT_EQ(v.data(), buffer);  // no copy
    EXPECT_EQ(v, (std::vector<double>{7, 8, 9}));

    Array<double, 1> reversed{{{7, 8, 9}}, Layout<1>{{3}, {-1}, 2}};
    EXPECT_EQ(std::move(reversed).into_vec(), (std::vector<double>{9, 8, 7}));
    Array<double, 1> strided{{{0, 1, 2, 3, 4}}, Layout<1>{{3}, {2}, 0}};
    EXPECT_EQ(std::move(strided).into_vec(), (std::vector<double>{0, 2, 4}));
    Array<double, 1> single{{{5, 6}}, Layout<1>{{1}, {std::numeric_limits<std::int64_t>::max()}, 1}};
    EXPECT_EQ(std::move(single).into_vec(), (std::vector<double>{6}));
    EXPECT_EQ(reversed.storage.data.capacity(), 0u);  // the old buffer is freed

    // Extent 0 at offset 0 with stride 1 hands its buffer over as well.
    std::vector<double> spare;
    spare.reserve(8);
    const double* spare_data = spare.data();
    auto empty = *Array<double, 1>::from_vec({0}, std::move(spare));
    auto handed = std::move(empty).into_vec();
    EXPECT_TRUE(handed.empty());
    EXPECT_EQ(handed.data(), spare_data);
    Array<double, 1> empty_reversed{{{1, 2, 3}}, Layout<1>{{0}, {-1}, 2}};
    EXPECT_TRUE(std::move(empty_reversed).into_vec().empty());
    EXPECT_EQ(empty_reversed.storage.data.capacity(), 0u);

    // A buffer shorter than its layout is never handed over.
    Array<double, 1> short_buffer{{{1, 2}}, Layout<1>{{3}, {1}, 0}};
    EXPECT_THROW(std::move(short_buffer).into_vec(), domain::error::InternalError);
}

TEST(ArrayTest, ElementIterVisitsLogicalOrder) {
    const auto storage = iota(64);
    const struct {
        const char* name;
        Layout<2> layout;
    } cases[] = {
        {"row-major", {{2, 3}, {3, 1}, 0}},
        {"column-major", {{2, 3}, {1, 2}, 0}},
        {"transposed with offset", {{4, 3}, {1, 5}, 7}},
        {"negative row stride", {{3, 4}, {-4, 1}, 8}},
        {"both negative", {{3, 4}, {-4, -1}, 11}},
        {"broadcast rows", {{3, 4}, {0, 1}, 2}},
        {"extent 0", {{0, 4}, {4, 1}, 0}},
        {"extent 0 with huge offset", {{3, 0}, {1, 1}, 1000}},
        {"extent 1 rows", {{1, 5}, {1000, 2}, 1}},
        {"extent 1 columns, huge stride", {{3, 1}, {-1, std::numeric_limits<std::int64_t>::max()}, 2}},
        {"extent 1 rows, most negative stride", {{1, 3}, {std::numeric_limits<std::int64_t>::min(), -2}, 40}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto view = ArrayView<double, 2>::from_parts(storage.data(), storage.size(), c.layout);
        ASSERT_TRUE(view.has_value()) << error_text(view);
        auto it = Iter2::make(*view);
        EXPECT_EQ(it.collect(), reference_walk(storage, c.layout));
        EXPECT_EQ(it.next(), std::nullopt);
        EXPECT_EQ(to_contiguous(*view).storage.data, reference_walk(storage, c.layout));
    }
    auto column_major = *ArrayView<double, 2>::from_parts(storage.data(), 6, {{2, 3}, {1, 2}, 0});
    EXPECT_FALSE(Iter2::make(column_major).run.has_value());
    auto row_major = *ArrayView<double, 2>::from_parts(storage.data(), 6, {{2, 3}, {3, 1}, 0});
    EXPECT_TRUE(Iter2::make(row_major).run.has_value());
}

TEST(ArrayTest, ElementIterBackCursorAndEmptyViews) {
    const auto storage = iota(16);
    auto it = Iter2::make(*ArrayView<double, 2>::from_parts(storage.data(), 12, {{3, 4}, {-4, 1}, 8}));
    EXPECT_EQ(it.back_index, (std::array<std::uint64_t, 2>{2, 3}));
    EXPECT_EQ(it.back_storage, 3);
    EXPECT_EQ(it.front_storage, 8);
    EXPECT_EQ(it.remaining(), 12u);
    auto empty = Iter2::make(*ArrayView<double, 2>::from_parts(storage.data(), 0, {{2, 0}, {-3, 7}, 9}));
    EXPECT_EQ(empty.back_index, (std::array<std::uint64_t, 2>{0, 0}));
    EXPECT_EQ(empty.back_storage, 9);
    EXPECT_EQ(empty.next(), std::nullopt);
    // Empty although the product of the leading extents overflows: it validates, so the
    // walk must simply be empty.
    auto huge_empty = ArrayView<double, 3>::from_parts(nullptr, 0, {{1ull << 40, 1ull << 40, 0}, {1, 1, 1}, 0});
    ASSERT_TRUE(huge_empty.has_value());
    auto none = Iter3::make(*huge_empty);
    EXPECT_EQ(none.remaining(), 0u);
    EXPECT_TRUE(none.collect().empty());
}

TEST(ArrayTest, ElementIterOnRandomStridedViews) {
    std::mt19937_64 rng(7);
    const auto storage = iota(4096);
    for (int trial = 0; trial < 500; ++trial) {
        Layout<3> l{};
        std::int64_t low = 0;
        for (std::size_t d = 0; d < 3; ++d) {
            l.shape[d] = rng() % 6;
            l.strides[d] = static_cast<std::int64_t>(rng() % 41) - 20;
            if (l.shape[d] > 0 && l.strides[d] < 0) low += static_cast<std::int64_t>(l.shape[d] - 1) * l.strides[d];
        }
        l.offset = static_cast<std::uint64_t>(-low) + rng() % 5;
        SCOPED_TRACE(trial);
        auto view = ArrayView<double, 3>::from_parts(storage.data(), storage.size(), l);
        ASSERT_TRUE(view.has_value()) << error_text(view);
        EXPECT_EQ(Iter3::make(*view).collect(), reference_walk(storage, l));
        EXPECT_EQ(to_contiguous(*view).storage.data, reference_walk(storage, l));
    }
}

TEST(ArrayTest, ToContiguousColumnMajorAcrossTileEdges) {
    for (auto [rows, cols] : {std::pair<std::uint64_t, std::uint64_t>{33, 70}, {70, 33}, {1, 1}, {64, 1}, {1, 65}, {32, 32}}) {
        SCOPED_TRACE(testing::Message() << rows << "x" << cols);
        const auto storage = iota(rows * cols + 3);
        Layout<2> l{{rows, cols}, {1, static_cast<std::int64_t>(rows)}, 3};
        auto view = *ArrayView<double, 2>::from_parts(storage.data(), storage.size(), l);
        auto out = to_contiguous(view);
        EXPECT_EQ(out.layout, (Layout<2>{{rows, cols}, {static_cast<std::int64_t>(cols), 1}, 0}));
        EXPECT_EQ(out.storage.data, reference_walk(storage, l));
    }
}

TEST(ArrayTest, DenseTransposeChecks) {
    std::vector<float> src{1, 2, 3, 4, 5, 6};
    EXPECT_EQ(*dense_transpose<float>(src, 2, 3), (std::vector<float>{1, 3, 5, 2, 4, 6}));
    EXPECT_EQ(error_text(dense_transpose<float>(src, 2, 2)),
              "Storage error: dense transpose source length 6 does not match expected 4");
    EXPECT_EQ(error_text(dense_transpose<float>(src, 1ull << 32, 1ull << 32)),
              "Arithmetic overflow in layout calculations: dense transpose element count");
    EXPECT_TRUE(dense_transpose<float>({}, 0, 5)->empty());
}

TEST(ArrayTest, ContiguousWindow) {
    const auto storage = iota(10);
    auto c = *ArrayView<double, 2>::from_parts(storage.data(), 10, {{2, 3}, {3, 1}, 4});
    auto w = contiguous_window(c);
    ASSERT_TRUE(w.has_value());
    EXPECT_EQ(w->data(), storage.data() + 4);
    EXPECT_EQ(w->size(), 6u);
    auto f = *ArrayView<double, 2>::from_parts(storage.data(), 10, {{2, 3}, {1, 2}, 0});
    EXPECT_TRUE(contiguous_window(f).has_value());
    auto strided = *ArrayView<double, 2>::from_parts(storage.data(), 10, {{2, 2}, {4, 1}, 0});
    EXPECT_FALSE(contiguous_window(strided).has_value());
}

TEST(ArrayTest, MutableViewAccess) {
    std::vector<double> storage(4, 0.0);
    auto v = *ArrayViewMut<double, 1>::from_parts(storage.data(), 4, {{4}, {1}, 0});
    **v.get_mut({2}) = 5.0;
    EXPECT_EQ(storage[2], 5.0);
    EXPECT_EQ(**v.get({2}), 5.0);
    EXPECT_EQ(error_text(v.get({4})), "Index out of bounds: index [4], shape [4]");
    // A layout built by hand past its storage is caught at access time.
    ArrayViewMut<double, 1> loose{storage.data(), {{8}, {1}, 0}, 4, 0};
    EXPECT_EQ(error_text(loose.get({6})), "Storage error: physical offset 6 exceeds backing slice length 4");
    EXPECT_EQ(v.whole_window().size(), 4u);
    ArrayViewMut<double, 1> shared{storage.data(), {{2}, {1}, 0}, 4, 1};
    EXPECT_THROW(shared.whole_window(), domain::error::InternalError);
    EXPECT_EQ(error_text(ArrayViewMut<double, 1>::from_parts(storage.data(), 4, {{5}, {1}, 0})),
              "Storage error: storage length 4 does not cover layout physical offsets 0..=4");
}

TEST(ArrayTest, DynamicArrayChecksItsBuffer) {
    std::vector<float> storage(6);
    auto layout = *domain::dynamic::layout::LayoutDyn::c_contiguous(std::vector<std::uint64_t>{2, 3});
    EXPECT_TRUE(application::dynamic::array::ArrayD<float>::from_parts(storage.data(), 6, layout).has_value());
    EXPECT_FALSE(application::dynamic::array::ArrayD<float>::from_parts(storage.data(), 5, layout).has_value());
    // A layout with fewer strides than axes is refused before a stride is read.
    domain::dynamic::layout::LayoutDyn uneven{{2, 3}, {1}, 0};
    EXPECT_THROW((void)application::dynamic::array::ArrayD<float>::from_parts(storage.data(), 6, uneven),
                 domain::error::InternalError);
}

}  // namespace
