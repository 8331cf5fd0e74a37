#include "kavrel_ops/application/reduction/whole_array.hpp"

#include <array>
#include <cstdint>
#include <optional>

#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel/domain/layout/kernels.hpp"
#include "kavrel_ops/domain/scalar/dispatch.hpp"

namespace kavrel_ops::application::reduction::whole_array {

namespace {

namespace kernels = kavrel::domain::layout::kernels;

// The storage run of one row when its elements are consecutive in storage, forwards (stride 1)
// or backwards (stride -1), and the run lies inside the storage.
std::optional<std::span<const float>> row_window(const float* storage, std::uint64_t storage_len,
                                                 std::int64_t start, std::int64_t stride, std::uint64_t m) {
    const auto s = static_cast<std::uint64_t>(start);  // physical offsets are never negative
    std::uint64_t first = 0;
    if (stride == 1) {
        first = s;
    } else if (stride == -1 && s >= m - 1) {
        first = s - (m - 1);
    } else {
        return std::nullopt;
    }
    if (!kavrel::domain::checked::ends_within(first, m, storage_len)) return std::nullopt;
    return std::span<const float>(storage + first, static_cast<std::size_t>(m));
}

float read_checked(const float* storage, std::uint64_t storage_len, std::int64_t position) {
    if (position < 0 || static_cast<std::uint64_t>(position) >= storage_len) {
        kavrel::domain::error::fail_invariant("invariant: all-elements reduction reads inside the storage");
    }
    return storage[position];
}

// Advances the leading coordinates (all but the last axis) to the next row in row-major order.
template <std::size_t N>
void next_row(std::array<std::uint64_t, N>& index, const std::array<std::uint64_t, N>& shape) {
    for (std::size_t axis = N - 1; axis-- > 0;) {
        if (++index[axis] < shape[axis]) return;
        index[axis] = 0;
    }
}

template <std::size_t N>
Result<float> sum_by_rows(const ArrayView<float, N>& view, std::uint64_t n) {
    const auto& layout = view.layout;
    const std::uint64_t m = layout.shape[N - 1];
    const std::int64_t t = layout.strides[N - 1];
    const std::uint64_t rows = n / m;
    if (rows == 0) return kavrel::domain::error::storage_error("all-elements reduction traversal produced no elements");
    std::array<std::uint64_t, N> index{};
    float total = 0.0f;
    for (std::uint64_t row = 0; row < rows; ++row, next_row(index, layout.shape)) {
        const auto start = kernels::physical_offset(layout.shape, layout.strides, layout.offset, index);
        if (!start) return std::unexpected(start.error());
        float value = 0.0f;
        if (const auto window = row_window(view.ptr, view.len, *start, t, m)) {
            value = reduce_nonempty_slice(*window);
            if (row > 0) value = value + total;
        } else {
            value = read_checked(view.ptr, view.len, *start);
            if (row > 0) value = value + total;
            std::int64_t position = *start;
            for (std::uint64_t k = 1; k < m; ++k) {
                position += t;  // inside [low, high] of the validated layout, so no overflow
                value = value + read_checked(view.ptr, view.len, position);
            }
        }
        total = value;
    }
    return total;
}

}  // namespace

float reduce_nonempty_slice(std::span<const float> x) noexcept {
    return kavrel_ops::domain::scalar::dispatch::dispatch_sum(x);
}

template <class Strategy, std::size_t N>
    requires std::same_as<Strategy, SumAxis>
Result<float> reduce_all(const ArrayView<float, N>& view) {
    const auto& layout = view.layout;
    if (auto valid = kernels::validate_storage(layout.shape, layout.strides, layout.offset, view.len); !valid) {
        return std::unexpected(valid.error());
    }
    for (std::uint64_t extent : layout.shape) {
        if (extent == 0) return 0.0f;
    }
    const auto n = layout.element_count();
    if (!n) return std::unexpected(n.error());
    if (const auto window = kavrel::application::view::immutable::contiguous_window(view)) {
        return reduce_nonempty_slice(*window);
    }
    return sum_by_rows(view, *n);
}

template Result<float> reduce_all<SumAxis, 1>(const ArrayView<float, 1>&);
template Result<float> reduce_all<SumAxis, 2>(const ArrayView<float, 2>&);
template Result<float> reduce_all<SumAxis, 3>(const ArrayView<float, 3>&);
template Result<float> reduce_all<SumAxis, 4>(const ArrayView<float, 4>&);
template Result<float> reduce_all<SumAxis, 5>(const ArrayView<float, 5>&);
template Result<float> reduce_all<SumAxis, 6>(const ArrayView<float, 6>&);

}  // namespace kavrel_ops::application::reduction::whole_array
