"""det, inv, solve, full_piv_lu, cholesky, cholesky_solve and cholesky_inv: exact small cases,
residuals against the definitions scaled by size, norms and float64 epsilon, the error texts in
their order, and the argument checks of each function."""
from fractions import Fraction

import numpy as np
import pytest

import kavrel_python as kp
from conftest import EPS, INF, NAN, random_matrix, rng, run_threads, spd

SINGULAR = "Storage error: LU pivot column {} is exactly zero: matrix is singular"
NOT_PD = "Storage error: Cholesky pivot {} is non-positive: matrix is not positive-definite"
NON_FINITE = {"LU": "Storage error: LU input contains a non-finite value",
              "FullPivLU": "Storage error: FullPivLU input contains a non-finite value",
              "Cholesky": "Storage error: Cholesky input contains a non-finite value"}


def graded(n, seed):
    """Random entries scaled by 2^-(i + j)."""
    i = np.arange(n)
    return random_matrix((n, n), seed) * np.ldexp(1.0, -(i[:, None] + i[None, :]))


def hilbert(n):
    i = np.arange(n)
    return 1.0 / (i[:, None] + i[None, :] + 1.0)


def graded_spd(n, seed):
    d = np.ldexp(1.0, -np.arange(n))
    return spd(n, seed) * d[:, None] * d[None, :]


GENERAL = {"random 1": random_matrix((1, 1), 1), "random 2": random_matrix((2, 2), 2),
           "random 5": random_matrix((5, 5), 3), "random 16": random_matrix((16, 16), 4),
           "random 120": random_matrix((120, 120), 5), "graded 30": graded(30, 6),
           "Hilbert 9": hilbert(9)}
SPD = {"spd 1": spd(1, 1), "spd 4": spd(4, 2), "spd 16": spd(16, 3), "spd 130": spd(130, 4),
       "graded spd 30": graded_spd(30, 5), "Hilbert 9": hilbert(9)}


def inverse_residual(a, x):
    n = a.shape[0]
    return np.linalg.norm(a @ x - np.eye(n)) / (n * np.linalg.norm(a) * np.linalg.norm(x) * EPS)


def backward_error(a, x, b):
    n = a.shape[0]
    return np.linalg.norm(a @ x - b) / (n * (np.linalg.norm(a) * np.linalg.norm(x) + np.linalg.norm(b)) * EPS)


def exact_det(a):
    """The determinant of the float64 entries, by exact rational elimination."""
    m = [[Fraction(x) for x in row] for row in a.tolist()]
    n, det = len(m), Fraction(1)
    for k in range(n):
        p = next(i for i in range(k, n) if m[i][k] != 0)
        if p != k:
            m[k], m[p], det = m[p], m[k], -det
        det *= m[k][k]
        for i in range(k + 1, n):
            f = m[i][k] / m[k][k]
            m[i] = [x - f * y for x, y in zip(m[i], m[k])]
    return det


# --- det ----------------------------------------------------------------------------------

@pytest.mark.parametrize("a,expected", [
    (np.zeros((0, 0)), 1.0),
    ([[2.0]], 2.0),
    ([[0.0, 1.0], [1.0, 0.0]], -1.0),
    ([[1.0, 2.0], [2.0, 4.0]], 0.0),              # exactly zero pivot column: 0.0, no error
    ([[1.0, 0.0, 2.0], [3.0, 0.0, 4.0], [5.0, 0.0, 7.0]], 0.0),
    ([[2.0, 0.0, 0.0], [0.0, -3.0, 0.0], [0.0, 0.0, 0.5]], -3.0),
], ids=["empty", "one", "interchange", "zero pivot", "zero column", "diagonal"])
def test_det_exact_cases(a, expected):
    d = kp.det(np.array(a, dtype=np.float64))
    assert type(d) is float
    assert d == expected


def test_det_of_a_singular_matrix_is_what_the_rounded_elimination_leaves():
    # Only an exact zero pivot gives 0.0: here (1/3)·6 rounds below 2, and the determinant is
    # the product of the pivots the elimination ends with.
    d = kp.det(np.array([[1.0, 2.0], [3.0, 6.0]]))
    assert abs(d) <= 8 * EPS


@pytest.mark.parametrize("name", ["random 2", "random 5", "random 16", "random 120", "graded 30", "Hilbert 9"])
def test_det_matches_the_exact_determinant(name):
    a = GENERAL[name]
    n = a.shape[0]
    exact = float(exact_det(a)) if n <= 30 else np.linalg.det(a)
    # Relative error of a backward-stable determinant: about n·eps times the condition number.
    assert abs(kp.det(a) - exact) <= 4 * n * np.linalg.cond(a) * EPS * abs(exact)


