// Fixtures shared by the kernel tests: which variants this CPU can run, slices that end right
// before an inaccessible page (so a tail read or write past the end faults), input sets with
// mixed magnitudes and special values, and the scalar references of the fixed summation orders;
// bit comparison comes from zubrin_testing.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "zubrin_testing/bits.hpp"

namespace kernel_test {

// Independent of the library's own detection: libgcc checks CPUID and the OS-enabled register state.
inline bool has_avx512f() { return __builtin_cpu_supports("avx512f"); }
inline bool has_avx2_fma() { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); }

float masked_load_of_last_float(const float* last);  // fault_probe_avx2_fma.cpp

// Hardware never faults on masked-off lanes, but user-mode qemu (7.2) loads the whole vector of
// an AVX2 masked load, so a tail ending within 32 bytes of an unmapped page faults there. Probed
// once in a child process; where it faults, slices keep eight elements (32 bytes or more) away
// from the fault page and only the guard elements in between catch stray writes.
inline bool masked_loads_suppress_faults() {
    static const bool suppressed = [] {
        if (!has_avx2_fma()) return true;
        const long page = sysconf(_SC_PAGESIZE);
        void* base = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) return false;
        char* bytes = static_cast<char*>(base);
        mprotect(bytes + page, page, PROT_NONE);
        const pid_t child = fork();
        if (child == 0) {
            const int null_fd = open("/dev/null", O_WRONLY);  // keeps an emulator's crash report out of the log
            if (null_fd >= 0) dup2(null_fd, STDERR_FILENO);
            masked_load_of_last_float(reinterpret_cast<const float*>(bytes + page) - 1);
            _exit(0);
        }
        int status = 0;
        const bool survived = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                              WEXITSTATUS(status) == 0;
        munmap(base, 2 * page);
        return survived;
    }();
    return suppressed;
}

// Distances (in elements) of a slice's end from the fault page: 0 and the given ones, so the
// start addresses take several alignments and, at 0, any access past the end faults.
inline std::vector<std::size_t> end_gaps(std::initializer_list<std::size_t> others) {
    const std::size_t base = masked_loads_suppress_faults() ? 0 : 8;
    std::vector<std::size_t> gaps = {base};
    for (std::size_t gap : others) gaps.push_back(base + gap);
    return gaps;
}

// Lengths around every vector width (4, 8, 16) and block (16, 32, 64) boundary.
inline const std::vector<std::size_t>& sweep_lengths() {
    static const std::vector<std::size_t> lengths = {0,  1,  2,  3,  4,  5,  7,  8,  9,   12,  15,  16,  17,
                                                     20, 31, 32, 33, 40, 47, 48, 49, 63,  64,  65,  79,  80,
                                                     95, 96, 97, 127, 128, 129, 191, 255, 256, 257, 1000, 1025};
    return lengths;
}

using zubrin_testing::bits::bits_equal;
using zubrin_testing::bits::bits_of;
using zubrin_testing::bits::same_bits;

// Memory whose last page before `end()` is followed by an inaccessible page. A slice placed at
// the end faults on any access past its last element; the bytes before it are free for guards.
class GuardedRegion {
public:
    explicit GuardedRegion(std::size_t bytes) {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        usable_ = (bytes + page_ - 1) / page_ * page_;
        void* base = mmap(nullptr, usable_ + page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) throw std::bad_alloc();
        base_ = static_cast<unsigned char*>(base);
        if (mprotect(base_ + usable_, page_, PROT_NONE) != 0) throw std::bad_alloc();
    }
    GuardedRegion(const GuardedRegion&) = delete;
    GuardedRegion& operator=(const GuardedRegion&) = delete;
    ~GuardedRegion() { munmap(base_, usable_ + page_); }

    // n elements ending `gap` elements before the inaccessible page; the rest of the region is
    // filled with `fill`, so stray writes before or after the slice show up in `untouched`.
    template <class T>
    std::span<T> place(std::size_t n, std::size_t gap, T fill) {
        T* all = reinterpret_cast<T*>(base_);
        const std::size_t count = usable_ / sizeof(T);
        for (std::size_t i = 0; i < count; ++i) all[i] = fill;
        return {all + count - gap - n, n};
    }

