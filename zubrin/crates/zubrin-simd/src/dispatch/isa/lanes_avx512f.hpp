// Lane operations of the AVX-512F kernels, one record per element type, for the generic loops
// of streaming.hpp. Included only by *_avx512f.cpp units: everything sits in an anonymous
// namespace, so no copy of this code can be linked into a unit built for a smaller CPU.
#pragma once

#if !defined(__AVX512F__)
#error "lanes_avx512f.hpp belongs to units built with -mavx512f"
#endif

// GCC 12 reports its own _mm512_undefined_* placeholders inside these intrinsics as uninitialised.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstddef>
#include <cstdint>

namespace zubrin_simd::dispatch::isa {
namespace {  // NOLINT: internal linkage on purpose, see above

template <class T>
struct Lanes;

template <>
struct Lanes<float> {
    using T = float;
    using V = __m512;
    using Mask = __mmask16;
    using Bits = __m512i;
    static constexpr std::size_t width = 16;
    static constexpr std::size_t stream_alignment_bytes = 64;

    static Mask tail_mask(std::size_t lanes) { return static_cast<Mask>((1u << lanes) - 1u); }
    static V zero() { return _mm512_setzero_ps(); }
    static V splat(T value) { return _mm512_set1_ps(value); }
    static V load(const T* p) { return _mm512_loadu_ps(p); }
    // Absent lanes are neither read nor faulted on; they read as zero (an addend that changes nothing).
    static V load_tail(Mask m, const T* p) { return _mm512_maskz_loadu_ps(m, p); }
    // Absent lanes read as one: a factor or divisor that raises no flag.
    static V load_tail_factor(Mask m, const T* p) { return _mm512_mask_loadu_ps(_mm512_set1_ps(1.0f), m, p); }
    static void store(T* p, V v) { _mm512_storeu_ps(p, v); }
    static void store_tail(T* p, Mask m, V v) { _mm512_mask_storeu_ps(p, m, v); }
    // Requires: p is 64-byte aligned.
    static void stream(T* p, V v) { _mm512_stream_ps(p, v); }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
    static V sub(V a, V b) { return _mm512_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
    static V div(V a, V b) { return _mm512_div_ps(a, b); }
    static V fma(V a, V b, V c) { return _mm512_fmadd_ps(a, b, c); }
    static V abs(V v) { return _mm512_abs_ps(v); }

    // v[i] + v[i + 8], then + 4, + 2, + 1 lanes apart.
    static T halving_sum(V v) {
        const __m256 lo = _mm512_castps512_ps256(v);
        const __m256 hi = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1));
        const __m256 s8 = _mm256_add_ps(lo, hi);
        const __m128 s4 = _mm_add_ps(_mm256_castps256_ps128(s8), _mm256_extractf128_ps(s8, 1));
        const __m128 s2 = _mm_add_ps(s4, _mm_movehl_ps(s4, s4));
        return _mm_cvtss_f32(_mm_add_ss(s2, _mm_movehdup_ps(s2)));
    }
};

template <>
struct Lanes<double> {
    using T = double;
    using V = __m512d;
    using Mask = __mmask8;
    using Bits = __m512i;
    static constexpr std::size_t width = 8;
    static constexpr std::size_t stream_alignment_bytes = 64;

    static Mask tail_mask(std::size_t lanes) { return static_cast<Mask>((1u << lanes) - 1u); }
    static V zero() { return _mm512_setzero_pd(); }
    static V splat(T value) { return _mm512_set1_pd(value); }
    static V load(const T* p) { return _mm512_loadu_pd(p); }
    // Absent lanes are neither read nor faulted on; they read as zero (an addend that changes nothing).
    static V load_tail(Mask m, const T* p) { return _mm512_maskz_loadu_pd(m, p); }
    // Absent lanes read as one: a factor or divisor that raises no flag.
    static V load_tail_factor(Mask m, const T* p) { return _mm512_mask_loadu_pd(_mm512_set1_pd(1.0), m, p); }
    static void store(T* p, V v) { _mm512_storeu_pd(p, v); }
    static void store_tail(T* p, Mask m, V v) { _mm512_mask_storeu_pd(p, m, v); }
    static V add(V a, V b) { return _mm512_add_pd(a, b); }
    static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
    static V fma(V a, V b, V c) { return _mm512_fmadd_pd(a, b, c); }
    static V abs(V v) { return _mm512_abs_pd(v); }

    // ((v0 + v4) + (v2 + v6)) + ((v1 + v5) + (v3 + v7)).
    static T halving_sum(V v) {
        const __m256d s4 = _mm256_add_pd(_mm512_castpd512_pd256(v), _mm512_extractf64x4_pd(v, 1));
        const __m128d s2 = _mm_add_pd(_mm256_castpd256_pd128(s4), _mm256_extractf128_pd(s4, 1));
        return _mm_cvtsd_f64(_mm_add_sd(s2, _mm_unpackhi_pd(s2, s2)));
    }

    // Magnitudes as bit patterns: with the sign cleared, unsigned integer order is numeric order,
    // and every NaN pattern lies above +infinity, so the integer maximum keeps any NaN.
    static Bits abs_bits(V v) { return _mm512_castpd_si512(_mm512_abs_pd(v)); }
    static Bits zero_bits() { return _mm512_setzero_si512(); }
    static Bits max_bits(Bits a, Bits b) { return _mm512_max_epu64(a, b); }
    static std::uint64_t horizontal_max_bits(Bits v) { return _mm512_reduce_max_epu64(v); }
};

}  // namespace
}  // namespace zubrin_simd::dispatch::isa
