"""matexp, norm, kron and trace against SciPy and their NumPy expressions: the exponential's
scaling and squaring steps, every order text of norm (its "2" is the Frobenius norm and "inf" the
largest magnitude, both entrywise), NaN in maxima, the Kronecker product's zero blocks and extent
overflows, the trace's summation order, and the error texts."""
import math

import numpy as np
import pytest
import scipy.linalg

import kavrel_python as kp
from conftest import EPS, INF, NAN, random_matrix


# --- norm ----------------------------------------------------------------------------------

FROBENIUS = lambda a: np.sqrt(np.sum(a * a))  # noqa: E731
SUM_ABS = lambda a: np.sum(np.abs(a))  # noqa: E731
MAX_ABS = lambda a: np.max(np.abs(a), initial=0.0)  # noqa: E731
ORDERS = {None: FROBENIUS, "fro": FROBENIUS, "2": FROBENIUS, "l2": FROBENIUS, "1": SUM_ABS, "l1": SUM_ABS,
          "max": MAX_ABS, "inf": MAX_ABS}


@pytest.mark.parametrize("ord", ORDERS)
@pytest.mark.parametrize("shape", [(1, 1), (1, 7), (5, 3), (16, 16), (100, 37)])
def test_norm_matches_numpy(ord, shape):
    a = random_matrix(shape, shape[0] * 100 + shape[1])
    got = kp.norm(a) if ord is None else kp.norm(a, ord=ord)
    assert type(got) is float
    assert got == pytest.approx(ORDERS[ord](a), rel=a.size * EPS, abs=0.0)
    if ORDERS[ord] is MAX_ABS:
        assert got == MAX_ABS(a)


@pytest.mark.parametrize("shape", [(0, 0), (0, 4), (4, 0)])
def test_norm_of_an_empty_array_is_zero(shape):
    for ord in ORDERS:
        assert kp.norm(np.zeros(shape), ord) == 0.0


@pytest.mark.parametrize("a,fro,l1,mx", [
    ([[3.0, 4.0]], 5.0, 7.0, 4.0),
    ([[1e155]], INF, 1e155, 1e155),  # the squares are not scaled
    ([[1.0, -INF, 2.0]], INF, INF, INF),
])
def test_norm_exact_values(a, fro, l1, mx):
    a = np.array(a)
    assert kp.norm(a) == fro and kp.norm(a, "l1") == l1 and kp.norm(a, "inf") == mx


@pytest.mark.parametrize("ord", ["max", "inf"])
@pytest.mark.parametrize("size", [1, 5, 8, 13, 64, 131])
def test_norm_maximum_of_any_nan_is_nan(ord, size):
    base = random_matrix((1, size), size)
    for at in range(size):
        for neighbour in (2.0, INF):
            a = base.copy()
            a[0, at] = NAN
            a[0, (at + 1) % size] = neighbour if size > 1 else NAN
            assert np.isnan(kp.norm(a, ord)), (at, neighbour)
            assert np.isnan(kp.norm(a.reshape(size, 1), ord))


@pytest.mark.parametrize("ord", ["FRO", "Inf", "L1", "", "nuc", "-1", " fro"])
def test_norm_unsupported_orders(ord):
    with pytest.raises(ValueError) as e:
        kp.norm(np.eye(2), ord)
    assert str(e.value) == "Unsupported norm order: " + ord


def test_norm_order_must_be_a_str():
    with pytest.raises(TypeError, match="^argument 'ord': "):
        kp.norm(np.eye(2), 2)


# --- kron ----------------------------------------------------------------------------------

@pytest.mark.parametrize("sa,sb", [((1, 1), (1, 1)), ((2, 3), (4, 1)), ((3, 2), (2, 5)), ((7, 6), (5, 8))])
def test_kron_equals_numpy(sa, sb):
    a, b = random_matrix(sa, 1), random_matrix(sb, 2)
    got = kp.kron(a, b)
    assert got.dtype == np.float64 and got.flags.c_contiguous
    np.testing.assert_array_equal(got, np.kron(a, b))


@pytest.mark.parametrize("a,b", [
    ([[0.0, 1.0]], [[INF]]),
    ([[-0.0, 0.0, 2.0]], [[-1.0, NAN]]),
    ([[0.0, -3.0], [1.0, -0.0]], [[1.0, -INF], [NAN, 2.0]]),
])
def test_kron_of_zero_entries_beside_infinities_and_nan_is_numpys(a, b):
    a, b = np.array(a), np.array(b)
    got = kp.kron(a, b)
    with np.errstate(invalid="ignore"):
        want = np.kron(a, b)
    np.testing.assert_array_equal(got, want)  # 0·inf and 0·NaN are NaN
    np.testing.assert_array_equal(np.signbit(got), np.signbit(want))


