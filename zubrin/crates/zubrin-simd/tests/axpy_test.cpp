#include "zubrin_simd/dispatch/axpy.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "kernel_test_support.hpp"

namespace {

using namespace kernel_test;
using zubrin_simd::dispatch::axpy::AxpyRowsBatchExtents;
using zubrin_simd::dispatch::axpy::check_axpy_rows_batch_extents;
using zubrin_simd::dispatch::axpy::SimdError;
namespace da = zubrin_simd::dispatch::axpy::dispatch_axpy;
namespace dr = zubrin_simd::dispatch::axpy::dispatch_axpy_rows;
namespace db = zubrin_simd::dispatch::axpy::dispatch_axpy_rows_batch;

struct AxpyVariant {
    const char* name;
    bool (*available)();
    SimdError (*f32)(std::span<const float>, std::span<float>, float) noexcept;
    SimdError (*f64)(std::span<const double>, std::span<double>, double) noexcept;
    void (*unfused32)(const float*, float*, std::size_t, float) noexcept;
    void (*unfused64)(const double*, double*, std::size_t, double) noexcept;
};

namespace ax = zubrin_simd::dispatch::axpy::detail;

const AxpyVariant variants[] = {
    {"avx512f", has_avx512f, da::dispatch_axpy_avx512f, da::dispatch_axpy_avx512f, ax::avx512f::axpy_unfused,
     ax::avx512f::axpy_unfused},
    {"avx2_fma", has_avx2_fma, da::dispatch_axpy_avx2_fma, da::dispatch_axpy_avx2_fma, ax::avx2_fma::axpy_unfused,
     ax::avx2_fma::axpy_unfused},
};

class AxpyTest : public testing::TestWithParam<AxpyVariant> {
protected:
    void SetUp() override {
        if (!GetParam().available()) GTEST_SKIP() << "CPU lacks " << GetParam().name;
    }

