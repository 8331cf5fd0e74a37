#include "kavrel_ops/application/linalg/bunch_kaufman/decompose.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <numeric>
#include <utility>

#include "kavrel_ops/application/linalg/scaling/gate.hpp"
#include "kavrel_ops/application/linalg/working.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"

namespace kavrel_ops::application::linalg::bunch_kaufman::decompose {

namespace {

using kavrel::domain::error::KavrelError;
using Scalar = kavrel_ops::domain::scalar::contract::Scalar<double>;

constexpr double symmetry_tolerance = 1e-9;  // times max|a|

// x·y ≥ z·(z·alpha) with x, y ≥ 0 and 0 < z all finite, each product rounded as written but with
// an unbounded exponent: the significands are multiplied (no product can leave the normal range)
// and the exponents added apart. Rounding commutes with scaling by 2^e in the normal range, so
// where the plain products are normal this gives their comparison bit for bit.
bool unbounded_growth_ok(double x, double y, double z) {
    if (x == 0.0 || y == 0.0) return false;  // the right side is positive
    int ex = 0, ey = 0, ez = 0, gl = 0, gr = 0;
    const double mx = std::frexp(x, &ex), my = std::frexp(y, &ey), mz = std::frexp(z, &ez);
    const double left = std::frexp(mx * my, &gl);
    const double right = std::frexp(mz * (mz * alpha), &gr);
    const int el = ex + ey + gl, er = 2 * ez + gr;
    return el != er ? el > er : left >= right;
}

// The working matrix, of which only the lower triangle of the trailing block is kept up to
// date, and the factors being built.
struct Elimination {
    std::vector<double> w;
    BunchKaufmanDecomposition f;
    std::vector<double> pivot_rows[2];  // scratch for gather_column
};

// The square test (nothing read yet), the working copy, its one scan for non-finite entries
// (keeping max|a|) and the symmetry test.
Result<working::FiniteSquare> working_copy(const ArrayView<double, 2>& a) {
    auto input = working::finite_square_copy(a, "Bunch-Kaufman input contains a non-finite value");
    if (!input) return input;
    const std::size_t n = input->n;
    const std::vector<double>& w = input->entries;
    const double tol = symmetry_tolerance * input->amax;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            if (std::fabs(w[i * n + j] - w[j * n + i]) > tol)
                return kavrel::domain::error::storage_error("Bunch-Kaufman requires a symmetric matrix");
    return input;
}

// Column c of W from row `first` down, gathered into `out`: the rows of the pivot as the lower
// triangle holds them, for the row updates below.
std::span<const double> gather_column(const double* w, std::size_t n, std::size_t c, std::size_t first,
                                      std::vector<double>& out) {
    out.resize(n - first);
    for (std::size_t j = first; j < n; ++j) out[j - first] = w[j * n + c];
    return out;
}

// L(i, k) = W(i, k) / d below a 1×1 pivot, then W(i, k+1..i) −= L(i, k)·W(k+1..i, k) for every
// row below it: the lower triangle only, whose column k is the pivot row.
void eliminate_1x1(Elimination& e, std::size_t k) {
    const std::size_t n = e.f.n;
    double* w = e.w.data();
    double* l = e.f.l.data();
    const double d = w[k * n + k];
    e.f.d[k * n + k] = d;
    for (std::size_t i = k + 1; i < n; ++i) l[i * n + k] = w[i * n + k] / d;
    const std::span<const double> pivot = gather_column(w, n, k, k + 1, e.pivot_rows[0]);
    for (std::size_t i = k + 1; i < n; ++i)
        Scalar::axpy_slice(pivot.first(i - k), {w + i * n + k + 1, i - k}, 0.0 - l[i * n + k]);
}

// The first largest |W(i, k)| below the diagonal of column k (k + 1 < n): (value, row).
std::pair<double, std::size_t> column_max(const double* w, std::size_t n, std::size_t k) {
    double best = std::fabs(w[(k + 1) * n + k]);
    std::size_t at = k + 1;
    for (std::size_t i = k + 2; i < n; ++i)
        if (std::fabs(w[i * n + k]) > best) {
            best = std::fabs(w[i * n + k]);
            at = i;
        }
    return {best, at};
}

// The largest magnitude of column r from row k down without its diagonal, as the lower triangle
// holds it: W(r, j) for j < r, W(j, r) for j > r.
double row_max(const double* w, std::size_t n, std::size_t k, std::size_t r) {
    double best = 0.0;
    for (std::size_t j = k; j < r; ++j)
        if (std::fabs(w[r * n + j]) > best) best = std::fabs(w[r * n + j]);
    for (std::size_t j = r + 1; j < n; ++j)
        if (std::fabs(w[j * n + r]) > best) best = std::fabs(w[j * n + r]);
    return best;
}

enum class Pivot { one_by_one, swapped_one_by_one, two_by_two };

// The Bunch-Kaufman choice at column k, colmax > 0 at row r.
Pivot choose_pivot(const double* w, std::size_t n, std::size_t k, double colmax, std::size_t r) {
    const double absakk = std::fabs(w[k * n + k]);
    if (absakk >= alpha * colmax) return Pivot::one_by_one;
    const double rowmax = row_max(w, n, k, r);
    if (detail::one_by_one_growth_ok(absakk, rowmax, colmax)) return Pivot::one_by_one;
    // rowmax includes W(r, k) = colmax, so it is positive and a swapped 1×1 pivot is never zero.
    if (std::fabs(w[r * n + r]) >= rowmax * alpha) return Pivot::swapped_one_by_one;
    return Pivot::two_by_two;
}

// The inverse of the 2×2 block [[a, b], [b, c]] as the quotients c/det, −b/det and a/det, each
// kept as a factor and the power of two that goes with it; the power is applied to the pivot
// column entry before the multiplication, so no quotient leaves the float64 range on its own.
struct BlockInverse {
    double p, q, r;                 // the three quotients, or their significand parts
    int shift_p, shift_q, shift_r;  // 0 on the plain path
};

std::unexpected<KavrelError> singular_pivot() {
    return kavrel::domain::error::storage_error("Bunch-Kaufman encountered a singular 2x2 pivot");
}

// det = a·c − b·b and the quotients with an unbounded exponent: each entry split by frexp into a
// significand and an exponent, the two products formed on the significands (their roundings are
// those of the plain products wherever those are normal) and brought to the exponent E of the
// larger, so det = ds·2^E with ds the rounded difference. The exact zero test is made on ds.
// c/det = (mc/ds)·2^(ec − E), and the same for b and a; a zero entry gives a zero quotient.
Result<BlockInverse> invert_block_scaled(double a, double b, double c) {
    int ea = 0, eb = 0, ec = 0;
    const double ma = std::frexp(a, &ea), mb = std::frexp(b, &eb), mc = std::frexp(c, &ec);
    const double ac = ma * mc, bb = mb * mb;
    if (ac == 0.0 && bb == 0.0) return singular_pivot();
    int gac = 0, gbb = 0;
    const double nac = std::frexp(ac, &gac), nbb = std::frexp(bb, &gbb);
    const int eac = ea + ec + gac, ebb = 2 * eb + gbb;
    const int top = ac == 0.0 ? ebb : bb == 0.0 ? eac : std::max(eac, ebb);
    // The smaller product may fall below the normal range here; it is then far below half an
    // ulp of the larger one and changes nothing in the difference.
    const double ds = (ac == 0.0 ? 0.0 : std::scalbn(nac, eac - top)) - (bb == 0.0 ? 0.0 : std::scalbn(nbb, ebb - top));
    if (ds == 0.0) return singular_pivot();
    auto shift = [top](double m, int e) { return m == 0.0 ? 0 : e - top; };
    return BlockInverse{mc / ds, -mb / ds, ma / ds, shift(mc, ec), shift(mb, eb), shift(ma, ea)};
}

// The plain quotients c/det, −b/det, a/det of det = a·c − b·b while det is finite and at least
// the smallest normal number in magnitude and no quotient overflows. Otherwise the products
// overflowed (|b| above about 1.3e154), underflowed (tiny entries: a determinant of exactly 0 from
// nonzero products is no proof of singularity) or the quotients left the range, and the scaled
// form decides. Non-finite entries (from an overflowing update) keep the plain arithmetic.
Result<BlockInverse> invert_block(double a, double b, double c) {
    const double det = a * c - b * b;
    if (!(std::isfinite(a) && std::isfinite(b) && std::isfinite(c))) {
        if (det == 0.0) return singular_pivot();
        return BlockInverse{c / det, -b / det, a / det, 0, 0, 0};
    }
    if (std::isfinite(det) && std::fabs(det) >= DBL_MIN) {
        const BlockInverse plain{c / det, -b / det, a / det, 0, 0, 0};
        if (std::isfinite(plain.p) && std::isfinite(plain.q) && std::isfinite(plain.r)) return plain;
    }
    return invert_block_scaled(a, b, c);
}

}  // namespace

namespace detail {

bool one_by_one_growth_ok(double absakk, double rowmax, double colmax) {
    const double left = absakk * rowmax;
    const double half = colmax * alpha;
    const double right = colmax * half;
    if ((std::isnormal(left) && std::isnormal(half) && std::isnormal(right)) ||
        !(std::isfinite(absakk) && std::isfinite(rowmax) && std::isfinite(colmax)))
        return left >= right;
    return unbounded_growth_ok(absakk, rowmax, colmax);
}

}  // namespace detail

void symmetric_swap(std::span<double> w, std::span<double> l, std::span<std::uint64_t> perm, std::uint64_t p,
                    std::uint64_t q, std::uint64_t lcols, std::uint64_t n) {
    if (p == q) return;
    if (p > q) std::swap(p, q);
    double* m = w.data();
    // The lower triangle of the permuted trailing block, indices lcols and up: row p's and row q's
    // entries left of p, the two diagonals, column p between the two against row q, and column p
    // against column q below q. W(q, p) stays where it is.
    std::swap_ranges(m + p * n + lcols, m + p * n + p, m + q * n + lcols);
    std::swap(m[p * n + p], m[q * n + q]);
    for (std::size_t j = p + 1; j < q; ++j) std::swap(m[j * n + p], m[q * n + j]);
    for (std::size_t j = q + 1; j < n; ++j) std::swap(m[j * n + p], m[j * n + q]);
    std::swap_ranges(l.data() + p * n, l.data() + p * n + lcols, l.data() + q * n);
    std::swap(perm[p], perm[q]);
}

Result<void> eliminate_2x2(std::span<double> w, std::span<double> l, std::span<double> d,
                           std::vector<bool>& block_2x2, std::uint64_t k, std::uint64_t n,
                           std::vector<double> (&pivot_rows)[2]) {
    double* m = w.data();
    const double a = m[k * n + k], b = m[(k + 1) * n + k], c = m[(k + 1) * n + k + 1];
    const auto inverse = invert_block(a, b, c);
    if (!inverse) return std::unexpected(inverse.error());
    const BlockInverse& v = *inverse;
    const bool scaled = v.shift_p != 0 || v.shift_q != 0 || v.shift_r != 0;
    d[k * n + k] = a;
    d[k * n + k + 1] = b;
    d[(k + 1) * n + k] = b;
    d[(k + 1) * n + k + 1] = c;
    block_2x2[k] = true;
    for (std::size_t i = k + 2; i < n; ++i) {
        const double x = m[i * n + k], y = m[i * n + k + 1];
        if (!scaled) {
            l[i * n + k] = v.p * x + v.q * y;
            l[i * n + k + 1] = v.q * x + v.r * y;
        } else {
            l[i * n + k] = v.p * std::scalbn(x, v.shift_p) + v.q * std::scalbn(y, v.shift_q);
            l[i * n + k + 1] = v.q * std::scalbn(x, v.shift_q) + v.r * std::scalbn(y, v.shift_r);
        }
    }
    const std::span<const double> row_k = gather_column(m, n, k, k + 2, pivot_rows[0]);
    const std::span<const double> row_k1 = gather_column(m, n, k + 1, k + 2, pivot_rows[1]);
    for (std::size_t i = k + 2; i < n; ++i) {
        const std::size_t count = i - k - 1;
        const std::span<double> out{m + i * n + k + 2, count};
        Scalar::axpy_slice(row_k.first(count), out, 0.0 - l[i * n + k]);
        Scalar::axpy_slice(row_k1.first(count), out, 0.0 - l[i * n + k + 1]);
    }
    return {};
}

namespace {

// The elimination of e.w, column by column.
Result<void> eliminate(Elimination& e) {
    const std::size_t n = e.f.n;
    for (std::size_t k = 0; k < n;) {
        const double* m = e.w.data();
        if (k + 1 == n) {
            e.f.d[k * n + k] = m[k * n + k];
            ++k;
            continue;
        }
        const auto [colmax, r] = column_max(m, n, k);
        if (colmax == 0.0) {
            // Nothing to eliminate: a zero diagonal entry is accepted here.
            e.f.d[k * n + k] = m[k * n + k];
            ++k;
            continue;
        }
        switch (choose_pivot(m, n, k, colmax, r)) {
            case Pivot::swapped_one_by_one: symmetric_swap(e.w, e.f.l, e.f.perm, k, r, k, n); [[fallthrough]];
            case Pivot::one_by_one: eliminate_1x1(e, k); ++k; break;
            case Pivot::two_by_two:
                symmetric_swap(e.w, e.f.l, e.f.perm, k + 1, r, k, n);
                if (auto done = eliminate_2x2(e.w, e.f.l, e.f.d, e.f.block_2x2, k, n, e.pivot_rows); !done)
                    return done;
                k += 2;
                break;
        }
    }
    return {};
}

}  // namespace

Result<BunchKaufmanDecomposition> bunch_kaufman_decompose(const ArrayView<double, 2>& a) {
    auto copy = working_copy(a);
    if (!copy) return std::unexpected(std::move(copy.error()));
    const std::size_t n = a.rows();
    // An infinite or NaN value formed from finite entries is an overflow of the updates: the
    // next scale is tried, but none that rounds an entry of the lower triangle, the one read (the
    // factors of a rounded matrix are not A's).
    return scaling::gate::factor_in_range<BunchKaufmanDecomposition>(
        copy->amax, n, [&](std::int32_t k) -> scaling::gate::Attempt<BunchKaufmanDecomposition> {
            Elimination e{working::attempt_entries(*copy, a, k),
                          {working::identity(n), std::vector<double>(n * n), std::vector<std::uint64_t>(n),
                           std::vector<bool>(n), n},
                          {}};
            std::iota(e.f.perm.begin(), e.f.perm.end(), std::uint64_t{0});
            const Result<void> done = eliminate(e);
            const bool finite = working::all_finite(e.w) && working::all_finite(e.f.l) &&
                                working::all_finite(e.f.d);
            if (!done) return {std::unexpected(done.error()), finite};
            if (!finite) return {kavrel::domain::error::overflow(factor_out_of_range), false};
            if (auto restored = scaling::gate::restore(e.f.d, k, factor_out_of_range); !restored)
                return {kavrel::domain::error::overflow(factor_out_of_range), true};
            return {std::move(e.f), true};
        },
        [&] { return working::exact_scale_limit(a, working::Entries::lower); });
}

}  // namespace kavrel_ops::application::linalg::bunch_kaufman::decompose
