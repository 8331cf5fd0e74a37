#include "kavrel_ops/application/reduction/whole_array.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "kavrel/domain/layout/layout.hpp"
#include "kavrel_ops/domain/scalar/fallback.hpp"
#include "support/scalar.hpp"
#include "zubrin_simd/dispatch/sum.hpp"

namespace {

using namespace scalar_test;
using kavrel::domain::layout::Layout;
using kavrel_ops::application::reduction::strategies::SumAxis;
namespace wa = kavrel_ops::application::reduction::whole_array;
namespace ds = zubrin_simd::dispatch::sum::dispatch_sum;
namespace fb = kavrel_ops::domain::scalar::fallback;

static_assert(std::is_empty_v<SumAxis>);

// The slice sum each path must use: its own kernel (whose order zubrin's tests pin) or the
// portable loop (whose order fallback_test pins).
float path_slice_sum(cf::KernelPath path, std::span<const float> x) {
    switch (path) {
        case cf::KernelPath::avx512f: return ds::dispatch_sum_avx512f(x);
        case cf::KernelPath::avx2_fma: return ds::dispatch_sum_avx2_fma(x);
        case cf::KernelPath::portable: return fb::sum_portable(x);
    }
    return 0.0f;
}

// ---- reduce_all against an independent statement of its order ----

template <std::size_t N>
struct Case {
    std::string name;
    Layout<N> layout;
    std::uint64_t storage_len;
};

// Row route written from the positions of each element: leading coordinates by division, each
// position from the strides directly.
template <std::size_t N>
float reference_reduce_all(cf::KernelPath path, const std::vector<float>& storage, const Layout<N>& l) {
    std::uint64_t n = 1;
    for (std::uint64_t e : l.shape) n *= e;
    if (n == 0) return 0.0f;
    if ((kavrel::domain::layout::is_c_contiguous(l) || kavrel::domain::layout::is_f_contiguous(l)) &&
        l.offset + n <= storage.size()) {
        return path_slice_sum(path, std::span<const float>(storage).subspan(l.offset, n));
    }
    const std::uint64_t m = l.shape[N - 1];
    const std::int64_t t = l.strides[N - 1];
    float total = 0.0f;
    for (std::uint64_t row = 0; row < n / m; ++row) {
        std::int64_t start = static_cast<std::int64_t>(l.offset);
        std::uint64_t rest = row;
        for (std::size_t axis = N - 1; axis-- > 0;) {
            start += static_cast<std::int64_t>(rest % l.shape[axis]) * l.strides[axis];
            rest /= l.shape[axis];
        }
        float value;
        if (t == 1 || t == -1) {
            const std::int64_t low = t == 1 ? start : start - static_cast<std::int64_t>(m - 1);
            value = path_slice_sum(path, std::span<const float>(storage).subspan(low, m));
            if (row > 0) value = value + total;
        } else {
            value = storage[start];
            if (row > 0) value = value + total;
            for (std::uint64_t k = 1; k < m; ++k) value = value + storage[start + static_cast<std::int64_t>(k) * t];
        }
        total = value;
    }
    return total;
}

template <std::size_t N>
std::array<std::int64_t, N> c_strides(const std::array<std::uint64_t, N>& shape) {
    std::array<std::int64_t, N> strides{};
    std::int64_t p = 1;
    for (std::size_t k = N; k-- > 0;) {
        strides[k] = p;
        p *= static_cast<std::int64_t>(shape[k]);
    }
    return strides;
}

template <std::size_t N>
std::array<std::int64_t, N> f_strides(const std::array<std::uint64_t, N>& shape) {
    std::array<std::int64_t, N> strides{};
    std::int64_t p = 1;
    for (std::size_t k = 0; k < N; ++k) {
        strides[k] = p;
        p *= static_cast<std::int64_t>(shape[k]);
    }
    return strides;
}

// A layout with these strides whose lowest position is `lead`, in storage with `slack` spare
// elements after its highest position.
template <std::size_t N>
Case<N> make_case(std::string name, const std::array<std::uint64_t, N>& shape,
                  const std::array<std::int64_t, N>& strides, std::int64_t lead, std::int64_t slack) {
    std::int64_t low = 0, high = 0;
    for (std::size_t k = 0; k < N; ++k) {
        const std::int64_t span = (static_cast<std::int64_t>(shape[k]) - 1) * strides[k];
        (span < 0 ? low : high) += span;
    }
    const std::int64_t offset = lead - low;
    return {std::move(name), Layout<N>{shape, strides, static_cast<std::uint64_t>(offset)},
            static_cast<std::uint64_t>(offset + high + 1 + slack)};
}

template <std::size_t N>
std::vector<Case<N>> cases_for(const std::array<std::uint64_t, N>& shape) {
    std::vector<Case<N>> cases;
    const auto c = c_strides(shape);
    cases.push_back(make_case<N>("row-major", shape, c, 5, 0));
    cases.push_back(make_case<N>("row-major filling the storage", shape, c, 0, 0));
    cases.push_back(make_case<N>("column-major", shape, f_strides(shape), 2, 3));
    auto reversed_last = c;
    reversed_last[N - 1] = -1;
    cases.push_back(make_case<N>("last axis stride -1", shape, reversed_last, 1, 1));
    auto wide = shape;
    wide[N - 1] = shape[N - 1] * 3;
    auto stride3 = c_strides(wide);
    stride3[N - 1] = 3;
    cases.push_back(make_case<N>("last axis stride 3", shape, stride3, 4, 2));
    auto padded = shape;
    padded[N - 1] = shape[N - 1] + 3;
    cases.push_back(make_case<N>("rows of a wider block", shape, c_strides(padded), 3, 0));
    auto every_other = c_strides(shape);
    for (std::size_t k = 0; k + 1 < N; ++k) every_other[k] *= 2;
    cases.push_back(make_case<N>("every other row", shape, every_other, 0, 0));
    auto reversed_first = c;
    reversed_first[0] = -reversed_first[0];
    cases.push_back(make_case<N>("first axis reversed", shape, reversed_first, 2, 2));
    if constexpr (N >= 3) {
        auto swapped = c;
        std::swap(swapped[0], swapped[N - 2]);
        auto swapped_shape = shape;
        std::swap(swapped_shape[0], swapped_shape[N - 2]);
        cases.push_back(make_case<N>("leading axes permuted", swapped_shape, swapped, 1, 1));
    }
    if constexpr (N >= 2) {
        auto broadcast = c;
        broadcast[0] = 0;
        cases.push_back(make_case<N>("first axis broadcast (stride 0)", shape, broadcast, 0, 4));
        auto reversed_rows = c;
        reversed_rows[N - 1] = -1;
        reversed_rows[0] = -reversed_rows[0];
        cases.push_back(make_case<N>("rows and columns reversed", shape, reversed_rows, 0, 0));
    }
    if constexpr (N == 1) {
        cases.push_back(make_case<N>("stride 2", shape, {2}, 1, 1));
        cases.push_back(make_case<N>("stride -2", shape, {-2}, 0, 0));
        cases.push_back(make_case<N>("stride 0", shape, {0}, 3, 0));
    }
    return cases;
}

class ReduceAllTest : public ForcedPathTest {
protected:
    template <std::size_t N>
    void check_rank(const std::array<std::uint64_t, N>& shape) {
        for (Inputs inputs : {Inputs::mixed, Inputs::specials}) {
            for (const Case<N>& c : cases_for(shape)) {
                SCOPED_TRACE(testing::Message() << "rank " << N << ", " << c.name
                                                << (inputs == Inputs::mixed ? ", mixed" : ", specials"));
                const std::vector<float> storage = make_inputs<float>(c.storage_len, inputs, 50 + N);
                const wa::ArrayView<float, N> view{storage.data(), storage.size(), c.layout};
                const auto result = wa::reduce_all<SumAxis>(view);
                ASSERT_TRUE(result.has_value()) << kavrel::domain::error::display(result.error());
                EXPECT_TRUE(bits_equal(*result, reference_reduce_all(GetParam(), storage, c.layout)));
            }
        }
    }
};

TEST_P(ReduceAllTest, Rank1) { check_rank<1>({37}); }
TEST_P(ReduceAllTest, Rank2) { check_rank<2>({5, 19}); }
TEST_P(ReduceAllTest, Rank3) { check_rank<3>({3, 4, 17}); }
TEST_P(ReduceAllTest, Rank4) { check_rank<4>({2, 3, 2, 9}); }
TEST_P(ReduceAllTest, Rank5) { check_rank<5>({2, 2, 3, 2, 7}); }
TEST_P(ReduceAllTest, Rank6) { check_rank<6>({2, 1, 2, 3, 2, 5}); }

TEST_P(ReduceAllTest, SliceSumIsThisPathsKernel) {
    for (std::size_t n : sweep_lengths()) {
        SCOPED_TRACE(n);
        const auto x = make_inputs<float>(n, Inputs::mixed, 44);
        EXPECT_TRUE(bits_equal(wa::reduce_nonempty_slice(x), path_slice_sum(GetParam(), x)));
    }
}

// Empty views give +0 without touching storage: a null buffer of length 0 with an offset far
// outside it.
TEST_P(ReduceAllTest, AnyExtentZeroIsPositiveZeroWithoutReading) {
    const std::uint64_t far = std::uint64_t{1} << 63;
    EXPECT_TRUE(bits_equal(*wa::reduce_all<SumAxis>(wa::ArrayView<float, 2>{nullptr, 0, {{0, 5}, {5, 1}, far}}), 0.0f));
    EXPECT_TRUE(bits_equal(*wa::reduce_all<SumAxis>(wa::ArrayView<float, 2>{nullptr, 0, {{3, 0}, {1, 3}, far}}), 0.0f));
    EXPECT_TRUE(bits_equal(*wa::reduce_all<SumAxis>(wa::ArrayView<float, 1>{nullptr, 0, {{0}, {-1}, 7}}), 0.0f));
    EXPECT_TRUE(bits_equal(
        *wa::reduce_all<SumAxis>(wa::ArrayView<float, 6>{nullptr, 0, {{2, 3, 1, 4, 0, 2}, {1, 1, 1, 1, 1, 1}, 0}}),
        0.0f));
}

// A layout reaching past its storage is refused before any element is read (the buffer is null).
TEST_P(ReduceAllTest, LayoutOutsideItsStorageIsTheValidateStorageError) {
    const auto short_storage = wa::reduce_all<SumAxis>(wa::ArrayView<float, 2>{nullptr, 5, {{2, 3}, {3, 1}, 0}});
    ASSERT_FALSE(short_storage.has_value());
    EXPECT_EQ(kavrel::domain::error::display(short_storage.error()),
              "Storage error: storage length 5 does not cover layout physical offsets 0..=5");
    const auto negative = wa::reduce_all<SumAxis>(wa::ArrayView<float, 1>{nullptr, 10, {{3}, {-1}, 1}});
    ASSERT_FALSE(negative.has_value());
    EXPECT_EQ(kavrel::domain::error::display(negative.error()),
              "Storage error: layout accesses negative physical offset -1");
}

// Rows that are storage runs are summed on their own; the others continue the running sum
// element by element, their first element added to the total before the rest of the row.
TEST_P(ReduceAllTest, RouteOrdersOnASmallMatrix) {
    const std::vector<float> storage = make_inputs<float>(64, Inputs::mixed, 45);
    const auto run = [&](std::size_t from) { return path_slice_sum(GetParam(), std::span(storage).subspan(from, 4)); };
    // Three rows of 4 columns, 12 elements apart, column stride 1: three kernel calls.
    const auto rows = wa::reduce_all<SumAxis>(wa::ArrayView<float, 2>{storage.data(), 64, {{3, 4}, {12, 1}, 1}});
    EXPECT_TRUE(bits_equal(*rows, (run(25) + (run(13) + run(1)))));
    // Column stride 3: one running sum in logical order.
    const auto strided = wa::reduce_all<SumAxis>(wa::ArrayView<float, 2>{storage.data(), 64, {{2, 3}, {10, 3}, 0}});
    float expected = storage[0];
    expected = expected + storage[3];
    expected = expected + storage[6];
    expected = storage[10] + expected;
    expected = expected + storage[13];
    expected = expected + storage[16];
    EXPECT_TRUE(bits_equal(*strided, expected));
}

INSTANTIATE_TEST_SUITE_P(Paths, ReduceAllTest, testing::ValuesIn(all_paths), path_param_name);

}  // namespace