    // Each element must be exactly fma(alpha, x, out); out sits before a fault page or with
    // guard elements after it, and nothing outside it may change.
    template <class T, class Kernel>
    void check_against_fma(Kernel kernel) {
        GuardedRegion region_x(8192 + 64);
        GuardedRegion region_out(8192 + 64);
        const T guard = -std::numeric_limits<T>::infinity();
        const T alphas[] = {T(0.7), T(-3), T(0), std::numeric_limits<T>::infinity()};
        for (Inputs inputs : {Inputs::mixed, Inputs::specials, Inputs::subnormal}) {
            for (std::size_t n : sweep_lengths()) {
                const std::vector<T> x_values = make_inputs<T>(n, inputs, 3);
                const std::vector<T> out_values = make_inputs<T>(n, inputs, 4);
                for (std::size_t gap : end_gaps({1, 5})) {
                    for (T alpha : alphas) {
                        SCOPED_TRACE(testing::Message() << name_of(inputs) << " n " << n << " gap " << gap
                                                        << " alpha " << alpha);
                        std::span<T> x = region_x.place<T>(n, gap, T(0));
                        std::span<T> out = region_out.place<T>(n, gap, guard);
                        std::copy(x_values.begin(), x_values.end(), x.begin());
                        std::copy(out_values.begin(), out_values.end(), out.begin());
                        ASSERT_EQ(kernel(std::span<const T>(x), out, alpha), SimdError::success);
                        for (std::size_t i = 0; i < n; ++i) {
                            ASSERT_TRUE(bits_equal(out[i], std::fma(alpha, x_values[i], out_values[i])))
                                << "element " << i;
                        }
                        ASSERT_TRUE(region_out.untouched_outside<T>(out, guard));
                    }
                }
            }
        }
    }
};

// The plain update out + alpha·x: the product and the sum each rounded, exactly the scalar
// statement, over every length and tail, specials and subnormals included; nothing outside out.
template <class T>
void check_unfused(void (*kernel)(const T*, T*, std::size_t, T) noexcept) {
    GuardedRegion region_x(8192 + 64);
    GuardedRegion region_out(8192 + 64);
    const T guard = -std::numeric_limits<T>::infinity();
    for (Inputs inputs : {Inputs::mixed, Inputs::specials, Inputs::subnormal}) {
        for (std::size_t n : sweep_lengths()) {
            const std::vector<T> x_values = make_inputs<T>(n, inputs, 5);
            const std::vector<T> out_values = make_inputs<T>(n, inputs, 6);
            for (std::size_t gap : end_gaps({1}))
            for (T alpha : {T(0.7), T(-3), T(0), -std::numeric_limits<T>::infinity()}) {
                SCOPED_TRACE(testing::Message() << name_of(inputs) << " n " << n << " gap " << gap << " alpha " << alpha);
                std::span<T> x = region_x.place<T>(n, gap, T(0));
                std::span<T> out = region_out.place<T>(n, gap, guard);
                std::copy(x_values.begin(), x_values.end(), x.begin());
                std::copy(out_values.begin(), out_values.end(), out.begin());
                kernel(x.data(), out.data(), n, alpha);
                for (std::size_t i = 0; i < n; ++i) {
                    const T product = alpha * x_values[i];
                    ASSERT_TRUE(bits_equal(out[i], out_values[i] + product)) << "element " << i;
                }
                ASSERT_TRUE(region_out.untouched_outside<T>(out, guard));
            }
        }
    }
}

TEST_P(AxpyTest, UnfusedRoundsTheProductAndTheSum) {
    check_unfused<float>(GetParam().unfused32);
    check_unfused<double>(GetParam().unfused64);
}

TEST_P(AxpyTest, Float32IsOneFusedStepPerElement) { check_against_fma<float>(GetParam().f32); }

TEST_P(AxpyTest, Float64IsOneFusedStepPerElement) { check_against_fma<double>(GetParam().f64); }

TEST_P(AxpyTest, LengthMismatchWritesNothing) {
    const std::vector<double> x(5, 1.0);
    std::vector<double> out(4, 2.0);
    EXPECT_EQ(GetParam().f64(x, out, 3.0), SimdError::mismatch);
    EXPECT_EQ(out, std::vector<double>(4, 2.0));
    const std::vector<float> x32(3, 1.0f);
    std::vector<float> out32(4, 2.0f);
    EXPECT_EQ(GetParam().f32(x32, out32, 3.0f), SimdError::mismatch);
    EXPECT_EQ(out32, std::vector<float>(4, 2.0f));
}

TEST_P(AxpyTest, EmptyIsSuccess) {
    EXPECT_EQ(GetParam().f64({}, {}, 1.0), SimdError::success);
    EXPECT_EQ(GetParam().f32({}, {}, 1.0f), SimdError::success);
}

INSTANTIATE_TEST_SUITE_P(Variants, AxpyTest, testing::ValuesIn(variants),
                         [](const testing::TestParamInfo<AxpyVariant>& info) { return std::string(info.param.name); });

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t two32 = std::uint64_t{1} << 32;

TEST(AxpyRowsBatchExtentsTest, Table) {
    struct Row {
        const char* name;
        std::uint64_t coeffs_len, x_len, out_len, out_stride, rows, k, cols;
        AxpyRowsBatchExtents expected;
    };
    using E = AxpyRowsBatchExtents;
    const Row rows[] = {
        {"exact: 3 rows, 2 terms, 4 cols, stride 6", 6, 8, 16, 6, 3, 2, 4, E::valid},
        {"longer slices", 7, 9, 17, 6, 3, 2, 4, E::valid},
        {"out one short of the extent", 6, 8, 15, 6, 3, 2, 4, E::invalid},
        {"coeffs short of rows * k", 5, 8, 16, 6, 3, 2, 4, E::invalid},
        {"x short of k * cols", 6, 7, 16, 6, 3, 2, 4, E::invalid},
        {"stride below cols", 6, 8, 100, 3, 3, 2, 4, E::invalid},
        {"one row with stride 0", 2, 8, 4, 0, 1, 2, 4, E::invalid},
        {"one row needs out_len >= cols only", 2, 8, 4, 4, 1, 2, 4, E::valid},
        {"k zero with stride below cols and no storage", 0, 0, 0, 0, 3, 0, 4, E::empty},
        {"rows zero", 0, 0, 0, 0, 0, 2, 4, E::empty},
        {"cols zero", 0, 0, 0, 0, 3, 2, 0, E::empty},
        {"rows * k overflows", max_u64, max_u64, max_u64, 1, two32, two32, 1, E::invalid},
        {"k * cols overflows", max_u64, max_u64, max_u64, two32, 1, two32, two32, E::invalid},
        {"(rows - 1) * stride overflows", max_u64, max_u64, max_u64, max_u64 / 2 + 1, 3, 1, 1, E::invalid},
        {"extent sum overflows", max_u64, max_u64, max_u64, max_u64 - 1, 2, 1, 2, E::invalid},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(check_axpy_rows_batch_extents(row.coeffs_len, row.x_len, row.out_len, row.out_stride, row.rows,
                                                row.k, row.cols),
                  row.expected);
    }
}

// ---- Row updates of a strided block ----

template <class T>
using RowsKernel = SimdError (*)(std::span<const T>, std::span<const T>, std::span<T>, std::uint64_t, std::uint64_t,
                                 std::uint64_t) noexcept;
template <class T>
using BatchKernel = SimdError (*)(std::span<const T>, std::span<const T>, std::span<T>, std::uint64_t, std::uint64_t,
                                  std::uint64_t, std::uint64_t) noexcept;

struct RowAxpyVariant {
    const char* name;
    bool (*available)();
    RowsKernel<float> rows32;
    RowsKernel<double> rows64;
    BatchKernel<float> batch32;
    BatchKernel<double> batch64;
};

const RowAxpyVariant row_variants[] = {
    {"avx512f", has_avx512f, dr::dispatch_axpy_rows_avx512f, dr::dispatch_axpy_rows_avx512f,
     db::dispatch_axpy_rows_batch_avx512f, db::dispatch_axpy_rows_batch_avx512f},
    {"avx2_fma", has_avx2_fma, dr::dispatch_axpy_rows_avx2_fma, dr::dispatch_axpy_rows_avx2_fma,
     db::dispatch_axpy_rows_batch_avx2_fma, db::dispatch_axpy_rows_batch_avx2_fma},
};

// For each element of the block: acc = out; acc = fma(x[p·cols + j], coeffs[p·rows + r], acc) for
// p < k in order. The row update is the case k = 1.
template <class T>
void reference_row_terms(std::span<const T> coeffs, std::span<const T> x, std::span<T> out, std::size_t out_stride,
                         std::size_t rows, std::size_t k, std::size_t cols) {
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t j = 0; j < cols; ++j) {
            T acc = out[r * out_stride + j];
            for (std::size_t p = 0; p < k; ++p) acc = std::fma(x[p * cols + j], coeffs[p * rows + r], acc);
            out[r * out_stride + j] = acc;
        }
    }
}

