#include "zubrin_simd/dispatch/isa/lanes_avx512f.hpp"
#include "zubrin_simd/dispatch/isa/matrix_vector.hpp"
#include "zubrin_simd/dispatch/gemv_strided.hpp"

namespace zubrin_simd::dispatch::gemv_strided::detail::avx512f {

void gemv(const double* a, const double* x, double* y, std::size_t rows, std::size_t cols,
          std::size_t lda) noexcept {
    isa::gemv<isa::Lanes<double>>(a, x, y, rows, cols, lda);
}

}  // namespace zubrin_simd::dispatch::gemv_strided::detail::avx512f