@pytest.mark.parametrize("diagonal,expected", [
    ([1e200, 1e200, 1e-200, 1e-200], 1.0),
    ([1e-200, 1e-200, 1e200, 1e200], 1.0),
    ([1e308, 2.0, 0.5], 1e308),
    ([1e200, 1e200, 1e-100], 1e300),
    ([1e200, 1e200, 1e-10], INF),        # the determinant itself leaves the range
    ([1e-200, 1e-200, 1e10], 0.0),
], ids=["large first", "small first", "through the top", "back in range", "overflows", "underflows"])
def test_det_is_inf_or_zero_only_where_the_determinant_is(diagonal, expected):
    # Diagonal input: the pivots are the diagonal in order, and the running product of the
    # pivots may leave the range on its way.
    d = kp.det(np.diag(diagonal))
    assert d == pytest.approx(expected, rel=4 * len(diagonal) * EPS)
    # A permuted copy gives the same value up to the interchanges' sign.
    p = np.arange(len(diagonal))[::-1]
    assert abs(kp.det(np.diag(diagonal)[p])) == pytest.approx(abs(expected), rel=4 * len(diagonal) * EPS)


# --- inv and solve ------------------------------------------------------------------------

@pytest.mark.parametrize("name", GENERAL)
def test_inv_residual(name):
    a = GENERAL[name]
    x = kp.inv(a)
    assert x.dtype == np.float64 and x.shape == a.shape and x.flags.c_contiguous and x.flags.owndata is False
    assert inverse_residual(a, x) <= 1.0


@pytest.mark.parametrize("name", GENERAL)
def test_solve_backward_error(name):
    a = GENERAL[name]
    b = rng(9).uniform(-1.0, 1.0, a.shape[0])
    x = kp.solve(a, b)
    assert x.dtype == np.float64 and x.shape == b.shape
    assert backward_error(a, x, b) <= 1.0


def test_inv_and_solve_exact_cases():
    np.testing.assert_array_equal(kp.inv(np.array([[2.0]])), [[0.5]])
    np.testing.assert_array_equal(kp.inv(np.array([[1.0, 2.0], [0.0, 1.0]])), [[1.0, -2.0], [0.0, 1.0]])
    np.testing.assert_array_equal(kp.solve(np.array([[0.0, 1.0], [1.0, 0.0]]), np.array([2.0, 3.0])), [3.0, 2.0])
    empty = kp.inv(np.zeros((0, 0)))
    assert empty.shape == (0, 0) and empty.dtype == np.float64
    x = kp.solve(np.zeros((0, 0)), np.zeros(0))
    assert x.shape == (0,) and x.dtype == np.float64


def test_inv_of_a_nearly_singular_matrix_is_large_not_an_error():
    assert np.all(np.abs(kp.inv(np.array([[1.0, 2.0], [3.0, 6.0]]))) > 1e14)


def test_solve_reads_b_through_the_permutation():
    a = np.array([[0.0, 0.0, 2.0], [4.0, 0.0, 0.0], [0.0, 8.0, 0.0]])
    np.testing.assert_array_equal(kp.solve(a, np.array([2.0, 4.0, 8.0])), [1.0, 1.0, 1.0])


# --- eliminations that overflow ------------------------------------------------------------

def _overflowing_elimination(n, seed):
    """Column 0 of ±1 (ties: no interchange, multipliers ±1), column 1 near the largest finite
    value: the first step's updates overflow (rows 0 and 1 add 1e308 to 1e308), the factors of
    the input scaled by a power of two do not."""
    g = rng(seed)
    a = g.uniform(-1.0, 1.0, (n, n))
    a[:, 0] = g.choice([-1.0, 1.0], n)
    a[:, 1] = 1e308 * g.choice([-1.0, 1.0], n) * g.uniform(0.5, 1.0, n)
    a[0, 1] = a[1, 1] = 1e308
    a[1, 0] = -a[0, 0]
    return a


def _inverse_componentwise_residual(a, x):
    """max |A·X − I| in units of n·eps·(|A|·|X|), which stays finite where the norms of A overflow."""
    n = a.shape[0]
    return np.max(np.abs(a @ x - np.eye(n)) / (n * EPS * (np.abs(a) @ np.abs(x)) + np.finfo(float).tiny))


def test_det_solve_inv_of_an_elimination_through_2e308():
    c = np.array([[1.0, 1e308, 0.0], [-1.0, 1e308, 0.0], [0.0, 0.0, 0.5]])  # det = 1e308
    assert kp.det(c) == 1e308
    x = kp.solve(c, np.ones(3))                                               # [0, 1e-308, 2]
    assert x[2] == 2.0 and abs(x[0]) <= EPS and x[1] == pytest.approx(1e-308, rel=1e-15)
    assert np.max(np.abs(c @ x - 1.0)) <= 4 * EPS
    assert _inverse_componentwise_residual(c, kp.inv(c)) <= 4.0