// Columns around the vector widths (4, 8, 16) and the four-vector steps (16, 32, 64).
const std::size_t row_col_counts[] = {1,  2,  3,  4,  5,  7,  8,  9,  15, 16, 17,  31,
                                      32, 33, 37, 40, 47, 63, 64, 65, 127, 128, 129};

class RowAxpyTest : public testing::TestWithParam<RowAxpyVariant> {
protected:
    void SetUp() override {
        if (!GetParam().available()) GTEST_SKIP() << "CPU lacks " << GetParam().name;
    }

    // Every shape with coeffs, x and out each ending at (or just before) a fault page. The gaps
    // between rows and everything around the block hold a guard value that must survive; the
    // whole block, gaps included, must equal the reference bit for bit.
    template <class T, class Call>
    void check_block(std::initializer_list<std::size_t> term_counts, std::initializer_list<Inputs> input_sets,
                     Call call) {
        GuardedRegion region_coeffs(4096), region_x(8192), region_out(8192);
        const T guard = -std::numeric_limits<T>::infinity();
        for (Inputs inputs : input_sets) {
            for (std::size_t rows : {1, 2, 3, 5}) {
                for (std::size_t cols : row_col_counts) {
                    for (std::size_t k : term_counts) {
                        const std::vector<T> coeff_values = make_inputs<T>(rows * k, inputs, 31);
                        const std::vector<T> x_values = make_inputs<T>(k * cols, inputs, 32);
                        for (std::size_t extra : {0, 1, 3}) {
                            const std::size_t stride = cols + extra;
                            const std::size_t extent = strided_extent(rows, cols, stride);
                            const std::vector<T> out_values = make_inputs<T>(extent, inputs, 33);
                            for (std::size_t gap : end_gaps({3})) {
                                SCOPED_TRACE(testing::Message() << name_of(inputs) << " rows " << rows << " cols "
                                                                << cols << " k " << k << " stride " << stride
                                                                << " gap " << gap);
                                std::span<T> coeffs = region_coeffs.place<T>(rows * k, gap, T(0));
                                std::copy(coeff_values.begin(), coeff_values.end(), coeffs.begin());
                                std::span<T> x = region_x.place<T>(k * cols, gap, T(0));
                                std::copy(x_values.begin(), x_values.end(), x.begin());
                                std::span<T> out = region_out.place<T>(extent, gap, guard);
                                for (std::size_t r = 0; r < rows; ++r)
                                    for (std::size_t j = 0; j < cols; ++j)
                                        out[r * stride + j] = out_values[r * stride + j];
                                std::vector<T> expected(out.begin(), out.end());
                                reference_row_terms<T>(coeffs, x, expected, stride, rows, k, cols);
                                ASSERT_EQ(call(std::span<const T>(coeffs), std::span<const T>(x), out, stride, rows,
                                               k, cols),
                                          SimdError::success);
                                for (std::size_t e = 0; e < extent; ++e)
                                    ASSERT_TRUE(bits_equal(out[e], expected[e])) << "element " << e;
                                ASSERT_TRUE(region_out.untouched_outside<T>(out, guard));
                            }
                        }
                    }
                }
            }
        }
    }
};

