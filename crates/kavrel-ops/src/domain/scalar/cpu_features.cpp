#include "kavrel_ops/domain/scalar/cpu_features.hpp"

#include <cpuid.h>

#include <atomic>

namespace kavrel_ops::domain::scalar::cpu_features {

namespace {

// Constant-initialised and trivially destructible: no static constructor or destructor runs,
// so no thread can see it torn down at process exit.
std::atomic<FeatureWord> cached_word{0};

constexpr unsigned leaf1_ecx_fma = 1u << 12;
constexpr unsigned leaf1_ecx_osxsave = 1u << 27;
constexpr unsigned leaf1_ecx_avx = 1u << 28;
constexpr unsigned leaf7_ebx_avx2 = 1u << 5;
constexpr unsigned leaf7_ebx_avx512f = 1u << 16;
constexpr std::uint64_t xcr0_sse_avx = 0x6;        // XMM and YMM state
constexpr std::uint64_t xcr0_avx512 = 0xE0 | 0x6;  // opmask, ZMM_Hi256, Hi16_ZMM, XMM, YMM

// XGETBV is undefined unless CPUID reports OSXSAVE; the caller checks that first.
std::uint64_t read_xcr0() noexcept {
    std::uint32_t lo = 0;
    std::uint32_t hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (std::uint64_t{hi} << 32) | lo;
}

}  // namespace

FeatureWord detect_features() noexcept {
    FeatureWord word = detected_marker;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return word;
    if ((ecx & leaf1_ecx_osxsave) == 0 || (ecx & leaf1_ecx_avx) == 0) return word;
    const bool fma = (ecx & leaf1_ecx_fma) != 0;
    const std::uint64_t xcr0 = read_xcr0();
    if ((xcr0 & xcr0_sse_avx) != xcr0_sse_avx) return word;
    if (fma) word |= fma_flag;
    if (__get_cpuid_max(0, nullptr) < 7) return word;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    if ((ebx & leaf7_ebx_avx2) != 0) word |= avx2_flag;
    if ((ebx & leaf7_ebx_avx512f) != 0 && (xcr0 & xcr0_avx512) == xcr0_avx512) word |= avx512f_flag;
    return word;
}

FeatureWord feature_word() noexcept {
    // Relaxed is enough: the word carries no other data, and two threads that both find zero
    // detect and store the same value.
    FeatureWord word = cached_word.load(std::memory_order_relaxed);
    if (word == 0) {
        word = detect_features();
        cached_word.store(word, std::memory_order_relaxed);
    }
    return word;
}

KernelPath path_for(FeatureWord word) noexcept {
    if ((word & avx512f_flag) != 0) return KernelPath::avx512f;
    if ((word & avx2_flag) != 0 && (word & fma_flag) != 0) return KernelPath::avx2_fma;
    return KernelPath::portable;
}

KernelPath kernel_path() noexcept { return path_for(feature_word()); }

namespace detail {
void force_feature_word(FeatureWord word) noexcept { cached_word.store(word, std::memory_order_relaxed); }
}  // namespace detail

}  // namespace kavrel_ops::domain::scalar::cpu_features
