// The exponent-range gate run before a float64 solver: it decides whether the matrix must first be
// multiplied by a power of two 2^-k so that the solver's intermediates stay finite and normal, hands
// back a scaled copy with k, and scales results back by 2^k with a range check. Only powers of two
// are used, so scaling and unscaling are exact unless a value overflows or becomes subnormal. The
// factorisations whose updates may overflow search, through factor_in_range, the least scale at
// which their attempt stays in range.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/scaling/exponent.hpp"

namespace kavrel_ops::application::linalg::scaling::gate {

using kavrel::application::array::types::Array;
using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

// Overflow reasons of the gate, also used by the solvers that build their own window.
inline constexpr const char* order_exceeds_range =
    "the matrix order exceeds the scalar's exponent range: its bounded intermediates cannot be kept finite";
inline constexpr const char* floor_exceeds_range =
    "the matrix order exceeds the scalar's exponent range: no scaling keeps the absolute deflation floor "
    "2^ceil(log2 n)*safmin at or below eps*||A||_F";
// restore's reason when the caller names none.
inline constexpr const char* eigenvalue_out_of_range = "eigenvalue exceeds the scalar range";

// The solver works on its own input unchanged.
struct NoScaling {};
// The solver works on `matrix` = input·2^-k (row-major, the input's shape) and multiplies its
// results by 2^k.
struct Scaled {
    Array<double, 2> matrix;
    std::int32_t k;
};
using GateOutcome = std::variant<NoScaling, Scaled>;

// The exponent a caller undoes: k when scaled, 0 otherwise.
[[nodiscard]] std::int32_t exponent_of(const GateOutcome& outcome) noexcept;
// What the solver runs on: the scaled matrix, or `input` itself. The view borrows from `outcome`
// or `input`, which must outlive it.
[[nodiscard]] ArrayView<double, 2> operand(const GateOutcome& outcome, const ArrayView<double, 2>& input);

// Absent when lo ≤ value ≤ hi. Above hi: the smallest k ≥ 1 with value·2^-k ≤ hi; below lo: −(the
// smallest j ≥ 1 with value·2^j ≥ lo). Only the bound crossed is consulted.
// Requires: value positive and finite (else an internal error).
[[nodiscard]] std::optional<std::int32_t> balancing_exponent(double value, double lo, double hi);

// The admissible range of the largest magnitude: below `lo` or `floor` it is scaled up, above `hi`
// down. check_window reports an empty window (order_exceeds_range, tested first) or a floor above
// hi (floor_exceeds_range).
struct Window {
    double lo;
    double hi;
    double floor;
};
[[nodiscard]] Result<void> check_window(const Window& window);
// balancing_exponent(amax, max(floor, lo), hi).
[[nodiscard]] std::optional<std::int32_t> window_exponent(double amax, const Window& window);

// lo of every window: (1 + eps)·sqrt(safmin/eps) = (1 + eps)·2^-485.
[[nodiscard]] double window_lo() noexcept;
// (1 − eps)·sqrt(DBL_MAX·2^w), the power taken with scalbn.
[[nodiscard]] double window_hi(std::int32_t w) noexcept;

// The entries of a view as the gate sees them. Absent when the view is empty, holds an infinite
// or NaN entry (the solver's own check reports it) or is all zeros: none of those is scaled.
struct GateCopy {
    std::vector<double> entries;  // row-major
    std::uint64_t rows;
    std::uint64_t cols;
    double amax;  // max |entry|, positive and finite
};
[[nodiscard]] std::optional<GateCopy> gate_copy(const ArrayView<double, 2>& view);
// The copy scaled by 2^-k, as the Scaled outcome.
[[nodiscard]] GateOutcome scaled(GateCopy&& copy, std::int32_t k);

// What a solver's bound contributes to the window of `balanced`: the order whose log2 caps the
// norm ratio (nn) and the shift w of hi = (1 − eps)·sqrt(DBL_MAX·2^w). r is the norm ratio bound
// log2(‖A‖_F / max|a|) of the matrix.
struct BoundTerms {
    std::uint64_t order;
    std::int32_t hi_shift;
};
using Bound = BoundTerms (*)(std::uint64_t rows, std::uint64_t cols, std::int32_t r);

// The whole gate for one m×n matrix with the window that `bound` sets; the errors are
// KavrelError::Overflow order_exceeds_range and floor_exceeds_range.
[[nodiscard]] Result<GateOutcome> balanced(const ArrayView<double, 2>& view, Bound bound);

// The gate of the QR factorisations: no norm ratio, lo = window_lo(), hi = window_hi(−ceil_log2(
// max(m, 1))) for m rows, floor = safmin/eps.
[[nodiscard]] Result<GateOutcome> balanced_by_rows(const ArrayView<double, 2>& view);
// The gate of the reductions whose only risk near the ends of the range is overflow in their
// products (qr, hessenberg, bidiagonalize; their reflectors are built on prescaled vectors, so
// their sums of squares are safe): an orthogonal transformation keeps every entry within
// ‖A‖_F ≤ N·max|a| (N the larger side), and the reflector products and inner products formed on
// the way within 4·N times that, so the window's top is DBL_MAX/(256·N²) (N² taken as 2^(2c),
// 2^c ≥ N). Entries below it are not touched, so small entries keep their bits; the bottom of the
// window is that of balanced_by_rows.
[[nodiscard]] Result<GateOutcome> balanced_below_overflow(const ArrayView<double, 2>& view);
// The same on a row-major rows × cols buffer that the caller owns, scaled in place; k returned.
[[nodiscard]] Result<std::int32_t> balance_below_overflow(std::span<double> entries, std::uint64_t rows,
                                                          std::uint64_t cols);
// Entries the caller owns scaled in place by 2^-k into `window`, k returned (0: left as they are);
// check_window's errors. For a solver whose window depends on more than the shape (the Jacobi
// eigensolver's). Requires: amax = max |entry|, positive and finite.
[[nodiscard]] Result<std::int32_t> balance_in_place(std::span<double> entries, double amax, const Window& window);
// restore's reason for the R factor of the QR factorisations.
inline constexpr const char* r_entry_out_of_range = "R entry exceeds the scalar range";

// --- Factorisations whose intermediates may leave the range ---------------------------------

// Increasing scales 2^-k tried in turn, the first of them (k[0]) already tried and failed.
struct RangeSteps {
    std::array<std::int32_t, 12> k;
    std::size_t count;  // 1 to 10: 0, at most 8 scales of the doubling room, the last scale
};

// The scales at which a factorisation of a finite matrix (largest magnitude amax > 0, order n) is
// tried. First k = 0, the matrix as given, so that ordinary input gets exactly its own factors.
// Only where that attempt formed an infinite or NaN value from finite entries and amax is large
// enough for scaling to help, the scales that leave room for ever more growth: the smallest k
// with amax·2^-k ≤ DBL_MAX/2^R for R = c + 4 (2^c ≥ n, the growth of an elimination), then R
// doubled each time, and k = ilogb(amax) (amax·2^-k in [1, 2)) last, each only when it scales
// further than the step before. None beyond `limit`, which is the last where it comes first: a
// scale that rounds an entry would factor another matrix. Multipliers and quotients of these
// factorisations do not change with a power-of-two scale and every other value scales exactly
// unless it becomes subnormal, so the smaller the scale that keeps the intermediates finite, the
// more of the small entries keep all their bits.
[[nodiscard]] RangeSteps range_steps(double amax, std::uint64_t order, std::int32_t limit = exponent::no_scale_limit);

// What one attempt at a scale gives: its outcome (a result, or an error such as a zero pivot or
// the caller's overflow), and whether every value it formed stayed in the range.
template <class T>
struct Attempt {
    Result<T> outcome;
    bool in_range;
};

// attempt(k) runs at the scale 2^-k and returns its Attempt<T>. The scales after steps.k[0], whose
// attempt `first` was made and left the range, are tried in turn up to the first in range. An
// outcome in range above a scale that was not is narrowed down by bisection between the two: the
// result is the outcome at the least scale whose attempt keeps every value in range (a scale
// further than needed could turn small values into zeros and an error of its own). Where none
// does, the outcome of the largest scale stands.
template <class T, class Try>
[[nodiscard]] Result<T> least_in_range(const RangeSteps& steps, Try&& attempt, Attempt<T>&& first) {
    Attempt<T> largest = std::move(first);
    for (std::size_t s = 1; s < steps.count; ++s) {
        Attempt<T> tried = attempt(steps.k[s]);
        if (!tried.in_range) {
            largest = std::move(tried);
            continue;
        }
        Result<T> outcome = std::move(tried.outcome);
        std::int32_t failed = steps.k[s - 1], kept = steps.k[s];
        while (kept - failed > 1) {
            const std::int32_t mid = failed + (kept - failed) / 2;
            if (Attempt<T> narrower = attempt(mid); narrower.in_range) {
                kept = mid;
                outcome = std::move(narrower.outcome);
            } else {
                failed = mid;
            }
        }
        return outcome;
    }
    return std::move(largest.outcome);
}

// A factorisation of a finite matrix through least_in_range over range_steps(amax, order,
// limit()): the input as it is first, before any scale or limit is worked out, so ordinary input
// pays for nothing more. limit() is the largest scale that keeps every entry the factorisation
// reads exact.
template <class T, class Try, class Limit>
[[nodiscard]] Result<T> factor_in_range(double amax, std::uint64_t order, Try&& attempt, Limit&& limit) {
    Attempt<T> unscaled = attempt(0);
    if (unscaled.in_range) return std::move(unscaled.outcome);
    return least_in_range<T>(range_steps(amax, order, limit()), attempt, std::move(unscaled));
}

// The same for a factorisation that keeps every attempt exact itself.
template <class T, class Try>
[[nodiscard]] Result<T> factor_in_range(double amax, std::uint64_t order, Try&& attempt) {
    return factor_in_range<T>(amax, order, std::forward<Try>(attempt),
                              [] { return std::int32_t{exponent::no_scale_limit}; });
}

// values[i] := values[i]·2^k for all i, then the first infinite or NaN value fails with
// KavrelError::Overflow `reason`; the values stay multiplied either way. `reason` is static text.
[[nodiscard]] Result<void> restore(std::span<double> values, std::int32_t k,
                                   const char* reason = eigenvalue_out_of_range);
// restore when k ≠ 0; with k = 0 the values are left unread, so a solver whose unscaled results
// may hold infinities passes them on as its own.
[[nodiscard]] Result<void> restore_if_scaled(std::span<double> values, std::int32_t k, const char* reason);

// --- Solvers run through the gate -------------------------------------------------------------

// The one path by which a gated solver scales its results back. `k` is the outcome of balancing
// the solver's own working storage in place (balance_below_overflow, balance_in_place); a gate
// error is returned before anything is computed. Then compute: () -> Result<R> runs, and on
// success restore: (R&, std::int32_t k) -> Result<void> undoes 2^-k (k = 0 when nothing was
// scaled). Each solver's restore picks the values, the text, and whether an unscaled result is
// range-checked too; a failed computation is returned unrestored.
template <class Compute, class Restore>
[[nodiscard]] auto solve_scaled(const Result<std::int32_t>& k, Compute&& compute, Restore&& restore)
    -> std::invoke_result_t<Compute&> {
    if (!k) return std::unexpected(k.error());
    std::invoke_result_t<Compute&> result = compute();
    if (!result) return result;
    if (Result<void> restored = restore(*result, *k); !restored) return std::unexpected(std::move(restored.error()));
    return result;
}

// The same on a view: `outcome` is the gate's verdict on `input` (both must outlive the call), and
// compute: (const ArrayView<double, 2>&) -> Result<R> runs on operand(outcome, input).
template <class Compute, class Restore>
[[nodiscard]] auto solve_scaled(const ArrayView<double, 2>& input, const Result<GateOutcome>& outcome,
                                Compute&& compute, Restore&& restore)
    -> std::invoke_result_t<Compute&, const ArrayView<double, 2>&> {
    if (!outcome) return std::unexpected(outcome.error());
    const ArrayView<double, 2> m = operand(*outcome, input);
    return solve_scaled(Result<std::int32_t>(exponent_of(*outcome)), [&] { return compute(m); }, restore);
}

}  // namespace kavrel_ops::application::linalg::scaling::gate
