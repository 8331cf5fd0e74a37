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

TEST_P(SliceKernelsTest, TheTableGivesTheScalarOperationsBits) {
    expect_table_matches_scalar<float>();
    expect_table_matches_scalar<double>();
}

INSTANTIATE_TEST_SUITE_P(Paths, SliceKernelsTest, testing::ValuesIn(scalar_test::all_paths),
                         scalar_test::path_param_name);

}  // namespace
