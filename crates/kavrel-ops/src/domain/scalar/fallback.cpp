#include "kavrel_ops/domain/scalar/fallback.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "zubrin_simd/dispatch/abs_reduce.hpp"
#include "zubrin_simd/dispatch/axpy.hpp"
#include "zubrin_simd/dispatch/binary.hpp"
#include "zubrin_simd/dispatch/gemm.hpp"
#include "zubrin_simd/dispatch/isa/row_axpy.hpp"
#include "zubrin_simd/dispatch/isa/streaming.hpp"
#include "zubrin_simd_core/tiling/gemm.hpp"

namespace kavrel_ops::domain::scalar::fallback {

namespace {

namespace ew = zubrin_simd_core::ops::elementwise;
namespace isa = zubrin_simd::dispatch::isa;
namespace k_abs = zubrin_simd::dispatch::abs_reduce::detail;
namespace k_axpy = zubrin_simd::dispatch::axpy::detail;
namespace k_binary = zubrin_simd::dispatch::binary::detail;
namespace k_dot = zubrin_simd::dispatch::dot::detail;
namespace k_gemm = zubrin_simd::dispatch::gemm::detail;
namespace tiling = zubrin_simd_core::tiling::gemm;

// The lane record of the portable path for zubrin's shared loops (isa/streaming.hpp,
// isa/row_axpy.hpp) and loop nest (zubrin_simd_core/tiling/gemm.hpp): a "vector" of W elements
// whose lanes are computed one at a time, every fused step one call of the C library's fma/fmaf,
// rounded once. A mask is the number of present lanes; absent lanes are never read or stored.
// Internal linkage, so this unit's instantiations of the shared loops are its own.
template <class Element, std::size_t W>
struct PortableLanes {
    using T = Element;
    using U = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;  // T's bit pattern
    struct V {
        T lane[W];
    };
    struct Bits {
        U lane[W];
    };
    using Mask = std::size_t;
    static constexpr std::size_t width = W;

