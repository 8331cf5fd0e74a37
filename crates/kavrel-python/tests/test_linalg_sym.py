"""bunch_kaufman and udu: exact small cases, reconstruction residuals over random symmetric
(indefinite) matrices scaled by size, max|a| and float64 epsilon, entries near both ends of the
float64 range, the error texts in their order, and the argument checks."""
import numpy as np
import pytest

import kavrel_python as kp
from conftest import EPS, INF, NAN, random_matrix, run_threads, spd

NON_FINITE = {"bunch_kaufman": "Storage error: Bunch-Kaufman input contains a non-finite value",
              "udu": "Storage error: UDU input contains a non-finite value"}
ASYMMETRIC = {"bunch_kaufman": "Storage error: Bunch-Kaufman requires a symmetric matrix",
              "udu": "Storage error: UDU requires a symmetric matrix"}
SINGULAR_2X2 = "Storage error: Bunch-Kaufman encountered a singular 2x2 pivot"
ZERO_PIVOT = "Storage error: UDU encountered a zero pivot (needs symmetric pivoting)"
FUNCTIONS = {"bunch_kaufman": kp.bunch_kaufman, "udu": kp.udu}


def symmetric(n, seed):
    a = random_matrix((n, n), seed)
    return np.triu(a) + np.triu(a, 1).T


def hollow(n, seed):
    """Symmetric with a zero diagonal: 2×2 pivots everywhere."""
    a = symmetric(n, seed)
    np.fill_diagonal(a, 0.0)
    return a


def dominant_indefinite(n, seed):
    """Symmetric with diagonal ±n alternating: indefinite, every pivot large."""
    a = symmetric(n, seed)
    np.fill_diagonal(a, np.where(np.arange(n) % 2 == 0, n, -n))
    return a


def inertia(m):
    w = np.linalg.eigvalsh(m)
    tol = 1e3 * len(m) * EPS * max(np.abs(w).max(initial=0.0), 1e-300)
    return int(np.sum(w > tol)), int(np.sum(w < -tol))


# --- bunch_kaufman ------------------------------------------------------------------------

def bk_check(a):
    """The factors' structure and the residual ‖PᵀAP − LDLᵀ‖."""
    l, d, perm = kp.bunch_kaufman(a)
    n = a.shape[0]
    assert l.dtype == np.float64 and d.dtype == np.float64 and perm.dtype == np.uint64
    assert l.shape == d.shape == (n, n) and perm.shape == (n,)
    assert sorted(perm.tolist()) == list(range(n))
    np.testing.assert_array_equal(np.triu(l), np.eye(n))
    np.testing.assert_array_equal(d, d.T)
    np.testing.assert_array_equal(np.triu(d, 2), 0.0)
    blocks = np.flatnonzero(np.diag(d, 1))
    assert np.all(np.diff(blocks) >= 2)  # 2×2 blocks never overlap
    np.testing.assert_array_equal(l[blocks + 1, blocks], 0.0)
    p = perm.astype(np.intp)
    pap = a[np.ix_(p, p)]
    # The trailing updates keep both triangles, which drift apart by rounding while multipliers are
    # read below the diagonal and update rows above it: the residual in units of n·max|a|·eps grows
    # faster than the element growth, but stays within the classical n·eps·‖|L|·|D|·|L|ᵀ‖.
    # Compared at the unit scale (a power of two, exact) so that no norm overflows.
    e = -int(np.frexp(np.abs(a).max(initial=1.0))[1])
    pap, ds = np.ldexp(pap, e), np.ldexp(d, e)
    bound = n * EPS * np.linalg.norm(np.abs(l) @ np.abs(ds) @ np.abs(l).T)
    assert np.linalg.norm(pap - l @ ds @ l.T) <= 0.25 * bound
    return l, d, perm, len(blocks)


@pytest.mark.parametrize("kind", [symmetric, hollow, dominant_indefinite, spd])
@pytest.mark.parametrize("n", [1, 2, 3, 7, 16, 50, 150])
def test_bunch_kaufman_reproduces_the_permuted_matrix(kind, n):
    a = kind(n, 100 * n + 7)
    _, d, _, _ = bk_check(a)
    # Sylvester: D has the inertia of A.
    assert inertia(d) == inertia(a)


def test_bunch_kaufman_takes_2x2_pivots_on_indefinite_matrices():
    assert sum(bk_check(hollow(60, s))[3] for s in range(3)) >= 30


def test_bunch_kaufman_positive_definite_takes_only_diagonal_pivots():
    _, d, perm, blocks = bk_check(spd(40, 3))
    assert blocks == 0
    np.testing.assert_array_equal(perm, np.arange(40))
    np.testing.assert_array_equal(d, np.diag(np.diag(d)))


T = 1e-170  # T·T underflows to 0


