// An array of run-time rank over borrowed storage; the dynamic-rank sum dispatches it to
// the fixed-rank code. Dropping it frees only its layout's arrays.
#pragma once

#include <cstdint>

#include "kavrel/domain/dynamic/layout.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel/domain/layout/kernels.hpp"
#include "kavrel/infrastructure/storage/slice.hpp"

namespace kavrel::application::dynamic::array {

template <class T>
struct ArrayD {
    infrastructure::storage::slice::SliceStorage<T> storage;
    domain::dynamic::layout::LayoutDyn layout;

    // Borrows `len` elements at `ptr`; fails when the layout reaches outside them.
    [[nodiscard]] static domain::error::Result<ArrayD> from_parts(T* ptr, std::uint64_t len,
                                                                  domain::dynamic::layout::LayoutDyn layout) {
        if (auto r = domain::layout::kernels::validate_storage(layout.shape, layout.strides, layout.offset, len); !r)
            return std::unexpected(r.error());
        return ArrayD{{ptr, len}, std::move(layout)};
    }
};

}  // namespace kavrel::application::dynamic::array
