#include "kavrel_ops/application/linalg/svd.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include "kavrel/application/iter/element/element_iter.hpp"
#include "kavrel_ops/application/linalg/scaling/gate.hpp"

namespace kavrel_ops::application::linalg::svd {

namespace err = kavrel::domain::error;

Result<void> validate_input(const ArrayView<double, 2>& a) {
    const std::uint64_t m = a.rows(), n = a.cols();
    if (m == 0 || n == 0)
        return std::unexpected(err::KavrelError(err::ShapeMismatch{{m, n}, {std::max<std::uint64_t>(m, 1), std::max<std::uint64_t>(n, 1)}}));
    bool finite = true;
    if (const auto run = kavrel::application::view::immutable::contiguous_window(a);
        run && kavrel::domain::layout::is_c_contiguous(a.layout)) {
        finite = std::all_of(run->begin(), run->end(), [](double x) { return std::isfinite(x); });
    } else {
        auto it = kavrel::application::iter::element::element_iter::ElementIter<double, 2>::make(a);
        while (const auto x = it.next())
            if (!std::isfinite(*x)) {
                finite = false;
                break;
            }
    }
    if (!finite) return err::storage_error(non_finite_input);
    return {};
}

namespace {

namespace gate = scaling::gate;

Result<void> restore_values(std::vector<double>& values, std::int32_t k) {
    return gate::restore_if_scaled(values, k, singular_value_out_of_range);
}

}  // namespace

Result<bidiagonal_qr::SvdResult> svd_balanced(const ArrayView<double, 2>& a) {
    if (auto valid = validate_input(a); !valid) return std::unexpected(std::move(valid.error()));
    return gate::solve_scaled(a, gate::balanced(a, bidiagonal_qr::svd_bound), bidiagonal_qr::svd_of_balanced,
                              [](bidiagonal_qr::SvdResult& r, std::int32_t k) { return restore_values(r.s, k); });
}

Result<std::vector<double>> singular_values_balanced(const ArrayView<double, 2>& a) {
    if (auto valid = validate_input(a); !valid) return std::unexpected(std::move(valid.error()));
    return gate::solve_scaled(a, gate::balanced(a, bidiagonal_qr::svd_bound), bidiagonal_qr::singular_values_of_balanced,
                              restore_values);
}

}  // namespace kavrel_ops::application::linalg::svd
