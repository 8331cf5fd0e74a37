// Single-threaded Scalar::tiled_gemm against this core's own peak fused-multiply-add rate.
//
// The peak comes from a register-only loop of independent fused multiply-adds of the vector width
// the selected kernel uses, measured in the same run. Then C += A·B on square float32 and float64
// matrices: as one call over the whole product; as a sequence of 32-row calls, each packing B
// again; and as the row-blocked matrix products now run it on one participant, its 32-row
// blocks as one product over one packed copy of B (the packing included in the time). Each is printed as GFLOP/s and as a fraction of the peak:
// the median over the repeats and the best one. Times are the thread's own CPU time, so on a
// shared machine the time the thread spends descheduled is not counted (what other processes do
// to the caches and the memory bus still is).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <span>
#include <vector>

#include "kavrel_ops/domain/scalar/contract.hpp"
#include "kavrel_ops/domain/scalar/cpu_features.hpp"
#include "kavrel_ops/domain/scalar/shared_panels.hpp"
#include "thread_clock.hpp"

namespace {

using kavrel_ops::domain::scalar::contract::Scalar;
namespace cf = kavrel_ops::domain::scalar::cpu_features;
namespace sp = kavrel_ops::domain::scalar::shared_panels;

// Twelve independent chains (latency 4 × two pipes needs at least eight), zero operands so no
// subnormal or overflow slows a lane, and the loop inside the asm so no compiled code touches
// the accumulators. The instructions are assembled whatever the compile flags; the caller runs
// only the one its CPU has.
#define KAVREL_BENCH_FMA12(op, reg)                                                                           \
    op " %%" reg "0, %%" reg "0, %%" reg "1\n\t" op " %%" reg "0, %%" reg "0, %%" reg "2\n\t" op " %%" reg    \
       "0, %%" reg "0, %%" reg "3\n\t" op " %%" reg "0, %%" reg "0, %%" reg "4\n\t" op " %%" reg "0, %%" reg \
       "0, %%" reg "5\n\t" op " %%" reg "0, %%" reg "0, %%" reg "6\n\t" op " %%" reg "0, %%" reg "0, %%" reg  \
       "7\n\t" op " %%" reg "0, %%" reg "0, %%" reg "8\n\t" op " %%" reg "0, %%" reg "0, %%" reg "9\n\t" op   \
       " %%" reg "0, %%" reg "0, %%" reg "10\n\t" op " %%" reg "0, %%" reg "0, %%" reg "11\n\t" op " %%" reg  \
       "0, %%" reg "0, %%" reg "12\n\t"

#define KAVREL_BENCH_ZERO13                                                                                  \
    "vxorpd %%xmm0, %%xmm0, %%xmm0\n\t"                                                                       \
    "vmovapd %%xmm0, %%xmm1\n\tvmovapd %%xmm0, %%xmm2\n\tvmovapd %%xmm0, %%xmm3\n\tvmovapd %%xmm0, %%xmm4\n\t" \
    "vmovapd %%xmm0, %%xmm5\n\tvmovapd %%xmm0, %%xmm6\n\tvmovapd %%xmm0, %%xmm7\n\tvmovapd %%xmm0, %%xmm8\n\t" \
    "vmovapd %%xmm0, %%xmm9\n\tvmovapd %%xmm0, %%xmm10\n\tvmovapd %%xmm0, %%xmm11\n\tvmovapd %%xmm0, %%xmm12\n\t"

#define KAVREL_BENCH_CLOBBERS                                                                                 \
    "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", \
        "cc"

enum class FmaKind { zmm_pd, zmm_ps, ymm_pd, ymm_ps };

// Runs `iterations` × 12 fused multiply-adds of one kind.
void run_fma_loop(FmaKind kind, std::uint64_t iterations) {
    switch (kind) {
        case FmaKind::zmm_pd:
            asm volatile(KAVREL_BENCH_ZERO13 "1:\n\t" KAVREL_BENCH_FMA12("vfmadd231pd", "zmm") "dec %0\n\tjnz 1b\n\t"
                         : "+r"(iterations)::KAVREL_BENCH_CLOBBERS);
            break;
        case FmaKind::zmm_ps:
            asm volatile(KAVREL_BENCH_ZERO13 "1:\n\t" KAVREL_BENCH_FMA12("vfmadd231ps", "zmm") "dec %0\n\tjnz 1b\n\t"
                         : "+r"(iterations)::KAVREL_BENCH_CLOBBERS);
            break;
        case FmaKind::ymm_pd:
            asm volatile(KAVREL_BENCH_ZERO13 "1:\n\t" KAVREL_BENCH_FMA12("vfmadd231pd", "ymm") "dec %0\n\tjnz 1b\n\t"
                         : "+r"(iterations)::KAVREL_BENCH_CLOBBERS);
            break;
        case FmaKind::ymm_ps:
            asm volatile(KAVREL_BENCH_ZERO13 "1:\n\t" KAVREL_BENCH_FMA12("vfmadd231ps", "ymm") "dec %0\n\tjnz 1b\n\t"
                         : "+r"(iterations)::KAVREL_BENCH_CLOBBERS);
            break;
    }
    asm volatile("vzeroupper" ::: "memory");
}

// The best GFLOP/s of a few timed runs of about 0.1 s each.
double peak_gflops(FmaKind kind, std::size_t lanes) {
    const std::uint64_t iterations = 20'000'000;
    run_fma_loop(kind, iterations / 10);  // warm-up: clocks up, upper register state on
    double best = 0.0;
    for (int repeat = 0; repeat < 7; ++repeat) {
        const double start = thread_seconds();
        run_fma_loop(kind, iterations);
        const double flops = 2.0 * 12.0 * static_cast<double>(lanes) * static_cast<double>(iterations);
        best = std::max(best, flops / (thread_seconds() - start) / 1e9);
    }
    return best;
}

struct Rate {
    double median_gflops;
    double best_gflops;
};

// Median and best rate of `call` (one product of 2n³ flops) over repeats lasting about `budget`
// seconds, at least three, after one warm-up call.
template <class Call>
Rate time_product(std::size_t n, double budget, Call call) {
    call();
    std::vector<double> times;
    const double begin = thread_seconds();
    while (times.size() < 3 || (thread_seconds() - begin < budget && times.size() < 50)) {
        const double start = thread_seconds();
        call();
        times.push_back(thread_seconds() - start);
    }
    std::sort(times.begin(), times.end());
    const double flops = 2.0 * static_cast<double>(n) * static_cast<double>(n) * static_cast<double>(n);
    return {flops / times[times.size() / 2] / 1e9, flops / times.front() / 1e9};
}

template <class T>
void bench_type(const char* type_name, double peak) {
    constexpr std::size_t block_rows = 32;
    for (std::size_t n : {256, 512, 1024, 2048}) {
        std::mt19937_64 rng(n);
        std::uniform_real_distribution<T> unit(T(-1), T(1));
        std::vector<T> a(n * n), b(n * n), c(n * n, T(0));
        for (T& v : a) v = unit(rng);
        for (T& v : b) v = unit(rng);
        const double budget = n >= 2048 ? 1.5 : 0.6;

        const Rate whole = time_product(n, budget, [&] { Scalar<T>::tiled_gemm(a, b, c, n, n, n); });
        const Rate blocks = time_product(n, budget, [&] {
            for (std::size_t i0 = 0; i0 < n; i0 += block_rows) {
                const std::size_t rows = std::min(block_rows, n - i0);
                Scalar<T>::tiled_gemm(std::span<const T>(a).subspan(i0 * n, rows * n), b,
                                      std::span<T>(c).subspan(i0 * n, rows * n), rows, n, n);
            }
        });
        // A participant's run of 32-row blocks over one packed B, here all of them: B packed
        // once (timed with the product), then every panel serving all the rows.
        const Rate shared = time_product(n, budget, [&] {
            auto panels = sp::plan_shared_panels<T>(b, block_rows, n, n);
            if (!panels) {
                Scalar<T>::tiled_gemm(a, b, c, n, n, n);
                return;
            }
            sp::pack_shared_panels(*panels, 0, panels->count);
            sp::tiled_gemm_shared<T>(a, *panels, c, n);
        });
        const auto row = [peak](const Rate& r) {
            std::printf(" | %7.1f %5.1f%% %5.1f%%", r.median_gflops, 100.0 * r.median_gflops / peak,
                        100.0 * r.best_gflops / peak);
        };
        std::printf("%-7s %5zu", type_name, n);
        row(whole);
        row(blocks);
        row(shared);
        std::printf("\n");
    }
}

}  // namespace

int main() {
    const cf::KernelPath path = cf::kernel_path();
    if (path == cf::KernelPath::portable) {
        std::printf("neither AVX-512F nor AVX2 with FMA: the portable path has no vector peak to compare with\n");
        return 0;
    }
    const bool wide = path == cf::KernelPath::avx512f;
    const double peak64 = peak_gflops(wide ? FmaKind::zmm_pd : FmaKind::ymm_pd, wide ? 8 : 4);
    const double peak32 = peak_gflops(wide ? FmaKind::zmm_ps : FmaKind::ymm_ps, wide ? 16 : 8);
    std::printf("kernel path: %s; one core's peak: float64 %.1f GFLOP/s, float32 %.1f GFLOP/s\n",
                wide ? "avx512f" : "avx2_fma", peak64, peak32);
    std::printf("C += A*B, n x n, single thread; GFLOP/s (median), %% of peak (median, best)\n");
    std::printf("type        n |     one call          |  32-row calls         |  32-row blocks over one packed B\n");
    bench_type<float>("float32", peak32);
    bench_type<double>("float64", peak64);
    return 0;
}