# The factors of such a matrix are those of the matrix at a scale that needs none: the solution
# has the componentwise backward error of a well-computed one (measured on A·2^-64, where no
# product overflows), the determinant is exactly 2^(64·n) times that of A·2^-64 (inf where it
# leaves the range), and so is the inverse's residual. NumPy's solve on these returns NaN or
# answers off by the size of b.
@pytest.mark.parametrize("n", [2, 3, 8, 40, 130])
def test_det_solve_inv_of_an_overflowing_elimination_are_those_of_the_input(n):
    a = _overflowing_elimination(n, n)
    small = np.ldexp(a, -64)
    b = rng(100 + n).uniform(-1.0, 1.0, n)
    x = kp.solve(a, b)
    r = np.abs(small @ x - np.ldexp(b, -64))
    assert np.all(r <= 4 * n * EPS * (np.abs(small) @ np.abs(x) + np.ldexp(np.abs(b), -64)) + 2 * 2.0 ** -1074)
    d, ds = kp.det(a), kp.det(small)
    if abs(ds) >= np.finfo(float).tiny:
        m, e = np.frexp(ds)
        with np.errstate(over="ignore"):
            assert d == np.ldexp(m, e + 64 * n)
    else:  # det(A·2^-64) underflows; its logarithm tells where det(A) lies
        sign, log_small = np.linalg.slogdet(small)
        log_det = log_small + 64 * n * np.log(2.0)
        assert log_det > np.log(np.finfo(float).max) and d == sign * INF
    x = kp.inv(a)
    assert np.all(np.isfinite(x))
    assert _inverse_componentwise_residual(a, x) <= 4.0


def test_lu_scale_keeps_small_entries_and_large_solutions():
    c = np.array([[1.0, 1e308, 0.0], [-1.0, 1e308, 0.0], [0.0, 0.0, 2.0 ** -1072]])
    # A scale further than needed would turn 2^-1072 into 0 and the matrix singular.
    assert kp.det(c) == np.ldexp(1e308, -1071)
    np.testing.assert_array_equal(kp.solve(c, np.array([0.0, 0.0, 2.0 ** -1072])), [0.0, 0.0, 1.0])
    # A solution near the top of the range beside the overflowing block is formed at its own
    # scale and stays finite.
    a = np.zeros((4, 4))
    a[:3, :3] = c
    a[2, 2], a[3, 3] = 0.5, 1.0
    x = kp.solve(a, np.array([1.0, 3 * 2.0 ** -1074, 1.0, 1e308]))
    assert x[3] == 1e308 and x[2] == 2.0
    np.testing.assert_allclose(x[:2], [0.5, 5e-309], rtol=4 * EPS)


def test_lu_growth_beyond_the_range_raises():
    # The growth matrix of order 1030 (1 on the diagonal and in the last column, −1 below the
    # diagonal): U(n−1, n−1) = 2^1029 at entries of magnitude 1, past every scale tried (the
    # largest brings max|a| into [1, 2)).
    n = 1030
    a = np.tril(-np.ones((n, n)), -1) + np.eye(n)
    a[:, -1] = 1.0
    text = "Arithmetic overflow in layout calculations: LU factor exceeds the scalar range"
    for f in (lambda: kp.det(a), lambda: kp.solve(a, np.ones(n)), lambda: kp.inv(a)):
        with pytest.raises(ValueError) as e:
            f()
        assert str(e.value) == text


# --- the ends of the range: no scale rounds an input or a result -----------------------------

TINY = 2.0 ** -1074
TOP = 2.0 ** 1023


def exact_solution(a, b):
    """A⁻¹·b of the float64 entries by exact rational elimination, each entry correctly rounded
    (±inf beyond the range)."""
    n = len(b)
    m = [[Fraction(x) for x in row] + [Fraction(y)] for row, y in zip(a.tolist(), b.tolist())]
    for k in range(n):
        p = next(i for i in range(k, n) if m[i][k] != 0)
        m[k], m[p] = m[p], m[k]
        for i in range(n):
            if i != k and m[i][k] != 0:
                f = m[i][k] / m[k][k]
                m[i] = [x - f * y for x, y in zip(m[i], m[k])]
    x = [m[i][n] / m[i][i] for i in range(n)]
    return np.array([float(v) if abs(v) <= np.finfo(float).max else np.copysign(INF, float(v > 0) - 0.5)
                     for v in x])


def _wide_growth_with_a_unit_row():
    """The order-53 growth matrix times 2^1023 (its last column grows to 2^1075 and needs a
    scale) beside a row and column of its own holding 1."""
    n = 53
    g = np.tril(-np.ones((n, n)), -1) + np.eye(n)
    g[:, -1] = 1.0
    a = np.zeros((n + 1, n + 1))
    a[:n, :n] = g * TOP
    a[n, n] = 1.0
    return a


