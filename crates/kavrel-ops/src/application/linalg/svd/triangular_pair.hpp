// The singular value decomposition of a 2×2 upper-triangular matrix [[f, g], [0, h]], with
// signed singular values and both rotations, for the bidiagonal QR iteration when its active
// block shrinks to two rows. Every product and sum is rounded on its own, the square roots are
// taken in an overflow-safe form, and the results are the same on every processor.
#pragma once

namespace kavrel_ops::application::linalg::svd::triangular_pair {

// With R = [[cos_right, sin_right], [−sin_right, cos_right]] and L likewise from the left pair:
// L·[[f, g], [0, h]]·Rᵀ = diag(sigma_max, sigma_min) up to rounding, |sigma_max| ≥ |sigma_min|.
struct TriangularSvd {
    double sigma_max;
    double sigma_min;
    double cos_right;
    double sin_right;
    double cos_left;
    double sin_left;
};

// Signs are tested with strict comparisons against zero, so −0.0 counts as positive.
[[nodiscard]] TriangularSvd triangular_svd(double f, double g, double h) noexcept;

}  // namespace kavrel_ops::application::linalg::svd::triangular_pair
