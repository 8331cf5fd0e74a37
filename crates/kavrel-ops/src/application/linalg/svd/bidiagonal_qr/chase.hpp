// The two directions in which the bidiagonal QR iteration chases its bulge, and the active block
// that the direction-specific convergence tests and sweeps work on. The direction is a marker
// type, so each test and sweep is compiled once per direction.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>

namespace kavrel_ops::application::linalg::svd::bidiagonal_qr::chase {

// The bulge travels from the bottom of the block to the top.
struct Up {};
// The bulge travels from the top of the block to the bottom.
struct Down {};

template <class D>
concept Direction = std::same_as<D, Up> || std::same_as<D, Down>;

// Rows and columns lo … hi of the upper bidiagonal (d, e): d[lo … hi] and e[lo … hi − 1]. The
// spans borrow the iteration's buffers.
struct OrientedBlock {
    std::span<double> d;
    std::span<double> e;
    std::uint64_t lo;
    std::uint64_t hi;

    // Requires: lo < hi ("invariant: an oriented block has at least two rows"), hi < len(d) and
    // hi ≤ len(e), so the tests and sweeps index inside the spans.
    [[nodiscard]] static OrientedBlock of(std::span<double> d, std::span<double> e, std::uint64_t lo,
                                          std::uint64_t hi);
};

}  // namespace kavrel_ops::application::linalg::svd::bidiagonal_qr::chase