def test_solve_does_not_round_a_small_right_hand_side():
    # The elimination overflows (1e308 + 1e308), and the scale it needs would turn 2^-1074 into 0.
    a = np.array([[1.0, 1e308, 0.0], [-1.0, 1e308, 0.0], [0.0, 0.0, 2.0 ** -60]])
    np.testing.assert_array_equal(kp.solve(a, np.array([0.0, 0.0, TINY])), [0.0, 0.0, 2.0 ** -1014])
    # Beside a block that needs a scale of 2^-53, a solution in the normal range keeps all its bits.
    a = _wide_growth_with_a_unit_row()
    t = 2.0 ** -1000 * (1 + 2.0 ** -30 + 2.0 ** -52)
    b = np.zeros(54)
    b[53] = t
    np.testing.assert_array_equal(kp.solve(a, b), b)


def test_tiny_entries_are_not_rounded_by_the_scale():
    # Column 1 must be scaled (2^1023 + 2^1023 overflows); 2^-1074 is an entry of its own.
    a = np.array([[TOP, TOP, 0.0], [TOP, -TOP, 0.0], [0.0, 0.0, TINY]])
    assert kp.det(a) == -2.0 ** 973
    x = kp.solve(a, np.array([TOP, TOP, TINY]))
    np.testing.assert_array_equal(x, [1.0, -0.0, 1.0])
    assert np.signbit(x[1])  # as NumPy's
    a[2, 2] = 3 * TINY
    assert kp.det(a) == -3 * 2.0 ** 973
    # The entry in the column that must be scaled: the rows are scaled instead.
    b = np.array([[TOP, TOP, 0.0], [TOP, -TOP, 0.0], [0.0, TINY, 2.0 ** -1060]])
    assert kp.det(b) == -2.0 ** 987
    np.testing.assert_array_equal(kp.solve(b, np.array([TOP, TOP, 2.0 ** -1060])), [1.0, -0.0, 1.0])


def test_no_exact_scale_raises():
    # 2^-1074 in every row and column that a scale could take down: the LU cannot be formed exactly.
    a = np.array([[TOP, TOP, TINY], [TOP, -TOP, TINY], [TINY, TINY, 1.0]])
    for f in (lambda: kp.det(a), lambda: kp.solve(a, np.ones(3)), lambda: kp.inv(a)):
        with pytest.raises(ValueError) as e:
            f()
        assert str(e.value) == "Arithmetic overflow in layout calculations: LU factor exceeds the scalar range"


def exact_backward_error(a, x, b):
    """max_i |b − A·x|_i / (|A|·|x| + |b|)_i in units of eps, in exact rational arithmetic (the
    products of these systems leave the float64 range)."""
    worst = Fraction(0)
    for row, xi_b in zip(a.tolist(), b.tolist()):
        r = Fraction(xi_b) - sum(Fraction(v) * Fraction(w) for v, w in zip(row, x.tolist()))
        scale = sum(abs(Fraction(v) * Fraction(w)) for v, w in zip(row, x.tolist())) + abs(Fraction(xi_b))
        if r != 0:
            worst = max(worst, abs(r) / scale)
    return float(worst / Fraction(EPS))


