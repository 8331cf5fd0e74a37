#include "kavrel_ops/application/index.hpp"

#include <string>

namespace kavrel_ops::application::index {

namespace kernels = kavrel::domain::layout::kernels;

Result<void> validate_output_parts(std::string_view label, bool window_shared, kernels::Shape shape,
                                   kernels::Strides strides, std::uint64_t offset, std::uint64_t storage_len) {
    if (window_shared) {
        return kavrel::domain::error::storage_error(
            std::string(label) +
            " output must exclusively own its storage window (interleaved iterator-yielded sub-views are rejected)");
    }
    if (auto fits = kernels::validate_storage(shape, strides, offset, storage_len); !fits) return fits;
    auto injective = kernels::is_injective(shape, strides);
    if (!injective) return std::unexpected(std::move(injective.error()));
    if (!*injective)
        return kavrel::domain::error::storage_error(std::string(label) + " output layout must be injective (no aliasing)");
    return {};
}

}  // namespace kavrel_ops::application::index
