// Built with -mavx2 -mfma like the kernels; includes nothing but the intrinsics, so no inline
// code of the test framework is compiled for AVX2 here.
#include <immintrin.h>

namespace kernel_test {

// Loads one float through a lane mask whose other seven lanes lie past `last`.
float masked_load_of_last_float(const float* last) {
    const __m256i lane0 = _mm256_setr_epi32(-1, 0, 0, 0, 0, 0, 0, 0);
    return _mm256_cvtss_f32(_mm256_maskload_ps(last, lane0));
}

}  // namespace kernel_test