# Inputs at the ends of the range whose results are finite: the result of the old scaled or
# overflowing path is in the comment. Each is backward stable componentwise, and where the
# system is well-conditioned within a few ulps of the exact solution, each entry.
RANGE_CASES = {
    # A right-hand side too small for the scale of the factors (was 0 in x[2]).
    "solve, b below the factors' scale": (
        kp.solve, np.array([[1.0, 1e308, 0.0], [-1.0, 1e308, 0.0], [0.0, 0.0, 2.0 ** -60]]),
        np.array([0.0, 0.0, 3 * TINY])),
    # A subnormal solution beside the scaled column (rounded once, at its own scale).
    "solve, subnormal solution": (
        kp.solve, np.array([[1.5 * TOP, 1.5 * TOP, 0.0], [1.5 * TOP, -1.5 * TOP, 0.0], [0.0, 0.0, 1.0]]),
        np.array([1.0, 3.0, 1.0])),
    # The inverse of a scaled factorisation, subnormal entries included.
    "inv, scaled factors": (
        kp.inv, np.array([[1.5 * TOP, 1.5 * TOP, 0.0], [1.5 * TOP, -1.5 * TOP, 0.0], [0.0, 0.0, 3.0]]), None),
    # Cholesky with a right-hand side at the bottom of the range.
    "cholesky_solve, b at the bottom of the range": (
        kp.cholesky_solve, np.array([[1e300, 0.0], [0.0, 2.0 ** -60]]), np.array([0.0, 3 * TINY])),
    # An intermediate of the back substitution overflows, the solution does not (was -inf).
    "solve, overflowing back substitution": (
        kp.solve, np.array([[1e308, 1e308], [0.0, 1.0]]), np.array([0.0, 10.0])),
    # The same in a column of the inverse (was -inf).
    "inv, overflowing back substitution": (kp.inv, np.array([[2.0, 1e308], [0.0, 0.5]]), None),
    # The forward substitution's product 1e154·1e155 overflows; x = [1.01e157, −1e3] (was [inf, -inf]).
    "cholesky_solve, overflowing forward substitution": (
        kp.cholesky_solve, np.array([[1.0, 1e154], [1e154, 1.01e308]]), np.array([1e155, 0.0])),
    # Where the solution itself leaves the range it is inf, the rest exact.
    "solve, one entry beyond the range": (
        kp.solve, np.array([[1e-300, 0.0], [1e-300, 1.0]]), np.array([1e300, 3.0])),
    # The same where b's small entry allows too few exact scales to reach it (as NumPy's).
    "solve, beyond the range beside a b of few exact scales": (
        kp.solve, np.array([[1e-300, 0.0], [0.0, 1.0]]), np.array([1e300, 2.0 ** -600])),
    # x2 is finite at b's own scale and keeps its bits, while x0 needs a scale of b that would
    # take x2 below the normal range.
    "solve, small entry beside an overflowing one": (
        kp.solve, np.array([[1e308, 1e308, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 3.0]]), np.array([0.0, 1e30, 2.0 ** -950])),
    # The back substitution overflows beside a b at the bottom of the range, which no power of
    # two takes down exactly.
    "solve, overflowing back substitution beside 3·2^-1074": (
        kp.solve, np.array([[1e308, 1e308], [0.0, 1.0]]), np.array([3 * TINY, 10.0])),
    # x0 does not depend on x1, beyond the range, although a dense substitution's 0·inf makes it
    # NaN; and the same system with its equations swapped.
    "solve, zero coupling to an entry beyond the range": (
        kp.solve, np.array([[3.0, 0.0], [0.0, 2.0 ** -1000]]), np.array([2.0 ** -100, 1e300])),
    "solve, the same with its equations swapped": (
        kp.solve, np.array([[1.0, 0.0], [0.0, 1e-300]]), np.array([2.0 ** -600, 1e300])),
    "solve, a small entry beside an overflowing pair": (
        kp.solve, np.array([[3.0, 0.0, 0.0], [0.0, 1e308, 1e308], [0.0, 0.0, 1.0]]), np.array([2.0 ** -1000, 0.0, 2.0 ** 60])),
    # An entry finite at b's own scale whose neighbour's intermediate overflows.
    "solve, a normal entry beside an overflowing intermediate": (
        kp.solve, np.array([[4.0, -1e308, 0.0], [0.0, 1.0, 2.0 ** 1022], [0.0, 0.0, 7.0]]),
        np.array([1.5e308, 2.0, 2.0 ** -1020])),
    # Factors scaled by rows, and a b that those scales would round.
    "solve, row scales that b cannot take": (
        kp.solve, np.array([[TOP, TOP, 0.0], [TOP, -TOP, 0.0], [0.0, TINY, 2.0 ** -1060]]), np.array([TINY, 0.0, 0.0])),
}


ILL_CONDITIONED = {"cholesky_solve, overflowing forward substitution"}  # cond(A) ≈ 1e310
UNDERFLOWING = {"solve, row scales that b cannot take"}  # x ≈ 2^-2098 is 0: no residual to compare


@pytest.mark.parametrize("name", RANGE_CASES)
def test_results_at_the_ends_of_the_range(name):
    f, a, b = RANGE_CASES[name]
    n = a.shape[0]
    if b is None:  # the inverse, column by column
        got = f(a)
        systems = [(got[:, j], e) for j, e in enumerate(np.eye(n))]
    else:
        got = f(a, b)
        systems = [(got, b)]
    for x, rhs in systems:
        want = exact_solution(a, rhs)
        assert np.array_equal(np.isinf(x), np.isinf(want)), (x, want)
        finite = np.isfinite(want)
        if np.all(finite) and name not in UNDERFLOWING:
            assert exact_backward_error(a, x, rhs) <= 4 * n, x
        if name not in ILL_CONDITIONED:  # a few ulps of each entry, subnormal ones included
            ulp = np.spacing(np.abs(want[finite]))
            assert np.all(np.abs(x[finite] - want[finite]) <= 4 * ulp), (x, want)


# --- full_piv_lu --------------------------------------------------------------------------

def check_full_piv_result(result, n):
    assert type(result) is tuple and len(result) == 4
    l, u, rp, cp = result
    for m in (l, u):
        assert m.dtype == np.float64 and m.shape == (n, n)
    for p in (rp, cp):
        assert p.dtype == np.uint64 and p.shape == (n,)
    return l, u, rp.astype(np.intp), cp.astype(np.intp)