def test_kron_leaves_the_blocks_of_zero_entries_positive_zero_beside_a_finite_b():
    # NumPy multiplies: 0·(−1) gives −0.0; here the blocks stay +0.0.
    a, b = np.array([[-0.0, 0.0, 2.0]]), np.array([[-1.0, 3.0]])
    got = kp.kron(a, b)
    assert not np.any(np.signbit(got[0, :4])) and np.all(got[0, :4] == 0.0)
    assert got[0, 4] == -2.0 and got[0, 5] == 6.0
    assert np.signbit(np.kron(a, b)[0, 1])  # −0.0·3.0


@pytest.mark.parametrize("sa,sb,shape", [((0, 3), (2, 2), (0, 6)), ((2, 2), (3, 0), (6, 0)), ((0, 0), (0, 0), (0, 0))])
def test_kron_of_empty_arrays(sa, sb, shape):
    assert kp.kron(np.zeros(sa), np.zeros(sb)).shape == shape


@pytest.mark.parametrize("sa,sb,reason", [
    ((2**33, 0), (2**33, 0), "kronecker output row count"),
    ((0, 2**33), (0, 2**33), "kronecker output column count"),
    ((2**32, 0), (2**31 + 1, 0), "C-contiguous dimension conversion"),
], ids=["rows", "columns", "empty but too many rows for a layout"])
def test_kron_extent_overflows(sa, sb, reason):
    with pytest.raises(ValueError) as e:
        kp.kron(np.empty(sa), np.empty(sb))
    assert str(e.value) == "Arithmetic overflow in layout calculations: " + reason


def test_kron_contiguity_in_argument_order():
    f = np.asfortranarray(np.ones((2, 3)))
    with pytest.raises(ValueError, match="^a must be C-contiguous$"):
        kp.kron(f, f)
    with pytest.raises(ValueError, match="^b must be C-contiguous$"):
        kp.kron(np.ones((2, 3)), f)


# --- trace ---------------------------------------------------------------------------------

@pytest.mark.parametrize("n", [1, 2, 9, 100])
def test_trace_sums_the_diagonal_in_order(n):
    a = random_matrix((n, n), n)
    s = 0.0
    for i in range(n):
        s = s + a[i, i]
    got = kp.trace(a)
    assert type(got) is float and got == s
    assert got == pytest.approx(np.trace(a), rel=n * EPS)


def test_trace_special_cases():
    assert kp.trace(np.zeros((0, 0))) == 0.0
    assert np.isnan(kp.trace(np.array([[1.0, 0.0], [0.0, NAN]])))
    assert kp.trace(np.array([[1.0, NAN], [INF, 2.0]])) == 3.0  # only the diagonal is read
    with pytest.raises(ValueError) as e:
        kp.trace(np.zeros((2, 3)))
    assert str(e.value) == "Shape mismatch: lhs [2, 3], rhs [2, 2]"


# --- matexp --------------------------------------------------------------------------------

def pade_1x1(x):
    """e^[[x]] with the module's own steps and roundings: every matrix a scalar, each product one
    rounding (one fused multiply-add onto zero), the LU inverse of [q] is 1/q."""
    s, t = 0, abs(x)
    while t > 0.5:
        t, s = t * 0.5, s + 1
    c = [1.0]
    for k in range(1, 7):
        c.append((c[k - 1] * ((6.0 - k) + 1.0)) / (k * ((12.0 - k) + 1.0)))
    a = x * 2.0 ** -s
    a2 = a * a
    a4 = a2 * a2
    a6 = a2 * a4
    v = ((c[0] * 1.0 + c[2] * a2) + c[4] * a4) + c[6] * a6
    u = a * ((c[1] * 1.0 + c[3] * a2) + c[5] * a4)
    e = (1.0 / (v - u)) * (v + u)
    for _ in range(s):
        e = e * e
    return e, s


@pytest.mark.parametrize("x,halvings", [(0.0, 0), (0.5, 0), (0.6, 1), (1.0, 1), (-1.0, 1), (-3.7, 3), (20.0, 6)])
def test_matexp_of_one_element_follows_the_scaling_and_squaring_steps(x, halvings):
    e, s = pade_1x1(x)
    assert s == halvings
    got = kp.matexp(np.array([[x]]))
    assert got.shape == (1, 1) and got[0, 0] == e
    assert got[0, 0] == pytest.approx(np.exp(x), rel=64 * EPS * max(1.0, abs(x)))