@pytest.mark.parametrize("a,l,d,perm", [
    (np.zeros((0, 0)), np.zeros((0, 0)), np.zeros((0, 0)), []),
    ([[-3.0]], [[1.0]], [[-3.0]], [0]),
    ([[0.0]], [[1.0]], [[0.0]], [0]),
    (np.zeros((3, 3)), np.eye(3), np.zeros((3, 3)), [0, 1, 2]),
    ([[0.0, 1.0], [1.0, 0.0]], np.eye(2), [[0.0, 1.0], [1.0, 0.0]], [0, 1]),
    ([[0.0, T], [T, 0.0]], np.eye(2), [[0.0, T], [T, 0.0]], [0, 1]),
    # Within the symmetry tolerance; b is read above the diagonal.
    ([[0.0, 1.0], [1.0 + 5e-10, 0.0]], np.eye(2), [[0.0, 1.0], [1.0, 0.0]], [0, 1]),
    # Rows and columns 0 and 2 exchanged, then 16 is a 1×1 pivot.
    ([[1.0, 0.0, 4.0], [0.0, 2.0, 0.0], [4.0, 0.0, 16.0]], [[1, 0, 0], [0, 1, 0], [0.25, 0, 1]],
     np.diag([16.0, 2.0, 0.0]), [2, 1, 0]),
], ids=["empty", "one", "one zero", "zero 3x3", "exchange", "tiny exchange", "b above the diagonal", "swapped"])
def test_bunch_kaufman_exact_cases(a, l, d, perm):
    got_l, got_d, got_perm = kp.bunch_kaufman(np.array(a, dtype=np.float64))
    np.testing.assert_array_equal(got_l, l)
    np.testing.assert_array_equal(got_d, d)
    np.testing.assert_array_equal(got_perm, np.array(perm, dtype=np.uint64))
    assert got_perm.dtype == np.uint64


@pytest.mark.parametrize("base", [hollow(3, 1), symmetric(9, 2), hollow(20, 3)], ids=["hollow 3", "symmetric 9",
                                                                                    "hollow 20"])
@pytest.mark.parametrize("k", [-900, -600, -540, 540, 600, 900])
def test_bunch_kaufman_extreme_scales_keep_the_unit_factors(base, k):
    # The plain pivot test products and 2×2 determinants leave the float64 range at these scales;
    # powers of two otherwise commute with every step, so the factors are those of the unit scale.
    l0, d0, p0 = kp.bunch_kaufman(base)
    l, d, p = kp.bunch_kaufman(np.ldexp(base, k))
    np.testing.assert_array_equal(p, p0)
    np.testing.assert_array_equal(l, l0)
    np.testing.assert_array_equal(d, np.ldexp(d0, k))


def test_bunch_kaufman_huge_2x2_block_keeps_its_multipliers():
    b, x, y = 1e160, 3e159, -7e159  # b·b overflows
    a = np.array([[0.0, b, x], [b, 0.0, y], [x, y, 1e150]])
    l, d, _, _ = bk_check(a)
    assert d[0, 1] == b
    assert l[2, 0] == pytest.approx(y / b, rel=4 * EPS)
    assert l[2, 1] == pytest.approx(x / b, rel=4 * EPS)


def test_bunch_kaufman_subnormal_entries_factor_without_infinities():
    a = np.ldexp(np.array([[0.0, 4.0, 0.5], [4.0, 0.0, 1.0], [0.5, 1.0, 0.25]]), -1072)
    l, d, perm = kp.bunch_kaufman(a)
    assert np.all(np.isfinite(l)) and np.all(np.isfinite(d))
    np.testing.assert_array_equal(l[2, :2], [0.25, 0.125])


@pytest.mark.parametrize("a,message", [
    (np.zeros((3, 4)), "Shape mismatch: lhs [3, 4], rhs [3, 3]"),
    ([[1.0, 5.0], [0.0, NAN]], NON_FINITE["bunch_kaufman"]),       # before the symmetry test
    ([[1.0, 0.0], [0.0, -INF]], NON_FINITE["bunch_kaufman"]),
    ([[0.0, 1.0], [1.0 + 2e-9, 0.0]], ASYMMETRIC["bunch_kaufman"]),
    # W(0, 1) = 0 against W(1, 0) = 1e-10 (within the tolerance): the block read above the diagonal
    # is [[0, 0], [·, 0]].
    ([[0.0, 0.0, 0.0], [1e-10, 0.0, 1e-10], [0.0, 1e-10, 1.0]], SINGULAR_2X2),
    # The same with nothing else in column 1: a zero 1×1 pivot would divide 1e-10 by 0.
    ([[0.0, 0.0, 0.0], [1e-10, 0.0, 0.0], [0.0, 0.0, 1.0]], SINGULAR_2X2),
], ids=["3x4", "NaN", "infinity", "asymmetric", "singular block", "no zero 1x1 pivot"])
def test_bunch_kaufman_errors(a, message):
    with pytest.raises(ValueError) as e:
        kp.bunch_kaufman(np.array(a, dtype=np.float64))
    assert str(e.value) == message


# --- udu -----------------------------------------------------------------------------------

