"""hessenberg, schur, eigenvalues and symmetric_eigen: decompositions checked by residuals and
orthogonality relative to n·eps·‖A‖, exact structure of H and T, eigenvalues against NumPy with
a nearest matching, worked examples with exact values, the scaling at the ends of the float64
range, and every error text."""
import math

import numpy as np
import pytest
import scipy.linalg
from scipy.optimize import linear_sum_assignment

import kavrel_python as kp
from conftest import DBL_MAX, EPS, OVERFLOW, power_of_two_scale


def make(n, kind, seed=0):
    rng = np.random.default_rng(seed * 1000 + n)
    a = rng.uniform(-1, 1, (n, n))
    if kind == "graded":
        g = np.exp2(-np.arange(n) * 20.0 / max(n, 1))
        a *= g[:, None] * g[None, :]
    elif kind == "tiny":
        a *= 1e-300
    elif kind == "huge":
        a *= 1e300
    elif kind == "mixed":
        a = np.ldexp(a, rng.integers(-60, 1, (n, n)))
    return a


def check_similarity(a, q, m, factor=8):
    n = a.shape[0]
    assert q.shape == (n, n) and m.shape == (n, n)
    assert q.dtype == np.float64 and m.dtype == np.float64
    assert q.flags.c_contiguous and m.flags.c_contiguous
    s = power_of_two_scale(a)
    assert np.linalg.norm(q.T @ q - np.eye(n)) <= factor * max(n, 1) * EPS
    assert np.linalg.norm(a / s - q @ (m / s) @ q.T) <= factor * max(n, 1) * EPS * max(np.linalg.norm(a / s), 1e-300)


def check_standard_quasi_triangular(t):
    n = t.shape[0]
    assert np.all(np.tril(t, -2) == 0), "T has non-zero entries below the subdiagonal"
    sub = np.diag(t, -1)
    assert not np.any((sub[:-1] != 0) & (sub[1:] != 0)), "consecutive subdiagonal entries"
    for j in np.flatnonzero(sub):
        i = j + 1
        assert t[j, j] == t[i, i], f"block at {j} has unequal diagonal entries"
        assert t[j, i] != 0 and np.signbit(t[j, i]) != np.signbit(t[i, j]), f"block at {j} is not a complex pair"


def matched_distance(ours, ref):
    """The largest distance between the two spectra under the best one-to-one matching."""
    cost = np.abs(ours[:, None] - ref[None, :])
    rows, cols = linear_sum_assignment(cost)
    return cost[rows, cols].max() if len(rows) else 0.0


SIZES = [1, 2, 3, 5, 16, 60, 130]
KINDS = ["random", "graded", "tiny", "huge", "mixed"]


# ---- hessenberg ------------------------------------------------------------------------

def test_hessenberg_worked_example():
    a = np.array([[1.0, 2, 3], [4, 5, 6], [7, 8, 9]])
    q, h = kp.hessenberg(a)
    np.testing.assert_allclose(q, [[1, 0, 0], [0, -0.4961, -0.8682], [0, -0.8682, 0.4961]], atol=1e-4)
    np.testing.assert_allclose(h, [[1, -3.5970, -0.2481], [-8.0623, 14.0462, 2.8308], [0, 0.8308, -0.0462]], atol=1e-4)
    assert h[1, 0] == pytest.approx(-np.sqrt(65), rel=4 * EPS)
    assert h[2, 0] == 0.0 and h[0, 0] == 1.0


@pytest.mark.parametrize("n", [0, 1, 2])
def test_hessenberg_small_orders_copy_the_input(n):
    a = make(n, "random")
    q, h = kp.hessenberg(a)
    assert q.shape == h.shape == (n, n)
    assert np.array_equal(h, a) and np.array_equal(q, np.eye(n))


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n", SIZES)
def test_hessenberg_factors(n, kind):
    a = make(n, kind, seed=1)
    q, h = kp.hessenberg(a)
    check_similarity(a, q, h)
    assert np.all(np.tril(h, -2) == 0)
    assert h[0, 0] == a[0, 0] and q[0, 0] == 1.0
    assert np.all(q[0, 1:] == 0) and np.all(q[1:, 0] == 0)
    # The same reduction as SciPy's up to the signs of the reflections: |subdiagonal| agrees.
    hs = scipy.linalg.hessenberg(a / power_of_two_scale(a))
    np.testing.assert_allclose(np.abs(np.diag(h, -1)) / power_of_two_scale(a), np.abs(np.diag(hs, -1)),
                               atol=64 * n * EPS * max(np.linalg.norm(a / power_of_two_scale(a)), 1e-300))