    // True when every element outside `inside` still holds `fill` (compared bit for bit).
    template <class T>
    bool untouched_outside(std::span<const T> inside, T fill) const {
        const T* all = reinterpret_cast<const T*>(base_);
        const std::size_t count = usable_ / sizeof(T);
        for (std::size_t i = 0; i < count; ++i) {
            const T* p = all + i;
            if (p >= inside.data() && p < inside.data() + inside.size()) continue;
            if (bits_of(*p) != bits_of(fill)) return false;
        }
        return true;
    }

private:
    unsigned char* base_ = nullptr;
    std::size_t page_ = 0;
    std::size_t usable_ = 0;
};

enum class Inputs { mixed, specials, subnormal };

inline const char* name_of(Inputs inputs) {
    switch (inputs) {
        case Inputs::mixed: return "mixed";
        case Inputs::specials: return "specials";
        case Inputs::subnormal: return "subnormal";
    }
    return "?";
}

// mixed: signed values spread over 2^-12 .. 2^12, so a different summation order shows in the
// last bits. specials: the same with NaN, ±infinity, ±0, subnormals and huge values sprinkled
// in. subnormal: only subnormal values (a flush to zero anywhere changes the result).
template <class T>
std::vector<T> make_inputs(std::size_t n, Inputs inputs, std::uint64_t seed) {
    std::mt19937_64 rng(seed * 0x9E3779B97F4A7C15ull + n);
    std::uniform_real_distribution<T> unit(T(-1), T(1));
    std::uniform_int_distribution<int> exponent(-12, 12);
    std::uniform_int_distribution<int> pick(0, 15);
    const T specials[] = {std::numeric_limits<T>::quiet_NaN(),   std::numeric_limits<T>::infinity(),
                          -std::numeric_limits<T>::infinity(),   T(0),
                          -T(0),                                 std::numeric_limits<T>::denorm_min(),
                          -std::numeric_limits<T>::denorm_min() * 5, std::numeric_limits<T>::max(),
                          std::numeric_limits<T>::min() / 3};
    std::vector<T> values(n);
    for (T& v : values) {
        switch (inputs) {
            case Inputs::mixed: v = std::ldexp(unit(rng), exponent(rng)); break;
            case Inputs::specials: {
                const int k = pick(rng);
                v = k < 9 ? specials[k] : std::ldexp(unit(rng), exponent(rng));
                break;
            }
            case Inputs::subnormal: v = unit(rng) * std::numeric_limits<T>::min(); break;
        }
    }
    return values;
}

// ---- Scalar references of the fixed orders: W lanes, blocks of four vectors. ----

template <class T, std::size_t W>
using Lanes = std::array<T, W>;

// Upper half onto the lower half lane by lane until one lane is left.
template <class T, std::size_t W>
T halving_sum(Lanes<T, W> v) {
    for (std::size_t half = W / 2; half >= 1; half /= 2) {
        for (std::size_t i = 0; i < half; ++i) v[i] = v[i] + v[i + half];
    }
    return v[0];
}

template <class T, std::size_t W>
T reference_dot(std::span<const T> a, std::span<const T> b) {
    const std::size_t n = a.size();
    const std::size_t full_end = n - n % W;
    Lanes<T, W> c{};
    bool have_c = false;
    std::size_t i = 0;
    if (n >= 4 * W) {
        Lanes<T, W> acc[4];
        for (std::size_t g = 0; g < 4; ++g)
            for (std::size_t l = 0; l < W; ++l) acc[g][l] = a[g * W + l] * b[g * W + l];
        for (i = 4 * W; i + 4 * W <= n; i += 4 * W)
            for (std::size_t g = 0; g < 4; ++g)
                for (std::size_t l = 0; l < W; ++l) {
                    const std::size_t e = i + g * W + l;
                    acc[g][l] = std::fma(a[e], b[e], acc[g][l]);
                }
        for (std::size_t l = 0; l < W; ++l) c[l] = ((acc[0][l] + acc[1][l]) + acc[2][l]) + acc[3][l];
        have_c = true;
    }
    for (; i < full_end; i += W) {
        for (std::size_t l = 0; l < W; ++l) c[l] = have_c ? std::fma(a[i + l], b[i + l], c[l]) : a[i + l] * b[i + l];
        have_c = true;
    }
    const T s = have_c ? halving_sum<T, W>(c) : T(0);
    if (i == n) return s;
    Lanes<T, W> tail{};
    for (std::size_t l = 0; i + l < n; ++l) tail[l] = std::fma(a[i + l], b[i + l], T(0));
    return s + halving_sum<T, W>(tail);
}