@pytest.mark.parametrize("n", [1, 3, 16])
def test_matexp_of_zeros_is_exactly_the_identity(n):
    np.testing.assert_array_equal(kp.matexp(np.zeros((n, n))), np.eye(n))


def test_matexp_of_an_empty_matrix():
    assert kp.matexp(np.zeros((0, 0))).shape == (0, 0)


def matexp_error(a):
    ref = scipy.linalg.expm(a)
    return np.linalg.norm(kp.matexp(a) - ref) / np.linalg.norm(ref)


@pytest.mark.parametrize("scale", [0.01, 0.5, 1.0, 4.0, 30.0])
@pytest.mark.parametrize("n", [2, 5, 16, 64, 130])
def test_matexp_matches_scipy(n, scale):
    a = random_matrix((n, n), n) * (scale / np.sqrt(n))
    # Both are accurate to about ‖A‖·n·eps relative to the result.
    assert matexp_error(a) <= 16 * n * EPS * max(1.0, np.abs(a).sum(axis=1).max())


@pytest.mark.parametrize("kind", ["symmetric", "nilpotent", "rotation"])
def test_matexp_structured_matrices(kind):
    if kind == "symmetric":
        a = random_matrix((20, 20), 1)
        a = a + a.T
        w, v = np.linalg.eigh(a)
        expected = (v * np.exp(w)) @ v.T
    elif kind == "nilpotent":
        a = np.diag(np.ones(5), 1)  # e^A is the finite series: 1/k! on the k-th superdiagonal
        expected = sum(np.linalg.matrix_power(a, k) / math.factorial(k) for k in range(6))
    else:
        t = 2.5
        a = np.array([[0.0, -t], [t, 0.0]])
        expected = np.array([[np.cos(t), -np.sin(t)], [np.sin(t), np.cos(t)]])
    got = kp.matexp(a)
    assert np.linalg.norm(got - expected) <= 256 * len(a) * EPS * np.linalg.norm(expected)


@pytest.mark.parametrize("norm,halvings", [(0.5, 0), (1.0, 1)])
def test_matexp_scaling_exponent_at_exact_norms(norm, halvings):
    # Row sums exactly 0.5 or 1.0 in a 2×2 matrix: the same halvings as the 1×1 [[norm]].
    a = np.array([[norm / 2, norm / 2], [0.0, 0.0]])
    assert pade_1x1(norm)[1] == halvings
    got = kp.matexp(a)
    assert np.linalg.norm(got - scipy.linalg.expm(a)) <= 64 * EPS


def test_matexp_scaling_exponent_limits():
    # 2^1022 needs exactly 1023 halvings and is accepted (the squarings overflow, no error).
    with np.errstate(all="ignore"):
        got = kp.matexp(np.array([[2.0 ** 1022]]))
    assert got.shape == (1, 1)
    for a in ([[2.0 ** 1023]], [[1e308, 1e308], [0.0, 0.0]]):
        with pytest.raises(ValueError) as e:
            kp.matexp(np.array(a))
        assert str(e.value) == "Storage error: matrix exponential scaling exponent overflow"


@pytest.mark.parametrize("a,message", [
    (np.zeros((2, 3)), "Shape mismatch: lhs [2, 3], rhs [2, 2]"),
    ([[1.0, NAN], [0.0, 1.0]], "Storage error: matrix exponential requires finite entries"),
    ([[1e308, 1e308], [0.0, INF]], "Storage error: matrix exponential requires finite entries"),
], ids=["2x3", "NaN", "infinity before the norm"])
def test_matexp_errors(a, message):
    with pytest.raises(ValueError) as e:
        kp.matexp(np.array(a, dtype=np.float64))
    assert str(e.value) == message


# --- Shared argument checks ----------------------------------------------------------------

CALLS = {"matexp": kp.matexp, "norm": lambda a: kp.norm(a, "l1"), "kron": lambda a: kp.kron(a, a),
         "trace": kp.trace}


@pytest.mark.parametrize("name", CALLS)
def test_contiguity_inputs_and_borrows(name, hooks):
    with pytest.raises(ValueError, match="^a must be C-contiguous$"):
        CALLS[name](np.asfortranarray(np.ones((3, 3))))
    a = random_matrix((4, 4), 3)
    a0 = a.copy()
    CALLS[name](a)
    np.testing.assert_array_equal(a, a0)
    assert hooks.borrow_count() == 0
    with pytest.raises(ValueError):
        kp.norm(a, "nope")
    assert hooks.borrow_count() == 0
