"""qr and col_piv_qr: factorisations checked by residuals against the input and by the
orthogonality of Q, both relative to n·eps·‖A‖; worked examples with exact signs and values;
the scaling window for entries near the ends of the float64 range; every error text."""
import numpy as np
import pytest
import scipy.linalg

import kavrel_python as kp
from conftest import EPS, OVERFLOW, power_of_two_scale


def make(m, n, kind, seed=0):
    rng = np.random.default_rng(seed * 1000 + m * 31 + n)
    a = rng.uniform(-1, 1, (m, n))
    if kind == "graded":
        a *= np.exp2(-np.arange(n) * 30.0 / max(n, 1))[None, :] * np.exp2(-np.arange(m) * 10.0 / max(m, 1))[:, None]
    elif kind == "tiny":
        a *= 1e-300
    elif kind == "huge":
        a *= 1e300
    elif kind == "mixed":
        a = np.ldexp(a, rng.integers(-60, 1, (m, n)))
    return a


def check_factors(a, q, r, perm=None, residual_bound=None):
    m, n = a.shape
    assert q.shape == (m, m) and r.shape == (m, n)
    assert q.dtype == np.float64 and r.dtype == np.float64
    assert q.flags.c_contiguous and r.flags.c_contiguous
    assert np.all(np.tril(r, -1) == 0), "R is not exactly upper triangular"
    size = max(m, n, 1)
    assert np.linalg.norm(q.T @ q - np.eye(m)) <= 8 * size * EPS
    s = power_of_two_scale(a)
    ap = (a if perm is None else a[:, perm]) / s
    norm = np.linalg.norm(ap)
    bound = residual_bound if residual_bound is not None else 8 * size * EPS
    assert np.linalg.norm(ap - q @ (r / s)) <= bound * max(norm, np.finfo(float).tiny)


SHAPES = [(1, 1), (5, 1), (6, 6), (40, 13), (100, 100), (191, 191), (192, 192), (230, 200)]
KINDS = ["random", "graded", "tiny", "huge", "mixed"]


# ---- qr --------------------------------------------------------------------------------

@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("shape", SHAPES)
def test_qr_factors(shape, kind):
    a = make(*shape, kind)
    q, r = kp.qr(a)
    check_factors(a, q, r)


@pytest.mark.parametrize("shape", [(6, 6), (40, 13), (100, 100), (300, 250)])
def test_qr_agrees_with_numpy(shape):
    """Householder QR is unique up to the signs of R's rows (Q's columns); numpy's complete
    mode fixes the same m×m Q up to those signs."""
    a = make(*shape, "random", seed=5)
    q, r = kp.qr(a)
    q_ref, r_ref = np.linalg.qr(a, mode="complete")
    n = shape[1]
    signs = np.sign(np.diag(r)) * np.sign(np.diag(r_ref))
    np.testing.assert_allclose(r[:n] * signs[:, None], r_ref[:n], atol=64 * max(shape) * EPS * np.abs(a).max())
    np.testing.assert_allclose(q[:, :n] * signs[None, :], q_ref[:, :n], atol=64 * max(shape) * EPS)


def test_qr_worked_examples():
    q, r = kp.qr(np.array([[3.0]]))
    assert q.tolist() == [[-1.0]] and r.tolist() == [[-3.0]]
    q, r = kp.qr(np.array([[-3.0]]))
    assert q.tolist() == [[-1.0]] and r.tolist() == [[3.0]]
    # R[j][j] is negative for a positive entry at (j, j) when column j is reduced, positive for
    # a zero or negative one.
    for a00, negative in [(2.0, True), (-2.0, False), (0.0, False)]:
        _, r = kp.qr(np.array([[a00, 1.0], [1.0, 3.0]]))
        assert (r[0, 0] < 0) == negative


