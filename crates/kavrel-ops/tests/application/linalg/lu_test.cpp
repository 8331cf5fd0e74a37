#include "kavrel_ops/application/linalg/lu.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "kavrel_ops/application/linalg/lu/decompose.hpp"
#include "support/linalg.hpp"
#include "support/scalar.hpp"

namespace {

using namespace linalg_test;
using kavrel::domain::error::InternalError;
using kavrel_ops::application::linalg::lu::Array;
using kavrel_ops::application::linalg::lu::LuDecomposition;
using kavrel_ops::application::linalg::lu::decompose::lu_decompose;

LuDecomposition by_hand(std::uint64_t n, std::vector<double> lu, std::vector<std::uint64_t> perm) {
    auto array = kavrel::domain::error::expect(Array<double, 2>::from_vec({n, n}, std::move(lu)), "test factors");
    return {std::move(array), std::move(perm), 1};
}

// Solves A·x = rhs as the callers do: permute, then solve in place.
std::vector<double> solve(const LuDecomposition& f, const std::vector<double>& rhs) {
    std::vector<double> x(rhs.size());
    for (std::size_t i = 0; i < rhs.size(); ++i) x[i] = rhs[f.perm[i]];
    f.solve_in_place(x);
    return x;
}

TEST(LuSolveInPlaceTest, SubstitutesThroughUnitLowerThenUpper) {
    // L = [[1, 0], [0.5, 1]], U = [[2, 1], [0, 3]]: y = [4, 8 − 0.5·4], x = [(4 − 1·2) / 2, 6 / 3].
    const LuDecomposition f = by_hand(2, {2, 1, 0.5, 3}, {1, 0});
    std::vector<double> b = {4, 8};
    f.solve_in_place(b);
    EXPECT_EQ(b, (std::vector<double>{1, 2}));
}

TEST(LuSolveInPlaceTest, DividesByTheDiagonal) {
    // 5 / 3 and 5 · (1 / 3) differ in the last bit.
    ASSERT_NE(5.0 / 3.0, 5.0 * (1.0 / 3.0));
    const LuDecomposition f = by_hand(1, {3}, {0});
    std::vector<double> b = {5};
    f.solve_in_place(b);
    EXPECT_EQ(b[0], 5.0 / 3.0);
}

TEST(LuSolveInPlaceTest, EmptyAndMismatchedRightHandSides) {
    const LuDecomposition empty = by_hand(0, {}, {});
    std::vector<double> none;
    empty.solve_in_place(none);
    EXPECT_TRUE(none.empty());
    const LuDecomposition f = by_hand(2, {2, 1, 0.5, 3}, {1, 0});
    std::vector<double> short_b(1), long_b(3);
    EXPECT_THROW(f.solve_in_place(short_b), InternalError);
    EXPECT_THROW(f.solve_in_place(long_b), InternalError);
}

// Several right-hand sides solved together give each one exactly the bits of its own solve, and
// a b that is not count whole right-hand sides is refused.
TEST(LuSolveInPlaceTest, ColumnsTogetherMatchOneAtATime) {
    const Matrix a = random_matrix(13, 13, 7);
    auto f = lu_decompose(view_of(a));
    ASSERT_TRUE(f);
    for (std::size_t count : {1, 2, 5, 9}) {
        SCOPED_TRACE(count);
        const Matrix rhs = random_matrix(count, 13, 8 + count);
        std::vector<double> together(rhs.data.begin(), rhs.data.end());
        f->solve_columns_in_place(together, count);
        for (std::size_t c = 0; c < count; ++c) {
            std::vector<double> one(rhs.data.begin() + c * 13, rhs.data.begin() + (c + 1) * 13);
            f->solve_in_place(one);
            for (std::size_t i = 0; i < 13; ++i) ASSERT_EQ(scalar_test::bits_of(together[c * 13 + i]), scalar_test::bits_of(one[i])) << c << "," << i;
        }
    }
    std::vector<double> ragged(27);
    EXPECT_THROW(f->solve_columns_in_place(ragged, 2), InternalError);
    EXPECT_THROW(f->solve_columns_in_place(ragged, 0), InternalError);
}

class LuSolvePathTest : public scalar_test::ForcedPathTest {};

TEST_P(LuSolvePathTest, BackwardErrorIsAFewUlps) {
    struct Case {
        const char* name;
        Matrix a;
    };
    const Case cases[] = {{"random 1", random_matrix(1, 1, 1)}, {"random 9", random_matrix(9, 9, 2)},
                          {"random 80", random_matrix(80, 80, 3)}, {"graded 30", graded(30, 4)},
                          {"Hilbert 10", hilbert(10)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = lu_decompose(view_of(c.a));
        ASSERT_TRUE(f);
        const Matrix b = random_matrix(c.a.rows, 1, 77);
        EXPECT_LE(backward_error(c.a, solve(*f, b.data), b.data), 1.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, LuSolvePathTest, testing::ValuesIn(scalar_test::all_paths),
                         scalar_test::path_param_name);

}  // namespace
