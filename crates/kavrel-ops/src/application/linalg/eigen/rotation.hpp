// The steps of the classical Jacobi eigensolver on an n×n row-major symmetric float64 matrix: the
// pivot (the largest off-diagonal entry not yet negligible against its two diagonal entries), the
// plane rotation that annihilates it, and a per-row cache of pivot candidates that finds the same
// pivot as the full search in O(n) per rotation instead of O(n²).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kavrel_ops::application::linalg::eigen::rotation {

struct Pivot {
    std::uint64_t p;
    std::uint64_t q;  // p < q
    double value;     // |A[p][q]|
};

// Whether x = |A[i][j]| is not yet negligible: x > eps·max(si·sj, tol), si = √|A[i][i]|, a NaN
// product replaced by tol.
[[nodiscard]] bool unconverged(double x, double si, double sj, double tol);

// Fills scratch[i] = √|A[i][i]|, then scans the upper triangle row by row: the largest
// unconverged |A[i][j]|, the first in scan order among equals; none when every entry is
// negligible (an entry of 0 never qualifies). Requires: scratch.size() ≥ n.
[[nodiscard]] std::optional<Pivot> largest_unconverged(std::span<const double> a, std::uint64_t n,
                                                       std::span<double> scratch, double tol);

// A := Jᵀ·A·J and V := V·J with the rotation J of angle θ = atan2(2·a_pq, a_qq − a_pp)/2 in the
// plane (p, q); A[p][q] and A[q][p] become exactly 0 and A stays exactly symmetric. V is kept
// transposed (`vt` holds Vᵀ row-major), so its columns p and q are contiguous rows.
// Requires: p < q < n, a exactly symmetric, a and vt of n·n entries.
void rotate(std::span<double> a, std::span<double> vt, std::uint64_t n, std::uint64_t p, std::uint64_t q);

// Per row i, the pivot candidate of row i alone: the largest unconverged |A[i][j]| with j > i,
// the first among equals. The largest over rows, the first row among equals, is then exactly the
// pivot of largest_unconverged.
struct PivotRows {
    static constexpr std::uint64_t no_column = ~std::uint64_t{0};
    struct Row {
        std::uint64_t col;  // no_column: nothing unconverged in this row
        double value;       // 0 when col is no_column
    };
    std::vector<Row> rows;
    std::vector<double> root_diagonal;  // √|A[i][i]|
    double tol;
};

// The candidates of every row of A.
[[nodiscard]] PivotRows index_pivots(std::span<const double> a, std::uint64_t n, double tol);

// Brings the candidates up to date after rotate(a, v, n, p, q): rows p and q are rescanned (their
// entries and diagonals changed); any other row changed only in columns p and q, which are
// compared with its candidate, or it is rescanned when that candidate was in column p or q.
void requalify(PivotRows& index, std::span<const double> a, std::uint64_t n, std::uint64_t p, std::uint64_t q);

// The pivot among the cached candidates.
[[nodiscard]] std::optional<Pivot> cached_largest(const PivotRows& index);

}  // namespace kavrel_ops::application::linalg::eigen::rotation
