#include "kavrel_ops/application/linalg/hessenberg.hpp"

#include <utility>
#include <vector>

#include "kavrel_ops/application/linalg/hessenberg/reduce.hpp"
#include "kavrel_ops/application/linalg/scaling/gate.hpp"
#include "kavrel_ops/application/linalg/working.hpp"

namespace kavrel_ops::application::linalg::hessenberg {

using kavrel::domain::error::expect;

Result<std::uint64_t> validate_square(std::uint64_t rows, std::uint64_t cols) {
    return working::square_order(rows, cols);
}

bool reflects(const ArrayView<double, 2>& a) {
    const std::uint64_t n = a.rows();
    const auto& l = a.layout;
    for (std::uint64_t i = 2; i < n; ++i)
        for (std::uint64_t j = 0; j + 2 <= i; ++j) {
            const std::int64_t at = static_cast<std::int64_t>(l.offset) + static_cast<std::int64_t>(i) * l.strides[0] +
                                    static_cast<std::int64_t>(j) * l.strides[1];
            if (a.ptr[at] != 0.0) return true;
        }
    return false;
}

Result<HessenbergDecomposition> hessenberg(const ArrayView<double, 2>& a) {
    const auto n = validate_square(a.rows(), a.cols());
    if (!n) return std::unexpected(std::move(n.error()));
    std::vector<double> h = working::working_copy(a);
    if (auto finite = reduce::check_finite(h); !finite) return std::unexpected(std::move(finite.error()));
    std::vector<double> q = working::identity(*n);
    reduce::reduce(h, *n, q);
    auto qa = expect(Array<double, 2>::from_vec({*n, *n}, std::move(q)), "Q shape matches storage");
    auto ha = expect(Array<double, 2>::from_vec({*n, *n}, std::move(h)), "H shape matches storage");
    return HessenbergDecomposition{std::move(qa), std::move(ha)};
}

Result<HessenbergDecomposition> hessenberg_gated(const ArrayView<double, 2>& a) {
    namespace gate = scaling::gate;
    if (auto square = validate_square(a.rows(), a.cols()); !square) return std::unexpected(std::move(square.error()));
    if (!reflects(a)) return hessenberg(a);
    return gate::solve_scaled(a, gate::balanced_below_overflow(a), hessenberg,
                              [&](HessenbergDecomposition& d, std::int32_t k) -> Result<void> {
                                  if (auto restored = gate::restore(d.h.storage.data, k, h_entry_out_of_range); !restored)
                                      return restored;
                                  d.h.storage.data[0] = a.ptr[a.layout.offset];
                                  return {};
                              });
}

}  // namespace kavrel_ops::application::linalg::hessenberg
