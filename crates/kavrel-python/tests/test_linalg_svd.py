"""svd, singular_values and bidiagonalize: singular values against NumPy within
30·max(m, n)·eps·σ₁; reconstruction and orthogonality of the factors relative to n·eps; tall,
wide, square, rank-deficient, graded, clustered and extreme-range inputs; worked examples with
exact values and signs; the scaling gate at the ends of the float64 range; every error text."""
import numpy as np
import pytest

import kavrel_python as kp
from conftest import DBL_MAX, EPS, OVERFLOW, power_of_two_scale

NON_FINITE = "Storage error: SVD input contains a non-finite value"


def orthogonal(n, rng):
    q, r = np.linalg.qr(rng.standard_normal((n, n)))
    return q * np.sign(np.diag(r))


def make(m, n, kind, seed=0):
    rng = np.random.default_rng(seed * 1000 + m * 31 + n)
    k = min(m, n)
    if kind == "random":
        return rng.uniform(-1, 1, (m, n))
    if kind == "rank_deficient":
        r = max(k // 3, 1)
        return rng.uniform(-1, 1, (m, r)) @ rng.uniform(-1, 1, (r, n))
    if kind == "graded":
        return rng.uniform(-1, 1, (m, n)) * np.exp2(-np.arange(n) * 40.0 / max(n, 1))[None, :]
    if kind == "clustered":
        # Singular values 1 repeated, 1 ± 1e-12 and one isolated value.
        s = np.ones(k)
        s[: k // 2] += 1e-12 * np.arange(k // 2)
        s[-1] = 1e-3
        return (orthogonal(m, rng)[:, :k] * s) @ orthogonal(n, rng)[:k, :]
    if kind == "tiny":
        return rng.uniform(-1, 1, (m, n)) * 1e-300
    if kind == "huge":
        return rng.uniform(-1, 1, (m, n)) * 1e300
    if kind == "mixed":
        return np.ldexp(rng.uniform(-1, 1, (m, n)), rng.integers(-40, 1, (m, n)))
    raise ValueError(kind)


def reference_values(a):
    s = power_of_two_scale(a)
    return np.linalg.svd(a / s, compute_uv=False) * s


def check_values(a, values):
    m, n = a.shape
    ref = reference_values(a)
    assert values.shape == (min(m, n),) and values.dtype == np.float64
    assert np.all(values >= 0) and np.all(np.diff(values) <= 0)
    assert np.all(np.abs(values - ref) <= 30 * max(m, n) * EPS * ref[0])


def check_svd(a, u, s, vt):
    m, n = a.shape
    k = min(m, n)
    assert u.shape == (m, k) and s.shape == (k,) and vt.shape == (k, n)
    assert u.flags.c_contiguous and vt.flags.c_contiguous and s.flags.c_contiguous
    check_values(a, s)
    size = max(m, n)
    assert np.linalg.norm(u.T @ u - np.eye(k)) <= 8 * size * EPS
    assert np.linalg.norm(vt @ vt.T - np.eye(k)) <= 8 * size * EPS
    scale = power_of_two_scale(a)
    sigma1 = s[0] / scale
    assert np.linalg.norm(a / scale - (u * (s / scale)) @ vt) <= 8 * size * EPS * max(sigma1, np.finfo(float).tiny)


SHAPES = [(1, 1), (1, 7), (7, 1), (3, 5), (5, 3), (6, 6), (40, 13), (13, 40), (100, 100), (150, 60)]
KINDS = ["random", "rank_deficient", "graded", "clustered", "tiny", "huge", "mixed"]


# ---- svd and singular_values -----------------------------------------------------------------

@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("shape", SHAPES)
def test_svd_against_numpy(shape, kind):
    a = make(*shape, kind)
    u, s, vt = kp.svd(a)
    check_svd(a, u, s, vt)
    values = kp.singular_values(a)
    check_values(a, values)
    # Two different reductions: equal up to rounding, not to the last bit.
    assert np.all(np.abs(values - s) <= 30 * max(shape) * EPS * s[0])


def test_svd_of_a_long_row_and_column():
    """Only the used columns of U are formed: a 1×40000 row (and its transpose) would need two
    40000×40000 factors otherwise."""
    rng = np.random.default_rng(3)
    row = rng.uniform(-1, 1, (1, 40000))
    u, s, vt = kp.svd(row)
    assert u.shape == (1, 1) and vt.shape == (1, 40000)
    check_svd(row, u, s, vt)
    column = np.ascontiguousarray(row.T)
    u, s, vt = kp.svd(column)
    assert u.shape == (40000, 1) and vt.shape == (1, 1)
    check_svd(column, u, s, vt)
    check_values(row, kp.singular_values(row))


def test_svd_worked_examples():
    u, s, vt = kp.svd(np.array([[-4.0]]))
    assert s.tolist() == [4.0] and (u * s @ vt).tolist() == [[-4.0]]
    # The sign of −3 moves into U; V is never negated for a tall input.
    u, s, vt = kp.svd(np.array([[2.0, 0.0], [0.0, -3.0]]))
    assert s.tolist() == [3.0, 2.0]
    assert u.tolist() == [[0.0, 1.0], [-1.0, 0.0]] and vt.tolist() == [[0.0, 1.0], [1.0, 0.0]]
    # A zero matrix: zeros and the leading columns of the identities.
    u, s, vt = kp.svd(np.zeros((3, 2)))
    assert s.tolist() == [0.0, 0.0] and u.tolist() == [[1, 0], [0, 1], [0, 0]] and vt.tolist() == [[1, 0], [0, 1]]
    assert [x.shape for x in kp.svd(np.ones((3, 5)))] == [(3, 3), (3,), (3, 5)]
    assert [x.shape for x in kp.svd(np.ones((5, 3)))] == [(5, 3), (3,), (3, 3)]
    assert kp.singular_values(np.array([[-0.0, 0.0], [0.0, -5.0]])).tolist() == [5.0, 0.0]


def test_svd_of_the_order_that_needs_many_sweeps():
    """Order 300 of the bidiagonal matrix of ones: singular values 2·cos(kπ/(2n + 1))."""
    n = 300
    a = np.eye(n) + np.eye(n, k=1)
    expect = 2 * np.cos(np.arange(1, n + 1) * np.pi / (2 * n + 1))
    assert np.all(np.abs(kp.singular_values(a) - expect) <= 30 * n * EPS * 2)
    u, s, vt = kp.svd(a)
    check_svd(a, u, s, vt)


@pytest.mark.parametrize("scale", [1e-300, 1e-200, 1e200, 1e300])
def test_gate_keeps_extreme_matrices_accurate(scale):
    a = make(8, 5, "random", seed=2) * scale
    values = kp.singular_values(a)
    u, s, vt = kp.svd(a)
    assert np.all(np.isfinite(values)) and np.all(values > 0)
    check_svd(a, u, s, vt)
    check_values(a, values)


@pytest.mark.parametrize("function", [kp.svd, kp.singular_values])
def test_svd_errors(function):
    with pytest.raises(ValueError, match=r"^Shape mismatch: lhs \[0, 3\], rhs \[1, 3\]$"):
        function(np.zeros((0, 3)))
    with pytest.raises(ValueError, match=r"^Shape mismatch: lhs \[2, 0\], rhs \[2, 1\]$"):
        function(np.zeros((2, 0)))
    for bad in (np.nan, np.inf, -np.inf):
        a = np.ones((3, 4))
        a[2, 1] = bad
        with pytest.raises(ValueError) as raised:
            function(a)
        assert str(raised.value) == NON_FINITE
    # The largest singular value of this matrix is 2e308, beyond float64.
    with pytest.raises(ValueError) as raised:
        function(np.full((2, 2), 1e308))
    assert str(raised.value) == OVERFLOW + "singular value exceeds the scalar range"
    with pytest.raises(ValueError) as raised:
        function(np.ones((4, 4))[:, ::2])
    assert str(raised.value) == "a must be C-contiguous"


def test_svd_of_the_largest_representable_values():
    """1e308 in one entry per row and column: singular values 1e308, finite after scaling back."""
    a = np.diag([1e308, -1.5e308, 1e308])
    assert kp.singular_values(a).tolist() == [1.5e308, 1e308, 1e308]
    u, s, vt = kp.svd(a)
    assert s.tolist() == [1.5e308, 1e308, 1e308]


# ---- bidiagonalize -------------------------------------------------------------------------------

def check_bidiagonal(a, u, b, v):
    m, n = a.shape
    assert u.shape == (m, m) and b.shape == (m, n) and v.shape == (n, n)
    assert u.flags.c_contiguous and b.flags.c_contiguous and v.flags.c_contiguous
    assert np.all(b[~(np.eye(m, n, dtype=bool) | np.eye(m, n, k=1, dtype=bool))] == 0)
    size = max(m, n, 1)
    assert np.linalg.norm(u.T @ u - np.eye(m)) <= 8 * size * EPS
    assert np.linalg.norm(v.T @ v - np.eye(n)) <= 8 * size * EPS
    scale = power_of_two_scale(a)
    norm = np.linalg.norm(a / scale)
    assert np.linalg.norm(a / scale - u @ (b / scale) @ v.T) <= 8 * size * EPS * max(norm, np.finfo(float).tiny)
    if n > 0:
        check_values(a, np.linalg.svd(b / scale, compute_uv=False) * scale)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("shape", [(1, 1), (7, 1), (6, 6), (40, 13), (100, 100), (150, 60)])
def test_bidiagonalize(shape, kind):
    a = make(*shape, kind)
    check_bidiagonal(a, *kp.bidiagonalize(a))


def test_bidiagonalize_edge_cases():
    u, b, v = kp.bidiagonalize(np.zeros((3, 0)))
    assert u.tolist() == np.eye(3).tolist() and b.shape == (3, 0) and v.shape == (0, 0)
    u, b, v = kp.bidiagonalize(np.array([[-2.5]]))
    assert u.tolist() == [[1.0]] and b.tolist() == [[-2.5]] and v.tolist() == [[1.0]]
    # Nothing below the diagonal: no reflector, U = I, the sign kept.
    u, b, v = kp.bidiagonalize(np.array([[-4.0], [0.0], [0.0]]))
    assert u.tolist() == np.eye(3).tolist() and b.tolist() == [[-4.0], [0.0], [0.0]]


def test_bidiagonalize_near_the_largest_value():
    """Entries near DBL_MAX/4 pass through the QR window of the gate: the factors stay finite
    and B is scaled back exactly."""
    a = make(5, 3, "random", seed=4) * (DBL_MAX / 4)
    u, b, v = kp.bidiagonalize(a)
    assert np.all(np.isfinite(u)) and np.all(np.isfinite(b)) and np.all(np.isfinite(v))
    check_bidiagonal(a, u, b, v)
    # B that cannot be represented is refused, not returned as infinities.
    with pytest.raises(ValueError) as raised:
        kp.bidiagonalize(np.full((4, 2), DBL_MAX / 1.5))
    assert str(raised.value) == OVERFLOW + "B entry exceeds the scalar range"


def test_bidiagonalize_errors():
    # The shape comes first, before the entries.
    with pytest.raises(ValueError) as raised:
        kp.bidiagonalize(np.array([[1.0, np.nan, 3.0], [4.0, 5.0, 6.0]]))
    assert str(raised.value) == "Shape mismatch: lhs [2, 3], rhs [3, 3]"
    for bad in (np.nan, np.inf):
        a = np.ones((3, 2))
        a[1, 1] = bad
        with pytest.raises(ValueError) as raised:
            kp.bidiagonalize(a)
        assert str(raised.value) == "Storage error: bidiagonalization input contains a non-finite value"
    with pytest.raises(ValueError) as raised:
        kp.bidiagonalize(np.ones((4, 4)).T[:, :2])
    assert str(raised.value) == "a must be C-contiguous"