@pytest.mark.parametrize("name", GENERAL)
def test_full_piv_lu_reproduces_the_permuted_matrix(name):
    a = GENERAL[name]
    n = a.shape[0]
    l, u, rp, cp = check_full_piv_result(kp.full_piv_lu(a), n)
    np.testing.assert_array_equal(np.sort(rp), np.arange(n))
    np.testing.assert_array_equal(np.sort(cp), np.arange(n))
    np.testing.assert_array_equal(np.triu(l, 1), 0.0)
    np.testing.assert_array_equal(np.diag(l), 1.0)
    np.testing.assert_array_equal(np.tril(u, -1), 0.0)
    # Graded matrices fall below the threshold 1e-12·max|a| before the end; the elimination
    # stops there, and U's first diagonal entry at most the threshold marks the rank.
    threshold = 1e-12 * np.abs(a).max()
    small = np.flatnonzero(np.abs(np.diag(u)) <= threshold)
    r = small[0] if small.size else n
    assert (r < n) == name.startswith("graded")
    assert np.abs(np.tril(l[:, :r], -1)).max(initial=0.0) <= 1.0
    gap = np.abs(a[np.ix_(rp, cp)] - l[:, :r] @ u[:r, :]).max(initial=0.0)
    assert gap <= (threshold if r < n else 0.0) + n * np.abs(a).max() * EPS


def test_full_piv_lu_exact_cases():
    l, u, rp, cp = check_full_piv_result(kp.full_piv_lu(np.array([[1.0, 2.0], [3.0, 4.0]])), 2)
    np.testing.assert_array_equal(l, [[1.0, 0.0], [0.5, 1.0]])
    np.testing.assert_array_equal(u, [[4.0, 3.0], [0.0, -0.5]])
    np.testing.assert_array_equal(rp, [1, 0])
    np.testing.assert_array_equal(cp, [1, 0])
    # Stops at the threshold 1e-12·max|a|: the small entry stays in U.
    l, u, rp, cp = check_full_piv_result(kp.full_piv_lu(np.array([[1.0, 0.0], [0.0, 1e-13]])), 2)
    np.testing.assert_array_equal(l, np.eye(2))
    np.testing.assert_array_equal(u, [[1.0, 0.0], [0.0, 1e-13]])
    # Equal magnitudes: the first entry in row-major order stays the pivot.
    _, _, rp, cp = check_full_piv_result(kp.full_piv_lu(np.array([[1.0, -1.0], [1.0, 1.0]])), 2)
    np.testing.assert_array_equal(rp, [0, 1])
    np.testing.assert_array_equal(cp, [0, 1])
    l, u, rp, cp = check_full_piv_result(kp.full_piv_lu(np.zeros((3, 3))), 3)
    np.testing.assert_array_equal(l, np.eye(3))
    np.testing.assert_array_equal(u, np.zeros((3, 3)))
    np.testing.assert_array_equal(rp, [0, 1, 2])
    np.testing.assert_array_equal(cp, [0, 1, 2])
    check_full_piv_result(kp.full_piv_lu(np.zeros((0, 0))), 0)


def _hilbert(n):
    i = np.arange(n, dtype=np.float64)
    return 1.0 / (i[:, None] + i[None, :] + 1.0)


@pytest.mark.parametrize("scale", [1.0, 1e30, 1e-30, 1e300])
@pytest.mark.parametrize("base", [np.array([[1, 1, 1], [1, 1 + 2e-13, 1], [1, 1, 1 + 3e-13]]), _hilbert(12)],
                         ids=["near ones", "Hilbert 12"])
def test_full_piv_lu_after_an_early_stop_holds_at_every_scale(base, scale):
    # The remainder's lower part is not a multiplier: L's trailing block is the identity, and L·U
    # differs from the permuted matrix by at most the stop threshold, however large the entries.
    a = base * scale
    l, u, rp, cp = kp.full_piv_lu(a)
    n = len(a)
    assert np.abs(l).max() <= 1.0
    gap = np.abs(l @ u - a[np.ix_(rp.astype(np.intp), cp.astype(np.intp))]).max()
    assert gap <= (1e-12 + 4 * n * EPS) * np.abs(a).max()


def test_full_piv_lu_of_a_rank_deficient_matrix():
    n, rank = 20, 4
    a = rng(3).uniform(-1, 1, (n, rank)) @ rng(4).uniform(-1, 1, (rank, n))
    l, u, rp, cp = check_full_piv_result(kp.full_piv_lu(a), n)
    # The first `rank` steps factor the matrix; the remainder left in place is below the threshold.
    gap = np.abs(a[np.ix_(rp, cp)] - l[:, :rank] @ u[:rank, :]).max()
    assert gap <= 1e-12 * np.abs(a).max()
    assert np.abs(u[rank:, rank:]).max() <= 1e-12 * np.abs(a).max()


# --- cholesky, cholesky_solve, cholesky_inv -----------------------------------------------

