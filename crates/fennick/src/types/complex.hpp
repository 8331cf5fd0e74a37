// A complex number of two float64 parts. A sequence of them has NumPy's complex128
// memory layout (real and imaginary parts alternating), so eigenvalue buffers can be
// handed to NumPy as they are.
#pragma once

namespace fennick::types::complex {

struct Complex {
    double re;
    double im;
};

static_assert(sizeof(Complex) == 16 && alignof(Complex) == alignof(double));

}  // namespace fennick::types::complex
