"""dot, matmul and batched_matmul: agreement with NumPy by residuals scaled by the inner
dimension, the operands' magnitudes and float32 epsilon; exact products of small integers on
every kernel path; the error texts in their order; empty shapes; zero and NaN handling; the
output size limits; and calls from several threads."""
import threading

import numpy as np
import pytest

import kavrel_python as kp
from conftest import rng, run_threads

EPS32 = float(np.finfo(np.float32).eps)
f32 = np.float32


def uniform(shape, seed, low=-1.0, high=1.0):
    return rng(seed).uniform(low, high, shape).astype(f32)


def integers(shape, seed):
    return rng(seed).integers(-3, 4, shape).astype(f32)


def assert_product_close(got, a, b):
    """|got - A·B| ≤ 2·k·eps32·(|A|·|B|) elementwise, A·B and |A|·|B| in float64."""
    a64, b64 = a.astype(np.float64), b.astype(np.float64)
    exact = a64 @ b64
    scale = np.abs(a64) @ np.abs(b64)
    k = a.shape[-1]
    assert got.dtype == f32
    assert got.shape == exact.shape
    bound = 2.0 * max(k, 1) * EPS32 * scale + np.finfo(np.float32).tiny
    assert np.all(np.abs(got.astype(np.float64) - exact) <= bound)


# --- dot ---------------------------------------------------------------------------------


@pytest.mark.parametrize("n", [0, 1, 2, 15, 16, 17, 1000, 100_003])
def test_dot_agrees_with_numpy(n):
    a, b = uniform(n, 1), uniform(n, 2, 0.0, 1e3)
    got = kp.dot(a, b)
    assert type(got) is float
    exact = float(a.astype(np.float64) @ b.astype(np.float64))
    scale = float(np.abs(a.astype(np.float64)) @ np.abs(b.astype(np.float64)))
    assert abs(got - exact) <= 2.0 * max(n, 1) * EPS32 * scale
    assert got == float(f32(got))  # a float32 result, widened exactly


def test_dot_of_empty_vectors_is_zero():
    assert kp.dot(np.empty(0, f32), np.empty(0, f32)) == 0.0


def test_dot_of_one_element_is_the_float32_product():
    a, b = np.array([1.0 / 3.0], f32), np.array([3.0000002], f32)
    assert kp.dot(a, b) == float(a[0] * b[0])


def test_dot_by_keyword():
    assert kp.dot(b=np.ones(3, f32), a=np.full(3, 2.0, f32)) == 6.0


def test_dot_lengths_differ():
    with pytest.raises(ValueError) as e:
        kp.dot(np.ones(3, f32), np.ones(4, f32))
    assert str(e.value) == "Shape mismatch: lhs [3], rhs [4]"


@pytest.mark.parametrize("which", ["a", "b", "both"])
def test_dot_operands_must_be_c_contiguous(which):
    strided = np.ones(8, f32)[::2]
    a = strided if which in ("a", "both") else np.ones(4, f32)
    b = strided if which in ("b", "both") else np.ones(4, f32)
    with pytest.raises(ValueError) as e:
        kp.dot(a, b)
    assert str(e.value) == ("b" if which == "b" else "a") + " must be C-contiguous"


# --- matmul ------------------------------------------------------------------------------

SHAPES = [(1, 1, 1), (2, 2, 2), (1, 64, 65), (1, 300, 7), (7, 300, 1), (63, 64, 65), (64, 64, 63), (64, 64, 64),
          (65, 65, 65), (130, 5, 9), (3, 1000, 5), (257, 129, 33), (4000, 16, 16), (100, 257, 300)]


@pytest.mark.parametrize("m,k,n", SHAPES)
def test_matmul_agrees_with_numpy(m, k, n):
    a, b = uniform((m, k), m + k), uniform((k, n), k + n, -50.0, 50.0)
    assert_product_close(kp.matmul(a, b), a, b)


@pytest.mark.parametrize("m,k,n", SHAPES)
def test_matmul_of_small_integers_is_exact(m, k, n):
    a, b = integers((m, k), 3), integers((k, n), 4)
    got = kp.matmul(a, b)
    np.testing.assert_array_equal(got, (a.astype(np.float64) @ b.astype(np.float64)).astype(f32))