def test_qr_tiny_and_huge_columns():
    # Entries whose squares vanish (below about 1.5e-162) or overflow (above about 1.3e154).
    q, r = kp.qr(np.array([[1e-170], [1e-170]]))
    assert r[0, 0] == -1.4142135623730951e-170 and r[1, 0] == 0.0
    check_factors(np.array([[1e-170], [1e-170]]), q, r)
    a = np.array([[1.0, 1e-170], [2.0, -3e-170], [0.5, 2e-171]])
    q, r = kp.qr(a)
    np.testing.assert_allclose(q @ r[:, 1], a[:, 1], rtol=0, atol=16 * EPS * 1e-170 * 4)
    for a in [np.array([[1e200, 2e200], [3e200, -1e200]]), np.array([[1e300, 1.0], [1e250, -1e280]])]:
        q, r = kp.qr(a)
        assert np.all(np.isfinite(q)) and np.all(np.isfinite(r))
        check_factors(a, q, r)


@pytest.mark.parametrize("a", [
    np.array([[1e200, 0.0], [0.0, 1e-290]]),
    np.diag([1e300, 1.0, 1e-300]),
    np.array([[1e300, 1e-300], [1.0, 1.0]]),
], ids=["1e200 beside 1e-290", "1e300, 1, 1e-300", "1e300 above 1e-300"])
def test_large_entries_do_not_flush_small_ones(a):
    # Nothing here comes near overflowing the reductions' products, so nothing is rescaled: the
    # small entries keep their bits in R, H and B.
    q, r = kp.qr(a)
    check_factors(a, q, r)
    np.testing.assert_array_equal(np.abs(np.diag(r)), np.abs(np.diag(np.linalg.qr(a)[1])))
    u, b, v = kp.bidiagonalize(a)
    np.testing.assert_array_equal(np.abs(np.diag(b)), np.abs(np.diag(np.linalg.qr(a)[1])))


@pytest.mark.parametrize("a", [
    np.array([[1e300, 1e-300], [1.0, 1.0]]),                                   # n = 2: no reflection
    np.array([[1.2345678901234567e-170, 5e300], [1.0, 2.0]]),
    np.array([[1e300, 1.0, 1e-300], [1e-300, 1.0, 1.0], [0.0, 1e-300, 1e-300]]),  # already Hessenberg
    np.array([[1.7e308, 1.0, 3e-310, 2.0], [1.0, 1.0, 1.0, 1.0], [0.0, 1e-310, 1.0, 1.0], [0.0, 0.0, 5e-324, 1.0]]),
], ids=["2x2", "2x2 tiny corner", "Hessenberg 3x3", "Hessenberg 4x4 at the top"])
def test_hessenberg_of_a_hessenberg_matrix_is_the_matrix(a):
    q, h = kp.hessenberg(a)
    np.testing.assert_array_equal(h, a)
    np.testing.assert_array_equal(q, np.eye(len(a)))


def test_hessenberg_corner_is_the_input_corner_even_when_scaled():
    # 1e308 makes the products risky, so the matrix is scaled; H[0][0], which no step writes,
    # is still A[0][0] exactly.
    a = np.array([[3e-310, 1.0, 1.0], [1e308, 1.0, 1.0], [1e308, 1.0, 1.0]])
    q, h = kp.hessenberg(a)
    assert h[0, 0] == a[0, 0]
    assert np.all(np.isfinite(h)) and np.all(np.isfinite(q))


@pytest.mark.parametrize("function", [kp.qr, kp.hessenberg, kp.bidiagonalize])
def test_entries_near_the_top_stay_finite_or_raise(function):
    # A full 3×3 of 4e307 is rank-deficient for qr: its one column.
    for x in function(np.full((3, 1) if function is kp.qr else (3, 3), 4e307)):
        assert np.all(np.isfinite(x))
    rng = np.random.default_rng(12)
    for _ in range(100):
        a = rng.uniform(-1.79, 1.79, (4, 4)) * 1e308
        try:
            got = function(a)
        except ValueError as e:
            assert "exceeds the scalar range" in str(e)
            continue
        for x in got:
            assert np.all(np.isfinite(x))


