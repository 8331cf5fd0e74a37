#include "kavrel_ops/application/vector.hpp"

#include <array>
#include <cstdint>

#include "kavrel/domain/layout/kernels.hpp"
#include "kavrel_ops/application/matrix/types.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"

namespace kavrel_ops::application::vector {

namespace {

using kavrel::domain::error::KavrelError;
using kavrel::domain::error::ShapeMismatch;
using kavrel_ops::application::matrix::types::run;
namespace kernels = kavrel::domain::layout::kernels;

Result<void> fits_storage(const ArrayView<float, 1>& v) {
    return kernels::validate_storage(v.layout.shape, v.layout.strides, v.layout.offset, v.len);
}

Result<float> element(const ArrayView<float, 1>& v, std::uint64_t i) {
    const std::array<std::uint64_t, 1> index{i};
    auto at = kernels::physical_offset(v.layout.shape, v.layout.strides, v.layout.offset, index);
    if (!at) return std::unexpected(std::move(at.error()));
    return v.ptr[*at];
}

}  // namespace

Result<float> dot(const ArrayView<float, 1>& a, const ArrayView<float, 1>& b) {
    const std::uint64_t n = a.layout.shape[0];
    if (n != b.layout.shape[0]) return std::unexpected(KavrelError(ShapeMismatch{{n}, {b.layout.shape[0]}}));
    if (auto r = fits_storage(a); !r) return std::unexpected(std::move(r.error()));
    if (auto r = fits_storage(b); !r) return std::unexpected(std::move(r.error()));
    if (n == 1 || (a.layout.strides[0] == 1 && b.layout.strides[0] == 1))
        return kavrel_ops::domain::scalar::contract::Scalar<float>::dot_slice(run(a.ptr, a.layout.offset, n),
                                                                             run(b.ptr, b.layout.offset, n));
    float sum = 0.0f;
    for (std::uint64_t i = 0; i < n; ++i) {
        const auto x = element(a, i);
        if (!x) return x;
        const auto y = element(b, i);
        if (!y) return y;
        const float product = *x * *y;
        sum = sum + product;
    }
    return sum;
}

}  // namespace kavrel_ops::application::vector