// kind 0: sum (first block 0 + x); kind 1: abs_sum (first block abs(x), every element abs).
template <class T, std::size_t W, bool absolute>
T reference_sum_scheme(std::span<const T> x) {
    const auto at = [&](std::size_t e) { return absolute ? std::fabs(x[e]) : x[e]; };
    const std::size_t n = x.size();
    const std::size_t full_end = n - n % W;
    Lanes<T, W> c{};
    std::size_t i = 0;
    if (n >= 4 * W) {
        Lanes<T, W> acc[4];
        for (std::size_t g = 0; g < 4; ++g)
            for (std::size_t l = 0; l < W; ++l) acc[g][l] = absolute ? at(g * W + l) : T(0) + at(g * W + l);
        for (i = 4 * W; i + 4 * W <= n; i += 4 * W)
            for (std::size_t g = 0; g < 4; ++g)
                for (std::size_t l = 0; l < W; ++l) acc[g][l] = acc[g][l] + at(i + g * W + l);
        for (std::size_t l = 0; l < W; ++l) c[l] = (acc[0][l] + acc[1][l]) + (acc[2][l] + acc[3][l]);
    }
    for (; i < full_end; i += W)
        for (std::size_t l = 0; l < W; ++l) c[l] = c[l] + at(i + l);
    const T s = halving_sum<T, W>(c);
    if (i == n) return s;
    Lanes<T, W> tail{};
    for (std::size_t l = 0; i + l < n; ++l) tail[l] = at(i + l);
    return s + halving_sum<T, W>(tail);
}

template <class T, std::size_t W>
T reference_sum(std::span<const T> x) {
    return reference_sum_scheme<T, W, false>(x);
}

template <class T, std::size_t W>
T reference_abs_sum(std::span<const T> x) {
    return reference_sum_scheme<T, W, true>(x);
}

// NaN when any element is NaN, else the largest magnitude, +0 for no element.
inline double reference_abs_max(std::span<const double> x) {
    double best = 0.0;
    for (double v : x) {
        if (std::isnan(v)) return std::numeric_limits<double>::quiet_NaN();
        if (std::fabs(v) > best) best = std::fabs(v);
    }
    return best;
}

// y[i] += the row's halving sum: lane l of a W-lane accumulator from +0 takes
// fma(A(i, j), x[j], ·) for the columns j ≡ l (mod W) in increasing order; in the masked tail the
// absent lanes add +0. Row i of A starts at a[i·lda].
template <std::size_t W>
void reference_gemv(std::span<const double> a, std::span<const double> x, std::span<double> y, std::size_t rows,
                    std::size_t cols, std::size_t lda) {
    const std::size_t full_end = cols - cols % W;
    for (std::size_t i = 0; i < rows; ++i) {
        Lanes<double, W> acc{};
        for (std::size_t j = 0; j < full_end; ++j) acc[j % W] = std::fma(a[i * lda + j], x[j], acc[j % W]);
        if (full_end != cols) {
            for (std::size_t l = 0; l < W; ++l) {
                const std::size_t j = full_end + l;
                acc[l] = j < cols ? std::fma(a[i * lda + j], x[j], acc[l]) : acc[l] + 0.0;
            }
        }
        y[i] = halving_sum<double, W>(acc) + y[i];
    }
}

// y[j] = fma(A(i, j), x[i], y[j]) for i = 0, 1, … in order.
inline void reference_gemv_transpose(std::span<const double> a, std::span<const double> x, std::span<double> y,
                                     std::size_t rows, std::size_t cols, std::size_t lda) {
    for (std::size_t j = 0; j < cols; ++j) {
        for (std::size_t i = 0; i < rows; ++i) y[j] = std::fma(a[i * lda + j], x[i], y[j]);
    }
}

// Elements a strided rows × cols block spans: (rows − 1)·stride + cols, 0 without rows.
inline std::size_t strided_extent(std::size_t rows, std::size_t cols, std::size_t stride) {
    return rows == 0 ? 0 : (rows - 1) * stride + cols;
}

}  // namespace kernel_test
