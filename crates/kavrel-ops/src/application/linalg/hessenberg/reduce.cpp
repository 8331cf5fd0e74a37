#include "kavrel_ops/application/linalg/hessenberg/reduce.hpp"

#include <array>
#include <cmath>
#include <utility>

#include "kavrel_ops/application/linalg/householder.hpp"
#include "kavrel_ops/application/linalg/working.hpp"

namespace kavrel_ops::application::linalg::hessenberg::reduce {

namespace {

constexpr std::size_t stack_column_entries = 128;

// The column part h[K+1 … n−1][K] handed to the reflector: on the stack for up to 128 entries,
// else in a heap buffer reused by the later (shorter) steps.
class ColumnBuffer {
public:
    std::span<const double> gather(std::span<const double> h, std::uint64_t n, std::uint64_t k) {
        const std::size_t count = static_cast<std::size_t>(n - k - 1);
        std::span<double> out = count <= stack_column_entries ? std::span<double>(stack_).first(count)
                                                              : (heap_.resize(count), std::span<double>(heap_));
        for (std::size_t i = 0; i < count; ++i) out[i] = h[(k + 1 + i) * n + k];
        return out;
    }

private:
    std::array<double, stack_column_entries> stack_{};
    std::vector<double> heap_;
};

}  // namespace

Result<void> check_finite(std::span<const double> a) {
    return working::check_finite(a, "Hessenberg input contains a non-finite value");
}

void reduce(std::span<double> h, std::uint64_t n, std::span<double> q) {
    if (n < 3) return;
    ColumnBuffer column;
    std::vector<double> scratch;
    scratch.reserve(static_cast<std::size_t>(n));
    for (std::uint64_t k = 0; k + 2 < n; ++k) {
        const auto r = householder::reflector(column.gather(h, n, k));
        if (!r) continue;
        householder::apply_left(*r, h, n, k + 1, k, n, scratch);
        householder::apply_right(*r, h, n, 0, n, k + 1);
        if (!q.empty()) householder::apply_right(*r, q, n, 0, n, k + 1);
    }
    // apply_left leaves rounding-level values below the subdiagonal; no later step reads them.
    for (std::uint64_t i = 2; i < n; ++i)
        for (std::uint64_t j = 0; j + 1 < i; ++j) h[i * n + j] = 0.0;
}

}  // namespace kavrel_ops::application::linalg::hessenberg::reduce
