#include "kavrel/domain/layout/kernels.hpp"

#include "kavrel/domain/checked/arithmetic.hpp"

#include <algorithm>
#include <limits>
#include <string>

namespace kavrel::domain::layout::kernels {

namespace checked = kavrel::domain::checked;

namespace {

constexpr std::uint64_t i64_max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

bool has_zero_extent(Shape shape) { return std::find(shape.begin(), shape.end(), 0) != shape.end(); }

// Shape and strides arrive as separate spans (a dynamic layout holds two vectors); a
// shorter stride span would be read past its end.
void require_one_stride_per_axis(Shape shape, std::size_t strides) {
    if (strides != shape.size()) error::fail_invariant("invariant: layout has one stride per axis");
}

}  // namespace

Result<std::uint64_t> element_count(Shape shape) {
    std::uint64_t n = 1;
    for (auto e : shape) {
        const auto next = checked::mul(n, e);
        if (!next) return error::overflow("layout shape product");
        n = *next;
    }
    return n;
}

Result<std::pair<std::int64_t, std::int64_t>> min_max_offsets(Shape shape, Strides strides, std::uint64_t offset) {
    require_one_stride_per_axis(shape, strides.size());
    // The early return converts the offset as well: an offset above the signed range must
    // not come back as a negative bound.
    if (offset > i64_max) return error::overflow("layout base offset conversion");
    const auto base = static_cast<std::int64_t>(offset);
    if (shape.empty() || has_zero_extent(shape)) return std::pair{base, base};
    std::int64_t low = base, high = base;
    for (std::size_t k = 0; k < shape.size(); ++k) {
        const std::uint64_t span = shape[k] - 1;
        if (span > i64_max) return error::overflow("layout dimension bound conversion");
        const auto term = checked::mul(static_cast<std::int64_t>(span), strides[k]);
        if (!term) return error::overflow("layout dimension bound multiplication");
        const auto lower = checked::add(low, std::min<std::int64_t>(*term, 0));
        if (!lower) return error::overflow("layout minimum offset accumulation");
        const auto higher = checked::add(high, std::max<std::int64_t>(*term, 0));
        if (!higher) return error::overflow("layout maximum offset accumulation");
        low = *lower;
        high = *higher;
    }
    if (low < 0) return error::storage_error("layout accesses negative physical offset " + std::to_string(low));
    return std::pair{low, high};
}

Result<void> validate_storage(Shape shape, Strides strides, std::uint64_t offset, std::uint64_t length) {
    require_one_stride_per_axis(shape, strides.size());
    if (has_zero_extent(shape)) return {};
    if (auto n = element_count(shape); !n) return std::unexpected(std::move(n.error()));
    auto bounds = min_max_offsets(shape, strides, offset);
    if (!bounds) return std::unexpected(std::move(bounds.error()));
    const auto low = static_cast<std::uint64_t>(bounds->first);
    const auto high = static_cast<std::uint64_t>(bounds->second);
    if (low < length && high < length) return {};
    return error::storage_error("storage length " + std::to_string(length) + " does not cover layout physical offsets " +
                                std::to_string(bounds->first) + "..=" + std::to_string(bounds->second));
}

Result<std::int64_t> physical_offset(Shape shape, Strides strides, std::uint64_t offset,
                                     std::span<const std::uint64_t> index) {
    auto out_of_bounds = [&] {
        return std::unexpected(error::KavrelError(
            error::OutOfBounds{error::Dims(index.begin(), index.end()), error::Dims(shape.begin(), shape.end())}));
    };
    require_one_stride_per_axis(shape, strides.size());
    if (index.size() != shape.size()) return out_of_bounds();
    if (offset > i64_max) return error::overflow("layout base offset conversion");
    auto acc = static_cast<std::int64_t>(offset);
    for (std::size_t k = 0; k < shape.size(); ++k) {
        if (index[k] >= shape[k]) return out_of_bounds();
        if (index[k] > i64_max) return error::overflow("layout index conversion");
        const auto term = checked::mul(static_cast<std::int64_t>(index[k]), strides[k]);
        if (!term) return error::overflow("layout offset multiplication");
        const auto next = checked::add(acc, *term);
        if (!next) return error::overflow("layout offset accumulation");
        acc = *next;
    }
    if (acc < 0) return error::storage_error("layout index accesses negative physical offset " + std::to_string(acc));
    return acc;
}

Result<void> broadcast_strides(Shape source_shape, Strides source_strides, Shape target_shape,
                               std::span<std::int64_t> out) {
    auto incompatible = [&] {
        return std::unexpected(error::KavrelError(error::IncompatibleBroadcast{
            error::Dims(source_shape.begin(), source_shape.end()), error::Dims(target_shape.begin(), target_shape.end())}));
    };
    require_one_stride_per_axis(source_shape, source_strides.size());
    if (target_shape.size() < source_shape.size()) return incompatible();
    if (out.size() != target_shape.size()) error::fail_invariant("invariant: broadcast stride buffer has the target rank");
    std::fill(out.begin(), out.end(), 0);
    const std::size_t lead = target_shape.size() - source_shape.size();
    for (std::size_t i = 0; i < source_shape.size(); ++i) {
        const std::size_t j = lead + i;
        if (source_shape[i] == target_shape[j]) {
            out[j] = source_strides[i];
        } else if (source_shape[i] != 1) {
            return incompatible();
        }
    }
    return {};
}

Result<bool> DifferenceSearch::has_collision(std::size_t axis, __int128 partial, bool nonzero) const {
    if (axis == solved) ++axis;
    if (axis >= shape.size()) {
        const __int128 s = solved_stride;
        if (s == 0) return false;
        // Every value is a multiple of -1; the remainder itself would overflow for the most
        // negative partial sum.
        if (s != -1 && partial % s != 0) return false;
        const auto negated = checked::sub(static_cast<__int128>(0), partial);
        if (!negated) return error::overflow("layout injectivity solved difference");
        const __int128 q = *negated / s;
        const __int128 limit = static_cast<__int128>(shape[solved]) - 1;
        return (q <= limit && -q <= limit) && (nonzero || q != 0);
    }
    const __int128 span = static_cast<__int128>(shape[axis]) - 1;
    for (__int128 d = -span; d <= span; ++d) {
        const auto next = checked::mul_add(d, static_cast<__int128>(strides[axis]), partial);
        if (!next) return error::overflow("layout injectivity difference sum");
        auto found = has_collision(axis + 1, *next, nonzero || d != 0);
        if (!found || *found) return found;
    }
    return false;
}

Result<bool> is_injective(Shape shape, Strides strides) {
    require_one_stride_per_axis(shape, strides.size());
    if (shape.empty() || has_zero_extent(shape)) return true;
    auto count = element_count(shape);
    if (!count) return std::unexpected(std::move(count.error()));
    if (*count < 2) return true;

    // Span walk: axes by increasing |stride|, each must step over everything below it.
    std::uint64_t covered = 0, previous = 0;
    for (;;) {
        std::size_t selected = shape.size();
        std::uint64_t selected_abs = 0;
        for (std::size_t k = 0; k < shape.size(); ++k) {
            if (shape[k] < 2) continue;
            if (strides[k] == 0) return false;
            const std::uint64_t a = checked::magnitude(strides[k]);
            if (a > previous && (selected == shape.size() || a < selected_abs)) {
                selected = k;
                selected_abs = a;
            }
        }
        if (selected == shape.size()) return true;
        std::size_t ties = 0;
        for (std::size_t k = 0; k < shape.size(); ++k)
            if (shape[k] >= 2 && checked::magnitude(strides[k]) == selected_abs) ++ties;
        if (ties > 1 || selected_abs <= covered) break;
        const auto span = checked::mul(shape[selected] - 1, selected_abs);
        if (!span) return error::overflow("layout injectivity axis span");
        const auto reach = checked::add(covered, *span);
        if (!reach) return error::overflow("layout injectivity covered span");
        covered = *reach;
        previous = selected_abs;
    }

    // Exact search, solving for the axis with the most values (the later one on a tie).
    std::size_t h = 0;
    for (std::size_t k = 1; k < shape.size(); ++k)
        if (shape[k] - 1 >= shape[h] - 1) h = k;
    const DifferenceSearch search{shape, strides, h, strides[h]};
    auto collision = search.has_collision(0, 0, false);
    if (!collision) return std::unexpected(std::move(collision.error()));
    return !*collision;
}

Result<void> c_contiguous_strides(Shape shape, std::span<std::int64_t> out) {
    require_one_stride_per_axis(shape, out.size());
    std::int64_t p = 1;
    for (std::size_t k = shape.size(); k-- > 0;) {
        out[k] = p;
        if (shape[k] > i64_max) return error::overflow("C-contiguous dimension conversion");
        const auto next = checked::mul(p, static_cast<std::int64_t>(shape[k]));
        if (!next) return error::overflow("C-contiguous stride multiplication");
        p = *next;
    }
    return {};
}

namespace {

bool contiguous_walk(Shape shape, Strides strides, bool from_last) {
    require_one_stride_per_axis(shape, strides.size());
    std::int64_t expected = 1;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const std::size_t k = from_last ? shape.size() - 1 - i : i;
        if (shape[k] == 1) continue;
        if (shape[k] > i64_max || strides[k] != expected) return false;
        const auto next = checked::mul(expected, static_cast<std::int64_t>(shape[k]));
        if (!next) return false;
        expected = *next;
    }
    return true;
}

}  // namespace

bool is_c_contiguous(Shape shape, Strides strides) { return contiguous_walk(shape, strides, true); }

bool is_f_contiguous(Shape shape, Strides strides) { return contiguous_walk(shape, strides, false); }

}  // namespace kavrel::domain::layout::kernels
