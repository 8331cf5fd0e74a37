// The steps of the Hessenberg reduction on row-major working storage (the private copy of the
// input and the identity Q starts from come from linalg::working): the finiteness scan and the
// reduction itself, with or without accumulating Q. The general eigenvalue pipeline runs the same
// steps without Q.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::linalg::hessenberg::reduce {

using kavrel::domain::error::Result;

// The first infinite or NaN entry in storage order fails with
// StorageError "Hessenberg input contains a non-finite value".
[[nodiscard]] Result<void> check_finite(std::span<const double> a);

// Reduces the n×n row-major `h` in place to upper Hessenberg form, entries below the subdiagonal
// set to exactly 0.0. When `q` is not empty it holds an n×n row-major matrix that is multiplied
// from the right by every reflection (Q := Q·P_K), so starting from I it ends as the factor Q.
// Requires: h finite, h.size() == n·n, q empty or of n·n entries.
void reduce(std::span<double> h, std::uint64_t n, std::span<double> q);

}  // namespace kavrel_ops::application::linalg::hessenberg::reduce
