// The plane rotation that brings a real 2×2 block [[a, b], [c, d]] into the standard form of the
// real Schur decomposition: upper triangular when its eigenvalues are real, equal diagonal
// entries and off-diagonal entries of opposite signs when they are a complex pair (then they are
// a′ ± i·√|b′|·√|c′|). A pure function of four values; it reports no error.
#pragma once

namespace kavrel_ops::application::linalg::schur::standard_block {

// The new block Rᵀ·[[a, b], [c, d]]·R with R = [[cs, −sn], [sn, cs]]. Callers rotate the rows
// (x, y) of the block's two indices by (cs·x + sn·y, cs·y − sn·x), and the columns the same way.
struct StandardBlock {
    double a, b, c, d;
    double cs, sn;
};

[[nodiscard]] StandardBlock standardize_block(double a, double b, double c, double d);

}  // namespace kavrel_ops::application::linalg::schur::standard_block
