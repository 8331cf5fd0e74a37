#include "zubrin_simd_core/tiling/gemm.hpp"

namespace zubrin_simd_core::tiling::gemm {

SimdError check_tiled_gemm_dimensions(std::uint64_t a_len, std::uint64_t b_len, std::uint64_t c_len,
                                      std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept {
    std::uint64_t a_needed = 0;
    std::uint64_t b_needed = 0;
    std::uint64_t c_needed = 0;
    if (__builtin_mul_overflow(m, k, &a_needed)) return SimdError::mismatch;
    if (__builtin_mul_overflow(k, n, &b_needed)) return SimdError::mismatch;
    if (__builtin_mul_overflow(m, n, &c_needed)) return SimdError::mismatch;
    const bool fits = a_len >= a_needed && b_len >= b_needed && c_len >= c_needed;
    return fits ? SimdError::success : SimdError::mismatch;
}

bool reaches_packing_threshold(std::uint64_t n, std::uint64_t k, std::size_t element_bytes) noexcept {
    std::uint64_t elements = 0;
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(n, k, &elements)) return true;
    if (__builtin_mul_overflow(elements, std::uint64_t{element_bytes}, &bytes)) return true;
    return bytes >= packing_threshold_bytes;
}

namespace detail {

template <class T>
PackedPanel<T>::PackedPanel(std::uint64_t elements)
    : storage_(vec::aligned::AlignedVec<T>::with_capacity(elements)) {}

template <class T>
PackedPanel<T>::~PackedPanel() = default;

template <class T>
T* PackedPanel<T>::data() noexcept {
    return storage_.data();
}

template class PackedPanel<float>;
template class PackedPanel<double>;

}  // namespace detail

}  // namespace zubrin_simd_core::tiling::gemm
