#include "kavrel_ops/application/linalg/bidiagonal.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>
#include <utility>

#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel_ops/application/linalg/bidiagonal/colmajor.hpp"
#include "kavrel_ops/application/linalg/householder.hpp"
#include "kavrel_ops/application/linalg/scaling/gate.hpp"
#include "kavrel_ops/application/linalg/working.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"
#include "kavrel_ops/domain/scalar/dispatch.hpp"
#include "kavrel_ops/domain/tuning.hpp"

namespace kavrel_ops::application::linalg::bidiagonal {

namespace err = kavrel::domain::error;

namespace checked = kavrel::domain::checked;
using err::fail_invariant;
using Scalar = kavrel_ops::domain::scalar::contract::Scalar<double>;
using zubrin_simd_core::error::SimdError;

namespace {

namespace tuning = kavrel_ops::domain::tuning;

// Segments of at most this many entries are gathered without a heap allocation.
constexpr std::size_t stack_segment_entries = 128;

// Reflectors not yet applied to their accumulator, expanded to its full order, applied in the
// order they were made once tuning::bidiagonal_reflector_batch are waiting and when the reduction
// ends. Each batch visits every row of its accumulator once per reflector.
class PendingReflectors {
public:
    PendingReflectors(std::span<double> target, std::uint64_t order) : target_(target), order_(order) {
        vectors_.reserve(tuning::bidiagonal_reflector_batch * order);
        taus_.reserve(tuning::bidiagonal_reflector_batch);
    }

    void push(std::uint64_t start, std::span<const double> v, double tau) {
        const std::size_t at = vectors_.size();
        vectors_.resize(at + order_, 0.0);
        std::copy(v.begin(), v.end(), vectors_.begin() + static_cast<std::ptrdiff_t>(at + start));
        taus_.push_back(tau);
        if (taus_.size() == tuning::bidiagonal_reflector_batch) flush();
    }

