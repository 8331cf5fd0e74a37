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
OUT_OF_RANGE = {name: f"Arithmetic overflow in layout calculations: {text} factor exceeds the scalar range"
                for name, text in [("bunch_kaufman", "Bunch-Kaufman"), ("udu", "UDU"), ("full_piv_lu", "FullPivLU")]}
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
    # The classical backward-error bound n·eps·‖|L|·|D|·|L|ᵀ‖, compared at the unit scale (a power
    # of two, exact) so that no norm overflows.
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
    # Within the symmetry tolerance the lower triangle decides: b is read below the diagonal.
    ([[0.0, 1.0], [1.0 + 5e-10, 0.0]], np.eye(2), [[0.0, 1.0 + 5e-10], [1.0 + 5e-10, 0.0]], [0, 1]),
    # W(0, 1) = W(2, 1) = 0 above against W(1, 0) = 1e-10 below: a regular 2×2 pivot, not a
    # singular block or a zero 1×1 pivot.
    ([[0.0, 0.0, 0.0], [1e-10, 0.0, 0.0], [0.0, 0.0, 1.0]], np.eye(3),
     [[0.0, 1e-10, 0.0], [1e-10, 0.0, 0.0], [0.0, 0.0, 1.0]], [0, 1, 2]),
    # Rows and columns 0 and 2 exchanged, then 16 is a 1×1 pivot.
    ([[1.0, 0.0, 4.0], [0.0, 2.0, 0.0], [4.0, 0.0, 16.0]], [[1, 0, 0], [0, 1, 0], [0.25, 0, 1]],
     np.diag([16.0, 2.0, 0.0]), [2, 1, 0]),
], ids=["empty", "one", "one zero", "zero 3x3", "exchange", "tiny exchange", "b below the diagonal", "upper zeros",
        "swapped"])
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


def hilbert(n):
    i = np.arange(n, dtype=np.float64)
    return 1.0 / (i[:, None] + i[None, :] + 1.0)


def graded(n, seed):
    a = symmetric(n, seed)
    i = np.arange(n)
    return np.ldexp(a, -(i[:, None] + i[None, :]))


