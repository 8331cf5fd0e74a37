#include "kavrel_ops/application/linalg/norms.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "kavrel/domain/layout/kernels.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"
#include "kavrel_ops/domain/scalar/dispatch.hpp"

namespace kavrel_ops::application::linalg::norms {

namespace {

namespace kernels = kavrel::domain::layout::kernels;
using Scalar = kavrel_ops::domain::scalar::contract::Scalar<double>;

// One row of the view: cols elements from storage index `start`, spaced by `stride`.
struct Lane {
    const double* ptr;
    std::uint64_t len;
    std::int64_t start;
    std::int64_t stride;
    std::uint64_t cols;
};

// The lane as one ascending storage run when its stride is 1 or −1 and the run lies inside the
// storage (a reversed lane is read as the run that ends at its start).
std::optional<std::span<const double>> lane_run(const Lane& lane) {
    if (lane.stride != 1 && lane.stride != -1) return std::nullopt;
    const auto span = static_cast<std::int64_t>(lane.cols - 1);
    const std::int64_t first = lane.stride == 1 ? lane.start : lane.start - span;
    if (first < 0 || static_cast<std::uint64_t>(first + span) >= lane.len) return std::nullopt;
    return std::span<const double>(lane.ptr + first, lane.cols);
}

double lane_element(const Lane& lane, std::uint64_t j) {
    return lane.ptr[lane.start + static_cast<std::int64_t>(j) * lane.stride];
}

// The view's rows as lanes, in order, each handed to `visit`; stops at the first failing
// physical offset. Requires: the storage was validated and rows, cols > 0.
template <class Visit>
Result<void> for_each_lane(const ArrayView<double, 2>& a, Visit&& visit) {
    const auto& l = a.layout;
    for (std::uint64_t i = 0; i < l.shape[0]; ++i) {
        const std::array<std::uint64_t, 2> index{i, 0};
        auto start = kernels::physical_offset(l.shape, l.strides, l.offset, index);
        if (!start) return std::unexpected(std::move(start.error()));
        visit(Lane{a.ptr, a.len, *start, l.strides[1], l.shape[1]});
    }
    return {};
}

}  // namespace

double NormL1::accumulate_slice(std::span<const double> x) noexcept {
    return kavrel_ops::domain::scalar::dispatch::dispatch_abs_sum(x);
}

double NormMax::accumulate_slice(std::span<const double> x) noexcept {
    return kavrel_ops::domain::scalar::dispatch::dispatch_abs_max(x);
}

double NormMax::combine(double running, double partial) noexcept {
    // (p > m) ? p : m alone would drop a NaN partial, and the result would depend on which row
    // held the NaN.
    return (partial > running || std::isnan(partial)) ? partial : running;
}

template <NormKind K>
Result<double> entrywise_norm(const ArrayView<double, 2>& a) {
    const auto& l = a.layout;
    if (auto valid = kernels::validate_storage(l.shape, l.strides, l.offset, a.len); !valid)
        return std::unexpected(std::move(valid.error()));
    if (auto block = kavrel::application::view::immutable::contiguous_window(a)) return K::accumulate_slice(*block);
    if (l.shape[0] == 0 || l.shape[1] == 0) return 0.0;
    double m = 0.0;
    auto lanes = for_each_lane(a, [&m](const Lane& lane) {
        if (auto run = lane_run(lane)) {
            m = K::combine(m, K::accumulate_slice(*run));
            return;
        }
        for (std::uint64_t j = 0; j < lane.cols; ++j) m = K::combine(m, std::fabs(lane_element(lane, j)));
    });
    if (!lanes) return std::unexpected(std::move(lanes.error()));
    return m;
}

template Result<double> entrywise_norm<NormL1>(const ArrayView<double, 2>&);
template Result<double> entrywise_norm<NormMax>(const ArrayView<double, 2>&);

Result<double> frobenius_norm(const ArrayView<double, 2>& a) {
    const auto& l = a.layout;
    if (auto valid = kernels::validate_storage(l.shape, l.strides, l.offset, a.len); !valid)
        return std::unexpected(std::move(valid.error()));
    if (auto block = kavrel::application::view::immutable::contiguous_window(a))
        return std::sqrt(Scalar::dot_slice(*block, *block));
    if (l.shape[0] == 0 || l.shape[1] == 0) return 0.0;
    double s = 0.0;
    auto lanes = for_each_lane(a, [&s](const Lane& lane) {
        if (auto run = lane_run(lane)) {
            s = s + Scalar::dot_slice(*run, *run);
            return;
        }
        for (std::uint64_t j = 0; j < lane.cols; ++j) {
            const double x = lane_element(lane, j);
            s = s + x * x;
        }
    });
    if (!lanes) return std::unexpected(std::move(lanes.error()));
    return std::sqrt(s);
}

std::optional<NormOrder> norm_order(std::string_view name) noexcept {
    if (name == "fro" || name == "2" || name == "l2") return NormOrder::frobenius;
    if (name == "1" || name == "l1") return NormOrder::l1;
    if (name == "max" || name == "inf") return NormOrder::max;
    return std::nullopt;
}

Result<double> norm_of(const ArrayView<double, 2>& a, NormOrder order) {
    switch (order) {
        case NormOrder::frobenius: return frobenius_norm(a);
        case NormOrder::l1: return entrywise_norm<NormL1>(a);
        case NormOrder::max: return entrywise_norm<NormMax>(a);
    }
    kavrel::domain::error::fail_invariant("invariant: a norm order is one of the three named");
}

}  // namespace kavrel_ops::application::linalg::norms
