// Read-only strided views. A view borrows a buffer it does not own; whoever made it keeps
// the buffer alive (and unwritten by others) for as long as the view is used, which is
// never longer than the call that made it. Views exist only over validated layouts.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "kavrel/application/array/types.hpp"
#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel/domain/layout/kernels.hpp"
#include "kavrel/domain/layout/layout.hpp"

namespace kavrel::application::view::immutable {

using domain::error::Result;
using domain::layout::Layout;

template <class T, std::size_t N>
struct ArrayView {
    const T* ptr;       // element 0 of the storage
    std::uint64_t len;  // storage length in elements
    Layout<N> layout;

    // A view over `len` elements at `ptr`; fails when the layout reaches outside them.
    [[nodiscard]] static Result<ArrayView> from_parts(const T* ptr, std::uint64_t len, const Layout<N>& layout) {
        if (auto r = domain::layout::kernels::validate_storage(layout.shape, layout.strides, layout.offset, len); !r)
            return std::unexpected(r.error());
        return ArrayView{ptr, len, layout};
    }

    static ArrayView of(const array::types::Array<T, N>& a) {
        return domain::error::expect(from_parts(a.data(), a.len(), a.layout), "invariant: array storage covers its layout");
    }

    std::uint64_t rows() const
        requires(N == 2)
    {
        return layout.shape[0];
    }
    std::uint64_t cols() const
        requires(N == 2)
    {
        return layout.shape[1];
    }
};

// The dense storage run [offset, offset + count) of a C- or F-contiguous view, when it lies
// inside the storage; none otherwise, or when the count or the end overflows.
template <class T, std::size_t N>
std::optional<std::span<const T>> contiguous_window(const ArrayView<T, N>& v) {
    if (!domain::layout::is_c_contiguous(v.layout) && !domain::layout::is_f_contiguous(v.layout)) return std::nullopt;
    auto count = v.layout.element_count();
    if (!count) return std::nullopt;
    if (!domain::checked::ends_within(v.layout.offset, *count, v.len)) return std::nullopt;
    return std::span<const T>(v.ptr + v.layout.offset, static_cast<std::size_t>(*count));
}

}  // namespace kavrel::application::view::immutable
