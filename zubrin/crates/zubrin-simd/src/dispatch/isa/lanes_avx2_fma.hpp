// Lane operations of the AVX2+FMA kernels, one record per element type, for the generic loops
// of streaming.hpp. Included only by *_avx2_fma.cpp units: everything sits in an anonymous
// namespace, so no copy of this code can be linked into a unit built for a smaller CPU.
#pragma once

#if !defined(__AVX2__) || !defined(__FMA__)
#error "lanes_avx2_fma.hpp belongs to units built with -mavx2 -mfma"
#endif

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace zubrin_simd::dispatch::isa {
namespace {  // NOLINT: internal linkage on purpose, see above

template <class T>
struct Lanes;

template <>
struct Lanes<float> {
    using T = float;
    using V = __m256;
    using Mask = __m256i;  // all-ones in present lanes
    static constexpr std::size_t width = 8;
    static constexpr std::size_t stream_alignment_bytes = 32;

    static Mask tail_mask(std::size_t lanes) {
        const __m256i lane_index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(lanes)), lane_index);
    }
    static V zero() { return _mm256_setzero_ps(); }
    static V splat(T value) { return _mm256_set1_ps(value); }
    static V load(const T* p) { return _mm256_loadu_ps(p); }
    // Absent lanes are neither read nor faulted on; they read as zero (an addend that changes nothing).
    static V load_tail(Mask m, const T* p) { return _mm256_maskload_ps(p, m); }
    // Absent lanes read as one: a factor or divisor that raises no flag.
    static V load_tail_factor(Mask m, const T* p) {
        return _mm256_blendv_ps(_mm256_set1_ps(1.0f), _mm256_maskload_ps(p, m), _mm256_castsi256_ps(m));
    }
    static void store(T* p, V v) { _mm256_storeu_ps(p, v); }
    static void store_tail(T* p, Mask m, V v) { _mm256_maskstore_ps(p, m, v); }
    // Requires: p is 32-byte aligned.
    static void stream(T* p, V v) { _mm256_stream_ps(p, v); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V div(V a, V b) { return _mm256_div_ps(a, b); }
    static V fma(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }
    static V abs(V v) { return _mm256_and_ps(v, _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF))); }

    // v[i] + v[i + 4], then + 2, + 1 lanes apart.
    static T halving_sum(V v) {
        const __m128 s4 = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
        const __m128 s2 = _mm_add_ps(s4, _mm_movehl_ps(s4, s4));
        return _mm_cvtss_f32(_mm_add_ss(s2, _mm_movehdup_ps(s2)));
    }
};

template <>
struct Lanes<double> {
    using T = double;
    using V = __m256d;
    using Mask = __m256i;  // all-ones in present lanes
    using Bits = __m256i;
    static constexpr std::size_t width = 4;
    static constexpr std::size_t stream_alignment_bytes = 32;

    static Mask tail_mask(std::size_t lanes) {
        return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(lanes)), _mm256_setr_epi64x(0, 1, 2, 3));
    }
    static V zero() { return _mm256_setzero_pd(); }
    static V splat(T value) { return _mm256_set1_pd(value); }
    static V load(const T* p) { return _mm256_loadu_pd(p); }
    // Absent lanes are neither read nor faulted on; they read as zero (an addend that changes nothing).
    static V load_tail(Mask m, const T* p) { return _mm256_maskload_pd(p, m); }
    // Absent lanes read as one: a factor or divisor that raises no flag.
    static V load_tail_factor(Mask m, const T* p) {
        return _mm256_blendv_pd(_mm256_set1_pd(1.0), _mm256_maskload_pd(p, m), _mm256_castsi256_pd(m));
    }
    static void store(T* p, V v) { _mm256_storeu_pd(p, v); }
    static void store_tail(T* p, Mask m, V v) { _mm256_maskstore_pd(p, m, v); }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    static V fma(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }
    static V abs(V v) { return _mm256_and_pd(v, _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF))); }

    // (v0 + v2) + (v1 + v3).
    static T halving_sum(V v) {
        const __m128d s2 = _mm_add_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
        return _mm_cvtsd_f64(_mm_add_sd(s2, _mm_unpackhi_pd(s2, s2)));
    }

    // Magnitudes as bit patterns: with the sign cleared, integer order is numeric order, and every
    // NaN pattern lies above +infinity, so the integer maximum keeps any NaN. The patterns stay
    // below 2^63, so the signed 64-bit comparison of AVX2 orders them correctly.
    static Bits abs_bits(V v) { return _mm256_castpd_si256(abs(v)); }
    static Bits zero_bits() { return _mm256_setzero_si256(); }
    static Bits max_bits(Bits a, Bits b) { return _mm256_blendv_epi8(b, a, _mm256_cmpgt_epi64(a, b)); }
    static std::uint64_t horizontal_max_bits(Bits v) {
        alignas(32) std::uint64_t lanes[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), v);
        std::uint64_t best = lanes[0];
        for (std::size_t i = 1; i < 4; ++i) best = lanes[i] > best ? lanes[i] : best;
        return best;
    }
};

}  // namespace
}  // namespace zubrin_simd::dispatch::isa
