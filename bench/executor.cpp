// The executor's fixed costs on the global pool: an empty parallel region over all
// workers, the cost per chunk of a region of many tiny chunks, and the total work (in CPU
// cycles) from which a parallel loop beats the same loop run serially. Medians after a
// warm-up; the workers stay hot between repetitions, as between the calls of one program.
// Run: build/<dir>/bench/bench_executor
#include <x86intrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "dravik_executor/global_arc.hpp"
#include "dravik_executor/schedule/runtime/scheduler/data_parallel.hpp"
#include "dravik_parallel/ops.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using dravik_parallel::ops::for_each_index_with;
using dravik_parallel::policy::Parallel;
namespace dp = dravik_executor::schedule::runtime::scheduler::data_parallel;

// Median seconds of one call of `body`, over `repetitions` timed batches of `batch` calls.
template <class Body>
double median_seconds(Body&& body, int batch, int repetitions = 31) {
    for (int i = 0; i < batch; ++i) body();  // warm-up
    std::vector<double> samples;
    for (int r = 0; r < repetitions; ++r) {
        auto start = Clock::now();
        for (int i = 0; i < batch; ++i) body();
        samples.push_back(std::chrono::duration<double>(Clock::now() - start).count() / batch);
    }
    std::nth_element(samples.begin(), samples.begin() + repetitions / 2, samples.end());
    return samples[repetitions / 2];
}

// A dependent chain that the compiler cannot shorten; about one multiply-add per step.
std::uint64_t spin_work(std::uint64_t steps, std::uint64_t seed) {
    std::uint64_t x = seed;
    for (std::uint64_t i = 0; i < steps; ++i) x = x * 6364136223846793005u + 1442695040888963407u;
    return x;
}

double cycles_per_step() {
    constexpr std::uint64_t steps = 50'000'000;
    std::uint64_t start = __rdtsc();
    volatile std::uint64_t sink = spin_work(steps, 1);
    (void)sink;
    return static_cast<double>(__rdtsc() - start) / steps;
}

// Admits `chunks` empty chunk jobs of one scope and waits for them: admission, pick-up,
// completion and the wait, per chunk.
void region_of_tiny_chunks(const dravik_executor::schedule::runtime::types::ThreadScheduler& scheduler,
                           std::uint64_t chunks) {
    auto nothing = [](std::uint64_t, std::uint64_t) {};
    auto& pool = scheduler.inner();
    dp::SchedulerScopeState scope(pool.shared_lock, pool.shared_signal);
    for (std::uint64_t c = 0; c < chunks; ++c) {
        scope.outstanding.fetch_add(1);
        if (!scheduler.schedule_job(dp::make_scoped_job(nothing, {c, c + 1}, scope))) scope.dropped.fetch_sub(1);
    }
    scheduler.drain_scope(scope);
}

}  // namespace

int main() {
    const auto& executor = dravik_executor::global_arc::GLOBAL_EXECUTOR.get();
    const std::uint64_t workers = executor.worker_count();
    const std::uint64_t participants = workers + 1;
    const double cps = cycles_per_step();
    std::printf("workers: %llu (plus the calling thread); %.2f TSC cycles per work step\n\n",
                static_cast<unsigned long long>(workers), cps);

    double empty = median_seconds([&] { for_each_index_with<Parallel>(participants, [](std::uint64_t) {}); }, 2000);
    std::printf("empty parallel region over %llu participants: %8.2f us per call\n",
                static_cast<unsigned long long>(participants), empty * 1e6);

    std::printf("\nregion of many tiny chunks (admitted jobs doing nothing):\n");
    std::printf("%10s %14s %14s\n", "chunks", "per region", "per chunk");
    for (std::uint64_t chunks : {64u, 256u, 1024u}) {
        double region = median_seconds([&] { region_of_tiny_chunks(executor.scheduler(), chunks); }, 20);
        std::printf("%10llu %11.2f us %11.3f us\n", static_cast<unsigned long long>(chunks), region * 1e6,
                    region * 1e6 / static_cast<double>(chunks));
    }

    std::printf("\nparallel loop against the serial loop (256 items sharing the total work):\n");
    std::printf("%14s %13s %13s %9s\n", "total cycles", "serial", "parallel", "speedup");
    constexpr std::uint64_t items = 256;
    std::atomic<std::uint64_t> sink{0};
    std::uint64_t crossover = 0;
    for (int exponent = 12; exponent <= 26; ++exponent) {
        std::uint64_t total_cycles = std::uint64_t{1} << exponent;
        std::uint64_t steps = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(total_cycles / cps / items));
        auto item = [&](std::uint64_t i) { sink.fetch_add(spin_work(steps, i) & 1, std::memory_order_relaxed); };
        int batch = exponent < 18 ? 200 : exponent < 22 ? 20 : 2;
        double serial = median_seconds([&] { for (std::uint64_t i = 0; i < items; ++i) item(i); }, batch, 15);
        double parallel = median_seconds([&] { for_each_index_with<Parallel>(items, item); }, batch, 15);
        // The crossover is where the parallel loop starts to win for good: a win followed
        // by a loss at a larger size (noise, a descheduled worker) does not count.
        if (parallel < serial) {
            if (crossover == 0) crossover = total_cycles;
        } else {
            crossover = 0;
        }
        std::printf("%14llu %10.2f us %10.2f us %9.2f\n", static_cast<unsigned long long>(total_cycles), serial * 1e6,
                    parallel * 1e6, serial / parallel);
    }
    if (crossover != 0) {
        std::printf("\nthe parallel loop wins at every size from about %llu cycles of total work\n",
                    static_cast<unsigned long long>(crossover));
    } else {
        std::printf("\nthe parallel loop did not win at 2^26 cycles of total work\n");
    }
    return sink.load() == 42 ? 1 : 0;
}
