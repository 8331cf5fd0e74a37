#include "kavrel_ops/domain/scalar/slice_kernels.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "kavrel_ops/domain/scalar/contract.hpp"
#include "support/scalar.hpp"

namespace {

namespace sk = kavrel_ops::domain::scalar::slice_kernels;
using kavrel_ops::domain::scalar::contract::Scalar;
using scalar_test::Inputs;
using scalar_test::make_inputs;
using scalar_test::same_bits;

class SliceKernelsTest : public scalar_test::ForcedPathTest {};

// The table taken once gives the bits of the Scalar operations on the same path, and the plain
// update those of its scalar statement, over every length around the vector and block widths.
template <class T>
void expect_table_matches_scalar() {
    const sk::SliceKernels<T>& k = sk::current<T>();
    for (std::size_t n : scalar_test::sweep_lengths()) {
        SCOPED_TRACE(n);
        const auto a = make_inputs<T>(n, Inputs::specials, 1), b = make_inputs<T>(n, Inputs::specials, 2);
        EXPECT_TRUE(same_bits(k.dot(a.data(), b.data(), n), Scalar<T>::dot_slice(a, b)));
        std::vector<T> fused = b, table = b, plain = b, want = b;
        Scalar<T>::axpy_slice(a, fused, T(0.375));
        k.axpy(a.data(), table.data(), n, T(0.375));
        k.axpy_unfused(a.data(), plain.data(), n, T(-1.25));
        for (std::size_t i = 0; i < n; ++i) {
            const T product = T(-1.25) * a[i];
            want[i] = b[i] + product;
            ASSERT_TRUE(same_bits(table[i], fused[i])) << i;
            ASSERT_TRUE(same_bits(plain[i], want[i])) << i;
        }
    }
}

// The product over the one-vector path, the register tiles with their edges, and a B past the
// packing threshold, added onto a C that is not zero; values whose summation order shows.
template <class T>
void expect_table_product_matches_scalar() {
    const sk::SliceKernels<T>& k = sk::current<T>();
    struct Shape {
        std::size_t m, n, k;
    };
    for (const Shape s : {Shape{4, 4, 4}, Shape{5, 3, 100}, Shape{16, 16, 32}, Shape{17, 70, 33}, Shape{20, 300, 500}}) {
        SCOPED_TRACE(testing::Message() << s.m << "x" << s.n << "x" << s.k);
        const auto a = make_inputs<T>(s.m * s.k, Inputs::mixed, 3), b = make_inputs<T>(s.k * s.n, Inputs::mixed, 4);
        const auto c = make_inputs<T>(s.m * s.n, Inputs::mixed, 5);
        std::vector<T> table = c, want = c;
        k.tiled_gemm(a.data(), b.data(), table.data(), s.m, s.n, s.k);
        Scalar<T>::tiled_gemm(a, b, want, s.m, s.n, s.k);
        for (std::size_t i = 0; i < want.size(); ++i) ASSERT_TRUE(same_bits(table[i], want[i])) << i;
    }
}

TEST_P(SliceKernelsTest, TheTableGivesTheScalarOperationsBits) {
    expect_table_matches_scalar<float>();
    expect_table_matches_scalar<double>();
    expect_table_product_matches_scalar<float>();
    expect_table_product_matches_scalar<double>();
}

INSTANTIATE_TEST_SUITE_P(Paths, SliceKernelsTest, testing::ValuesIn(scalar_test::all_paths),
                         scalar_test::path_param_name);

}  // namespace
