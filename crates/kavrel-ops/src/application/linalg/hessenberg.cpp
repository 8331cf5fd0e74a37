#include "kavrel_ops/application/linalg/hessenberg.hpp"

#include <utility>
#include <vector>

#include "kavrel_ops/application/linalg/hessenberg/reduce.hpp"
#include "kavrel_ops/application/linalg/working.hpp"

namespace kavrel_ops::application::linalg::hessenberg {

using kavrel::domain::error::expect;

Result<std::uint64_t> validate_square(std::uint64_t rows, std::uint64_t cols) {
    return working::square_order(rows, cols);
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

}  // namespace kavrel_ops::application::linalg::hessenberg