@pytest.mark.parametrize("name", SPD)
def test_cholesky_reproduces_the_matrix(name):
    a = SPD[name]
    n = a.shape[0]
    l = kp.cholesky(a)
    assert l.dtype == np.float64 and l.shape == a.shape and l.flags.c_contiguous
    np.testing.assert_array_equal(np.triu(l, 1), 0.0)
    assert np.all(np.diag(l) > 0)
    assert np.linalg.norm(a - l @ l.T) <= n * np.linalg.norm(a) * EPS
    # Agrees with NumPy's factor to within the conditioning of the factorisation.
    ref = np.linalg.cholesky(a)
    assert np.linalg.norm(l - ref) <= n * np.linalg.cond(a) * EPS * np.linalg.norm(ref)


@pytest.mark.parametrize("name", SPD)
def test_cholesky_solve_backward_error(name):
    a = SPD[name]
    b = rng(11).uniform(-1.0, 1.0, a.shape[0])
    x = kp.cholesky_solve(a, b)
    assert x.dtype == np.float64 and x.shape == b.shape
    assert backward_error(a, x, b) <= 1.0


@pytest.mark.parametrize("name", SPD)
def test_cholesky_inv_residual(name):
    a = SPD[name]
    x = kp.cholesky_inv(a)
    assert x.dtype == np.float64 and x.shape == a.shape
    assert inverse_residual(a, x) <= 1.0


def test_cholesky_exact_cases():
    np.testing.assert_array_equal(kp.cholesky(np.array([[4.0]])), [[2.0]])
    np.testing.assert_array_equal(kp.cholesky_inv(np.array([[4.0]])), [[0.25]])
    expected = [[2.0, 0.0], [1.0, np.sqrt(2.0)]]
    np.testing.assert_array_equal(kp.cholesky(np.array([[4.0, 2.0], [2.0, 3.0]])), expected)
    # The strict upper triangle is never read; no symmetry test.
    np.testing.assert_array_equal(kp.cholesky(np.array([[4.0, 100.0], [2.0, 3.0]])), expected)
    np.testing.assert_array_equal(kp.cholesky_solve(np.array([[4.0, 2.0], [2.0, 3.0]]), np.array([2.0, 1.0])),
                                  [0.5, 0.0])
    for f in (kp.cholesky, kp.cholesky_inv):
        r = f(np.zeros((0, 0)))
        assert r.shape == (0, 0) and r.dtype == np.float64
    assert kp.cholesky_solve(np.zeros((0, 0)), np.zeros(0)).shape == (0,)


def test_cholesky_ignores_the_upper_triangle_of_a_larger_matrix():
    a = spd(12, 8)
    garbage = np.tril(a) + np.triu(rng(1).uniform(-50, 50, a.shape), 1)
    np.testing.assert_array_equal(kp.cholesky(garbage), kp.cholesky(a))
    np.testing.assert_array_equal(kp.cholesky_inv(garbage), kp.cholesky_inv(a))


# --- Errors --------------------------------------------------------------------------------

B_ARG = {"solve", "cholesky_solve"}
OPERATION = {"det": "LU", "inv": "LU", "solve": "LU", "full_piv_lu": "FullPivLU", "cholesky": "Cholesky",
             "cholesky_solve": "Cholesky", "cholesky_inv": "Cholesky"}
FUNCTIONS = list(OPERATION)


def call(name, a, b=None):
    f = getattr(kp, name)
    if name in B_ARG:
        return f(a, np.ones(a.shape[0]) if b is None else b)
    return f(a)


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("shape", [(2, 3), (3, 2), (0, 4), (1, 0)])
def test_non_square_is_a_shape_mismatch(name, shape):
    a = np.full(shape, NAN)  # the shape is tested before any element is read
    with pytest.raises(ValueError) as e:
        call(name, a, np.ones(7))
    r, c = shape
    assert str(e.value) == f"Shape mismatch: lhs [{r}, {c}], rhs [{r}, {r}]"


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("position", ["first", "middle", "last"])
@pytest.mark.parametrize("value", [NAN, INF, -INF], ids=["nan", "inf", "-inf"])
def test_non_finite_entries(name, position, value):
    a = spd(5, 12)
    a.flat[{"first": 0, "middle": 12, "last": 24}[position]] = value
    with pytest.raises(ValueError) as e:
        call(name, a)
    assert str(e.value) == NON_FINITE[OPERATION[name]]


@pytest.mark.parametrize("name", ["cholesky", "cholesky_solve", "cholesky_inv"])
def test_non_finite_in_the_unread_upper_triangle_still_fails(name):
    a = spd(4, 13)
    a[0, 3] = NAN
    with pytest.raises(ValueError) as e:
        call(name, a)
    assert str(e.value) == NON_FINITE["Cholesky"]


@pytest.mark.parametrize("name", ["inv", "solve"])
def test_inv_and_solve_raise_on_an_exactly_zero_pivot(name):
    with pytest.raises(ValueError) as e:
        call(name, np.array([[1.0, 2.0], [2.0, 4.0]]))
    assert str(e.value) == SINGULAR.format(1)