def test_hessenberg_input_already_hessenberg_is_unchanged():
    a = np.triu(make(6, "random"), -1)
    q, h = kp.hessenberg(a)
    assert np.array_equal(h, a) and np.array_equal(q, np.eye(6))


def test_hessenberg_near_the_largest_float_stays_finite():
    # Entries near DBL_MAX/4 overflowed the unscaled reduction; the gate keeps it finite.
    a = np.full((4, 4), DBL_MAX / 4)
    a[np.arange(4), np.arange(4)] = -DBL_MAX / 8
    q, h = kp.hessenberg(a)
    assert np.all(np.isfinite(q)) and np.all(np.isfinite(h))
    check_similarity(a, q, h)


def test_hessenberg_out_of_range_result():
    # H holds the column norm √3·(DBL_MAX/2) and more: no power of two brings it back in range.
    with pytest.raises(ValueError) as e:
        kp.hessenberg(np.full((4, 4), DBL_MAX / 2))
    assert str(e.value) == OVERFLOW + "Hessenberg entry exceeds the scalar range"


# ---- schur -----------------------------------------------------------------------------

def test_schur_worked_examples():
    q, t = kp.schur(np.array([[2.0, 1], [1, 2]]))
    c = 0.7071067811865475
    assert np.array_equal(t, [[3, 0], [0, 1]]) and np.array_equal(q, [[c, -c], [c, c]])
    rot = np.array([[0.0, -1, 0], [1, 0, 0], [0, 0, 2]])
    q, t = kp.schur(rot)
    assert np.array_equal(t, rot) and np.array_equal(q, np.eye(3))
    tri = np.triu(make(5, "random"))
    q, t = kp.schur(tri)
    assert np.array_equal(t, tri) and np.array_equal(q, np.eye(5))
    q, t = kp.schur(np.zeros((4, 4)))
    assert np.array_equal(t, np.zeros((4, 4))) and np.array_equal(q, np.eye(4))
    q, t = kp.schur(np.array([[0.0, 0, 1], [1, 0, 0], [0, 1, 0]]))
    check_standard_quasi_triangular(t)
    assert t[0, 0] == pytest.approx(-0.5) and np.sqrt(-t[0, 1] * t[1, 0]) == pytest.approx(np.sqrt(3) / 2)
    assert t[2, 2] == pytest.approx(1.0)


def test_schur_empty_and_scaled_one():
    q, t = kp.schur(np.zeros((0, 0)))
    assert q.shape == t.shape == (0, 0)
    q, t = kp.schur(np.array([[1e200]]))
    assert t[0, 0] == 1e200 and q[0, 0] == 1.0


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n", SIZES)
def test_schur_factors(n, kind):
    a = make(n, kind, seed=2)
    q, t = kp.schur(a)
    check_similarity(a, q, t, factor=16)
    check_standard_quasi_triangular(t)


def test_schur_scaled_input_comes_back_scaled():
    a = make(7, "random", seed=3)
    _, t1 = kp.schur(a)
    _, t2 = kp.schur(np.ldexp(a, 900))
    # The diagonal (the eigenvalue content) agrees with the unscaled run.
    np.testing.assert_allclose(np.sort(np.diag(t2)) / 2.0**900, np.sort(np.diag(t1)), atol=1e-12)


def test_schur_out_of_range_result():
    with pytest.raises(ValueError) as e:
        kp.schur(np.full((4, 4), DBL_MAX / 2))
    assert str(e.value) == OVERFLOW + "Schur form entry exceeds the scalar range"


# ---- eigenvalues -----------------------------------------------------------------------

def test_eigenvalues_worked_examples():
    w = kp.eigenvalues(np.zeros((0, 0)))
    assert w.shape == (0,) and w.dtype == np.complex128
    assert np.array_equal(kp.eigenvalues(np.array([[1e200]])), [1e200 + 0j])
    np.testing.assert_allclose(kp.eigenvalues(np.array([[1.0, 2], [3, 4]])), [-0.3722813232690143, 5.372281323269014],
                               rtol=4 * EPS)
    assert np.array_equal(kp.eigenvalues(np.array([[2.0, 1], [1, 2]])), [3, 1])
    assert np.array_equal(kp.eigenvalues(np.array([[0.0, -1, 0], [1, 0, 0], [0, 0, 2]])), [1j, -1j, 2])
    w = kp.eigenvalues(np.array([[0.0, 0, 1], [1, 0, 0], [0, 1, 0]]))
    np.testing.assert_allclose(w, [-0.5 + np.sqrt(3) / 2 * 1j, -0.5 - np.sqrt(3) / 2 * 1j, 1], atol=8 * EPS)


