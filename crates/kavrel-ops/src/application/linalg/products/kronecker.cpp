#include "kavrel_ops/application/linalg/products/kronecker.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel/domain/layout/kernels.hpp"
#include "kavrel/domain/layout/layout.hpp"
#include "kavrel_ops/application/linalg/working.hpp"

namespace kavrel_ops::application::linalg::products::kronecker {

namespace {

namespace kernels = kavrel::domain::layout::kernels;

namespace checked = kavrel::domain::checked;

// The storage of a row-major view from its offset, when the whole run lies inside it.
const double* row_major_run(const ArrayView<double, 2>& v, std::uint64_t count) {
    if (!kavrel::domain::layout::is_c_contiguous(v.layout)) return nullptr;
    if (!checked::ends_within(v.layout.offset, count, v.len)) return nullptr;
    return v.ptr + v.layout.offset;
}

// Element (i, j) through the view's strides, tested against its storage.
Result<double> read(const ArrayView<double, 2>& v, std::uint64_t i, std::uint64_t j) {
    const auto& l = v.layout;
    const std::array<std::uint64_t, 2> index{i, j};
    auto at = kernels::physical_offset(l.shape, l.strides, l.offset, index);
    if (!at) return std::unexpected(std::move(at.error()));
    const auto offset = static_cast<std::uint64_t>(*at);
    if (offset >= v.len)
        return kavrel::domain::error::storage_error("physical offset " + std::to_string(offset) +
                                                    " exceeds backing slice length " + std::to_string(v.len));
    return v.ptr[offset];
}

// b's elements in row-major order.
Result<std::vector<double>> row_major_copy(const ArrayView<double, 2>& b, std::uint64_t count) {
    if (const double* run = row_major_run(b, count)) return std::vector<double>(run, run + count);
    std::vector<double> out;
    out.reserve(count);
    for (std::uint64_t k = 0; k < b.rows(); ++k)
        for (std::uint64_t l = 0; l < b.cols(); ++l) {
            auto x = read(b, k, l);
            if (!x) return std::unexpected(std::move(x.error()));
            out.push_back(*x);
        }
    return out;
}

}  // namespace

Result<Array<double, 2>> kronecker_product(const ArrayView<double, 2>& a, const ArrayView<double, 2>& b) {
    for (const ArrayView<double, 2>* v : {&a, &b})
        if (auto valid = kernels::validate_storage(v->layout.shape, v->layout.strides, v->layout.offset, v->len); !valid)
            return std::unexpected(std::move(valid.error()));
    const std::uint64_t ar = a.rows(), ac = a.cols(), br = b.rows(), bc = b.cols();
    const auto output_rows = checked::mul(ar, br);
    if (!output_rows) return kavrel::domain::error::overflow("kronecker output row count");
    const auto output_cols = checked::mul(ac, bc);
    if (!output_cols) return kavrel::domain::error::overflow("kronecker output column count");
    const auto output_count = checked::mul(*output_rows, *output_cols);
    if (!output_count) return kavrel::domain::error::overflow("kronecker output element count");
    const std::uint64_t rows = *output_rows, cols = *output_cols, count = *output_count;

    std::vector<double> out(count, 0.0);
    if (count != 0) {
        // Only here: an empty result costs nothing, however large b is.
        auto bm = row_major_copy(b, br * bc);
        if (!bm) return std::unexpected(std::move(bm.error()));
        const double* a_run = row_major_run(a, ar * ac);
        // A zero entry's block is left +0.0 only where that equals its products: with an
        // infinity or a NaN in b, 0·b holds NaN there.
        const bool b_finite = working::all_finite(*bm);
        for (std::uint64_t i = 0; i < ar; ++i)
            for (std::uint64_t j = 0; j < ac; ++j) {
                double s;
                if (a_run) {
                    s = a_run[i * ac + j];
                } else {
                    auto x = read(a, i, j);
                    if (!x) return std::unexpected(std::move(x.error()));
                    s = *x;
                }
                if (s == 0.0 && b_finite) continue;
                for (std::uint64_t k = 0; k < br; ++k) {
                    const double* src = bm->data() + k * bc;
                    double* dst = out.data() + (i * br + k) * cols + j * bc;
                    for (std::uint64_t l = 0; l < bc; ++l) dst[l] = src[l] * s;
                }
            }
    }
    // Only the layout can fail here: an empty output whose row count exceeds the signed 64-bit
    // range (a 2^32 × 0 by a (2^31 + 1) × 0 product) is refused as an overflow, not an internal error.
    return Array<double, 2>::from_vec({rows, cols}, std::move(out));
}

}  // namespace kavrel_ops::application::linalg::products::kronecker
