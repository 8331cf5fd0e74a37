#include "kavrel_ops/application/matrix/dot_outer_kernels.hpp"

#include <algorithm>
#include <span>

#include "dravik_parallel/ops.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/matrix/packing.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"
#include "kavrel_ops/domain/tuning.hpp"

namespace kavrel_ops::application::matrix::dot_outer_kernels {

namespace {

using kavrel_ops::domain::scalar::contract::Scalar;
namespace tuning = kavrel_ops::domain::tuning;
using types::run;

// The operands as the kernels address them; built on the caller's stack and only read by the
// units (each writes its own rows of C through `c`).
template <class T>
struct Operands {
    const T* a;
    const T* b;
    T* c;
    std::uint64_t a_offset;
    std::uint64_t b_offset;
    std::uint64_t c_offset;
    std::uint64_t m;
    std::uint64_t k;
    std::uint64_t n;
    Accumulate accumulate;
};

// Refuses a shared output window (an internal error), then gathers the operands.
template <class T>
Operands<T> operands(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b, ArrayViewMut<T, 2>& c,
                     Accumulate accumulate) {
    T* storage = c.whole_window().data();
    return {a.ptr,    b.ptr,    storage,  a.layout.offset, b.layout.offset, c.layout.offset,
            a.rows(), a.cols(), b.cols(), accumulate};
}

template <class T>
void dot_band(const Operands<T>& o, std::uint64_t first, std::uint64_t last) {
    for (std::uint64_t i = first; i < last; ++i) {
        const auto row = run(o.a, o.a_offset + i * o.k, o.k);
        const auto out = run(o.c, o.c_offset + i * o.n, o.n);
        for (std::uint64_t j = 0; j < o.n; ++j) {
            const T d = Scalar<T>::dot_slice(row, run(o.b, o.b_offset + j * o.k, o.k));
            out[j] = o.accumulate == Accumulate::add ? d + out[j] : d;
        }
    }
}

// Terms a row of C takes in one pass: up to tuning::outer_terms_per_pass consecutive entries of
// A's row that are not left out (types::ZeroSkip) go to one axpy_rows_batch call, whose chain
// adds them in order exactly as that many axpy_slice calls would, while C's row is loaded and
// stored once instead of once per term.
template <class T>
void outer_band(const Operands<T>& o, std::uint64_t first, std::uint64_t last) {
    types::ZeroSkip<T> zero{o.b, o.b_offset, static_cast<std::int64_t>(o.n), 1, o.n, o.k};
    // In locals: the out-of-line row test of a zero would otherwise have them reloaded per entry.
    const std::uint64_t m = o.m, k = o.k;
    for (std::uint64_t i = first; i < last; ++i) {
        const auto out = run(o.c, o.c_offset + i * o.n, o.n);
        const T* row = o.a + o.a_offset + i;  // A[i, p] at row[p·m]
        std::uint64_t p = 0;
        while (p < k) {
            T terms[tuning::outer_terms_per_pass];
            std::uint64_t count = 0;
            for (; count < tuning::outer_terms_per_pass && p + count < k; ++count) {
                const T v = row[(p + count) * m];
                if (types::skips(zero, v, p + count)) break;
                terms[count] = v;
            }
            if (count == 0) {
                ++p;  // an exactly zero entry before a finite row of B: nothing to add
                continue;
            }
            Scalar<T>::axpy_rows_batch(std::span<const T>(terms, count), run(o.b, o.b_offset + p * o.n, count * o.n), out,
                                       o.n, 1, count, o.n);
            p += count;
        }
    }
}

// Units of tuning::band_rows rows: at most tuning::inline_units_max in order on this thread, else
// on the executor.
template <class T, class Band>
void run_bands(const Operands<T>& o, Band band) {
    constexpr std::uint64_t rows = tuning::band_rows;
    const std::uint64_t units = o.m / rows + (o.m % rows != 0);
    const auto unit = [&o, band](std::uint64_t u) { band(o, u * rows, std::min(u * rows + rows, o.m)); };
    if (units <= tuning::inline_units_max) {
        for (std::uint64_t u = 0; u < units; ++u) unit(u);
        return;
    }
    dravik_parallel::ops::for_each_index_with<dravik_parallel::policy::Parallel>(units, unit);
}

// The outer kernels add into C, so an overwriting product clears it first, on this thread.
template <class T>
void clear_for_overwrite(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b, ArrayViewMut<T, 2>& c,
                         Accumulate accumulate) {
    if (accumulate != Accumulate::overwrite) return;
    const auto dims = kavrel::domain::error::expect(types::validate_matmul(a, b, c), "route_matmul validated dimensions");
    packing::zero_output(dims, c);
}

}  // namespace

template <ScalarElement T>
void serial_dot_matmul(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b, ArrayViewMut<T, 2>& c,
                       Accumulate accumulate) {
    const auto o = operands(a, b, c, accumulate);
    if (o.m == 0 || o.n == 0) return;
    dot_band(o, 0, o.m);
}

template <ScalarElement T>
void parallel_dot_matmul(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b, ArrayViewMut<T, 2>& c,
                         Accumulate accumulate) {
    const auto o = operands(a, b, c, accumulate);
    if (o.m == 0) return;
    run_bands(o, dot_band<T>);
}

template <ScalarElement T>
void serial_outer_matmul(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b, ArrayViewMut<T, 2>& c,
                         Accumulate accumulate) {
    const auto o = operands(a, b, c, accumulate);
    clear_for_overwrite(a, b, c, accumulate);
    if (o.m == 0 || o.k == 0) return;
    outer_band(o, 0, o.m);
}

template <ScalarElement T>
void parallel_outer_matmul(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b, ArrayViewMut<T, 2>& c,
                           Accumulate accumulate) {
    const auto o = operands(a, b, c, accumulate);
    clear_for_overwrite(a, b, c, accumulate);
    if (o.m == 0) return;
    run_bands(o, outer_band<T>);
}

template void serial_dot_matmul<float>(const ArrayView<float, 2>&, const ArrayView<float, 2>&, ArrayViewMut<float, 2>&,
                                       Accumulate);
template void parallel_dot_matmul<float>(const ArrayView<float, 2>&, const ArrayView<float, 2>&,
                                         ArrayViewMut<float, 2>&, Accumulate);
template void serial_outer_matmul<float>(const ArrayView<float, 2>&, const ArrayView<float, 2>&,
                                         ArrayViewMut<float, 2>&, Accumulate);
template void parallel_outer_matmul<float>(const ArrayView<float, 2>&, const ArrayView<float, 2>&,
                                           ArrayViewMut<float, 2>&, Accumulate);
template void serial_dot_matmul<double>(const ArrayView<double, 2>&, const ArrayView<double, 2>&,
                                        ArrayViewMut<double, 2>&, Accumulate);
template void parallel_dot_matmul<double>(const ArrayView<double, 2>&, const ArrayView<double, 2>&,
                                          ArrayViewMut<double, 2>&, Accumulate);
template void serial_outer_matmul<double>(const ArrayView<double, 2>&, const ArrayView<double, 2>&,
                                          ArrayViewMut<double, 2>&, Accumulate);
template void parallel_outer_matmul<double>(const ArrayView<double, 2>&, const ArrayView<double, 2>&,
                                            ArrayViewMut<double, 2>&, Accumulate);

}  // namespace kavrel_ops::application::matrix::dot_outer_kernels
