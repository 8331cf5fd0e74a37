// The two product kernels whose inner loops run over contiguous memory without packing:
// dot-product kernels (A row-major, B column-major: each C[i, j] one dot product of a row of A
// and a column of B) and outer-product kernels (A column-major, B row-major: each row of C a sum
// of B's rows scaled by A's entries), both into a row-major C, each serial or in units of
// tuning::band_rows rows on the executor. The router establishes those layouts; the kernels rely
// on them.
#pragma once

#include <cstdint>

#include "kavrel/application/view/immutable.hpp"
#include "kavrel/application/view/mutable_core.hpp"
#include "kavrel_ops/application/matrix/types.hpp"

namespace kavrel_ops::application::matrix::dot_outer_kernels {

using kavrel::application::view::immutable::ArrayView;
using kavrel::application::view::mutable_core::ArrayViewMut;
using types::Accumulate;
using types::ScalarElement;

// Both families take m and k from A's shape and n from B's, and address the operands by their
// offsets alone: the dot kernels read A[i, p] at A.offset + i·k + p, B[p, j] at B.offset + j·k + p;
// the outer kernels A[i, p] at A.offset + i + p·m, B[p, j] at B.offset + p·n + j; C[i, j] is at
// C.offset + i·n + j for both. Requires: those layouts (the router's row- and column-major tests)
// and operands that passed validate_matmul. Every kernel first refuses a shared output window with
// an internal error.
//
// Dot kernels: C[i, j] = d (overwrite) or d + C[i, j] (add), d = dot_slice of A's row i and B's
// column j in dot_slice's order; d = 0 for k = 0. A zero entry is multiplied like any other.
template <ScalarElement T>
void serial_dot_matmul(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b, ArrayViewMut<T, 2>& c,
                       Accumulate accumulate);
template <ScalarElement T>
void parallel_dot_matmul(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b, ArrayViewMut<T, 2>& c,
                         Accumulate accumulate);

// Outer kernels: C cleared first when overwriting (after validating again: a failure there is the
// internal error "route_matmul validated dimensions: <debug form>"); then each row i of C gets
// axpy_slice(B's row p, C's row i, A[i, p]) for p increasing, an exactly zero A[i, p] skipped
// where B's row p is finite (types::ZeroSkip): the IEEE result, 0·inf = NaN included.
template <ScalarElement T>
void serial_outer_matmul(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b, ArrayViewMut<T, 2>& c,
                         Accumulate accumulate);
template <ScalarElement T>
void parallel_outer_matmul(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b, ArrayViewMut<T, 2>& c,
                           Accumulate accumulate);

// The parallel forms: ceil(m / tuning::band_rows) units of that many rows; at most
// tuning::inline_units_max run in order on the calling thread, more go to for_each_index_with
// (Parallel). A failed unit stops with the executor's internal error once every chunk has ended,
// C partly written.

extern template void serial_dot_matmul<float>(const ArrayView<float, 2>&, const ArrayView<float, 2>&,
                                              ArrayViewMut<float, 2>&, Accumulate);
extern template void parallel_dot_matmul<float>(const ArrayView<float, 2>&, const ArrayView<float, 2>&,
                                                ArrayViewMut<float, 2>&, Accumulate);
extern template void serial_outer_matmul<float>(const ArrayView<float, 2>&, const ArrayView<float, 2>&,
                                                ArrayViewMut<float, 2>&, Accumulate);
extern template void parallel_outer_matmul<float>(const ArrayView<float, 2>&, const ArrayView<float, 2>&,
                                                  ArrayViewMut<float, 2>&, Accumulate);
extern template void serial_dot_matmul<double>(const ArrayView<double, 2>&, const ArrayView<double, 2>&,
                                               ArrayViewMut<double, 2>&, Accumulate);
extern template void parallel_dot_matmul<double>(const ArrayView<double, 2>&, const ArrayView<double, 2>&,
                                                 ArrayViewMut<double, 2>&, Accumulate);
extern template void serial_outer_matmul<double>(const ArrayView<double, 2>&, const ArrayView<double, 2>&,
                                                 ArrayViewMut<double, 2>&, Accumulate);
extern template void parallel_outer_matmul<double>(const ArrayView<double, 2>&, const ArrayView<double, 2>&,
                                                   ArrayViewMut<double, 2>&, Accumulate);

}  // namespace kavrel_ops::application::matrix::dot_outer_kernels
