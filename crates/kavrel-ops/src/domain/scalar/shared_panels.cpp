#include "kavrel_ops/domain/scalar/shared_panels.hpp"

#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/domain/scalar/dispatch.hpp"
#include "zubrin_simd_core/tiling/gemm.hpp"
#include "zubrin_simd_core/tuning.hpp"

namespace kavrel_ops::domain::scalar::shared_panels {

namespace gemm = zubrin_simd_core::tiling::gemm;
namespace tuning = zubrin_simd_core::tuning;
using zubrin_simd_core::error::SimdError;

template <ScalarElement T>
std::optional<SharedPanels<T>> plan_shared_panels(std::span<const T> b, std::uint64_t block_rows, std::uint64_t n,
                                                  std::uint64_t k) {
    if (block_rows < tuning::tiled_min_rows || n < tuning::tiled_min_cols || k < tuning::tiled_min_depth)
        return std::nullopt;
    if (!gemm::reaches_packing_threshold(n, k, sizeof(T))) return std::nullopt;
    const cpu_features::KernelPath path = cpu_features::kernel_path();
    const std::uint64_t width = dispatch::panel_width<T>(path);
    const std::uint64_t count = n / width;
    if (count == 0) return std::nullopt;
    const std::uint64_t elements = kavrel::domain::checked::expect(kavrel::domain::checked::mul(count * width, k),
                                                                   "invariant: shared panels of a B that fits in memory");
    return SharedPanels<T>{b, n, k, path, count, zubrin_simd_core::vec::aligned::AlignedVec<T>::with_capacity(elements)};
}

template <ScalarElement T>
void pack_shared_panels(SharedPanels<T>& panels, std::uint64_t first, std::uint64_t last) {
    const std::span<T> storage(panels.storage.data(), panels.storage.capacity());
    if (dispatch::dispatch_pack_full_panels<T>(panels.path, panels.b, panels.n, panels.k, storage, first, last) !=
        SimdError::success)
        kavrel::domain::error::fail_invariant("invariant: shared panels are packed within their plan");
}

template <ScalarElement T>
void tiled_gemm_shared(std::span<const T> a, const SharedPanels<T>& panels, std::span<T> c, std::uint64_t m) {
    if (m < tuning::tiled_min_rows) {
        contract::Scalar<T>::tiled_gemm(a, panels.b, c, m, panels.n, panels.k);
        return;
    }
    const std::span<const T> storage(panels.storage.data(), panels.storage.capacity());
    if (dispatch::dispatch_tiled_gemm_panels<T>(panels.path, a, panels.b, storage, c, m, panels.n, panels.k) !=
        SimdError::success)
        kavrel::domain::error::fail_invariant("invariant: a block over shared panels fits its operands");
}

template std::optional<SharedPanels<float>> plan_shared_panels<float>(std::span<const float>, std::uint64_t,
                                                                      std::uint64_t, std::uint64_t);
template std::optional<SharedPanels<double>> plan_shared_panels<double>(std::span<const double>, std::uint64_t,
                                                                        std::uint64_t, std::uint64_t);
template void pack_shared_panels<float>(SharedPanels<float>&, std::uint64_t, std::uint64_t);
template void pack_shared_panels<double>(SharedPanels<double>&, std::uint64_t, std::uint64_t);
template void tiled_gemm_shared<float>(std::span<const float>, const SharedPanels<float>&, std::span<float>,
                                       std::uint64_t);
template void tiled_gemm_shared<double>(std::span<const double>, const SharedPanels<double>&, std::span<double>,
                                        std::uint64_t);

}  // namespace kavrel_ops::domain::scalar::shared_panels