    static Mask tail_mask(std::size_t present) { return present; }
    static V splat(T x) {
        V v;
        for (std::size_t l = 0; l < W; ++l) v.lane[l] = x;
        return v;
    }
    static V zero() { return splat(T(0)); }
    static V load(const T* p) {
        V v;
        for (std::size_t l = 0; l < W; ++l) v.lane[l] = p[l];
        return v;
    }
    // Absent lanes hold zero, an addend that changes nothing.
    static V load_tail(Mask present, const T* p) {
        V v = splat(T(0));
        for (std::size_t l = 0; l < present; ++l) v.lane[l] = p[l];
        return v;
    }
    // Absent lanes hold one, a factor or divisor that raises no flag.
    static V load_tail_factor(Mask present, const T* p) {
        V v = splat(T(1));
        for (std::size_t l = 0; l < present; ++l) v.lane[l] = p[l];
        return v;
    }
    static void store(T* p, V v) {
        for (std::size_t l = 0; l < W; ++l) p[l] = v.lane[l];
    }
    static void store_tail(T* p, Mask present, V v) {
        for (std::size_t l = 0; l < present; ++l) p[l] = v.lane[l];
    }
    static V add(V a, V b) {
        for (std::size_t l = 0; l < W; ++l) a.lane[l] = a.lane[l] + b.lane[l];
        return a;
    }
    static V sub(V a, V b) {
        for (std::size_t l = 0; l < W; ++l) a.lane[l] = a.lane[l] - b.lane[l];
        return a;
    }
    static V mul(V a, V b) {
        for (std::size_t l = 0; l < W; ++l) a.lane[l] = a.lane[l] * b.lane[l];
        return a;
    }
    static V div(V a, V b) {
        for (std::size_t l = 0; l < W; ++l) a.lane[l] = a.lane[l] / b.lane[l];
        return a;
    }
    static V fma(V a, V b, V c) {
        for (std::size_t l = 0; l < W; ++l) c.lane[l] = std::fma(a.lane[l], b.lane[l], c.lane[l]);
        return c;
    }
    static V abs(V v) {
        for (std::size_t l = 0; l < W; ++l) v.lane[l] = std::fabs(v.lane[l]);
        return v;
    }
    // The lane sum the shared loops call halving_sum runs in sequence on the portable path,
    // ((v0 + v1) + v2) + v3, not by halving: the portable orders of fallback.hpp.
    static T halving_sum(V v) {
        T s = v.lane[0];
        for (std::size_t l = 1; l < W; ++l) s = s + v.lane[l];
        return s;
    }
    // Magnitudes as bit patterns, whose unsigned order is numeric order with every NaN above +∞.
    static Bits abs_bits(V v) {
        Bits b;
        for (std::size_t l = 0; l < W; ++l) b.lane[l] = std::bit_cast<U>(std::fabs(v.lane[l]));
        return b;
    }
    static Bits zero_bits() { return Bits{}; }
    static Bits max_bits(Bits a, Bits b) {
        for (std::size_t l = 0; l < W; ++l) a.lane[l] = a.lane[l] > b.lane[l] ? a.lane[l] : b.lane[l];
        return a;
    }
    static std::uint64_t horizontal_max_bits(Bits b) {
        U best = b.lane[0];
        for (std::size_t l = 1; l < W; ++l) best = b.lane[l] > best ? b.lane[l] : best;
        return best;
    }
};

// One 128-bit vector, the width every portable order was stated for: 2 doubles or 4 floats.
template <class T>
using Lanes = PortableLanes<T, sizeof(T) == 8 ? 2 : 4>;

// The tile record of the portable matrix product: the portable lanes plus the register tile's
// shape. Rows × Vectors·Lanes is the register tile of the portable path.
template <class Element, std::size_t Lanes, std::size_t Rows, std::size_t Vectors>
struct PortableTile : PortableLanes<Element, Lanes> {
    static constexpr std::size_t rows = Rows;
    static constexpr std::size_t vectors = Vectors;
    static constexpr std::size_t lanes = Lanes;
    static typename PortableTile::V load_register(const Element* p) { return PortableTile::load(p); }
    static void prefetch(const Element*) {}
};

// tuning::portable_tile over the portable lanes.
template <class T>
using PortableGemmTile = PortableTile<T, Lanes<T>::width, tuning::portable_tile<T>.rows,
                                      tuning::portable_tile<T>.columns / Lanes<T>::width>;

// The portable inner loops: zubrin's shared loops over the portable lanes, handed to the same
// checks as the kernels' (zubrin's checked_<op>).
template <class T>
T dot_loop(const T* a, const T* b, std::size_t n) noexcept {
    return isa::dot<Lanes<T>>(a, b, n);
}
template <class T>
void axpy_loop(const T* x, T* out, std::size_t n, T alpha) noexcept {
    isa::axpy<Lanes<T>>(x, out, n, alpha);
}
template <class Op>
void elementwise_loop(Op, const float* a, const float* b, float* out, std::size_t n) noexcept {
    isa::elementwise<Lanes<float>, Op>(a, b, out, n);
}
template <class T>
void axpy_rows_loop(const T* coeffs, const T* x, T* out, std::size_t out_stride, std::size_t rows,
                    std::size_t cols) noexcept {
    isa::axpy_rows<Lanes<T>>(coeffs, x, out, out_stride, rows, cols);
}
template <class T>
void axpy_rows_batch_loop(const T* coeffs, const T* x, T* out, std::size_t out_stride, std::size_t rows,
                          std::size_t k, std::size_t cols) noexcept {
    isa::axpy_rows_batch<Lanes<T>>(coeffs, x, out, out_stride, rows, k, cols);
}
std::uint64_t abs_max_bits_loop(const double* x, std::size_t n) noexcept {
    return isa::abs_max_bits<Lanes<double>>(x, n);
}
template <class T>
void gemm_nest(const T* a, const T* b, T* c, std::size_t m, std::size_t n, std::size_t k) noexcept {
    tiling::tiled_gemm_nest<PortableGemmTile<T>>(a, b, c, m, n, k);
}
template <class T>
void pack_loop(const T* b, std::size_t n, std::size_t k, T* panels, std::size_t first, std::size_t last) noexcept {
    tiling::pack_full_panels<PortableGemmTile<T>>(b, n, k, panels, first, last);
}
template <class T>
void panels_nest(const T* a, const T* b, const T* panels, T* c, std::size_t m, std::size_t n,
                 std::size_t k) noexcept {
    tiling::tiled_gemm_over_panels<PortableGemmTile<T>>(a, b, panels, c, m, n, k);
}

static_assert(PortableGemmTile<float>::vectors * PortableGemmTile<float>::lanes == portable_panel_width<float>);
static_assert(PortableGemmTile<double>::vectors * PortableGemmTile<double>::lanes == portable_panel_width<double>);

}  // namespace

template <class T>
SimdError axpy_portable(std::span<const T> x, std::span<T> out, T alpha) noexcept {
    return k_axpy::checked_axpy(x, out, alpha, axpy_loop<T>);
}

template <class T>
DotResult<T> dot_portable(std::span<const T> a, std::span<const T> b) noexcept {
    return k_dot::checked_dot(a, b, dot_loop<T>);
}

// No streaming stores on the portable path: its one loop serves every length.
template <ElementwiseOp Op>
SimdError elementwise_portable(std::span<const float> a, std::span<const float> b, std::span<float> out) noexcept {
    return k_binary::checked_binary<Op>(a, b, out, elementwise_loop<Op>, elementwise_loop<Op>);
}

template <class T>
SimdError axpy_rows_portable(std::span<const T> coeffs, std::span<const T> x, std::span<T> out,
                             std::uint64_t out_stride, std::uint64_t rows, std::uint64_t cols) noexcept {
    return k_axpy::checked_axpy_rows(coeffs, x, out, out_stride, rows, cols, axpy_rows_loop<T>);
}

template <class T>
SimdError axpy_rows_batch_portable(std::span<const T> coeffs, std::span<const T> x, std::span<T> out,
                                   std::uint64_t out_stride, std::uint64_t rows, std::uint64_t k,
                                   std::uint64_t cols) noexcept {
    return k_axpy::checked_axpy_rows_batch(coeffs, x, out, out_stride, rows, k, cols, axpy_rows_batch_loop<T>);
}

float sum_portable(std::span<const float> x) noexcept { return isa::sum<Lanes<float>>(x.data(), x.size()); }

double abs_sum_portable(std::span<const double> x) noexcept {
    return isa::abs_sum<Lanes<double>>(x.data(), x.size());
}

double abs_max_portable(std::span<const double> x) noexcept { return k_abs::abs_max_from_bits(x, abs_max_bits_loop); }

template <class T>
SimdError tiled_gemm_portable(std::span<const T> a, std::span<const T> b, std::span<T> c, std::uint64_t m,
                              std::uint64_t n, std::uint64_t k) noexcept {
    return k_gemm::checked_tiled_gemm(a, b, c, m, n, k, gemm_nest<T>);
}

template <class T>
SimdError pack_full_panels_portable(std::span<const T> b, std::uint64_t n, std::uint64_t k, std::span<T> panels,
                                    std::uint64_t first, std::uint64_t last) noexcept {
    return k_gemm::checked_pack_full_panels(b, n, k, panels, first, last, portable_panel_width<T>, pack_loop<T>);
}

template <class T>
SimdError tiled_gemm_panels_portable(std::span<const T> a, std::span<const T> b, std::span<const T> panels,
                                     std::span<T> c, std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept {
    return k_gemm::checked_tiled_gemm_panels(a, b, panels, c, m, n, k, portable_panel_width<T>, panels_nest<T>);
}

template <class T>
void axpy_unfused(std::span<const T> x, std::span<T> out, T alpha) noexcept {
    isa::axpy_unfused<Lanes<T>>(x.data(), out.data(), x.size(), alpha);
}

template <class T>
T dot_unfused(std::span<const T> a, std::span<const T> b) noexcept {
    T s = T(0);
    for (std::size_t i = 0; i < a.size(); ++i) s = s + a[i] * b[i];
    return s;
}

template SimdError axpy_portable<float>(std::span<const float>, std::span<float>, float) noexcept;
template SimdError axpy_portable<double>(std::span<const double>, std::span<double>, double) noexcept;
template DotResult<float> dot_portable<float>(std::span<const float>, std::span<const float>) noexcept;
template DotResult<double> dot_portable<double>(std::span<const double>, std::span<const double>) noexcept;
template SimdError elementwise_portable<ew::Add>(std::span<const float>, std::span<const float>,
                                                 std::span<float>) noexcept;
template SimdError elementwise_portable<ew::Sub>(std::span<const float>, std::span<const float>,
                                                 std::span<float>) noexcept;
template SimdError elementwise_portable<ew::Mul>(std::span<const float>, std::span<const float>,
                                                 std::span<float>) noexcept;
template SimdError elementwise_portable<ew::Div>(std::span<const float>, std::span<const float>,
                                                 std::span<float>) noexcept;
template SimdError axpy_rows_portable<float>(std::span<const float>, std::span<const float>, std::span<float>,
                                             std::uint64_t, std::uint64_t, std::uint64_t) noexcept;
template SimdError axpy_rows_portable<double>(std::span<const double>, std::span<const double>, std::span<double>,
                                              std::uint64_t, std::uint64_t, std::uint64_t) noexcept;
template SimdError axpy_rows_batch_portable<float>(std::span<const float>, std::span<const float>, std::span<float>,
                                                   std::uint64_t, std::uint64_t, std::uint64_t,
                                                   std::uint64_t) noexcept;
template SimdError axpy_rows_batch_portable<double>(std::span<const double>, std::span<const double>,
                                                    std::span<double>, std::uint64_t, std::uint64_t, std::uint64_t,
                                                    std::uint64_t) noexcept;
template SimdError tiled_gemm_portable<float>(std::span<const float>, std::span<const float>, std::span<float>,
                                              std::uint64_t, std::uint64_t, std::uint64_t) noexcept;
template SimdError tiled_gemm_portable<double>(std::span<const double>, std::span<const double>, std::span<double>,
                                               std::uint64_t, std::uint64_t, std::uint64_t) noexcept;
template SimdError pack_full_panels_portable<float>(std::span<const float>, std::uint64_t, std::uint64_t,
                                                    std::span<float>, std::uint64_t, std::uint64_t) noexcept;
template SimdError pack_full_panels_portable<double>(std::span<const double>, std::uint64_t, std::uint64_t,
                                                     std::span<double>, std::uint64_t, std::uint64_t) noexcept;
template SimdError tiled_gemm_panels_portable<float>(std::span<const float>, std::span<const float>,
                                                     std::span<const float>, std::span<float>, std::uint64_t,
                                                     std::uint64_t, std::uint64_t) noexcept;
template SimdError tiled_gemm_panels_portable<double>(std::span<const double>, std::span<const double>,
                                                      std::span<const double>, std::span<double>, std::uint64_t,
                                                      std::uint64_t, std::uint64_t) noexcept;
template void axpy_unfused<float>(std::span<const float>, std::span<float>, float) noexcept;
template void axpy_unfused<double>(std::span<const double>, std::span<double>, double) noexcept;
template float dot_unfused<float>(std::span<const float>, std::span<const float>) noexcept;
template double dot_unfused<double>(std::span<const double>, std::span<const double>) noexcept;

}  // namespace kavrel_ops::domain::scalar::fallback
