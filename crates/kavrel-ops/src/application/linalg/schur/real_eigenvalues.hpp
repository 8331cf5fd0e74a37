// The eigenvalues of a general real square matrix as complex values, in the order of the diagonal
// of its real Schur form: the gate, the Hessenberg reduction and the Francis iteration without an
// orthogonal factor (updates confined to the active window), then the values read off the
// quasi-triangular matrix and scaled back with a range check. Calling thread only.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "fennick/types/complex.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::linalg::schur::real_eigenvalues {

using fennick::types::complex::Complex;
using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

// The eigenvalues of the quasi-triangular n×n `t` (row-major, not written): each 2×2 block
// (non-zero subdiagonal) is standardised as values; a complex pair gives a′ + i·s then d′ − i·s with
// s = √|b′|·√|c′|, a real pair a′ then d′; a 1×1 block its diagonal entry. Real values carry
// imaginary part +0.0.
[[nodiscard]] std::vector<Complex> real_eigenvalues(std::span<const double> t, std::uint64_t n);

// The eigenvalues of a square view. Errors in this order: ShapeMismatch; the gate's Overflow;
// StorageError "Hessenberg input contains a non-finite value"; the iteration's ConvergenceError;
// Overflow "eigenvalue exceeds the scalar range" when a value does not fit once scaled back.
[[nodiscard]] Result<std::vector<Complex>> eigenvalues(const ArrayView<double, 2>& a);

}  // namespace kavrel_ops::application::linalg::schur::real_eigenvalues