def test_matmul_result_is_a_new_writable_row_major_array():
    a, b = uniform((5, 4), 1), uniform((4, 3), 2)
    got = kp.matmul(a, b)
    assert got.flags.c_contiguous and got.flags.writeable and got.dtype == f32
    assert not np.shares_memory(got, a) and not np.shares_memory(got, b)


@pytest.mark.parametrize("a_shape,b_shape,out_shape", [((0, 3), (3, 5), (0, 5)), ((2, 0), (0, 3), (2, 3)),
                                                       ((3, 4), (4, 0), (3, 0)), ((0, 0), (0, 0), (0, 0))])
def test_matmul_empty_shapes(a_shape, b_shape, out_shape):
    got = kp.matmul(np.ones(a_shape, f32), np.ones(b_shape, f32))
    assert got.shape == out_shape and got.dtype == f32
    np.testing.assert_array_equal(got, np.zeros(out_shape, f32))


def test_matmul_dimension_mismatch():
    with pytest.raises(ValueError) as e:
        kp.matmul(np.ones((2, 3), f32), np.ones((4, 5), f32))
    assert str(e.value) == "Dimension mismatch for matrix multiplication"


@pytest.mark.parametrize("fn,rank", [(kp.matmul, 2), (kp.batched_matmul, 3)])
@pytest.mark.parametrize("which", ["a", "b", "both"])
@pytest.mark.parametrize("kind", ["transposed", "fortran"])
def test_operands_must_be_c_contiguous(fn, rank, which, kind):
    shape = (3,) * rank
    plain = np.ones(shape, f32)
    odd = np.ones(shape, f32).T if kind == "transposed" else np.asfortranarray(np.ones((3, 4, 3)[:rank], f32))
    a = odd if which in ("a", "both") else plain
    b = odd if which in ("b", "both") else plain
    with pytest.raises(ValueError) as e:
        fn(a, b)
    assert str(e.value) == ("b" if which == "b" else "a") + " must be C-contiguous"


def test_matmul_dimension_check_comes_after_contiguity():
    with pytest.raises(ValueError) as e:
        kp.matmul(np.ones((2, 3), f32), np.ones((5, 4), f32).T)
    assert str(e.value) == "b must be C-contiguous"


def _zeros_beside_specials(m, k, n, seed):
    """Small integers (exact sums on every route), zeros in A, infinities and NaN in some rows of B."""
    g = rng(seed)
    a = g.integers(-3, 4, (m, k)).astype(f32)
    b = g.integers(-3, 4, (k, n)).astype(f32)
    a[:, ::3] = 0.0
    a[::2, 1::5] = -0.0
    for p in range(0, k, 4):
        b[p, (7 * p) % n] = np.inf if p % 8 else -np.inf
        if p + 1 < k:
            b[p + 1, (3 * p + 1) % n] = np.nan
    return a, b


# Every product route gives the IEEE result of its multiply-adds, 0·inf = 0·NaN = NaN, as NumPy
# does: one row (B's rows scaled by A's entries), one row by one column (dot products), dense
# products serial and parallel, and batch items with their own or a shared B.
@pytest.mark.parametrize("m,k,n", [(1, 2, 2), (1, 3, 4), (1, 40, 1), (1, 300, 257), (2, 9, 7), (5, 40, 33),
                                   (64, 64, 64), (200, 130, 90)])
def test_zero_entries_beside_infinities_and_nan_give_numpys_products(m, k, n):
    a, b = _zeros_beside_specials(m, k, n, m * 1000 + k)
    with np.errstate(invalid="ignore"):
        want = a @ b
    np.testing.assert_array_equal(kp.matmul(a, b), want)
    # The same rows inside a product of more rows: the same values, row by row.
    if m == 1:
        stacked = np.vstack([a, np.ones((3, k), f32), a])
        got = kp.matmul(stacked, b)
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[4], want[0])


@pytest.mark.parametrize("batch,m,k,n,shared_b", [(3, 1, 6, 5, False), (3, 1, 6, 5, True), (4, 3, 9, 8, True),
                                                  (1100, 2, 4, 3, False)])
def test_batch_items_with_zeros_beside_infinities_give_numpys_products(batch, m, k, n, shared_b):
    pairs = [_zeros_beside_specials(m, k, n, i) for i in range(batch)]
    a = np.stack([p[0] for p in pairs])
    b = pairs[0][1][None] if shared_b else np.stack([p[1] for p in pairs])
    with np.errstate(invalid="ignore"):
        want = np.matmul(a, b)
    np.testing.assert_array_equal(kp.batched_matmul(a, b), want)


