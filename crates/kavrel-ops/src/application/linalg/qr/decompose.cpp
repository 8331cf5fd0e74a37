#include "kavrel_ops/application/linalg/qr/decompose.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>
#include <string>
#include <utility>

#include "kavrel_ops/application/linalg/reflector_block.hpp"
#include "kavrel_ops/application/linalg/scaling/exponent.hpp"
#include "kavrel_ops/application/linalg/scaling/gate.hpp"
#include "kavrel_ops/application/linalg/working.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"
#include "kavrel_ops/domain/scalar/slice_kernels.hpp"
#include "kavrel_ops/domain/tuning.hpp"

namespace kavrel_ops::application::linalg::qr::decompose {

namespace {

namespace ex = scaling::exponent;
namespace tuning = kavrel_ops::domain::tuning;
using kavrel::domain::error::KavrelError;
using Scalar = kavrel_ops::domain::scalar::contract::Scalar<double>;
using Kernels = kavrel_ops::domain::scalar::slice_kernels::SliceKernels<double>;

// `count` doubles on the stack when they fit in N, else in a heap buffer whose capacity is kept.
template <std::size_t N>
class Scratch {
public:
    std::span<double> take(std::size_t count) {
        if (count <= N) return std::span<double>(stack_).first(count);
        heap_.resize(count);
        return heap_;
    }

private:
    std::array<double, N> stack_;
    std::vector<double> heap_;
};

// The buffers of the block update, cleared and refilled for every panel.
struct BlockBuffers {
    std::vector<double> v, taus, trailing;
    Scratch<tuning::qr_panel_columns * tuning::qr_panel_columns> t, t_transposed;  // pb × pb
    Scratch<2048> v_transposed, y, z;
};

std::span<double> zeros(std::span<double> s) {
    std::fill(s.begin(), s.end(), 0.0);
    return s;
}

// Rows j … m−1 of a row-major matrix (row stride `stride`), columns c0 … c0+len−1, times the
// reflector I − s·v·vᵀ, v = (v0, v(j+1), …, v(m−1)): w = v0·row j + Σ_{i>j} v(i)·row i taken row
// by row, so each w[c] still adds its terms in increasing i; w scaled by s; then row i −= v(i)·w.
// The row loops are the plain updates x + alpha·y, and x − vi·w[c] is x + (−vi)·w[c] exactly.
// `w` holds len entries.
template <class V>
void reflect_rows(const Kernels& kernels, double* rows, std::uint64_t stride, std::uint64_t j, std::uint64_t m,
                  std::uint64_t c0, std::uint64_t len, double v0, const V& v, double s, double* w) {
    const auto row = [&](std::uint64_t i) { return rows + i * stride + c0; };
    for (std::uint64_t c = 0; c < len; ++c) w[c] = v0 * row(j)[c];
    for (std::uint64_t i = j + 1; i < m; ++i) kernels.axpy_unfused(row(i), w, len, v(i));
    for (std::uint64_t c = 0; c < len; ++c) w[c] = s * w[c];
    kernels.axpy_unfused(w, row(j), len, -v0);
    for (std::uint64_t i = j + 1; i < m; ++i) kernels.axpy_unfused(w, row(i), len, -v(i));
}

// Reduces column j with one reflector and applies it to the panel's columns j+1 … k1−1. The
// column is first scaled by 2^-e, 2^e the leading power of two of its largest remaining entry,
// so that the sums of squares below stay finite and non-zero; its scaled entries below the
// diagonal and the scaled head are the reflector, whose tau does not depend on the scale.
Result<void> reduce_column(const Kernels& kernels, std::span<double> a, std::uint64_t m, std::uint64_t n,
                           std::uint64_t j, std::uint64_t k1, std::span<double> head, std::span<double> tau,
                           std::span<double> w) {
    const auto at = [&](std::uint64_t i, std::uint64_t c) -> double& { return a[i * n + c]; };
    double amax = 0.0;
    for (std::uint64_t i = j; i < m; ++i) amax = std::max(amax, std::fabs(at(i, j)));
    if (amax == 0.0)
        return kavrel::domain::error::storage_error("QR pivot column " + std::to_string(j) +
                                                    " has zero norm: matrix is rank-deficient");
    const int e = ex::ilogb(amax);
    for (std::uint64_t i = j; i < m; ++i) at(i, j) = ex::scalbn(at(i, j), -e);

    double s2 = 0.0;
    for (std::uint64_t i = j; i < m; ++i) s2 = s2 + at(i, j) * at(i, j);
    const double s = std::sqrt(s2);
    const double x0 = at(j, j);
    const double beta = x0 > 0.0 ? -s : s;
    const double v0 = x0 - beta;
    double vtv = v0 * v0;
    for (std::uint64_t i = j + 1; i < m; ++i) vtv = vtv + at(i, j) * at(i, j);

    // The panel's columns j+1 … k1−1; the reflector's entries below the head are column j's.
    const double t = 2.0 / vtv;
    reflect_rows(kernels, a.data(), n, j, m, j + 1, k1 - (j + 1), v0, [&](std::uint64_t i) { return at(i, j); }, t,
                 w.data() + j + 1);
    at(j, j) = ex::scalbn(beta, e);
    head[j] = v0;
    tau[j] = t;
    return {};
}

// A₂ := H_{k1−1}·…·H_{k0}·A₂ = (I − V·Tᵀ·Vᵀ)·A₂ for the trailing block A₂ = a[k0 … m−1][k1 … n−1].
void update_trailing(std::span<double> a, std::uint64_t m, std::uint64_t n, std::uint64_t k0, std::uint64_t k1,
                     std::span<const double> head, std::span<const double> tau, BlockBuffers& buffers) {
    const std::uint64_t rows = m - k0, pb = k1 - k0, nt = n - k1;
    std::vector<double>& v = buffers.v;
    v.assign(rows * pb, 0.0);
    for (std::uint64_t r = 0; r < pb; ++r) {
        v[r * pb + r] = head[k0 + r];
        for (std::uint64_t i = k0 + r + 1; i < m; ++i) v[(i - k0) * pb + r] = a[i * n + k0 + r];
    }
    buffers.taus.assign(tau.begin() + static_cast<std::ptrdiff_t>(k0), tau.begin() + static_cast<std::ptrdiff_t>(k1));
    std::vector<double>& a2 = buffers.trailing;
    a2.resize(rows * nt);
    for (std::uint64_t i = 0; i < rows; ++i)
        std::copy_n(a.begin() + static_cast<std::ptrdiff_t>((k0 + i) * n + k1), nt,
                    a2.begin() + static_cast<std::ptrdiff_t>(i * nt));

    const std::span<double> t = buffers.t.take(pb * pb);
    reflector_block::accumulate(v, rows, pb, buffers.taus, t);

    const std::span<double> vt = buffers.v_transposed.take(pb * rows);
    for (std::uint64_t i = 0; i < rows; ++i)
        for (std::uint64_t r = 0; r < pb; ++r) vt[r * rows + i] = v[i * pb + r];
    const std::span<double> y = zeros(buffers.y.take(pb * nt));
    Scalar::tiled_gemm(vt, a2, y, pb, nt, rows);  // Y = Vᵀ·A₂

    const std::span<double> tt = buffers.t_transposed.take(pb * pb);
    for (std::uint64_t r = 0; r < pb; ++r)
        for (std::uint64_t c = 0; c < pb; ++c) tt[c * pb + r] = t[r * pb + c];
    const std::span<double> z = zeros(buffers.z.take(pb * nt));
    Scalar::tiled_gemm(tt, y, z, pb, nt, pb);  // Z = Tᵀ·Y
    for (double& x : z) x = 0.0 - x;

    Scalar::tiled_gemm(v, z, a2, rows, nt, pb);  // A₂ += V·(−Z)
    for (std::uint64_t i = 0; i < rows; ++i)
        std::copy_n(a2.begin() + static_cast<std::ptrdiff_t>(i * nt), nt,
                    a.begin() + static_cast<std::ptrdiff_t>((k0 + i) * n + k1));
}

}  // namespace

namespace {

// The column reductions and block updates on the balanced working copy, which becomes the factored
// matrix.
Result<QrFactors> triangularize(std::vector<double> a, std::uint64_t m, std::uint64_t n) {
    if (auto finite = working::check_finite(a, "QR input contains a non-finite value"); !finite)
        return std::unexpected(std::move(finite.error()));

    std::vector<double> head(static_cast<std::size_t>(n)), tau(static_cast<std::size_t>(n));
    Scratch<128> w_buffer;
    const std::span<double> w = w_buffer.take(static_cast<std::size_t>(n));
    BlockBuffers buffers;
    const Kernels& kernels = kavrel_ops::domain::scalar::slice_kernels::current<double>();
    const std::uint64_t nb =
        n < tuning::qr_blocked_from_columns ? std::max<std::uint64_t>(n, 1) : tuning::qr_panel_columns;
    for (std::uint64_t k0 = 0; k0 < n; k0 += nb) {
        const std::uint64_t k1 = std::min(k0 + nb, n);
        for (std::uint64_t j = k0; j < k1; ++j)
            if (auto reduced = reduce_column(kernels, a, m, n, j, k1, head, tau, w); !reduced)
                return std::unexpected(std::move(reduced.error()));
        if (n > k0 + nb) update_trailing(a, m, n, k0, k1, head, tau, buffers);
    }
    return QrFactors{std::move(a), std::move(head), std::move(tau), m, n};
}

// R, on and above the diagonal of rows 0 … n−1, scaled back row by row; the reflectors below it
// do not depend on the scale.
Result<void> restore_r(QrFactors& f, std::int32_t k) {
    const std::uint64_t n = f.cols;
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::span<double> row(f.a.data() + i * n + i, n - i);
        if (auto restored = scaling::gate::restore_if_scaled(row, k, scaling::gate::r_entry_out_of_range); !restored)
            return restored;
    }
    return {};
}

}  // namespace

