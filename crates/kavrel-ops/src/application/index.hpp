// The checks a writable view passes before an operation writes it as its output: the view's
// storage window is its own (not shared with sibling views), its layout fits its storage, and
// no two logical indices reach the same storage element, so disjoint index sets written by
// different threads are disjoint memory. Nothing here writes or reads an element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "kavrel/application/view/mutable_core.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel/domain/layout/kernels.hpp"

namespace kavrel_ops::application::index {

using kavrel::application::view::mutable_core::ArrayViewMut;
using kavrel::domain::error::Result;

// The checks on the parts of a view; `label` names the operation in the two texts.
// In this order: a shared window is the StorageError "<label> output must exclusively own its
// storage window (interleaved iterator-yielded sub-views are rejected)"; then the error of
// validate_storage; then the error of is_injective; then a layout that is not injective is the
// StorageError "<label> output layout must be injective (no aliasing)".
[[nodiscard]] Result<void> validate_output_parts(std::string_view label, bool window_shared,
                                                 kavrel::domain::layout::kernels::Shape shape,
                                                 kavrel::domain::layout::kernels::Strides strides,
                                                 std::uint64_t offset, std::uint64_t storage_len);

// The checks above on a writable view: "binary map" for the element-wise maps, "matmul" for
// the matrix products.
template <class T, std::size_t N>
[[nodiscard]] Result<void> validate_mutable_output(const ArrayViewMut<T, N>& out, std::string_view label) {
    return validate_output_parts(label, out.window_shared != 0, out.layout.shape, out.layout.strides,
                                 out.layout.offset, out.len);
}

}  // namespace kavrel_ops::application::index
