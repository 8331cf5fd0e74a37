#include "kavrel_ops/application/linalg/schur.hpp"

#include <utility>
#include <vector>

#include "kavrel_ops/application/linalg/hessenberg.hpp"
#include "kavrel_ops/application/linalg/schur/francis.hpp"
#include "kavrel_ops/application/linalg/schur/standard_block.hpp"

namespace kavrel_ops::application::linalg::schur {

namespace {

// (x, y) := (cs·x + sn·y, cs·y − sn·x) for `count` pairs at x[i·stride], y[i·stride].
void rotate_pairs(double* x, double* y, std::uint64_t count, std::uint64_t stride, double cs, double sn) {
    for (std::uint64_t i = 0; i < count; ++i) {
        const double xi = x[i * stride], yi = y[i * stride];
        x[i * stride] = cs * xi + sn * yi;
        y[i * stride] = cs * yi - sn * xi;
    }
}

// The Hessenberg reduction, the Francis iteration and the standardisation of a non-empty square
// matrix inside the gate's window.
Result<RealSchur> schur_of_balanced(const ArrayView<double, 2>& m) {
    auto d = hessenberg::hessenberg(m);
    if (!d) return std::unexpected(std::move(d.error()));
    const std::uint64_t n = m.rows();
    std::vector<double>& q = d->q.storage.data;
    std::vector<double>& t = d->h.storage.data;
    if (auto run = francis::iterate(t, n, q, francis::Scope::whole_matrix); !run)
        return std::unexpected(std::move(run.error()));
    standardize_blocks(t, q, n);
    return RealSchur{std::move(d->q), std::move(d->h)};
}

// T scaled back by 2^k and range-checked, also when nothing was scaled; Q is orthogonal.
Result<void> restore_t(RealSchur& d, std::int32_t k) {
    return scaling::gate::restore(d.t.storage.data, k, schur_entry_out_of_range);
}

}  // namespace

scaling::gate::BoundTerms francis_bound(std::uint64_t rows, std::uint64_t, std::int32_t r) { return {rows, -2 * r}; }

void standardize_blocks(std::span<double> t, std::span<double> q, std::uint64_t n) {
    for (std::uint64_t i = 1; i < n; ++i) {
        if (t[i * n + i - 1] == 0.0) continue;
        const std::uint64_t j = i - 1;
        const auto b = standard_block::standardize_block(t[j * n + j], t[j * n + i], t[i * n + j], t[i * n + i]);
        rotate_pairs(&t[j * n + j + 2], &t[i * n + j + 2], n - j - 2, 1, b.cs, b.sn);
        rotate_pairs(&t[j], &t[i], j, n, b.cs, b.sn);
        rotate_pairs(&q[j], &q[i], n, n, b.cs, b.sn);
        t[j * n + j] = b.a;
        t[j * n + i] = b.b;
        t[i * n + j] = b.c;
        t[i * n + i] = b.d;
        ++i;  // the deflation left the entry below the block exactly zero
    }
}

Result<RealSchur> real_schur(const ArrayView<double, 2>& a) {
    const auto n = hessenberg::validate_square(a.rows(), a.cols());
    if (!n) return std::unexpected(std::move(n.error()));
    if (*n == 0) return RealSchur{Array<double, 2>::from_elem({0, 0}), Array<double, 2>::from_elem({0, 0})};
    return scaling::gate::solve_scaled(a, scaling::gate::balanced(a, francis_bound), schur_of_balanced, restore_t);
}

}  // namespace kavrel_ops::application::linalg::schur
