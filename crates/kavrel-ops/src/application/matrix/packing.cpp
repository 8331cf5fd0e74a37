#include "kavrel_ops/application/matrix/packing.hpp"

#include <algorithm>
#include <cstdint>

#include "kavrel/domain/layout/kernels.hpp"

namespace kavrel_ops::application::matrix::packing {

namespace {

using types::element_index;
using types::run;
using types::stride_equals;

}  // namespace

template <ScalarElement T>
void zero_output(const MatmulDims& dims, ArrayViewMut<T, 2>& c) {
    // whole_window refuses a shared window before anything else.
    const std::span<T> storage = c.whole_window();
    const std::uint64_t m = dims.m, n = dims.n;
    if (dims.c_col_stride == 1 && stride_equals(dims.c_row_stride, n)) {
        const std::uint64_t count = m * n;  // C's element count, which validation bounded
        if (count == 0) return;
        if (dims.c_offset > storage.size() || count > storage.size() - dims.c_offset)
            kavrel::domain::error::fail_invariant("invariant: the cleared output block lies inside C's storage");
        std::fill_n(storage.begin() + static_cast<std::ptrdiff_t>(dims.c_offset), count, T{});
        return;
    }
    if (m == 0) return;
    T* base = storage.data();
    if (dims.c_col_stride == 1) {
        for (std::uint64_t i = 0; i < m; ++i) {
            const auto row = run(base, element_index(dims.c_offset, dims.c_row_stride, 1, i, 0), n);
            std::fill(row.begin(), row.end(), T{});
        }
        return;
    }
    for (std::uint64_t i = 0; i < m; ++i)
        for (std::uint64_t j = 0; j < n; ++j)
            base[element_index(dims.c_offset, dims.c_row_stride, dims.c_col_stride, i, j)] = T{};
}

template <ScalarElement T>
void zero_rows(const MatmulDims& dims, T* c, std::uint64_t first, std::uint64_t last) {
    const std::uint64_t n = dims.n;
    if (first >= last || n == 0) return;
    if (dims.c_col_stride == 1 && stride_equals(dims.c_row_stride, n)) {
        std::fill_n(c + dims.c_offset + first * n, (last - first) * n, T{});
        return;
    }
    for (std::uint64_t i = first; i < last; ++i) {
        if (dims.c_col_stride == 1) {
            const auto row = run(c, element_index(dims.c_offset, dims.c_row_stride, 1, i, 0), n);
            std::fill(row.begin(), row.end(), T{});
            continue;
        }
        for (std::uint64_t j = 0; j < n; ++j) c[element_index(dims.c_offset, dims.c_row_stride, dims.c_col_stride, i, j)] = T{};
    }
}

template <ScalarElement T>
Result<void> copy_back_to_out(std::span<const T> source, ArrayViewMut<T, 2>& c) {
    const std::span<T> storage = c.whole_window();
    const auto& l = c.layout;
    if (auto r = kavrel::domain::layout::kernels::validate_storage(l.shape, l.strides, l.offset, c.len); !r) return r;
    const std::uint64_t rows = l.shape[0], cols = l.shape[1];
    if (rows == 0) return {};
    T* base = storage.data();
    if (l.strides[1] == 1) {
        for (std::uint64_t i = 0; i < rows; ++i) {
            const auto row = run(base, element_index(l.offset, l.strides[0], 1, i, 0), cols);
            std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(i * cols), row.size(), row.begin());
        }
        return {};
    }
    if (cols == 0) return {};
    for (std::uint64_t i = 0; i < rows; ++i)
        for (std::uint64_t j = 0; j < cols; ++j)
            base[element_index(l.offset, l.strides[0], l.strides[1], i, j)] = source[i * cols + j];
    return {};
}

template void zero_output<float>(const MatmulDims&, ArrayViewMut<float, 2>&);
template void zero_output<double>(const MatmulDims&, ArrayViewMut<double, 2>&);
template void zero_rows<float>(const MatmulDims&, float*, std::uint64_t, std::uint64_t);
template void zero_rows<double>(const MatmulDims&, double*, std::uint64_t, std::uint64_t);
template Result<void> copy_back_to_out<float>(std::span<const float>, ArrayViewMut<float, 2>&);
template Result<void> copy_back_to_out<double>(std::span<const double>, ArrayViewMut<double, 2>&);

}  // namespace kavrel_ops::application::matrix::packing