def check_eigenvalue_structure(a, w):
    assert w.dtype == np.complex128 and w.shape == (a.shape[0],) and w.flags.c_contiguous
    i = 0
    while i < len(w):
        if w[i].imag > 0:
            assert w[i + 1] == np.conj(w[i]), "a complex pair is not adjacent, positive imaginary part first"
            i += 2
        else:
            assert w[i].imag == 0 and not np.signbit(w[i].imag)
            i += 1
    assert math.fsum(w.imag) == 0.0


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n", SIZES)
def test_eigenvalues_against_numpy(n, kind):
    a = make(n, kind, seed=4)
    w = kp.eigenvalues(a)
    check_eigenvalue_structure(a, w)
    s = power_of_two_scale(a)
    ref = np.linalg.eigvals(a / s)
    assert matched_distance(w / s, ref) <= 1e-9 * max(np.linalg.norm(a / s), 1e-300)
    assert np.sum(w.real) / s == pytest.approx(np.trace(a) / s, abs=64 * n * EPS * np.linalg.norm(a / s))


def test_eigenvalues_of_ill_conditioned_matrices():
    # A Jordan block: a perturbation of eps moves its eigenvalue by about eps^(1/n).
    n = 2
    jordan = np.eye(n) * 3 + np.eye(n, k=1)
    assert matched_distance(kp.eigenvalues(jordan), np.full(n, 3.0)) <= 4 * np.sqrt(EPS)
    # The companion matrix of (x − 1)(x − 2)…(x − 8), Wilkinson's sensitive roots.
    coeffs = np.poly(np.arange(1, 9))
    companion = scipy.linalg.companion(coeffs)
    w = kp.eigenvalues(companion)
    assert matched_distance(w, np.arange(1, 9).astype(complex)) <= 1e-6
    assert matched_distance(w, np.linalg.eigvals(companion)) <= 1e-6
    # Complex roots: x⁴ + 1.
    w = kp.eigenvalues(scipy.linalg.companion([1.0, 0, 0, 0, 1]))
    assert matched_distance(w, np.roots([1.0, 0, 0, 0, 1])) <= 1e-12
    check_eigenvalue_structure(np.zeros((4, 4)), w)


def test_eigenvalues_scaled_input_comes_back_scaled():
    a = make(9, "random", seed=5)
    w = kp.eigenvalues(np.ldexp(a, 1000))
    assert matched_distance(w / 2.0**1000, np.linalg.eigvals(a)) <= 1e-12
    with pytest.raises(ValueError) as e:
        kp.eigenvalues(np.full((4, 4), DBL_MAX / 2))
    assert str(e.value) == OVERFLOW + "eigenvalue exceeds the scalar range"


# ---- symmetric_eigen -------------------------------------------------------------------

def symmetric(n, kind, seed=0):
    a = make(n, kind, seed)
    return np.triu(a) + np.triu(a, 1).T


def test_symmetric_eigen_worked_examples():
    w, v = kp.symmetric_eigen(np.zeros((0, 0)))
    assert w.shape == (0,) and v.shape == (0, 0)
    w, v = kp.symmetric_eigen(np.array([[1e308]]))
    assert np.array_equal(w, [1e308]) and np.array_equal(v, [[1.0]])
    w, v = kp.symmetric_eigen(np.array([[2.0, 1], [1, 2]]))
    c, s = 0.7071067811865476, 0.7071067811865475
    np.testing.assert_allclose(w, [1, 3], rtol=4 * EPS)
    assert np.array_equal(v, [[c, s], [-s, c]])
    w, v = kp.symmetric_eigen(np.diag([3.0, 1, 2]))
    assert np.array_equal(w, [1, 2, 3]) and np.array_equal(v, [[0, 0, 1], [1, 0, 0], [0, 1, 0]])
    w, v = kp.symmetric_eigen(np.diag([2.0, 2]))
    assert np.array_equal(w, [2, 2]) and np.array_equal(v, np.eye(2))
    w, v = kp.symmetric_eigen(np.zeros((3, 3)))
    assert np.array_equal(w, np.zeros(3)) and np.array_equal(v, np.eye(3))
    # An asymmetry of 2^-52 is below (n + 2)·eps·‖A‖_F: the upper triangle is used.
    w, _ = kp.symmetric_eigen(np.array([[1.0, 1], [1 + 2.0**-52, 1]]))
    np.testing.assert_allclose(w, [0, 2], atol=4 * EPS)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n", [1, 2, 3, 5, 16, 60])
