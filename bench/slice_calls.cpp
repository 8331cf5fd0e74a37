// The cost of one Scalar slice-kernel call, float64, at lengths 1 to 64 on every CPU path this
// machine runs: dot_slice, axpy_slice and axpy_rows (4 rows), in nanoseconds per call. Calls are
// independent (no result feeds the next), so this is the throughput cost a factorisation pays per
// inner product or row update when its calls can overlap, not the latency of a dependent chain.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "kavrel_ops/domain/scalar/contract.hpp"
#include "kavrel_ops/domain/scalar/cpu_features.hpp"
#include "thread_clock.hpp"

namespace {

using kavrel_ops::domain::scalar::contract::Scalar;
namespace cf = kavrel_ops::domain::scalar::cpu_features;

// Nanoseconds per call of `call`, the best of five runs of `calls` calls.
template <class Call>
double per_call(std::uint64_t calls, Call call) {
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
        const double start = thread_seconds();
        for (std::uint64_t i = 0; i < calls; ++i) call(i);
        best = std::min(best, (thread_seconds() - start) * 1e9 / static_cast<double>(calls));
    }
    return best;
}

void bench_path(const char* name) {
    constexpr std::size_t rows = 4, span = 64;
    std::vector<double> a(span * 8, 0.5), b(span * 8, 0.25), out(rows * span * 8, 0.0), coeffs(rows, 0.125);
    volatile double sink = 0.0;
    std::printf("%-9s %6s %10s %10s %12s\n", name, "length", "dot_slice", "axpy_slice", "axpy_rows(4)");
    for (std::size_t len : {1, 2, 4, 8, 13, 16, 24, 32, 48, 64}) {
        const std::uint64_t calls = 200000;
        const double dot = per_call(calls, [&](std::uint64_t i) {
            const std::size_t at = (i & 7) * span;
            sink = sink + Scalar<double>::dot_slice({a.data() + at, len}, {b.data() + at, len});
        });
        const double axpy = per_call(calls, [&](std::uint64_t i) {
            const std::size_t at = (i & 7) * span;
            Scalar<double>::axpy_slice({a.data() + at, len}, {out.data() + at, len}, 1e-3);
        });
        const double axpy_rows = per_call(calls, [&](std::uint64_t i) {
            const std::size_t at = (i & 7) * span;
            Scalar<double>::axpy_rows(coeffs, {a.data() + at, len}, {out.data() + at * rows, (rows - 1) * span + len},
                                      span, rows, len);
        });
        std::printf("%-9s %6zu %10.1f %10.1f %12.1f\n", "", len, dot, axpy, axpy_rows);
    }
}

}  // namespace

int main() {
    const struct {
        cf::FeatureWord word;
        const char* name;
    } paths[] = {{cf::detected_marker | cf::avx512f_flag | cf::avx2_flag | cf::fma_flag, "avx512f"},
                 {cf::detected_marker | cf::avx2_flag | cf::fma_flag, "avx2_fma"},
                 {cf::detected_marker, "portable"}};
    const cf::FeatureWord cpu = cf::detect_features();
    for (const auto& p : paths) {
        if ((p.word & cpu) != p.word) continue;  // a path this CPU cannot run
        cf::detail::force_feature_word(p.word);
        bench_path(p.name);
    }
    return 0;
}