def low_rank(n, seed):
    b = random_matrix((n, n // 2), seed)
    a = b @ b.T
    return np.triu(a) + np.triu(a, 1).T


def saddle_point(h, seed):
    """[[H, Bᵀ], [B, 0]] with H positive definite and B of h/2 rows."""
    c = h // 2
    b = random_matrix((c, h), seed)
    return np.block([[spd(h, seed), b.T], [b, np.zeros((c, c))]])


@pytest.mark.parametrize("a", [hilbert(33), hilbert(64), hilbert(100), graded(60, 5), low_rank(100, 6),
                               low_rank(200, 7), saddle_point(60, 8)],
                         ids=["Hilbert 33", "Hilbert 64", "Hilbert 100", "graded 60", "rank 50 of 100",
                              "rank 100 of 200", "saddle point 90"])
def test_bunch_kaufman_is_backward_stable(a):
    # One matrix throughout the elimination: within 30·n·eps·max(|L||D||Lᵀ|) entrywise, where an
    # update of both triangles with their own roundings left residuals 10^9 times that.
    l, d, perm = kp.bunch_kaufman(a)
    p = perm.astype(np.intp)
    n = len(a)
    residual = np.abs(a[np.ix_(p, p)] - l @ d @ l.T).max()
    assert residual <= 30 * n * EPS * (np.abs(l) @ np.abs(d) @ np.abs(l).T).max()


# Finite input whose plain updates overflow: each factorisation gives the factors of the input
# scaled down by 2^60 (multipliers as they are, D, d or U scaled back), or raises where a factor
# itself leaves the float64 range. None returns an infinite or NaN factor.
BK_NEAR_TOP = np.array([[-1.41477408e308, 3.98768572e307, 1.21408433e308],
                        [3.98768572e307, 9.96212400e307, -1.51888838e308],
                        [1.21408433e308, -1.51888838e308, 1.04640618e308]])
UDU_NEAR_TOP = np.array([[1e300, 2e304, 2e304], [2e304, -1e300, 0.0], [2e304, 0.0, 1e300]])


def _scaled_back(name, small, k):
    if name == "bunch_kaufman":
        l, d, perm = small
        return l, np.ldexp(d, k), perm
    if name == "udu":
        u, d = small
        return u, np.ldexp(d, k)
    l, u, rows, cols = small
    return l, np.ldexp(u, k), rows, cols


@pytest.mark.parametrize("name,a", [
    ("bunch_kaufman", BK_NEAR_TOP),
    ("udu", np.array([[1.5e308, 1e308], [1e308, 0.5e308]])),
    ("udu", UDU_NEAR_TOP),          # the unscaled update was 4e308 − 4e308, a NaN pivot
    ("full_piv_lu", np.ldexp(random_matrix((5, 5), 9), 1022)),
], ids=["bunch_kaufman", "udu 2x2", "udu NaN pivot", "full_piv_lu"])
def test_factors_of_finite_input_near_the_top_of_the_range(name, a):
    f = getattr(kp, name)
    got = f(a)
    for x in got:
        assert np.all(np.isfinite(x))
    for g, want in zip(got, _scaled_back(name, f(np.ldexp(a, -60)), 60)):
        np.testing.assert_array_equal(g, want)


def test_udu_scales_no_further_than_its_updates_need():
    # max|a| = 2^1000 leaves room for 16·n times itself, yet the updates reach 2^39·2^1000: the
    # least scale that keeps them finite keeps t·2^-k normal, so U(0, 3) = t/2^961 is correctly
    # rounded, where scaling max|a| down to 1 made t subnormal and lost 17 bits of it.
    p, t = 2.0 ** 1000, 1.2345678901234567e-18
    a = np.zeros((4, 4))
    a[0, 0] = p / 2
    a[0, 1] = a[1, 0] = a[0, 2] = a[2, 0] = p
    a[1, 1], a[2, 2], a[3, 3] = -2.0 ** 961, 2.0 ** 961, 2.0 ** 961
    a[0, 3] = a[3, 0] = t
    u, d = kp.udu(a)
    assert u[0, 3] == t / 2.0 ** 961
    for g, want in zip((u, d), _scaled_back("udu", kp.udu(np.ldexp(a, -60)), 60)):
        np.testing.assert_array_equal(g, want)


@pytest.mark.parametrize("name,a", [
    ("bunch_kaufman", [[1e308, 1e308], [1e308, -1e308]]),
    ("udu", [[1.5e308, 1e308], [1e308, 0.25e308]]),
    ("full_piv_lu", [[1.7e308, 1.7e308], [-1.7e308, 1.7e308]]),
])
def test_factors_beyond_the_range_raise(name, a):
    with pytest.raises(ValueError) as e:
        getattr(kp, name)(np.array(a))
    assert str(e.value) == OUT_OF_RANGE[name]


def test_random_wide_range_input_never_gives_non_finite_factors():
    rng = np.random.default_rng(11)
    for _ in range(300):
        n = int(rng.integers(2, 6))
        a = 10.0 ** rng.uniform(280, 308, (n, n)) * rng.choice([-1.0, 1.0], (n, n))
        a = np.triu(a) + np.triu(a, 1).T
        for f in (kp.bunch_kaufman, kp.udu, kp.full_piv_lu):
            try:
                got = f(a)
            except ValueError:
                continue
            for x in got[:2]:
                assert np.all(np.isfinite(x)), (f.__name__, a)


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
    # The 1×1 pivot 1e308, then D(1, 1) = −1e308 − 1e308: a factor beyond the float64 range.
    ([[1e308, 1e308], [1e308, -1e308]], OUT_OF_RANGE["bunch_kaufman"]),
], ids=["3x4", "NaN", "infinity", "asymmetric", "factor out of range"])
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
