#include "kavrel_ops/application/linalg/reflector_block.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/domain/tuning.hpp"

namespace kavrel_ops::application::linalg::reflector_block {

namespace {
constexpr std::size_t stack_z_entries = 128;  // a whole QR panel's z; more only in tests
static_assert(stack_z_entries >= kavrel_ops::domain::tuning::qr_panel_columns);
}

void accumulate(std::span<const double> v, std::uint64_t rows, std::uint64_t k, std::span<const double> taus,
                std::span<double> t) {
    if (v.size() < rows * k || taus.size() < k || t.size() < k * k)
        kavrel::domain::error::fail_invariant("invariant: a reflector block fits its V, tau and T buffers");
    std::fill_n(t.begin(), k * k, 0.0);
    std::array<double, stack_z_entries> z_stack;
    std::vector<double> z_heap;
    for (std::uint64_t i = 0; i < k; ++i) {
        t[i * k + i] = taus[i];
        if (i == 0) continue;
        std::span<double> z = i <= stack_z_entries ? std::span<double>(z_stack).first(i)
                                                   : (z_heap.assign(i, 0.0), std::span<double>(z_heap));
        std::fill(z.begin(), z.end(), 0.0);
        // z = V[:, 0 … i−1]ᵀ·V[:, i], row by row; zero entries of column i add nothing and are skipped.
        for (std::uint64_t r = 0; r < rows; ++r) {
            const double vri = v[r * k + i];
            if (vri == 0.0) continue;
            for (std::uint64_t b = 0; b < i; ++b) z[b] = z[b] + vri * v[r * k + b];
        }
        for (std::uint64_t a = 0; a < i; ++a) {
            double sum = 0.0;
            for (std::uint64_t b = a; b < i; ++b) sum = sum + t[a * k + b] * z[b];
            t[a * k + i] = (-taus[i]) * sum;
        }
    }
}

}  // namespace kavrel_ops::application::linalg::reflector_block