Result<QrFactors> factor(const ArrayView<double, 2>& view) {
    const std::uint64_t m = view.rows(), n = view.cols();
    if (auto tall = working::require_tall(m, n); !tall) return std::unexpected(std::move(tall.error()));
    std::vector<double> a = working::working_copy(view);
    const auto k = scaling::gate::balance_below_overflow(a, m, n);
    return scaling::gate::solve_scaled(k, [&] { return triangularize(std::move(a), m, n); }, restore_r);
}

std::vector<double> form_q(const QrFactors& f) {
    const std::uint64_t m = f.rows, n = f.cols;
    const Kernels& kernels = kavrel_ops::domain::scalar::slice_kernels::current<double>();
    std::vector<double> q = working::identity(m);
    std::vector<double> t(static_cast<std::size_t>(m));
    for (std::uint64_t j = std::min(m, n); j-- > 0;) {
        const double tau = f.tau[j];
        if (tau == 0.0) continue;
        const double v0 = f.head[j];
        // Columns left of j are still those of the identity in rows j … m−1 (zeros), which no
        // reflector from j on can change: only columns j … m−1 are visited.
        reflect_rows(kernels, q.data(), m, j, m, j, m - j, v0, [&](std::uint64_t i) { return f.a[i * n + j]; }, tau,
                     t.data() + j);
    }
    return q;
}

std::vector<double> extract_r(const QrFactors& f) {
    const std::uint64_t m = f.rows, n = f.cols;
    std::vector<double> r(static_cast<std::size_t>(m * n), 0.0);
    for (std::uint64_t i = 0; i < std::min(m, n); ++i)
        std::copy(f.a.begin() + static_cast<std::ptrdiff_t>(i * n + i), f.a.begin() + static_cast<std::ptrdiff_t>((i + 1) * n),
                  r.begin() + static_cast<std::ptrdiff_t>(i * n + i));
    return r;
}

}  // namespace kavrel_ops::application::linalg::qr::decompose
