#include "kavrel_ops/application/linalg/trace.hpp"

#include <cstdint>
#include <utility>

#include "kavrel/domain/layout/kernels.hpp"
#include "kavrel_ops/application/linalg/working.hpp"

namespace kavrel_ops::application::linalg::trace {

Result<double> trace_of(const ArrayView<double, 2>& a) {
    const auto order = working::square_order(a.rows(), a.cols());
    if (!order) return std::unexpected(std::move(order.error()));
    const std::uint64_t rows = *order;
    if (rows == 0) return 0.0;
    const auto& l = a.layout;
    if (auto valid = kavrel::domain::layout::kernels::validate_storage(l.shape, l.strides, l.offset, a.len); !valid)
        return std::unexpected(std::move(valid.error()));
    // A validated layout reaches every diagonal entry inside its storage, so no step overflows.
    const std::int64_t step = l.strides[0] + l.strides[1];
    const auto offset = static_cast<std::int64_t>(l.offset);
    double sum = 0.0;
    for (std::uint64_t i = 0; i < rows; ++i) sum = sum + a.ptr[offset + static_cast<std::int64_t>(i) * step];
    return sum;
}

}  // namespace kavrel_ops::application::linalg::trace
