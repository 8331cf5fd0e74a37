// Writable strided views. Like read-only views they borrow storage that the maker keeps
// alive; a writable view also has exclusive use of the elements it addresses. Views cut
// from one parent window by a lane or axis iterator set `window_shared`: they may be used
// element by element but never as one flat run.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel/domain/layout/kernels.hpp"
#include "kavrel/domain/layout/layout.hpp"

namespace kavrel::application::view::mutable_core {

using domain::error::Result;
using domain::layout::Layout;

template <class T, std::size_t N>
struct ArrayViewMut {
    T* ptr;  // element 0 of the storage
    Layout<N> layout;
    std::uint64_t len;  // storage length in elements
    std::uint8_t window_shared;

    [[nodiscard]] static Result<ArrayViewMut> from_parts(T* ptr, std::uint64_t len, const Layout<N>& layout,
                                                         std::uint8_t window_shared = 0) {
        if (auto r = domain::layout::kernels::validate_storage(layout.shape, layout.strides, layout.offset, len); !r)
            return std::unexpected(r.error());
        return ArrayViewMut{ptr, layout, len, window_shared};
    }

    static ArrayViewMut of(array::types::Array<T, N>& a) {
        return domain::error::expect(from_parts(a.data(), a.len(), a.layout), "invariant: array storage covers its layout");
    }

    // A writable view reads as a read-only one; the reverse conversion does not exist.
    operator immutable::ArrayView<T, N>() const { return {ptr, len, layout}; }

    [[nodiscard]] Result<const T*> get(const std::array<std::uint64_t, N>& index) const { return locate(index); }
    [[nodiscard]] Result<T*> get_mut(const std::array<std::uint64_t, N>& index) { return locate(index); }

    // The whole storage as one flat run; refused for a window shared with sibling views.
    std::span<T> whole_window() {
        if (window_shared)
            domain::error::fail_invariant(
                "window is shared with sibling lane/axis views; a whole-window slice would alias their elements (use "
                "per-element access instead)");
        return {ptr, static_cast<std::size_t>(len)};
    }

private:
    Result<T*> locate(const std::array<std::uint64_t, N>& index) const {
        auto pos = domain::layout::kernels::physical_offset(layout.shape, layout.strides, layout.offset, index);
        if (!pos) return std::unexpected(pos.error());
        const auto at = static_cast<std::uint64_t>(*pos);
        if (at >= len)
            return domain::error::storage_error("physical offset " + std::to_string(at) + " exceeds backing slice length " +
                                                std::to_string(len));
        return ptr + at;
    }
};

}  // namespace kavrel::application::view::mutable_core
