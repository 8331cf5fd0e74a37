#include "kavrel_ops/application/strided.hpp"

#include <cstdlib>
#include <limits>
#include <string>

#include "kavrel/domain/layout/kernels.hpp"

namespace kavrel_ops::application::strided {

namespace {

namespace kernels = kavrel::domain::layout::kernels;
namespace checked = kavrel::domain::checked;
using kavrel::domain::error::fail_invariant;

Result<std::int64_t> offset_of(const Layout<2>& l, std::uint64_t row) {
    const std::array<std::uint64_t, 2> index{row, 0};
    return kernels::physical_offset(l.shape, l.strides, l.offset, index);
}

constexpr const char* outside_invariant = "invariant: strided walk access lies inside its storage";

[[noreturn]] void fail_outside() { fail_invariant(outside_invariant); }

void require_offset_inside(std::int64_t at, std::size_t length) {
    if (at < 0 || static_cast<std::uint64_t>(at) >= length) fail_outside();
}

}  // namespace

WalkKind choose_walk(const StridedWalk& w) noexcept {
    if (w.count == 0 || w.shape[1] == 0) return WalkKind::empty;
    const std::uint64_t edge = std::min(w.input_tile, w.output_tile);
    const bool spans_a_tile = checked::magnitude(w.a.strides[1]) >= w.input_tile ||
                              checked::magnitude(w.b.strides[1]) >= w.input_tile ||
                              checked::magnitude(w.out.strides[1]) >= w.output_tile;
    return w.shape[0] > 0 && edge > 0 && spans_a_tile ? WalkKind::tiles : WalkKind::rows;
}

Result<Offsets> row_start(const StridedWalk& walk, std::uint64_t r) {
    const std::uint64_t row = r % walk.shape[0];
    auto a = offset_of(walk.a, row);
    if (!a) return std::unexpected(std::move(a.error()));
    auto b = offset_of(walk.b, row);
    if (!b) return std::unexpected(std::move(b.error()));
    auto out = offset_of(walk.out, row);
    if (!out) return std::unexpected(std::move(out.error()));
    return Offsets{*a, *b, *out};
}

Offsets mapped_row_start(const StridedWalk& walk, std::uint64_t r) {
    auto start = row_start(walk, r);
    if (!start) kavrel::domain::error::fail_unexpected("validated layout must map every logical index", start.error());
    return *start;
}




namespace detail {

std::int64_t checked_step(std::int64_t at, std::int64_t by) {
    return checked::expect(checked::add(at, by), outside_invariant);
}

std::int64_t checked_element_offset(std::int64_t start, std::uint64_t i, std::int64_t row_stride, std::uint64_t j,
                                    std::int64_t col_stride, std::size_t length) {
    const std::int64_t down = checked::expect(checked::mul<std::int64_t>(i, row_stride), outside_invariant);
    const std::int64_t across = checked::expect(checked::mul<std::int64_t>(j, col_stride), outside_invariant);
    const std::int64_t row_at = checked::expect(checked::add(start, down), outside_invariant);
    const std::int64_t at = checked::expect(checked::add(row_at, across), outside_invariant);
    require_offset_inside(at, length);
    return at;
}

void require_run_inside(std::int64_t first, std::int64_t stride, std::uint64_t count, std::size_t length) {
    require_offset_inside(first, length);
    const std::int64_t span = checked::expect(checked::mul<std::int64_t>(count - 1, stride), outside_invariant);
    require_offset_inside(checked::expect(checked::add(first, span), outside_invariant), length);
}

std::uint64_t band_count(const StridedWalk& w) noexcept {
    const std::uint64_t rows = w.shape[0], cols = w.shape[1];
    const std::uint64_t edge = std::min(w.input_tile, w.output_tile);
    const std::uint64_t per_matrix = rows / edge + (rows % edge != 0 ? 1 : 0);
    return per_matrix * (w.count / (rows * cols));
}

}  // namespace detail

}  // namespace kavrel_ops::application::strided