// The row kernel called with the batch's argument list (its one term implied).
template <class T>
auto without_terms(RowsKernel<T> kernel) {
    return [kernel](std::span<const T> c, std::span<const T> x, std::span<T> out, std::uint64_t stride,
                    std::uint64_t rows, std::uint64_t, std::uint64_t cols) {
        return kernel(c, x, out, stride, rows, cols);
    };
}

TEST_P(RowAxpyTest, Float32RowsAreOneFusedStepPerElement) {
    check_block<float>({1}, {Inputs::mixed, Inputs::specials, Inputs::subnormal}, without_terms(GetParam().rows32));
}

TEST_P(RowAxpyTest, Float64RowsAreOneFusedStepPerElement) {
    check_block<double>({1}, {Inputs::mixed, Inputs::specials, Inputs::subnormal}, without_terms(GetParam().rows64));
}

// k = 5 and 7 go past the four terms callers pass: every term must still be applied in order.
TEST_P(RowAxpyTest, Float32BatchChainsTheTermsInOrder) {
    check_block<float>({1, 2, 3, 4, 5, 7}, {Inputs::mixed, Inputs::specials}, GetParam().batch32);
}

TEST_P(RowAxpyTest, Float64BatchChainsTheTermsInOrder) {
    check_block<double>({1, 2, 3, 4, 5, 7}, {Inputs::mixed, Inputs::specials}, GetParam().batch64);
}

