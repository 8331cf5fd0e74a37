#include "kavrel_ops/application/linalg/matrix_function/dense.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/linalg.hpp"

namespace {

using namespace linalg_test;
namespace dense = kavrel_ops::application::linalg::matrix_function::dense;

void expect_row_major(const dense::Array<double, 2>& r, std::size_t rows, std::size_t cols) {
    EXPECT_EQ(r.layout.shape, (std::array<std::uint64_t, 2>{rows, cols}));
    EXPECT_EQ(r.layout.offset, 0u);
    EXPECT_EQ(r.len(), rows * cols);
}

TEST(DenseTest, ElementwiseInLogicalOrder) {
    for (auto [rows, cols] : {std::pair<std::size_t, std::size_t>{0, 3}, {1, 1}, {3, 5}, {8, 1}, {17, 9}}) {
        const Matrix a = random_matrix(rows, cols, rows + 10 * cols), b = random_matrix(rows, cols, 7 + rows * cols);
        std::vector<double> sum(a.data.size()), difference(a.data.size()), scaled(a.data.size());
        for (std::size_t i = 0; i < a.data.size(); ++i) {
            sum[i] = a.data[i] + b.data[i];
            difference[i] = a.data[i] - b.data[i];
            scaled[i] = a.data[i] * 0.1;
        }
        SCOPED_TRACE(std::to_string(rows) + "x" + std::to_string(cols));
        const auto va = view_of(a), vb = view_of(b);
        // Dense operands take the flat loop, any other operand the element walk; same values.
        for (Placement p : all_placements) {
            SCOPED_TRACE(name_of(p));
            const StridedCopy pa = strided_copy(a, p), pb = strided_copy(b, p);
            for (const auto& [x, y] : {std::pair{pa.view, vb}, std::pair{va, pb.view}, std::pair{pa.view, pb.view}}) {
                const auto s = dense::add(x, y);
                expect_row_major(s, rows, cols);
                EXPECT_EQ(elements(s), sum);
                EXPECT_EQ(elements(dense::sub(x, y)), difference);
            }
            EXPECT_EQ(elements(dense::scale(pa.view, 0.1)), scaled);
        }
        EXPECT_EQ(elements(dense::add(va, vb)), sum);
        EXPECT_EQ(elements(dense::scale(va, 0.1)), scaled);
    }
}

TEST(DenseTest, ScaleByOneIsACopy) {
    const Matrix a = random_matrix(4, 6, 3);
    const auto s = dense::scale(view_of(a), 1.0);
    expect_row_major(s, 4, 6);
    EXPECT_EQ(elements(s), a.data);
}

TEST(DenseTest, ProductsThroughTheEngine) {
    for (auto [m, k, n] : {std::array<std::size_t, 3>{1, 1, 1}, {3, 4, 5}, {16, 16, 16}, {70, 65, 80}, {4, 0, 3}}) {
        SCOPED_TRACE(std::to_string(m) + "x" + std::to_string(k) + "x" + std::to_string(n));
        const Matrix a = random_matrix(m, k, m + k), b = random_matrix(k, n, k + n);
        auto c = dense::mul(view_of(a), view_of(b));
        ASSERT_TRUE(c) << kavrel::domain::error::display(c.error());
        expect_row_major(*c, m, n);
        EXPECT_LE(distance(elements(*c), multiply(a, b).data), static_cast<double>(k + 1) * eps * frobenius(a) * frobenius(b));
        // Strided operands give the same product.
        auto strided = dense::mul(strided_copy(a, Placement::spread).view, strided_copy(b, Placement::column_major).view);
        ASSERT_TRUE(strided);
        EXPECT_LE(distance(elements(*strided), elements(*c)), static_cast<double>(k + 1) * eps * frobenius(a) * frobenius(b));
    }
}

TEST(DenseTest, ProductShapeMismatchIsTheEnginesError) {
    auto c = dense::mul(view_of(Matrix(2, 3)), view_of(Matrix(4, 5)));
    ASSERT_FALSE(c);
    EXPECT_EQ(kavrel::domain::error::display(c.error()), "Shape mismatch: lhs [2, 3], rhs [4, 5]");
}

}  // namespace
