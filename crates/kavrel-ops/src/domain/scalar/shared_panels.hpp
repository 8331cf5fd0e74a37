// One packed copy of B for the tiled products over it: the row blocks of one matrix product and
// the items of a batch that share B. tiled_gemm packs the full panels of B for every call from
// zubrin's packing threshold on; here they are packed once, in the layout of the CPU path that
// tiled_gemm takes, and then read by every block on every thread. Each block's C gets
// tiled_gemm's bits.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "kavrel_ops/domain/scalar/contract.hpp"
#include "kavrel_ops/domain/scalar/cpu_features.hpp"
#include "zubrin_simd_core/vec/aligned.hpp"

namespace kavrel_ops::domain::scalar::shared_panels {

using contract::ScalarElement;

// B's full panels for one CPU path. Written by the packing (before any product reads it), then
// only read, by any number of threads at once.
template <ScalarElement T>
struct SharedPanels {
    std::span<const T> b;  // B, k × n row-major; borrowed, it must outlive the record
    std::uint64_t n;
    std::uint64_t k;
    cpu_features::KernelPath path;  // the geometry of the panels, and the kernels that read them
    std::uint64_t count;            // full panels: n div the path's panel width
    zubrin_simd_core::vec::aligned::AlignedVec<T> storage;  // count panels of width·k elements
};

// The panels tiled_gemm would pack for each block of `block_rows` rows of a product with this B,
// not yet packed; nothing when it would pack none: a block below the tiled path's bounds
// (zubrin_simd_core::tuning::tiled_min_rows, _cols, _depth), n below one panel, or B below the
// packing threshold.
// Requires: b holds at least k·n elements.
template <ScalarElement T>
[[nodiscard]] std::optional<SharedPanels<T>> plan_shared_panels(std::span<const T> b, std::uint64_t block_rows,
                                                                std::uint64_t n, std::uint64_t k);

// Packs panels first … last − 1. Requires: first ≤ last ≤ panels.count; no product is reading them.
template <ScalarElement T>
void pack_shared_panels(SharedPanels<T>& panels, std::uint64_t first, std::uint64_t last);

// C += A·B for a block of m rows (A m×k, C m×n, dense row-major) over packed panels: the bits of
// Scalar<T>::tiled_gemm on the block. A block below the tiled row bound takes the one-vector path,
// as tiled_gemm does, and does not read the panels. Requires: every panel packed; a and c hold
// m·k and m·n elements.
template <ScalarElement T>
void tiled_gemm_shared(std::span<const T> a, const SharedPanels<T>& panels, std::span<T> c, std::uint64_t m);

}  // namespace kavrel_ops::domain::scalar::shared_panels
