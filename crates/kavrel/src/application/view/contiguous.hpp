// Materialising views as new row-major arrays: one block copy for row-major views, a
// tiled transpose for column-major ones, the element walk for anything else.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/iter/element/element_iter.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel/domain/error/error.hpp"

namespace kavrel::application::view::contiguous {

using domain::error::Result;

inline constexpr std::uint64_t transpose_tile = 32;  // 32 x 32 keeps reads and writes in a few lines each

// Row-major copy of a column-major run: destination (i, j) = source[i + j * rows].
template <class T>
[[nodiscard]] Result<std::vector<T>> dense_transpose(std::span<const T> source, std::uint64_t rows, std::uint64_t cols) {
    const auto product = domain::checked::mul(rows, cols);
    if (!product) return domain::error::overflow("dense transpose element count");
    const std::uint64_t count = *product;
    if (source.size() != count)
        return domain::error::storage_error("dense transpose source length " + std::to_string(source.size()) +
                                            " does not match expected " + std::to_string(count));
    std::vector<T> out(static_cast<std::size_t>(count));
    if (count == 0) return out;
    if (cols == 1) {
        std::copy(source.begin(), source.end(), out.begin());
        return out;
    }
    auto tile = [&](std::uint64_t i0, std::uint64_t j0, bool by_rows) {
        const std::uint64_t i1 = std::min(i0 + transpose_tile, rows), j1 = std::min(j0 + transpose_tile, cols);
        if (by_rows) {
            for (std::uint64_t i = i0; i < i1; ++i)
                for (std::uint64_t j = j0; j < j1; ++j) out[i * cols + j] = source[i + j * rows];
        } else {
            for (std::uint64_t j = j0; j < j1; ++j)
                for (std::uint64_t i = i0; i < i1; ++i) out[i * cols + j] = source[i + j * rows];
        }
    };
    if (cols >= rows) {
        for (std::uint64_t i0 = 0; i0 < rows; i0 += transpose_tile)
            for (std::uint64_t j0 = 0; j0 < cols; j0 += transpose_tile) tile(i0, j0, true);
    } else {
        for (std::uint64_t j0 = 0; j0 < cols; j0 += transpose_tile)
            for (std::uint64_t i0 = 0; i0 < rows; i0 += transpose_tile) tile(i0, j0, false);
    }
    return out;
}

// A new row-major array with the view's elements in logical order. Never fails for a
// validated view.
template <class T, std::size_t N>
array::types::Array<T, N> to_contiguous(const immutable::ArrayView<T, N>& v) {
    const auto& l = v.layout;
    std::vector<T> buffer;
    const auto window = immutable::contiguous_window(v);
    if (window && domain::layout::is_c_contiguous(l)) {
        buffer.assign(window->begin(), window->end());
    } else if (N == 2 && window && domain::layout::is_f_contiguous(l)) {
        buffer = domain::error::expect(dense_transpose<T>(*window, l.shape[0], l.shape[N - 1]),
                                       "invariant: dense view fits its transpose storage");
    } else {
        const auto count = l.element_count();
        if (!count) domain::error::fail_unexpected("layout shape product must fit in usize", count.error());
        buffer = iter::element::element_iter::ElementIter<T, N>::make(v).collect();
    }
    return domain::error::expect(array::types::Array<T, N>::from_vec(l.shape, std::move(buffer)),
                                 "logical row-major materialization has matching shape and storage");
}

}  // namespace kavrel::application::view::contiguous
