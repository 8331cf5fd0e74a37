#include "zubrin_simd_core/tiling/gemm.hpp"

#include "kavrel/domain/checked/arithmetic.hpp"

namespace zubrin_simd_core::tiling::gemm {

namespace checked = kavrel::domain::checked;

SimdError check_tiled_gemm_dimensions(std::uint64_t a_len, std::uint64_t b_len, std::uint64_t c_len,
                                      std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept {
    const auto a_needed = checked::mul(m, k);
    if (!a_needed) return SimdError::mismatch;
    const auto b_needed = checked::mul(k, n);
    if (!b_needed) return SimdError::mismatch;
    const auto c_needed = checked::mul(m, n);
    if (!c_needed) return SimdError::mismatch;
    const bool fits = a_len >= *a_needed && b_len >= *b_needed && c_len >= *c_needed;
    return fits ? SimdError::success : SimdError::mismatch;
}

bool reaches_packing_threshold(std::uint64_t n, std::uint64_t k, std::size_t element_bytes) noexcept {
    return checked::saturating_mul(checked::saturating_mul(n, k), element_bytes) >= tuning::packing_threshold_bytes;
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
