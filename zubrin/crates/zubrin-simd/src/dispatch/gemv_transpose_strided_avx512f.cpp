#include "zubrin_simd/dispatch/isa/lanes_avx512f.hpp"
#include "zubrin_simd/dispatch/isa/matrix_vector.hpp"
#include "zubrin_simd/dispatch/gemv_transpose_strided.hpp"

namespace zubrin_simd::dispatch::gemv_transpose_strided::detail::avx512f {

void gemv_transpose(const double* a, const double* x, double* y, std::size_t rows, std::size_t cols,
                    std::size_t lda) noexcept {
    isa::gemv_transpose<isa::Lanes<double>>(a, x, y, rows, cols, lda);
}

}  // namespace zubrin_simd::dispatch::gemv_transpose_strided::detail::avx512f