def udu_check(a):
    u, d = kp.udu(a)
    n = a.shape[0]
    assert u.dtype == np.float64 and d.dtype == np.float64
    assert u.shape == (n, n) and d.shape == (n,)
    np.testing.assert_array_equal(np.tril(u), np.eye(n))
    sym = np.triu(a) + np.triu(a, 1).T
    assert np.linalg.norm(sym - (u * d) @ u.T) <= 2 * n * np.abs(a).max() * EPS
    return u, d


@pytest.mark.parametrize("kind", [dominant_indefinite, spd])
@pytest.mark.parametrize("n", [1, 2, 5, 16, 64, 150])
def test_udu_reproduces_the_matrix(kind, n):
    a = kind(n, 10 * n + 1)
    _, d = udu_check(a)
    assert (int(np.sum(d > 0)), int(np.sum(d < 0))) == inertia(a)


def test_udu_exact_cases():
    u, d = kp.udu(np.zeros((0, 0)))
    assert u.shape == (0, 0) and d.shape == (0,)
    u, d = kp.udu(np.array([[-2.5]]))
    np.testing.assert_array_equal(u, [[1.0]])
    np.testing.assert_array_equal(d, [-2.5])
    # d[1] = 3, U(0, 1) = 2/3, w[0] = (2/3)·3, d[0] = 4 − (2/3)·w[0].
    u, d = kp.udu(np.array([[4.0, 2.0], [2.0, 3.0]]))
    t = 2.0 / 3.0
    np.testing.assert_array_equal(u, [[1.0, t], [0.0, 1.0]])
    np.testing.assert_array_equal(d, [4.0 - t * (t * 3.0), 3.0])


def test_udu_reads_only_the_upper_triangle():
    a = dominant_indefinite(12, 5)
    perturbed = a + np.tril(np.full_like(a, 4e-10), -1)  # within 1e-9·max|a|
    for x, y in zip(kp.udu(a), kp.udu(perturbed)):
        np.testing.assert_array_equal(x, y)


@pytest.mark.parametrize("a,message", [
    (np.zeros((2, 3)), "Shape mismatch: lhs [2, 3], rhs [2, 2]"),
    ([[1.0, 7.0], [0.0, NAN]], NON_FINITE["udu"]),
    ([[INF, 0.0], [0.0, 1.0]], NON_FINITE["udu"]),
    ([[1.0, 1.0], [1.0 + 3e-9, 1.0]], ASYMMETRIC["udu"]),
    ([[0.0]], ZERO_PIVOT),
    (np.zeros((3, 3)), ZERO_PIVOT),
    ([[0.0, 1.0], [1.0, 0.0]], ZERO_PIVOT),   # nonsingular, but d = 0 at the last column
    ([[1.0, 1.0], [1.0, 1.0]], ZERO_PIVOT),
    ([[1.0, 0.0], [0.0, 1e-12]], ZERO_PIVOT),  # |d| ≤ 1e-12·max|a|
], ids=["2x3", "NaN", "infinity", "asymmetric", "zero", "zero 3x3", "exchange", "singular", "at the tolerance"])
def test_udu_errors(a, message):
    with pytest.raises(ValueError) as e:
        kp.udu(np.array(a, dtype=np.float64))
    assert str(e.value) == message


def test_udu_exchange_is_left_to_bunch_kaufman():
    a = np.array([[0.0, 1.0], [1.0, 0.0]])
    with pytest.raises(ValueError):
        kp.udu(a)
    bk_check(a)


# --- Argument checks, shared ---------------------------------------------------------------

@pytest.mark.parametrize("name", FUNCTIONS)
def test_contiguity_is_checked(name):
    with pytest.raises(ValueError) as e:
        FUNCTIONS[name](np.asfortranarray(spd(3, 1)))
    assert str(e.value) == "a must be C-contiguous"
    with pytest.raises(TypeError):
        FUNCTIONS[name](spd(3, 1).astype(np.float32))


@pytest.mark.parametrize("name", FUNCTIONS)
def test_inputs_are_not_written_and_borrows_are_released(name, hooks):
    a = dominant_indefinite(7, 3)
    a0 = a.copy()
    FUNCTIONS[name](a=a)
    np.testing.assert_array_equal(a, a0)
    assert hooks.borrow_count() == 0
    with pytest.raises(ValueError):
        FUNCTIONS[name](np.full((4, 4), NAN))
    assert hooks.borrow_count() == 0


def test_calls_from_several_threads_agree_with_single_calls():
    mats = [hollow(80, 30 + i) for i in range(4)]
    expected = [(kp.bunch_kaufman(m), kp.udu(dominant_indefinite(80, i))) for i, m in enumerate(mats)]

    def work(i):
        for _ in range(5):
            got = (kp.bunch_kaufman(mats[i]), kp.udu(dominant_indefinite(80, i)))
        return got

    for got, want in zip(run_threads(work, len(mats)), expected):
        for x, y in zip(got[0] + got[1], want[0] + want[1]):
            np.testing.assert_array_equal(x, y)
