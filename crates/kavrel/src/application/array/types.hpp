// Owned arrays: a buffer and a row-major layout with offset 0 whose element count equals
// the buffer length. Operations build their results as arrays and hand them back.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "kavrel/domain/layout/kernels.hpp"
#include "kavrel/domain/layout/layout.hpp"
#include "kavrel/infrastructure/storage/vec.hpp"

namespace kavrel::application::array::types {

using domain::error::Result;
using domain::layout::Layout;

template <class T, std::size_t N>
struct Array {
    infrastructure::storage::vec::VecStorage<T> storage;
    Layout<N> layout;

    // Takes over `buffer`; on failure the buffer is freed with the error path.
    [[nodiscard]] static Result<Array> from_vec(const std::array<std::uint64_t, N>& shape, std::vector<T> buffer);
    // Zero-filled row-major array; a shape whose layout cannot be built is an internal error.
    static Array from_elem(const std::array<std::uint64_t, N>& shape);
    // The elements in logical order; the buffer itself when it is already in that order.
    std::vector<T> into_vec() &&
        requires(N == 1);

    const T* data() const { return storage.data.data(); }
    T* data() { return storage.data.data(); }
    std::uint64_t len() const { return storage.data.size(); }
};

namespace detail {

template <std::size_t N>
Result<Layout<N>> row_major(const std::array<std::uint64_t, N>& shape) {
    if constexpr (N == 1) {
        // One axis: stride 1 and only the bounds check.
        Layout<1> l{shape, {1}, 0};
        if (auto r = domain::layout::kernels::min_max_offsets(l.shape, l.strides, 0); !r)
            return std::unexpected(r.error());
        return l;
    } else {
        return Layout<N>::c_contiguous(shape);
    }
}

}  // namespace detail

template <class T, std::size_t N>
Result<Array<T, N>> Array<T, N>::from_vec(const std::array<std::uint64_t, N>& shape, std::vector<T> buffer) {
    auto layout = detail::row_major(shape);
    if (!layout) return std::unexpected(layout.error());
    auto count = domain::layout::kernels::element_count(layout->shape);
    if (!count) return std::unexpected(count.error());
    if (buffer.size() != *count)
        return domain::error::storage_error("Vector length " + std::to_string(buffer.size()) +
                                            " does not match layout size " + std::to_string(*count));
    if (auto r = domain::layout::kernels::validate_storage(layout->shape, layout->strides, 0, buffer.size()); !r)
        return std::unexpected(r.error());
    return Array{{std::move(buffer)}, *layout};
}

template <class T, std::size_t N>
Array<T, N> Array<T, N>::from_elem(const std::array<std::uint64_t, N>& shape) {
    auto layout = domain::error::expect(detail::row_major(shape), "C-contiguous layout must construct");
    const auto count = domain::error::expect(layout.element_count(), "C-contiguous layout must construct");
    std::vector<T> buffer(count, T{});
    domain::error::expect(domain::layout::kernels::validate_storage(layout.shape, layout.strides, 0, buffer.size()),
                          "Valid layout bounds");
    return Array{{std::move(buffer)}, layout};
}

template <class T, std::size_t N>
std::vector<T> Array<T, N>::into_vec() &&
    requires(N == 1)
{
    const std::uint64_t n = layout.shape[0];
    const std::int64_t stride = layout.strides[0];
    std::vector<T>& buffer = storage.data;
    if (layout.offset == 0 && (n == 1 || stride == 1)) {
        // The buffer may be longer than the layout, never shorter.
        if (buffer.size() < n) domain::error::fail_invariant("invariant: array storage covers its layout");
        buffer.resize(n);
        return std::move(buffer);
    }
    domain::error::expect(domain::layout::kernels::validate_storage(layout.shape, layout.strides, layout.offset,
                                                                    buffer.size()),
                          "invariant: array storage covers its layout");
    std::vector<T> out;
    out.reserve(n);
    auto pos = static_cast<std::int64_t>(layout.offset);
    for (std::uint64_t i = 0; i < n; ++i) {
        out.push_back(buffer[static_cast<std::size_t>(pos)]);
        if (i + 1 < n) pos += stride;  // no step past the last element
    }
    std::vector<T>().swap(buffer);
    return out;
}

}  // namespace kavrel::application::array::types
