#include "kavrel_ops/application/matrix/packing.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "support/matrix.hpp"

namespace {

using kavrel::domain::error::display;
using kavrel::domain::error::InternalError;
using kavrel_ops::application::matrix::packing::copy_back_to_out;
using kavrel_ops::application::matrix::packing::zero_output;
using kavrel_ops::application::matrix::types::MatmulDims;
using matrix_test::ArrayViewMut;
using matrix_test::Kind;
using matrix_test::Layout;
using matrix_test::Placed;

const std::string window_text =
    "window is shared with sibling lane/axis views; a whole-window slice would alias their elements (use per-element "
    "access instead)";

MatmulDims dims_of(const ArrayViewMut<float, 2>& c) {
    return {c.layout.shape[0], 1, c.layout.shape[1], 1, 1, 1, 1, c.layout.strides[0], c.layout.strides[1],
            0, 0, c.layout.offset};
}

const Kind all_kinds[] = {Kind::row, Kind::col, Kind::padded, Kind::strided};

TEST(ZeroOutputTest, ClearsExactlyTheAddressedElementsToPositiveZero) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (Kind kind : all_kinds) {
        for (auto [m, n] : {std::pair<std::uint64_t, std::uint64_t>{3, 5}, {1, 4}, {4, 1}, {0, 3}, {3, 0}}) {
            SCOPED_TRACE(std::string(matrix_test::name_of(kind)) + " " + std::to_string(m) + "x" + std::to_string(n));
            Placed<float> c(kind, m, n, 7.0f);
            for (std::uint64_t i = 0; i < m; ++i)
                for (std::uint64_t j = 0; j < n; ++j) c.at(i, j) = (i + j) % 2 ? -0.0f : nan;
            auto view = c.view_mut();
            zero_output(dims_of(view), view);
            for (std::uint64_t i = 0; i < m; ++i)
                for (std::uint64_t j = 0; j < n; ++j) EXPECT_TRUE(matrix_test::same_bits(c.at(i, j), 0.0f)) << i << "," << j;
            EXPECT_EQ(c.guards_changed(), 0u);
        }
    }
}

TEST(ZeroOutputTest, DenseOutputIsClearedFromItsOffsetOnly) {
    std::vector<double> storage(20, 5.0);
    ArrayViewMut<double, 2> c{storage.data(), {{2, 3}, {3, 1}, 4}, storage.size(), 0};
    const MatmulDims d{2, 1, 3, 1, 1, 1, 1, 3, 1, 0, 0, 4};
    zero_output(d, c);
    for (std::size_t s = 0; s < storage.size(); ++s) EXPECT_EQ(storage[s], s >= 4 && s < 10 ? 0.0 : 5.0) << s;
}

TEST(ZeroOutputTest, SharedWindowIsRefusedEvenWithoutElements) {
    std::vector<float> storage(8, 1.0f);
    for (auto layout : {Layout<2>{{2, 2}, {2, 1}, 0}, Layout<2>{{2, 2}, {1, 2}, 0}, Layout<2>{{0, 2}, {2, 1}, 0}}) {
        ArrayViewMut<float, 2> c{storage.data(), layout, storage.size(), 1};
        try {
            zero_output(dims_of(c), c);
            ADD_FAILURE() << "no internal error";
        } catch (const InternalError& e) {
            EXPECT_EQ(e.what(), window_text);
        }
        for (float x : storage) EXPECT_EQ(x, 1.0f);
    }
}

TEST(CopyBackToOutTest, EveryLayoutReceivesTheRowMajorSource) {
    for (Kind kind : all_kinds) {
        for (auto [m, n] : {std::pair<std::uint64_t, std::uint64_t>{3, 5}, {1, 4}, {4, 1}, {3, 0}}) {
            SCOPED_TRACE(std::string(matrix_test::name_of(kind)) + " " + std::to_string(m) + "x" + std::to_string(n));
            Placed<double> c(kind, m, n, -9.0);
            std::vector<double> source(m * n);
            for (std::size_t s = 0; s < source.size(); ++s) source[s] = static_cast<double>(s) + 0.5;
            auto view = c.view_mut();
            ASSERT_TRUE(copy_back_to_out<double>(source, view).has_value());
            EXPECT_EQ(c.logical(), source);
            EXPECT_EQ(c.guards_changed(), 0u);
        }
    }
}

TEST(CopyBackToOutTest, NoRowsWritesNothing) {
    std::vector<float> storage(4, 3.0f);
    ArrayViewMut<float, 2> c{storage.data(), {{0, 9}, {-5, 3}, 2}, storage.size(), 0};
    ASSERT_TRUE(copy_back_to_out<float>({}, c).has_value());
    for (float x : storage) EXPECT_EQ(x, 3.0f);
}

TEST(CopyBackToOutTest, StorageErrorComesBackBeforeAnyWrite) {
    std::vector<float> storage(6, 3.0f);
    ArrayViewMut<float, 2> c{storage.data(), {{2, 3}, {3, 1}, 1}, storage.size(), 0};
    const std::vector<float> source(6, 1.0f);
    const auto r = copy_back_to_out<float>(source, c);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(display(r.error()), "Storage error: storage length 6 does not cover layout physical offsets 1..=6");
    for (float x : storage) EXPECT_EQ(x, 3.0f);
}

TEST(CopyBackToOutTest, SharedWindowIsRefusedBeforeTheStorageCheck) {
    std::vector<float> storage(2, 3.0f);
    ArrayViewMut<float, 2> c{storage.data(), {{0, 2}, {2, 1}, 50}, storage.size(), 1};
    try {
        (void)copy_back_to_out<float>({}, c);
        ADD_FAILURE() << "no internal error";
    } catch (const InternalError& e) {
        EXPECT_EQ(e.what(), window_text);
    }
}

}  // namespace
