#include "kavrel_ops/application/linalg/svd/bidiagonal_qr/chase.hpp"

#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::linalg::svd::bidiagonal_qr::chase {

OrientedBlock OrientedBlock::of(std::span<double> d, std::span<double> e, std::uint64_t lo, std::uint64_t hi) {
    if (lo >= hi) kavrel::domain::error::fail_invariant("invariant: an oriented block has at least two rows");
    if (hi >= d.size() || hi > e.size())
        kavrel::domain::error::fail_invariant("invariant: an oriented block lies inside its bidiagonal");
    return {d, e, lo, hi};
}

}  // namespace kavrel_ops::application::linalg::svd::bidiagonal_qr::chase