// The checks of both kernels: a refusal writes nothing; slices longer than needed are accepted
// and their extra elements ignored.
TEST_P(RowAxpyTest, ChecksRefuseBadExtentsWithoutWriting) {
    struct Case {
        const char* name;
        std::size_t coeffs_len, x_len, out_len, stride, rows, k, cols;
        SimdError expected;
    };
    const std::size_t big = std::numeric_limits<std::size_t>::max() / 2 + 1;
    const Case cases[] = {
        {"exact extent", 3, 4, 14, 5, 3, 1, 4, SimdError::success},
        {"longer slices", 5, 9, 20, 5, 3, 1, 4, SimdError::success},
        {"out one short of the extent", 3, 4, 13, 5, 3, 1, 4, SimdError::mismatch},
        {"coeffs shorter than rows", 2, 4, 14, 5, 3, 1, 4, SimdError::mismatch},
        {"x shorter than cols", 3, 3, 14, 5, 3, 1, 4, SimdError::mismatch},
        {"stride below cols", 3, 4, 14, 3, 3, 1, 4, SimdError::mismatch},
        {"one row with stride 0", 1, 4, 4, 0, 1, 1, 4, SimdError::mismatch},
        {"(rows - 1) * stride overflows", 3, 4, 14, big, 3, 1, 4, SimdError::mismatch},
        {"batch: exact", 9, 12, 14, 5, 3, 3, 4, SimdError::success},
        {"batch: x short of k * cols", 9, 11, 14, 5, 3, 3, 4, SimdError::mismatch},
        {"batch: coeffs short of rows * k", 8, 12, 14, 5, 3, 3, 4, SimdError::mismatch},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<double> coeffs = make_inputs<double>(c.coeffs_len, Inputs::mixed, 1);
        const std::vector<double> x = make_inputs<double>(c.x_len, Inputs::mixed, 2);
        const std::vector<double> start = make_inputs<double>(c.out_len, Inputs::mixed, 3);
        std::vector<double> expected = start;
        if (c.expected == SimdError::success) {
            reference_row_terms<double>(coeffs, x, expected, c.stride, c.rows, c.k, c.cols);
        }
        if (c.k == 1) {
            std::vector<double> out = start;
            EXPECT_EQ(GetParam().rows64(coeffs, x, out, c.stride, c.rows, c.cols), c.expected);
            EXPECT_EQ(out, expected);
            std::vector<float> coeffs32(coeffs.begin(), coeffs.end()), x32(x.begin(), x.end());
            std::vector<float> out32(c.out_len, 7.0f);
            const SimdError status = GetParam().rows32(coeffs32, x32, out32, c.stride, c.rows, c.cols);
            EXPECT_EQ(status, c.expected);
            if (status != SimdError::success) {
                EXPECT_EQ(out32, std::vector<float>(c.out_len, 7.0f));
            }
        }
        std::vector<double> out = start;
        EXPECT_EQ(GetParam().batch64(coeffs, x, out, c.stride, c.rows, c.k, c.cols), c.expected);
        EXPECT_EQ(out, expected);
    }
}

// Nothing to do: success without a look at the slices, even when they are empty or too short.
TEST_P(RowAxpyTest, EmptyBlocksSucceedWithoutAccess) {
    EXPECT_EQ(GetParam().rows64({}, {}, {}, 0, 0, 5), SimdError::success);
    EXPECT_EQ(GetParam().rows64({}, {}, {}, 0, 5, 0), SimdError::success);
    EXPECT_EQ(GetParam().rows32({}, {}, {}, 0, 0, 5), SimdError::success);
    EXPECT_EQ(GetParam().batch64({}, {}, {}, 0, 3, 0, 4), SimdError::success);
    EXPECT_EQ(GetParam().batch64({}, {}, {}, 0, 0, 2, 4), SimdError::success);
    EXPECT_EQ(GetParam().batch32({}, {}, {}, 0, 3, 2, 0), SimdError::success);
}

// A NaN in column 1 of term 1's vector makes that column NaN in every row, even where term 1's
// coefficient is zero; the other columns stay finite.
TEST_P(RowAxpyTest, NaNInOneTermSpoilsOnlyItsColumn) {
    const std::size_t rows = 3, k = 3, cols = 5;
    std::vector<double> coeffs = {0.5, 2.0, -1.0, 0.0, 0.0, 3.0, 1.5, -0.25, 4.0};
    std::vector<double> x(k * cols, 1.25);
    x[1 * cols + 1] = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> out(rows * cols, 1.0);
    ASSERT_EQ(GetParam().batch64(coeffs, x, out, cols, rows, k, cols), SimdError::success);
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t j = 0; j < cols; ++j) {
            SCOPED_TRACE(testing::Message() << "row " << r << " column " << j);
            EXPECT_EQ(std::isnan(out[r * cols + j]), j == 1);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, RowAxpyTest, testing::ValuesIn(row_variants),
                         [](const testing::TestParamInfo<RowAxpyVariant>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