    void flush() {
        reduce::apply_reflectors_right(vectors_, taus_, taus_.size(), target_, order_);
        vectors_.clear();
        taus_.clear();
    }

private:
    std::span<double> target_;
    std::uint64_t order_;
    std::vector<double> vectors_;
    std::vector<double> taus_;
};

// The column or row segment handed to the reflector generator: on the stack when it is short.
class Segment {
public:
    std::span<double> take(std::size_t len) {
        if (len <= stack_segment_entries) return std::span<double>(stack_).first(len);
        heap_.resize(len);
        return heap_;
    }

private:
    std::array<double, stack_segment_entries> stack_{};
    std::vector<double> heap_;
};

// Reduces the m×n row-major `w` in place, handing each left reflector (start k, vector, tau) to
// `on_left` and each right reflector to `right`, then clears everything off the bidiagonal.
template <class OnLeft>
void reduce_in_place(std::vector<double>& w, std::uint64_t m, std::uint64_t n, OnLeft&& on_left,
                     PendingReflectors& right) {
    if (n == 0) return;
    const std::span<double> data(w);
    std::vector<double> workspace;
    workspace.reserve(n);
    Segment segment;
    for (std::uint64_t k = 0; k < n; ++k) {
        const std::span<double> column = segment.take(m - k);
        for (std::uint64_t i = 0; i < m - k; ++i) column[i] = w[(k + i) * n + k];
        if (const auto h = householder::reflector(column)) {
            // Column k is part of the update, so (k, k) gets the value the update computes.
            householder::apply_left(*h, data, n, k, k, n, workspace);
            on_left(k, std::span<const double>(h->v), h->tau);
        }
        if (k + 1 >= n) continue;
        const std::uint64_t width = n - k - 1;
        const std::span<double> row = segment.take(width);
        std::copy_n(w.begin() + static_cast<std::ptrdiff_t>(k * n + k + 1), width, row.begin());
        if (const auto g = householder::reflector(row)) {
            for (std::uint64_t i = k; i < m; ++i) {
                const std::span<double> t = data.subspan(i * n + k + 1, width);
                const double s = Scalar::dot_slice(t, g->v);
                Scalar::axpy_slice(g->v, t, 0.0 - s * g->tau);
            }
            right.push(k + 1, g->v, g->tau);
        }
    }
    for (std::uint64_t i = 0; i < m; ++i)
        for (std::uint64_t j = 0; j < n; ++j)
            if (j < i || j > i + 1) w[i * n + j] = 0.0;
}

void require_success(SimdError status) {
    if (status != SimdError::success)
        fail_invariant("invariant: the bidiagonal updates pass the kernels' dimension checks");
}

}  // namespace

Result<BidiagonalDecomposition> bidiagonalize(const ArrayView<double, 2>& a) {
    const std::uint64_t m = a.rows(), n = a.cols();
    if (auto tall = working::require_tall(m, n); !tall) return std::unexpected(std::move(tall.error()));
    auto work = working::finite_working_copy(a, non_finite_input);
    if (!work) return std::unexpected(std::move(work.error()));
    std::vector<double> u = working::identity(m), v = working::identity(n);
    PendingReflectors left(u, m), right(v, n);
    reduce_in_place(
        *work, m, n, [&](std::uint64_t k, std::span<const double> h, double tau) { left.push(k, h, tau); }, right);
    left.flush();
    right.flush();
    return BidiagonalDecomposition{
        err::expect(Array<double, 2>::from_vec({m, m}, std::move(u)), "U shape matches storage"),
        err::expect(Array<double, 2>::from_vec({m, n}, std::move(*work)), "B shape matches storage"),
        err::expect(Array<double, 2>::from_vec({n, n}, std::move(v)), "V shape matches storage")};
}

Result<BidiagonalDecomposition> bidiagonalize_balanced(const ArrayView<double, 2>& a) {
    namespace gate = scaling::gate;
    return gate::solve_scaled(a, gate::balanced_below_overflow(a), bidiagonalize, [](BidiagonalDecomposition& d, std::int32_t k) {
        return gate::restore_if_scaled(d.b.storage.data, k, b_entry_out_of_range);
    });
}

Result<LeftReflectedBidiagonal> bidiagonalize_keeping_left(const ArrayView<double, 2>& a) {
    const std::uint64_t m = a.rows(), n = a.cols();
    if (auto tall = working::require_tall(m, n); !tall) return std::unexpected(std::move(tall.error()));
    auto work = working::finite_working_copy(a, non_finite_input);
    if (!work) return std::unexpected(std::move(work.error()));
    std::vector<double> v = working::identity(n);
    reduce::CompactReflectors left;
    left.order = m;
    PendingReflectors right(v, n);
    reduce_in_place(
        *work, m, n,
        [&](std::uint64_t k, std::span<const double> h, double tau) { left.push(k, h, tau); }, right);
    right.flush();
    return LeftReflectedBidiagonal{std::move(*work), std::move(left),
                                   err::expect(Array<double, 2>::from_vec({n, n}, std::move(v)),
                                               "V shape matches storage")};
}

Result<DiagonalPair> bidiagonal_diag_colmajor(const ArrayView<double, 2>& a) {
    const std::uint64_t m = a.rows(), n = a.cols();
    if (auto tall = working::require_tall(m, n); !tall) return std::unexpected(std::move(tall.error()));
    std::vector<double> w = working::column_major_copy(a);
    const colmajor::LarfgWindow window = colmajor::larfg_window(m);
    DiagonalPair out{std::vector<double>(n, 0.0), std::vector<double>(n, 0.0)};
    if (n == 0) return out;
    std::vector<double> vl(m, 0.0), vr(n, 0.0), y(n, 0.0), z(m, 0.0);
    const std::span<double> data(w);
    // The block of W from (r0, c0) to the end, as the kernels see it: W's columns are their rows.
    const auto from = [&](std::uint64_t r0, std::uint64_t c0) { return data.subspan(r0 + c0 * m); };
    namespace dispatch = kavrel_ops::domain::scalar::dispatch;
    for (std::uint64_t k = 0; k < n; ++k) {
        const std::span<double> column = data.subspan(k + k * m, m - k);
        const colmajor::Larfg left = colmajor::larfg(column, window);
        out.d[k] = left.beta;
        vl[0] = 1.0;
        std::copy(column.begin() + 1, column.end(), vl.begin() + 1);
        const std::uint64_t trailing = n - k - 1;
        // A NaN tau counts as a reflection.
        if (!(left.tau == 0.0) && trailing > 0) {
            const std::span<double> ys = std::span<double>(y).first(trailing);
            std::fill(ys.begin(), ys.end(), 0.0);
            require_success(dispatch::dispatch_gemv_strided(from(k, k + 1), std::span<const double>(vl).first(m - k),
                                                            ys, trailing, m - k, m));
            for (double& yj : ys) yj = 0.0 - yj * left.tau;
            Scalar::axpy_rows(ys, std::span<const double>(vl).first(m - k), from(k, k + 1), m, trailing, m - k);
        }
        if (trailing == 0) continue;
        for (std::uint64_t j = 0; j < trailing; ++j) vr[j] = w[k + (k + 1 + j) * m];
        // Row k of W is not written back: it is never read again.
        const colmajor::Larfg right = colmajor::larfg(std::span<double>(vr).first(trailing), window);
        out.e[k] = right.beta;
        vr[0] = 1.0;
        if (!(right.tau == 0.0) && k + 1 < m) {
            const std::span<double> zs = std::span<double>(z).first(m - k - 1);
            std::fill(zs.begin(), zs.end(), 0.0);
            require_success(dispatch::dispatch_gemv_transpose_strided(
                from(k + 1, k + 1), std::span<const double>(vr).first(trailing), zs, trailing, m - k - 1, m));
            const std::span<double> ys = std::span<double>(y).first(trailing);
            for (std::uint64_t j = 0; j < trailing; ++j) ys[j] = 0.0 - vr[j] * right.tau;
            Scalar::axpy_rows(ys, zs, from(k + 1, k + 1), m, trailing, m - k - 1);
        }
    }
    return out;
}

}  // namespace kavrel_ops::application::linalg::bidiagonal
