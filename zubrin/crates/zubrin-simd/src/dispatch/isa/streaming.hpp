// The streaming kernels written once over a lane record (lanes_avx512f.hpp or lanes_avx2_fma.hpp,
// or the portable lanes of kavrel_ops' fallback loops), so both instruction-set variants and the
// portable path follow one statement of every summation order and differ only in their lane
// count. Included by instruction-set units after their lanes header and by that one baseline unit
// with a record of its own; kept in an anonymous namespace, so every unit instantiates its own copy.
//
// Shared scheme of the reductions: a block is four vectors, with one accumulator per vector of a
// block; after the blocks come the remaining full vectors (at most three), then the tail of
// n mod width elements as one masked vector whose absent lanes read as zero.
#pragma once

#include <immintrin.h>  // _mm_sfence only: SSE, which every x86-64 unit may use

#include <concepts>
#include <cstddef>
#include <cstdint>

#include "zubrin_simd_core/ops/elementwise.hpp"

namespace zubrin_simd::dispatch::isa {
namespace {  // NOLINT: internal linkage on purpose, see above

namespace ew = zubrin_simd_core::ops::elementwise;

// Σ a[i]·b[i]. First block: plain products; further blocks fused into the accumulators, which
// combine as ((A0 + A1) + A2) + A3. Without a block the first full vector starts C with plain
// products. Remaining vectors are fused into C, C is halved down to s (+0 without any full
// vector), and the tail lanes fma(a, b, 0) are halved to t; the result is s + t.
template <class L>
typename L::T dot(const typename L::T* a, const typename L::T* b, std::size_t n) {
    using T = typename L::T;
    using V = typename L::V;
    constexpr std::size_t w = L::width;
    const std::size_t full_end = n - n % w;
    std::size_t i = 0;
    V c = L::zero();
    bool have_c = false;
    if (n >= 4 * w) {
        V a0 = L::mul(L::load(a), L::load(b));
        V a1 = L::mul(L::load(a + w), L::load(b + w));
        V a2 = L::mul(L::load(a + 2 * w), L::load(b + 2 * w));
        V a3 = L::mul(L::load(a + 3 * w), L::load(b + 3 * w));
        for (i = 4 * w; i + 4 * w <= n; i += 4 * w) {
            a0 = L::fma(L::load(a + i), L::load(b + i), a0);
            a1 = L::fma(L::load(a + i + w), L::load(b + i + w), a1);
            a2 = L::fma(L::load(a + i + 2 * w), L::load(b + i + 2 * w), a2);
            a3 = L::fma(L::load(a + i + 3 * w), L::load(b + i + 3 * w), a3);
        }
        c = L::add(L::add(L::add(a0, a1), a2), a3);
        have_c = true;
    }
    for (; i < full_end; i += w) {
        const V x = L::load(a + i);
        const V y = L::load(b + i);
        c = have_c ? L::fma(x, y, c) : L::mul(x, y);
        have_c = true;
    }
    const T s = have_c ? L::halving_sum(c) : T(0);
    if (i == n) return s;
    const auto m = L::tail_mask(n - i);
    const V t = L::fma(L::load_tail(m, a + i), L::load_tail(m, b + i), L::zero());
    return s + L::halving_sum(t);
}

// Σ x[i]. First block 0 + x (so −0 enters as +0), combination (A0 + A1) + (A2 + A3); C starts at
// zero without a block; the result is s + t when there is a tail, else s.
template <class L>
typename L::T sum(const typename L::T* x, std::size_t n) {
    using T = typename L::T;
    using V = typename L::V;
    constexpr std::size_t w = L::width;
    const std::size_t full_end = n - n % w;
    std::size_t i = 0;
    V c = L::zero();
    if (n >= 4 * w) {
        V a0 = L::add(L::zero(), L::load(x));
        V a1 = L::add(L::zero(), L::load(x + w));
        V a2 = L::add(L::zero(), L::load(x + 2 * w));
        V a3 = L::add(L::zero(), L::load(x + 3 * w));
        for (i = 4 * w; i + 4 * w <= n; i += 4 * w) {
            a0 = L::add(a0, L::load(x + i));
            a1 = L::add(a1, L::load(x + i + w));
            a2 = L::add(a2, L::load(x + i + 2 * w));
            a3 = L::add(a3, L::load(x + i + 3 * w));
        }
        c = L::add(L::add(a0, a1), L::add(a2, a3));
    }
    for (; i < full_end; i += w) c = L::add(c, L::load(x + i));
    const T s = L::halving_sum(c);
    if (i == n) return s;
    return s + L::halving_sum(L::load_tail(L::tail_mask(n - i), x + i));
}

// Σ abs(x[i]), the scheme of sum with abs applied to every loaded vector.
template <class L>
typename L::T abs_sum(const typename L::T* x, std::size_t n) {
    using T = typename L::T;
    using V = typename L::V;
    constexpr std::size_t w = L::width;
    const std::size_t full_end = n - n % w;
    std::size_t i = 0;
    V c = L::zero();
    if (n >= 4 * w) {
        V a0 = L::abs(L::load(x));
        V a1 = L::abs(L::load(x + w));
        V a2 = L::abs(L::load(x + 2 * w));
        V a3 = L::abs(L::load(x + 3 * w));
        for (i = 4 * w; i + 4 * w <= n; i += 4 * w) {
            a0 = L::add(a0, L::abs(L::load(x + i)));
            a1 = L::add(a1, L::abs(L::load(x + i + w)));
            a2 = L::add(a2, L::abs(L::load(x + i + 2 * w)));
            a3 = L::add(a3, L::abs(L::load(x + i + 3 * w)));
        }
        c = L::add(L::add(a0, a1), L::add(a2, a3));
    }
    for (; i < full_end; i += w) c = L::add(c, L::abs(L::load(x + i)));
    const T s = L::halving_sum(c);
    if (i == n) return s;
    return s + L::halving_sum(L::abs(L::load_tail(L::tail_mask(n - i), x + i)));
}

// Largest bit pattern of abs(x[i]), 0 for no element. The maximum of magnitudes is exact, so
// its value does not depend on the grouping; a NaN anywhere yields a pattern above +infinity.
template <class L>
std::uint64_t abs_max_bits(const typename L::T* x, std::size_t n) {
    using Bits = typename L::Bits;
    constexpr std::size_t w = L::width;
    const std::size_t full_end = n - n % w;
    std::size_t i = 0;
    Bits c = L::zero_bits();
    if (n >= 4 * w) {
        Bits a0 = L::abs_bits(L::load(x));
        Bits a1 = L::abs_bits(L::load(x + w));
        Bits a2 = L::abs_bits(L::load(x + 2 * w));
        Bits a3 = L::abs_bits(L::load(x + 3 * w));
        for (i = 4 * w; i + 4 * w <= n; i += 4 * w) {
            a0 = L::max_bits(a0, L::abs_bits(L::load(x + i)));
            a1 = L::max_bits(a1, L::abs_bits(L::load(x + i + w)));
            a2 = L::max_bits(a2, L::abs_bits(L::load(x + i + 2 * w)));
            a3 = L::max_bits(a3, L::abs_bits(L::load(x + i + 3 * w)));
        }
        c = L::max_bits(L::max_bits(a0, a1), L::max_bits(a2, a3));
    }
    for (; i < full_end; i += w) c = L::max_bits(c, L::abs_bits(L::load(x + i)));
    const std::uint64_t s = L::horizontal_max_bits(c);
    if (i == n) return s;
    const std::uint64_t t = L::horizontal_max_bits(L::abs_bits(L::load_tail(L::tail_mask(n - i), x + i)));
    return s > t ? s : t;
}

// out[i] = step(alpha, x[i], out[i]) lane by lane: four vectors per step, then one, then a masked
// tail (x's absent lanes read as the factor one, which raises no flag).
template <class L, class Step>
void axpy_with(const typename L::T* x, typename L::T* out, std::size_t n, typename L::T alpha, Step step) {
    using V = typename L::V;
    constexpr std::size_t w = L::width;
    const V a = L::splat(alpha);
    std::size_t i = 0;
    for (; i + 4 * w <= n; i += 4 * w) {
        L::store(out + i, step(a, L::load(x + i), L::load(out + i)));
        L::store(out + i + w, step(a, L::load(x + i + w), L::load(out + i + w)));
        L::store(out + i + 2 * w, step(a, L::load(x + i + 2 * w), L::load(out + i + 2 * w)));
        L::store(out + i + 3 * w, step(a, L::load(x + i + 3 * w), L::load(out + i + 3 * w)));
    }
    for (; i + w <= n; i += w) L::store(out + i, step(a, L::load(x + i), L::load(out + i)));
    if (i == n) return;
    const auto m = L::tail_mask(n - i);
    L::store_tail(out + i, m, step(a, L::load_tail_factor(m, x + i), L::load_tail(m, out + i)));
}

// out[i] = fma(alpha, x[i], out[i]): one rounding per element.
template <class L>
void axpy(const typename L::T* x, typename L::T* out, std::size_t n, typename L::T alpha) {
    using V = typename L::V;
    axpy_with<L>(x, out, n, alpha, [](V a, V xv, V ov) { return L::fma(a, xv, ov); });
}

// out[i] = out[i] + alpha·x[i], the product and the sum each rounded (the plain row updates of
// the Householder reductions).
template <class L>
void axpy_unfused(const typename L::T* x, typename L::T* out, std::size_t n, typename L::T alpha) {
    using V = typename L::V;
    axpy_with<L>(x, out, n, alpha, [](V a, V xv, V ov) { return L::add(ov, L::mul(a, xv)); });
}

template <class Op>
float apply_scalar(float x, float y) {
    if constexpr (std::same_as<Op, ew::Add>) return x + y;
    if constexpr (std::same_as<Op, ew::Sub>) return x - y;
    if constexpr (std::same_as<Op, ew::Mul>) return x * y;
    if constexpr (std::same_as<Op, ew::Div>) return x / y;
}

template <class L, class Op>
typename L::V apply(typename L::V x, typename L::V y) {
    if constexpr (std::same_as<Op, ew::Add>) return L::add(x, y);
    if constexpr (std::same_as<Op, ew::Sub>) return L::sub(x, y);
    if constexpr (std::same_as<Op, ew::Mul>) return L::mul(x, y);
    if constexpr (std::same_as<Op, ew::Div>) return L::div(x, y);
}

// out[i] = a[i] op b[i] through the caches: two vectors per step, one more vector, masked tail.
template <class L, class Op>
void elementwise(const float* a, const float* b, float* out, std::size_t n) {
    constexpr std::size_t w = L::width;
    std::size_t i = 0;
    for (; i + 2 * w <= n; i += 2 * w) {
        L::store(out + i, apply<L, Op>(L::load(a + i), L::load(b + i)));
        L::store(out + i + w, apply<L, Op>(L::load(a + i + w), L::load(b + i + w)));
    }
    if (i + w <= n) {
        L::store(out + i, apply<L, Op>(L::load(a + i), L::load(b + i)));
        i += w;
    }
    if (i == n) return;
    const auto m = L::tail_mask(n - i);
    // Absent divisor lanes read as one, so the tail raises no division-by-zero or invalid flag.
    const auto y = std::same_as<Op, ew::Div> ? L::load_tail_factor(m, b + i) : L::load_tail(m, b + i);
    L::store_tail(out + i, m, apply<L, Op>(L::load_tail(m, a + i), y));
}

// The same values around the caches: a scalar prologue up to the stream alignment of out,
// non-temporal stores of full vectors, a store fence, then the rest one element at a time.
// Requires: out is aligned to its element.
template <class L, class Op>
void elementwise_streaming(const float* a, const float* b, float* out, std::size_t n) {
    constexpr std::size_t w = L::width;
    constexpr std::size_t align = L::stream_alignment_bytes;
    const std::size_t misalign = reinterpret_cast<std::uintptr_t>(out) % align;
    const std::size_t prologue = misalign == 0 ? 0 : (align - misalign) / sizeof(float);
    std::size_t i = 0;
    for (; i < prologue && i < n; ++i) out[i] = apply_scalar<Op>(a[i], b[i]);
    for (; i + w <= n; i += w) L::stream(out + i, apply<L, Op>(L::load(a + i), L::load(b + i)));
    // Orders the streamed lines before anything the caller writes or publishes afterwards.
    _mm_sfence();
    for (; i < n; ++i) out[i] = apply_scalar<Op>(a[i], b[i]);
}

}  // namespace
}  // namespace zubrin_simd::dispatch::isa