def test_dot_of_a_zero_and_an_infinity_is_nan():
    assert np.isnan(kp.dot(np.array([0.0, 1.0], f32), np.array([np.inf, 1.0], f32)))
    assert kp.dot(np.array([0.0, 1.0], f32), np.array([2.0, 1.0], f32)) == 1.0


@pytest.mark.parametrize("m,k,n", [(1, 5, 4), (3, 5, 4), (70, 80, 90)])
def test_nan_entry_of_a_fills_its_row(m, k, n):
    a, b = uniform((m, k), 5), uniform((k, n), 6)
    a[m // 2, 1] = np.nan
    got = kp.matmul(a, b)
    assert np.all(np.isnan(got[m // 2]))
    assert not np.any(np.isnan(np.delete(got, m // 2, axis=0)))


def test_infinities_follow_numpy_on_full_rows():
    a, b = uniform((70, 80), 7, 0.5, 1.0), uniform((80, 90), 8, 0.5, 1.0)
    a[3, 4] = np.inf
    got = kp.matmul(a, b)
    with np.errstate(invalid="ignore"):
        np.testing.assert_array_equal(np.isinf(got), np.isinf(a @ b))


# Output extents come from the arrays' shapes; arrays without elements can name any extents.
def test_output_whose_element_count_overflows_is_a_layout_error():
    with pytest.raises(ValueError) as e:
        kp.matmul(np.empty((2**40, 0), f32), np.empty((0, 2**40), f32))
    assert str(e.value) == "Arithmetic overflow in layout calculations: C-contiguous stride multiplication"
    with pytest.raises(ValueError) as e:
        kp.batched_matmul(np.empty((2**21, 2**21, 0), f32), np.empty((1, 0, 2**21), f32))
    assert str(e.value) == "Arithmetic overflow in layout calculations: C-contiguous stride multiplication"


# 2^61 float32 elements fit the layout but not the address space (never attempted: a large but
# possible size could succeed under memory overcommit and then be filled).
def test_output_that_cannot_be_allocated_is_memory_error():
    with pytest.raises(MemoryError):
        kp.matmul(np.empty((2**31, 0), f32), np.empty((0, 2**30), f32))
    with pytest.raises(MemoryError):
        kp.batched_matmul(np.empty((2**21, 2**20, 0), f32), np.empty((1, 0, 2**20), f32))


# --- batched_matmul ----------------------------------------------------------------------


@pytest.mark.parametrize("a_shape,b_shape", [((2, 3, 4), (1, 4, 5)), ((1, 3, 4), (2, 4, 5)), ((3, 3, 4), (3, 4, 5)),
                                             ((1, 1, 1), (1, 1, 1)), ((2000, 4, 4), (2000, 4, 4)),
                                             ((1500, 16, 3), (1, 3, 16)), ((3, 130, 70), (3, 70, 90)),
                                             ((2, 0, 4), (2, 4, 5)), ((2, 3, 4), (2, 4, 0)), ((2, 3, 0), (1, 0, 5))])
def test_batched_matmul_agrees_with_numpy(a_shape, b_shape):
    a, b = uniform(a_shape, 9), uniform(b_shape, 10, -20.0, 20.0)
    got = kp.batched_matmul(a, b)
    assert got.shape == (max(a_shape[0], b_shape[0]), a_shape[1], b_shape[2])
    assert got.flags.c_contiguous
    assert_product_close(got, a, b)


def test_batched_matmul_of_small_integers_is_exact():
    a, b = integers((1100, 5, 7), 11), integers((1, 7, 6), 12)
    np.testing.assert_array_equal(kp.batched_matmul(a, b), (a.astype(np.float64) @ b.astype(np.float64)).astype(f32))


def test_batched_matmul_of_no_items_is_empty():
    got = kp.batched_matmul(np.ones((0, 3, 4), f32), np.ones((0, 4, 5), f32))
    assert got.shape == (0, 3, 5) and got.dtype == f32


def _within_seconds(call, seconds=20):
    """call()'s result; a call still running after `seconds` fails the test (the lock is
    released while it computes)."""
    result = []
    worker = threading.Thread(target=lambda: result.append(call()), daemon=True)
    worker.start()
    worker.join(seconds)
    assert result, "hang: an empty product still running"
    return result[0]


@pytest.mark.parametrize("a_shape,b_shape,out_shape", [
    ((1, 0, 16), (2 ** 40, 16, 0), (2 ** 40, 0, 0)),
    ((2 ** 40, 0, 16), (1, 16, 5), (2 ** 40, 0, 5)),
    ((2 ** 40, 3, 0), (1, 0, 0), (2 ** 40, 3, 0)),
])
def test_batched_matmul_of_an_empty_result_ignores_the_batch_count(a_shape, b_shape, out_shape):
    a, b = np.empty(a_shape, f32), np.empty(b_shape, f32)
    assert _within_seconds(lambda: kp.batched_matmul(a, b)).shape == out_shape


@pytest.mark.parametrize("a,b,shape", [
    # Empty operands that NumPy calls C-contiguous although their batch axis runs backwards.
    (np.ones((2, 1, 1), f32)[::-1][:, :0], np.ones((2, 1, 3), f32), (2, 0, 3)),
    (np.ones((2, 3, 4), f32), np.ones((2, 4, 1), f32)[::-1][:, :, :0], (2, 3, 0)),
    (np.ones((2, 3, 1), f32)[::-1][:, :, :0], np.ones((2, 0, 4), f32), (2, 3, 4)),
    (np.ones((2, 3, 1), f32)[::-1][:, :, :0], np.ones((2, 1, 4), f32)[::-1][:, :0], (2, 3, 4)),
], ids=["a without rows", "b without columns", "k = 0", "k = 0 both reversed"])
def test_batched_matmul_of_empty_operands_with_reversed_batch_axes(a, b, shape):
    assert a.flags.c_contiguous and b.flags.c_contiguous
    got = kp.batched_matmul(a, b)
    np.testing.assert_array_equal(got, np.matmul(a, b))
    assert got.shape == shape


@pytest.mark.parametrize("a_shape,b_shape", [((2, 3, 4), (3, 4, 5)), ((0, 3, 4), (1, 4, 5)), ((1, 3, 4), (0, 4, 5))])
def test_batched_matmul_batch_rule(a_shape, b_shape):
    with pytest.raises(ValueError) as e:
        kp.batched_matmul(np.ones(a_shape, f32), np.ones(b_shape, f32))
    lhs, rhs = ", ".join(map(str, a_shape)), ", ".join(map(str, b_shape))
    assert str(e.value) == f"Shape mismatch: lhs [{lhs}], rhs [{rhs}]"


def test_batched_matmul_inner_dimension_before_batch_rule():
    with pytest.raises(ValueError) as e:
        kp.batched_matmul(np.ones((2, 3, 4), f32), np.ones((3, 5, 6), f32))
    assert str(e.value) == "Inner dimension mismatch for batched matmul"


# --- Borrows, threads --------------------------------------------------------------------


def test_borrows_are_released_on_success_and_failure(hooks):
    x, y = np.ones((3, 3), f32), np.ones((4, 4), f32)
    kp.matmul(x, x)
    with pytest.raises(ValueError):
        kp.matmul(x, y)
    kp.batched_matmul(x[None], x[None])
    with pytest.raises(ValueError):
        kp.batched_matmul(x[None], y[None])
    kp.dot(x[0], x[0])
    with pytest.raises(ValueError):
        kp.dot(x[0], y[0])
    assert hooks.borrow_count() == 0


def test_calls_from_several_threads_agree_with_single_calls():
    cases = [(uniform((200, 150), 20 + i), uniform((150, 120), 30 + i)) for i in range(4)]
    stacks = [(uniform((1200, 4, 4), 40 + i), uniform((1, 4, 4), 50 + i)) for i in range(4)]
    expected = [(kp.matmul(*cases[i]), kp.batched_matmul(*stacks[i]), kp.dot(cases[i][0][0], cases[i][0][1]))
                for i in range(4)]

    def work(i):
        for _ in range(5):
            got = (kp.matmul(*cases[i]), kp.batched_matmul(*stacks[i]), kp.dot(cases[i][0][0], cases[i][0][1]))
        return got

    for got, want in zip(run_threads(work, 4), expected):
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])
        assert got[2] == want[2]
