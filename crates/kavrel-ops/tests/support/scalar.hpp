// Fixtures shared by the Scalar and reduction tests: forcing a kernel path through the
// feature-word seam (skipping paths this CPU cannot run), input sets with mixed magnitudes and
// special values, and the bit comparison of zubrin_testing.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "kavrel_ops/domain/scalar/cpu_features.hpp"
#include "zubrin_testing/bits.hpp"

namespace scalar_test {

namespace cf = kavrel_ops::domain::scalar::cpu_features;

// Independent of the library's detection: libgcc checks CPUID and the OS-enabled register state.
inline bool cpu_runs(cf::KernelPath path) {
    switch (path) {
        case cf::KernelPath::avx512f: return __builtin_cpu_supports("avx512f");
        case cf::KernelPath::avx2_fma: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case cf::KernelPath::portable: return true;
    }
    return false;
}

inline const char* name_of(cf::KernelPath path) {
    switch (path) {
        case cf::KernelPath::avx512f: return "avx512f";
        case cf::KernelPath::avx2_fma: return "avx2_fma";
        case cf::KernelPath::portable: return "portable";
    }
    return "?";
}

// A word that selects `path` (with the flags a CPU with that instruction set also reports).
inline cf::FeatureWord word_for(cf::KernelPath path) {
    switch (path) {
        case cf::KernelPath::avx512f: return cf::detected_marker | cf::avx512f_flag | cf::avx2_flag | cf::fma_flag;
        case cf::KernelPath::avx2_fma: return cf::detected_marker | cf::avx2_flag | cf::fma_flag;
        case cf::KernelPath::portable: return cf::detected_marker;
    }
    return cf::detected_marker;
}

// Forces the feature word for one scope; afterwards the next call detects again.
class ForcedFeatureWord {
public:
    explicit ForcedFeatureWord(cf::FeatureWord word) { cf::detail::force_feature_word(word); }
    ForcedFeatureWord(const ForcedFeatureWord&) = delete;
    ForcedFeatureWord& operator=(const ForcedFeatureWord&) = delete;
    ~ForcedFeatureWord() { cf::detail::force_feature_word(0); }
};

// A test per kernel path; SetUp skips the paths this CPU lacks and forces the word for the rest.
class ForcedPathTest : public testing::TestWithParam<cf::KernelPath> {
protected:
    void SetUp() override {
        if (!cpu_runs(GetParam())) GTEST_SKIP() << "CPU lacks " << name_of(GetParam());
        cf::detail::force_feature_word(word_for(GetParam()));
    }
    void TearDown() override { cf::detail::force_feature_word(0); }
};

inline std::string path_param_name(const testing::TestParamInfo<cf::KernelPath>& info) {
    return name_of(info.param);
}

inline const cf::KernelPath all_paths[] = {cf::KernelPath::avx512f, cf::KernelPath::avx2_fma,
                                           cf::KernelPath::portable};

// Lengths around every vector width (2, 4, 8, 16) and block (8, 16, 32, 64) boundary.
inline const std::vector<std::size_t>& sweep_lengths() {
    static const std::vector<std::size_t> lengths = {0,  1,  2,  3,  4,  5,  7,  8,  9,  15,  16,  17,  20,
                                                     31, 32, 33, 47, 48, 49, 63, 64, 65, 127, 128, 129, 1001};
    return lengths;
}

using zubrin_testing::bits::bits_equal;
using zubrin_testing::bits::bits_of;
using zubrin_testing::bits::same_bits;

enum class Inputs { mixed, specials };

// mixed: signed values spread over 2^-12 .. 2^12, so a different summation order shows in the last
// bits; specials: the same with NaN, ±infinity, ±0 and subnormals sprinkled in.
template <class T>
std::vector<T> make_inputs(std::size_t n, Inputs inputs, std::uint64_t seed) {
    std::mt19937_64 rng(seed * 0x9E3779B97F4A7C15ull + n);
    std::uniform_real_distribution<T> unit(T(-1), T(1));
    std::uniform_int_distribution<int> exponent(-12, 12);
    std::uniform_int_distribution<int> pick(0, 15);
    const T specials[] = {std::numeric_limits<T>::quiet_NaN(), std::numeric_limits<T>::infinity(),
                          -std::numeric_limits<T>::infinity(), -T(0), std::numeric_limits<T>::denorm_min() * 3};
    std::vector<T> values(n);
    for (T& v : values) {
        const int k = pick(rng);
        v = (inputs == Inputs::specials && k < 5) ? specials[k] : std::ldexp(unit(rng), exponent(rng));
    }
    return values;
}

// The row updates as written down: for each element of the strided block, acc = out;
// acc = fma(x[p·cols + j], coeffs[p·rows + r], acc) for p < k in order. k = 1 is axpy_rows.
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

// A strided output block of rows × cols in `stride`, followed by `trailing` elements: the block's
// own elements hold `values` from make_inputs, every gap and trailing element holds `guard`.
template <class T>
std::vector<T> make_block(std::size_t rows, std::size_t cols, std::size_t stride, std::size_t trailing, T guard,
                          Inputs inputs, std::uint64_t seed) {
    const std::size_t extent = rows == 0 ? 0 : (rows - 1) * stride + cols;
    std::vector<T> block(extent + trailing, guard);
    const std::vector<T> values = make_inputs<T>(rows * cols, inputs, seed);
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t j = 0; j < cols; ++j) block[r * stride + j] = values[r * cols + j];
    return block;
}

}  // namespace scalar_test
