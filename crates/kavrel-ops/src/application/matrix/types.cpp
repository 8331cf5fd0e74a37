#include "kavrel_ops/application/matrix/types.hpp"

#include "kavrel/domain/layout/kernels.hpp"
#include "kavrel_ops/application/index.hpp"

namespace kavrel_ops::application::matrix::types {

namespace {

using kavrel::domain::error::KavrelError;
using kavrel::domain::error::ShapeMismatch;

template <class T>
Result<void> fits_storage(const ArrayView<T, 2>& v) {
    return kavrel::domain::layout::kernels::validate_storage(v.layout.shape, v.layout.strides, v.layout.offset, v.len);
}

}  // namespace

template <ScalarElement T>
Result<MatmulDims> validate_matmul(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b, const ArrayViewMut<T, 2>& c) {
    if (a.cols() != b.rows() || a.rows() != c.layout.shape[0] || b.cols() != c.layout.shape[1])
        return std::unexpected(KavrelError(ShapeMismatch{{a.rows(), a.cols()}, {b.rows(), b.cols()}}));
    if (auto r = fits_storage(a); !r) return std::unexpected(std::move(r.error()));
    if (auto r = fits_storage(b); !r) return std::unexpected(std::move(r.error()));
    if (auto r = index::validate_mutable_output(c, "matmul"); !r) return std::unexpected(std::move(r.error()));
    return MatmulDims{a.rows(),
                      a.cols(),
                      b.cols(),
                      a.layout.strides[0],
                      a.layout.strides[1],
                      b.layout.strides[0],
                      b.layout.strides[1],
                      c.layout.strides[0],
                      c.layout.strides[1],
                      a.layout.offset,
                      b.layout.offset,
                      c.layout.offset};
}

template Result<MatmulDims> validate_matmul<float>(const ArrayView<float, 2>&, const ArrayView<float, 2>&,
                                                   const ArrayViewMut<float, 2>&);
template Result<MatmulDims> validate_matmul<double>(const ArrayView<double, 2>&, const ArrayView<double, 2>&,
                                                    const ArrayViewMut<double, 2>&);

}  // namespace kavrel_ops::application::matrix::types