def test_qr_empty_shapes():
    q, r = kp.qr(np.zeros((4, 0)))
    assert np.array_equal(q, np.eye(4)) and r.shape == (4, 0)
    q, r = kp.qr(np.zeros((0, 0)))
    assert q.shape == (0, 0) and r.shape == (0, 0)


@pytest.mark.parametrize("a, text", [
    (np.zeros((1, 1)), "Storage error: QR pivot column 0 has zero norm: matrix is rank-deficient"),
    (np.array([[1.0, 2.0, 0.0], [3.0, 4.0, 0.0], [5.0, 6.0, 0.0]]),
     "Storage error: QR pivot column 2 has zero norm: matrix is rank-deficient"),
    (np.array([[1.0, 5.0], [0.0, 0.0], [0.0, 0.0]]),
     "Storage error: QR pivot column 1 has zero norm: matrix is rank-deficient"),
    (np.array([[1.0, np.nan, 3.0], [4.0, 5.0, 6.0]]), "Shape mismatch: lhs [2, 3], rhs [3, 3]"),
    (np.zeros((0, 2)), "Shape mismatch: lhs [0, 2], rhs [2, 2]"),
    (np.array([[np.nan, 0.0], [1.0, 0.0]]), "Storage error: QR input contains a non-finite value"),
    (np.array([[1e300], [-np.inf]]), "Storage error: QR input contains a non-finite value"),
    (np.full((2, 1), 1.5e308), OVERFLOW + "R entry exceeds the scalar range"),
])
def test_qr_errors(a, text):
    with pytest.raises(ValueError) as e:
        kp.qr(a)
    assert str(e.value) == text


def test_qr_keyword_and_input_untouched():
    a = make(7, 5, "random")
    before = a.copy()
    q, r = kp.qr(a=a)
    assert np.array_equal(a, before)
    check_factors(a, q, r)


# ---- col_piv_qr ------------------------------------------------------------------------

def check_col_piv(a, residual_bound=None):
    q, r, perm = kp.col_piv_qr(a)
    m, n = a.shape
    assert perm.dtype == np.uint64 and perm.shape == (n,)
    assert sorted(perm.tolist()) == list(range(n))
    check_factors(a, q, r, perm.astype(np.intp), residual_bound)
    return q, r, perm


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("shape", SHAPES + [(13, 40), (1, 7), (120, 250)])
def test_col_piv_qr_factors(shape, kind):
    a = make(*shape, kind)
    q, r, perm = check_col_piv(a)
    d = np.abs(np.diag(r))
    size = max(shape)
    # Pivoting by the largest remaining norm: the diagonal does not grow (up to the noise of
    # downdated norms).
    assert np.all(d[1:] <= d[:-1] * (1 + 1e-6) + 16 * size * EPS * np.linalg.norm(a / power_of_two_scale(a))
                  * power_of_two_scale(a))


@pytest.mark.parametrize("shape", [(6, 6), (40, 13), (13, 40), (100, 100)])
def test_col_piv_qr_agrees_with_scipy(shape):
    a = make(*shape, "random", seed=3)
    _, r, perm = kp.col_piv_qr(a)
    _, r_ref, perm_ref = scipy.linalg.qr(a, pivoting=True)
    assert perm.tolist() == perm_ref.tolist()
    np.testing.assert_allclose(np.abs(np.diag(r)), np.abs(np.diag(r_ref)), rtol=1e-10)


@pytest.mark.parametrize("m, n, rank", [(30, 20, 7), (20, 30, 5), (50, 50, 1), (150, 140, 40)])
def test_col_piv_qr_rank_deficient(m, n, rank):
    rng = np.random.default_rng(m + n + rank)
    a = rng.standard_normal((m, rank)) @ rng.standard_normal((rank, n))
    q, r, perm = check_col_piv(a, residual_bound=1e-12 * np.sqrt(n))
    # The steps after the rank leave the unreduced rows at the stop tolerance.
    assert np.linalg.norm(r[rank:, :]) <= 1e-12 * np.sqrt(n) * np.linalg.norm(a)


