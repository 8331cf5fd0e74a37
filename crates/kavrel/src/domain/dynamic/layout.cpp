#include "kavrel/domain/dynamic/layout.hpp"

namespace kavrel::domain::dynamic::layout {

error::Result<LayoutDyn> LayoutDyn::c_contiguous(std::span<const std::uint64_t> shape) {
    LayoutDyn out{std::vector<std::uint64_t>(shape.begin(), shape.end()), std::vector<std::int64_t>(shape.size()), 0};
    if (auto r = domain::layout::kernels::c_contiguous_strides(out.shape, out.strides); !r)
        return std::unexpected(r.error());
    return out;
}

}  // namespace kavrel::domain::dynamic::layout
