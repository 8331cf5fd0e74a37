#include "kavrel_ops/application/linalg/matrix_function/exponential.hpp"

#include <algorithm>
#include <initializer_list>
#include <cmath>
#include <utility>

#include "kavrel_ops/application/linalg/lu/solvers.hpp"
#include "kavrel_ops/application/linalg/matrix_function/dense.hpp"
#include "kavrel_ops/application/linalg/working.hpp"

namespace kavrel_ops::application::linalg::matrix_function::exponential {

namespace {

ArrayView<double, 2> view(const Array<double, 2>& a) { return ArrayView<double, 2>::of(a); }

// c·X for each term in order, summed from the left: ((c0·X0 + c1·X1) + c2·X2) + ...; every
// scaled term and partial sum is freed once the next sum exists.
Array<double, 2> weighted_sum(std::initializer_list<std::pair<double, const Array<double, 2>*>> terms) {
    auto it = terms.begin();
    Array<double, 2> sum = dense::scale(view(*it->second), it->first);
    for (++it; it != terms.end(); ++it) {
        const Array<double, 2> term = dense::scale(view(*it->second), it->first);
        sum = dense::add(view(sum), view(term));
    }
    return sum;
}

// The [6/6] Padé approximant E = (V − U)⁻¹·(V + U) of e^As for ‖As‖ ≤ 0.5, with V the even and
// U the odd part of the numerator.
Result<Array<double, 2>> pade_approximant(const Array<double, 2>& as) {
    const std::uint64_t n = as.layout.shape[0];
    const auto c = detail::pade_coefficients();
    const Array<double, 2> id = detail::identity(n);
    auto a2 = dense::mul(view(as), view(as));
    if (!a2) return std::unexpected(std::move(a2.error()));
    auto a4 = dense::mul(view(*a2), view(*a2));
    if (!a4) return std::unexpected(std::move(a4.error()));
    auto a6 = dense::mul(view(*a2), view(*a4));
    if (!a6) return std::unexpected(std::move(a6.error()));
    const Array<double, 2> v = weighted_sum({{c[0], &id}, {c[2], &*a2}, {c[4], &*a4}, {c[6], &*a6}});
    const Array<double, 2> odd = weighted_sum({{c[1], &id}, {c[3], &*a2}, {c[5], &*a4}});
    auto u = dense::mul(view(as), view(odd));
    if (!u) return std::unexpected(std::move(u.error()));
    const Array<double, 2> p = dense::add(view(v), view(*u));
    const Array<double, 2> q = dense::sub(view(v), view(*u));
    auto r = lu::solvers::inv(view(q));
    if (!r) return std::unexpected(std::move(r.error()));
    return dense::mul(view(*r), view(p));
}

}  // namespace

Result<Array<double, 2>> matrix_exponential(const ArrayView<double, 2>& a) {
    std::vector<double> copy;
    auto entries = detail::finite_entries(a, copy);
    if (!entries) return std::unexpected(std::move(entries.error()));
    const std::uint64_t n = a.rows();
    if (n == 0)
        return kavrel::domain::error::expect(Array<double, 2>::from_vec({0, 0}, {}), "empty shape matches empty vec");
    const auto s = detail::scaling_exponent(detail::infinity_norm(*entries, n));
    if (!s) return std::unexpected(std::move(s.error()));
    // 2^-s is exact down to 2^-1023 (subnormal).
    const Array<double, 2> as = dense::scale(a, std::ldexp(1.0, -*s));
    auto e = pade_approximant(as);
    if (!e) return e;
    for (int i = 0; i < *s; ++i) {
        auto square = dense::mul(view(*e), view(*e));
        if (!square) return square;
        *e = std::move(*square);
    }
    return e;
}

namespace detail {

Result<std::span<const double>> finite_entries(const ArrayView<double, 2>& a, std::vector<double>& copy) {
    if (auto square = working::square_order(a.rows(), a.cols()); !square) return std::unexpected(std::move(square.error()));
    const std::span<const double> m = working::row_major_elements(a, copy);
    if (auto finite = working::check_finite(m, "matrix exponential requires finite entries"); !finite)
        return std::unexpected(std::move(finite.error()));
    return m;
}

double infinity_norm(std::span<const double> m, std::uint64_t n) {
    double norm = 0.0;
    for (std::uint64_t i = 0; i < n; ++i) {
        double row = 0.0;
        for (std::uint64_t j = 0; j < n; ++j) row = row + std::fabs(m[i * n + j]);
        if (row > norm) norm = row;
    }
    return norm;
}

Result<int> scaling_exponent(double norm) {
    double t = norm;
    int s = 0;
    while (t > 0.5) {
        if (s == max_halvings) return kavrel::domain::error::storage_error("matrix exponential scaling exponent overflow");
        t = t * 0.5;
        ++s;
    }
    return s;
}

std::array<double, 7> pade_coefficients() {
    std::array<double, 7> c{};
    c[0] = 1.0;
    for (int k = 1; k <= 6; ++k) {
        const auto kf = static_cast<double>(k);
        c[k] = (c[k - 1] * ((6.0 - kf) + 1.0)) / (kf * ((12.0 - kf) + 1.0));
    }
    return c;
}

Array<double, 2> identity(std::uint64_t n) {
    return kavrel::domain::error::expect(Array<double, 2>::from_vec({n, n}, working::identity(n)),
                                         "identity square storage matches shape");
}

}  // namespace detail

}  // namespace kavrel_ops::application::linalg::matrix_function::exponential