def test_col_piv_qr_worked_examples():
    q, r, perm = kp.col_piv_qr(np.array([[3.0, 4.0], [4.0, 3.0]]))
    assert perm.tolist() == [0, 1]
    np.testing.assert_allclose(r, [[-5, -4.8], [0, -1.4]], atol=4 * EPS * 5)
    np.testing.assert_allclose(q, [[-0.6, -0.8], [-0.8, 0.6]], atol=4 * EPS)
    _, _, perm = kp.col_piv_qr(np.array([[1.0, 3.0], [0.0, 4.0]]))
    assert perm.tolist() == [1, 0]
    a = np.diag([1.0, 1e-13])
    q, r, perm = kp.col_piv_qr(a)
    assert np.array_equal(q, np.eye(2)) and np.array_equal(r, a) and perm.tolist() == [0, 1]
    q, r, perm = kp.col_piv_qr(np.zeros((3, 2)))
    assert np.array_equal(q, np.eye(3)) and np.array_equal(r, np.zeros((3, 2))) and perm.tolist() == [0, 1]
    a = np.array([[1.0, 2.0, 3.0], [4.0, 5.0, 7.0]])
    q, r, perm = check_col_piv(a)
    assert r.shape == (2, 3) and perm.shape == (3,)


def test_col_piv_qr_scaling_gate_restores_r_exactly():
    # Scaled by 2^-486 (two rows: hi = 9.480751908109174e153); step 1 stops early.
    a = np.array([[1e300, 0.0], [0.0, 1.0]])
    q, r, perm = kp.col_piv_qr(a)
    assert np.array_equal(r, a) and np.array_equal(q, np.eye(2)) and perm.tolist() == [0, 1]
    # Scaled by 2^512: the squared norms no longer underflow, and both steps run.
    a = np.array([[1e-300, 0.0], [0.0, 1e-300]])
    q, r, perm = kp.col_piv_qr(a)
    assert np.array_equal(r, a) and np.array_equal(q, np.eye(2))
    # Without the gate the squares of 1e-170 vanish and the factorisation would stop at once.
    a = np.array([[1e-170, 3e-170], [2e-170, -1e-170]])
    q, r, perm = check_col_piv(a)
    assert np.all(np.abs(np.diag(r)) > 1e-171)


def test_col_piv_qr_r_beyond_the_range():
    with pytest.raises(ValueError) as e:
        kp.col_piv_qr(np.full((2, 2), 1.5e308))
    assert str(e.value) == OVERFLOW + "R entry exceeds the scalar range"


def test_col_piv_qr_empty_shapes():
    q, r, perm = kp.col_piv_qr(np.zeros((3, 0)))
    assert np.array_equal(q, np.eye(3)) and r.shape == (3, 0) and perm.shape == (0,) and perm.dtype == np.uint64
    q, r, perm = kp.col_piv_qr(np.zeros((0, 4)))
    assert q.shape == (0, 0) and r.shape == (0, 4) and perm.tolist() == [0, 1, 2, 3]
    q, r, perm = kp.col_piv_qr(np.zeros((0, 0)))
    assert q.shape == (0, 0) and r.shape == (0, 0) and perm.shape == (0,)


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_col_piv_qr_non_finite(bad):
    a = np.full((3, 2), 1e300)
    a[1, 1] = bad
    with pytest.raises(ValueError) as e:
        kp.col_piv_qr(a)
    assert str(e.value) == "Storage error: ColPivQR input contains a non-finite value"


@pytest.mark.parametrize("function", [kp.qr, kp.col_piv_qr])
def test_non_contiguous_input(function):
    with pytest.raises(ValueError) as e:
        function(np.ones((4, 3)).T)
    assert str(e.value) == "a must be C-contiguous"


def test_col_piv_qr_keyword_and_input_untouched():
    a = make(7, 5, "random")
    before = a.copy()
    q, r, perm = kp.col_piv_qr(a=a)
    assert np.array_equal(a, before)
