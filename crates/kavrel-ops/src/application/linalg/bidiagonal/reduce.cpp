#include "kavrel_ops/application/linalg/bidiagonal/reduce.hpp"

#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"

namespace kavrel_ops::application::linalg::bidiagonal::reduce {

namespace checked = kavrel::domain::checked;

using kavrel::domain::error::fail_invariant;
using Scalar = kavrel_ops::domain::scalar::contract::Scalar<double>;

namespace {

// n·k, or an internal error naming what must have fitted.
std::uint64_t product(std::uint64_t n, std::uint64_t k, const char* what) {
    return checked::expect(checked::mul(n, k), what);
}

// t := t·(I − tau·v·vᵀ) for one row segment t.
void reflect_row(std::span<double> t, std::span<const double> v, double tau) {
    const double s = Scalar::dot_slice(t, v);
    Scalar::axpy_slice(v, t, 0.0 - s * tau);
}

}  // namespace

void apply_reflectors_right(std::span<const double> vectors, std::span<const double> taus, std::uint64_t count,
                            std::span<double> target, std::uint64_t d) {
    constexpr const char* inside = "invariant: reflectors and their target lie inside their buffers";
    if (d == 0) return;
    if (product(count, d, inside) > vectors.size() || count > taus.size() || product(d, d, inside) > target.size())
        fail_invariant(inside);
    for (std::uint64_t r = 0; r < count; ++r) {
        const std::span<const double> v = vectors.subspan(r * d, d);
        for (std::uint64_t row = 0; row < d; ++row) reflect_row(target.subspan(row * d, d), v, taus[r]);
    }
}

void CompactReflectors::push(std::uint64_t start, std::span<const double> v, double tau) {
    if (start >= order || v.size() != order - start || (!starts.empty() && start <= starts.back()))
        fail_invariant("invariant: compact reflectors end at their order and start in increasing positions");
    vectors.insert(vectors.end(), v.begin(), v.end());
    starts.push_back(start);
    taus.push_back(tau);
}

std::vector<double> leading_columns_transposed(const CompactReflectors& reflectors, std::uint64_t cols) {
    const std::uint64_t order = reflectors.order;
    if (cols > order) fail_invariant("invariant: a product of reflectors has at most its order of columns");
    std::vector<double> out(product(cols, order, "invariant: the leading columns fit in memory"), 0.0);
    for (std::uint64_t j = 0; j < cols; ++j) out[j * order + j] = 1.0;
    std::uint64_t end = reflectors.vectors.size();
    for (std::uint64_t r = reflectors.starts.size(); r-- > 0;) {
        const std::uint64_t start = reflectors.starts[r], len = order - start;
        if (start >= order || len > end || r >= reflectors.taus.size())
            fail_invariant("invariant: compact reflectors end at their order and start in increasing positions");
        const std::span<const double> v = std::span<const double>(reflectors.vectors).subspan(end - len, len);
        end -= len;
        for (std::uint64_t row = start; row < cols; ++row)
            reflect_row(std::span<double>(out).subspan(row * order + start, len), v, reflectors.taus[r]);
    }
    return out;
}

}  // namespace kavrel_ops::application::linalg::bidiagonal::reduce