def test_symmetric_eigen_against_eigh(n, kind):
    a = symmetric(n, kind, seed=6)
    w, v = kp.symmetric_eigen(a)
    assert w.dtype == np.float64 and w.shape == (n,) and v.shape == (n, n) and v.flags.c_contiguous
    assert np.all(np.diff(w) >= 0)
    s = power_of_two_scale(a)
    norm2 = np.linalg.norm(a / s, 2)
    np.testing.assert_allclose(w / s, np.linalg.eigh(a / s)[0], rtol=0, atol=50 * n * EPS * max(norm2, 1e-300))
    assert np.linalg.norm(v.T @ v - np.eye(n)) <= 8 * n * EPS
    assert np.linalg.norm((a / s) @ v - v * (w / s)) <= 8 * n * EPS * max(norm2, 1e-300)


def test_symmetric_eigen_repeated_eigenvalues():
    q, _ = np.linalg.qr(make(8, "random", seed=7))
    a = q @ np.diag([1.0, 1, 1, 2, 2, 5, 5, 5]) @ q.T
    a = np.triu(a) + np.triu(a, 1).T
    w, v = kp.symmetric_eigen(a)
    np.testing.assert_allclose(w, [1, 1, 1, 2, 2, 5, 5, 5], atol=50 * 8 * EPS * 5)
    assert np.linalg.norm(a @ v - v * w) <= 64 * EPS * 5
    assert np.linalg.norm(v.T @ v - np.eye(8)) <= 64 * EPS


@pytest.mark.parametrize("a, where", [
    (np.array([[0.0, 1.5e308], [-1.5e308, 0]]), (0, 1)),   # ‖A‖_F overflows: any asymmetry passed
    (np.array([[0.0, 2.0**-1070], [-(2.0**-1070), 0]]), (0, 1)),  # a threshold that underflowed to 0
    (np.array([[1.0, 2], [3, 4]]), (0, 1)),
    (np.array([[1.0, 0, 0], [0, 1, 2], [0, 1, 1]]), (1, 2)),
])
def test_symmetric_eigen_refuses_asymmetry_across_the_range(a, where):
    with pytest.raises(ValueError) as e:
        kp.symmetric_eigen(a)
    assert str(e.value) == f"Invalid input: symmetric eigensolver input is not symmetric at {where}"


def test_symmetric_eigen_accepts_rounding_level_asymmetry_of_tiny_matrices():
    u = 2.0**-1020
    w, _ = kp.symmetric_eigen(np.array([[u, u], [u * (1 + 2.0**-52), u]]))
    np.testing.assert_allclose(w, [0, 2 * u], atol=8 * EPS * u)


def test_symmetric_eigen_out_of_range_eigenvalue():
    with pytest.raises(ValueError) as e:
        kp.symmetric_eigen(np.full((2, 2), 1.5e308))
    assert str(e.value) == OVERFLOW + "Jacobi eigensolver: an eigenvalue exceeds the scalar range"


# ---- errors shared by the four functions ----------------------------------------------

FUNCTIONS = [kp.hessenberg, kp.schur, kp.eigenvalues, kp.symmetric_eigen]


@pytest.mark.parametrize("f", FUNCTIONS)
def test_shape_and_contiguity_errors(f):
    with pytest.raises(ValueError) as e:
        f(np.ones((3, 2)))
    assert str(e.value) == "Shape mismatch: lhs [3, 2], rhs [3, 3]"
    with pytest.raises(ValueError) as e:
        f(np.asfortranarray(make(3, "random")))
    assert str(e.value) == "a must be C-contiguous"


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("f", [kp.hessenberg, kp.schur, kp.eigenvalues])
def test_non_finite_input(f, bad):
    a = make(4, "random")
    a[2, 1] = bad
    with pytest.raises(ValueError) as e:
        f(a)
    assert str(e.value) == "Storage error: Hessenberg input contains a non-finite value"


def test_symmetric_eigen_non_finite_position_before_symmetry():
    a = np.array([[1.0, 5], [np.nan, 1]])
    with pytest.raises(ValueError) as e:
        kp.symmetric_eigen(a)
    assert str(e.value) == "Invalid input: symmetric eigensolver input has a non-finite entry at (1, 0)"


@pytest.mark.parametrize("f", FUNCTIONS)
def test_input_is_not_written(f):
    a = symmetric(6, "random", seed=8)
    before = a.copy()
    f(a)
    assert np.array_equal(a, before)