@pytest.mark.parametrize("name", ["cholesky", "cholesky_solve", "cholesky_inv"])
@pytest.mark.parametrize("a,row", [
    ([[0.0]], 0), ([[-1.0]], 0), ([[1.0, 2.0], [2.0, 1.0]], 1),
    # Finite entries whose inner products overflow to a NaN reduction in row 2.
    ([[1e-300, 0.0, 1e200], [0.0, 1.0, 0.0], [1e200, 0.0, 1.0]], 2),
], ids=["zero", "negative", "indefinite", "overflow to NaN"])
def test_cholesky_family_raises_on_a_non_positive_pivot(name, a, row):
    with pytest.raises(ValueError) as e:
        call(name, np.array(a))
    assert str(e.value) == NOT_PD.format(row)


@pytest.mark.parametrize("name,a,n", [("solve", np.eye(3), 3), ("cholesky_solve", np.eye(3), 3),
                                      ("solve", np.zeros((0, 0)), 0), ("cholesky_solve", np.zeros((0, 0)), 0)])
@pytest.mark.parametrize("length", [0, 2, 4])
def test_b_of_the_wrong_length(name, a, n, length):
    if length == n:
        return
    with pytest.raises(ValueError) as e:
        call(name, a, np.ones(length))
    assert str(e.value) == f"Shape mismatch: lhs [{length}], rhs [{n}]"


@pytest.mark.parametrize("name,a,message", [
    ("solve", [[1.0, 2.0], [2.0, 4.0]], SINGULAR.format(1)),
    ("cholesky_solve", [[1.0, 2.0], [2.0, 1.0]], NOT_PD.format(1)),
    ("solve", [[1.0, NAN], [2.0, 4.0]], NON_FINITE["LU"]),
])
def test_a_failing_factorisation_comes_before_the_length_of_b(name, a, message):
    with pytest.raises(ValueError) as e:
        call(name, np.array(a), np.ones(5))
    assert str(e.value) == message


def test_det_raises_for_every_error_but_the_zero_pivot():
    with pytest.raises(ValueError, match=r"^Shape mismatch"):
        kp.det(np.ones((2, 3)))
    with pytest.raises(ValueError, match=r"^Storage error: LU input contains a non-finite value$"):
        kp.det(np.array([[0.0, 1.0], [0.0, NAN]]))


@pytest.mark.parametrize("name", FUNCTIONS)
def test_contiguity_is_checked_in_argument_order(name):
    a = np.asfortranarray(spd(3, 14))  # contiguous storage, but not row-major
    with pytest.raises(ValueError) as e:
        call(name, a, np.ones(6)[::2])
    assert str(e.value) == "a must be C-contiguous"
    if name in B_ARG:
        with pytest.raises(ValueError) as e:
            call(name, spd(3, 14), np.ones(6)[::2])
        assert str(e.value) == "b must be C-contiguous"


# --- Inputs and outputs --------------------------------------------------------------------

def test_single_elements_with_any_strides_are_read_correctly():
    # NumPy flags one-element arrays C-contiguous whatever their strides.
    a = np.arange(16.0).reshape(4, 4)[1:2, 0:1]
    b = np.array([0.0, 5.0, 0.0, 0.0])[1:][::3][:1]
    assert a.flags.c_contiguous and b.flags.c_contiguous
    assert kp.det(a) == 4.0
    np.testing.assert_array_equal(kp.solve(a, b), [1.25])
    np.testing.assert_array_equal(kp.cholesky_solve(a, b), [1.25])


@pytest.mark.parametrize("name", FUNCTIONS)
def test_inputs_are_not_written(name):
    a = spd(6, 15)
    b = np.ones(6)
    a0, b0 = a.copy(), b.copy()
    call(name, a, b)
    np.testing.assert_array_equal(a, a0)
    np.testing.assert_array_equal(b, b0)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_borrows_are_released_on_success_and_failure(name, hooks):
    call(name, spd(4, 16))
    assert hooks.borrow_count() == 0
    with pytest.raises(ValueError):
        call(name, np.full((4, 4), NAN))
    assert hooks.borrow_count() == 0


def test_calls_from_several_threads_agree_with_single_calls():
    mats = [spd(60, 20 + i) for i in range(4)]
    expected = [(kp.det(m), kp.inv(m), kp.cholesky(m)) for m in mats]

    def work(i):
        for _ in range(5):
            got = (kp.det(mats[i]), kp.inv(mats[i]), kp.cholesky(mats[i]))
        return got

    for got, want in zip(run_threads(work, len(mats)), expected):
        assert got[0] == want[0]
        np.testing.assert_array_equal(got[1], want[1])
        np.testing.assert_array_equal(got[2], want[2])
