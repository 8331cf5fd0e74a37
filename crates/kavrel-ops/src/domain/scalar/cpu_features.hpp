// The process-wide CPU-feature word: detected from CPUID and XGETBV on first use, then only read,
// never reset and never destroyed. Every kernel selector consults it on each call through
// kernel_path(): AVX-512F first, else AVX2 together with FMA, else the portable loops.
#pragma once

#include <cstdint>
#include <type_traits>

namespace kavrel_ops::domain::scalar::cpu_features {

using FeatureWord = std::uint64_t;

// Set in every detected word, so that a detected word is never zero (zero: not yet detected).
inline constexpr FeatureWord detected_marker = FeatureWord{1} << 63;
inline constexpr FeatureWord avx2_flag = FeatureWord{1} << 0;
inline constexpr FeatureWord fma_flag = FeatureWord{1} << 1;
inline constexpr FeatureWord avx512f_flag = FeatureWord{1} << 2;

enum class KernelPath : std::uint8_t { avx512f, avx2_fma, portable };

// Reads the CPU now. AVX2 and FMA count only when the OS saves the 256-bit register state;
// AVX-512F only when it also saves the opmask and 512-bit state.
[[nodiscard]] FeatureWord detect_features() noexcept;

// The cached word, detected on the first call of the process.
[[nodiscard]] FeatureWord feature_word() noexcept;

// avx512f_flag: avx512f; else avx2_flag and fma_flag both: avx2_fma; else portable
// (AVX2 without FMA included).
[[nodiscard]] KernelPath path_for(FeatureWord word) noexcept;

// path_for(feature_word()): the choice every selector makes on each call.
[[nodiscard]] KernelPath kernel_path() noexcept;

// The one three-way choice of every selector: the AVX-512F, AVX2+FMA or portable member of a
// family (a function or a value) for `path`, given or just read with kernel_path(). The portable
// member fixes F, so an overloaded kernel name resolves against the portable signature; the
// switch warning keeps the choice complete should a path be added.
template <class F>
[[nodiscard]] constexpr F for_path(KernelPath path, std::type_identity_t<F> avx512f, std::type_identity_t<F> avx2_fma,
                                   F portable) noexcept {
    switch (path) {
        case KernelPath::avx512f: return avx512f;
        case KernelPath::avx2_fma: return avx2_fma;
        case KernelPath::portable: break;
    }
    return portable;
}

// Implementation details

namespace detail {
// Test seam, reachable from C++ only: replaces the cached word, so tests can force a path the
// CPU supports; 0 makes the next call detect again.
void force_feature_word(FeatureWord word) noexcept;
}  // namespace detail

}  // namespace kavrel_ops::domain::scalar::cpu_features
