"""sum and sum_dyn: the fixed summation order of each CPU path, bit for bit.

The module picks AVX-512F, else AVX2 with FMA, else a portable loop, and each path has its
own fixed order. The references below restate those orders in float32 arithmetic. The test
script runs this file natively and under qemu with -cpu Haswell and -cpu Nehalem, naming the
emulated CPU in KAVREL_TEST_CPU so the expected path is known.
"""
import os

import numpy as np
import pytest

import kavrel_python as kp

f32 = np.float32


def halving_sum(v):
    while len(v) > 1:
        half = len(v) // 2
        v = v[:half] + v[half:]
    return v[0]


def simd_order_sum(x, lanes):
    """Four accumulators over blocks of four vectors, (A0 + A1) + (A2 + A3), the remaining
    vectors, a halving sum, then the masked tail summed the same way."""
    n, w = len(x), lanes
    full = n // w
    vectors = [x[i * w:(i + 1) * w] for i in range(full)]
    c = np.zeros(w, dtype=f32)
    used = 0
    if n >= 4 * w:
        acc = [f32(0) + vectors[g] for g in range(4)]
        blocks = n // (4 * w)
        for b in range(1, blocks):
            for g in range(4):
                acc[g] = acc[g] + vectors[4 * b + g]
        c = (acc[0] + acc[1]) + (acc[2] + acc[3])
        used = 4 * blocks
    for v in vectors[used:]:
        c = c + v
    s = halving_sum(c)
    if n % w:
        tail = np.zeros(w, dtype=f32)
        tail[:n % w] = x[full * w:]
        s = s + halving_sum(tail)
    return f32(s)


def portable_order_sum(x):
    n = len(x)
    acc = np.zeros(4, dtype=f32)
    pos = 0
    if n >= 16:
        a = [x[4 * g:4 * g + 4] + f32(0) for g in range(4)]
        pos = 16
        while pos + 16 <= n:
            for g in range(4):
                a[g] = a[g] + x[pos + 4 * g:pos + 4 * g + 4]
            pos += 16
        acc = (a[0] + a[1]) + (a[2] + a[3])
    while pos + 4 <= n:
        acc = acc + x[pos:pos + 4]
        pos += 4
    h = acc[3] + (acc[2] + (acc[1] + acc[0]))
    if n % 4:
        y = np.zeros(3, dtype=f32)
        y[:n - pos] = x[pos:]
        h = h + (((y[0] + y[1]) + y[2]) + f32(0))
    return f32(h)


def expected_path():
    cpu = os.environ.get("KAVREL_TEST_CPU")
    if cpu == "Haswell":
        return "avx2"
    if cpu == "Nehalem":
        return "portable"
    flags = set()
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("flags"):
                flags = set(line.split(":", 1)[1].split())
                break
    if "avx512f" in flags:
        return "avx512"
    if "avx2" in flags and "fma" in flags:
        return "avx2"
    return "portable"


PATH = expected_path()


def reference(x):
    x = np.ascontiguousarray(x, dtype=f32).ravel()
    if PATH == "avx512":
        return simd_order_sum(x, 16)
    if PATH == "avx2":
        return simd_order_sum(x, 8)
    return portable_order_sum(x)


def same_bits(got, want):
    assert isinstance(got, float)
    got32 = np.float32(got)
    assert float(got32) == got or np.isnan(got), "result is not a float32 value widened"
    assert got32.tobytes() == np.float32(want).tobytes(), f"{got!r} != {float(want)!r}"


def mixed(n, seed=0):
    """Values of both signs whose partial sums cancel, so that different orders give
    different bits."""
    return np.random.default_rng(seed + n).standard_normal(n).astype(f32)


LENGTHS = [0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 20, 31, 32, 33, 63, 64, 65, 127, 128, 129, 1000, 4099]


def test_the_orders_differ_on_this_data():
    # Guards the test data itself: for every pair of paths some length tells them apart.
    orders = [lambda x: simd_order_sum(x, 16), lambda x: simd_order_sum(x, 8), portable_order_sum]
    sums = [[order(mixed(n)).tobytes() for n in LENGTHS] for order in orders]
    for i in range(3):
        for j in range(i):
            assert sums[i] != sums[j]


@pytest.mark.parametrize("n", LENGTHS)
def test_sum_of_dense_rows_follows_the_fixed_order(n):
    x = mixed(n)
    for shape in [(1, n), (n, 1)]:
        got = kp.sum(x.reshape(shape))
        same_bits(got, reference(x))
        assert kp.sum(x.reshape(shape)) == got  # repeats exactly
    assert abs(kp.sum(x.reshape(1, n)) - float(np.sum(x, dtype=np.float64))) <= \
        1e-5 * (float(np.sum(np.abs(x), dtype=np.float64)) + 1e-30)


@pytest.mark.parametrize("shape", [(4,), (3, 5), (2, 3, 4), (2, 1, 3, 5), (1, 2, 3, 2, 5), (2, 2, 1, 3, 2, 3)])
def test_sum_dyn_equals_sum_of_the_reshaped_data(shape):
    x = mixed(int(np.prod(shape)), seed=7).reshape(shape)
    got = kp.sum_dyn(x)
    same_bits(got, reference(x))
    same_bits(got, kp.sum(x.reshape(1, -1)))


def test_c_contiguous_views_of_larger_arrays():
    big = mixed(40 * 37, seed=3).reshape(40, 37)
    views = {
        "row band with offset": big[5:19],
        "single row": big[7:8],
        "every third row, one kept": big[::3][2:3],  # extent-1 axis with a large stride
        "last row": big[-1:],
    }
    for name, v in views.items():
        assert v.flags.c_contiguous, name
        same_bits(kp.sum(v), reference(v))
        same_bits(kp.sum_dyn(v), reference(v))
    cube = mixed(6 * 5 * 8, seed=4).reshape(6, 5, 8)
    same_bits(kp.sum_dyn(cube[2:4]), reference(cube[2:4]))
    same_bits(kp.sum_dyn(cube[3]), reference(cube[3]))


def test_extent_one_axes_with_any_element_stride():
    base = mixed(64, seed=5)
    for shape, strides in [((1, 16), (4 * 1001, 4)), ((16, 1), (4, -4 * 77)), ((1, 16), (0, 4))]:
        v = np.lib.stride_tricks.as_strided(base, shape=shape, strides=strides)
        assert v.flags.c_contiguous
        same_bits(kp.sum(v), reference(base[:16]))
        same_bits(kp.sum_dyn(v), reference(base[:16]))
    # A byte stride that is not a whole number of elements is refused, even on an extent-1 axis.
    odd = np.lib.stride_tricks.as_strided(base, shape=(1, 16), strides=(3, 4))
    assert odd.flags.c_contiguous
    with pytest.raises(ValueError, match="^Non-element-aligned NumPy stride$"):
        kp.sum(odd)


@pytest.mark.parametrize("shape", [(0, 5), (3, 0), (0, 0)])
def test_empty_arrays_sum_to_zero(shape):
    a = np.zeros(shape, dtype=f32)
    for got in (kp.sum(a), kp.sum_dyn(a)):
        assert got == 0.0 and np.copysign(1.0, got) == 1.0
    assert kp.sum(mixed(20).reshape(4, 5)[:0]) == 0.0
    assert kp.sum_dyn(np.zeros((2, 0, 3, 1), dtype=f32)) == 0.0


def test_nan_and_infinity_propagate():
    x = mixed(100)
    x[37] = np.nan
    assert np.isnan(kp.sum(x.reshape(10, 10)))
    y = mixed(100)
    y[3] = np.inf
    assert kp.sum(y.reshape(4, 25)) == np.inf
    y[90] = -np.inf
    assert np.isnan(kp.sum_dyn(y))


def test_large_sum_agrees_with_float64():
    x = np.random.default_rng(11).random((700, 900), dtype=f32)
    got = kp.sum(x)
    same_bits(got, reference(x))
    exact = float(np.sum(x, dtype=np.float64))
    assert abs(got - exact) <= x.size * np.finfo(f32).eps * exact


@pytest.mark.parametrize("view,name", [
    (lambda a: a.T, "column-major"),
    (lambda a: a[::2], "row-strided"),
    (lambda a: a[:, ::-1], "negative stride"),
    (lambda a: a[:, 1:], "column slice"),
])
def test_non_contiguous_arrays_are_refused(view, name):
    a = view(mixed(48).reshape(6, 8))
    assert not a.flags.c_contiguous, name
    with pytest.raises(ValueError, match="^a must be C-contiguous$"):
        kp.sum(a)
    with pytest.raises(ValueError, match="^a must be C-contiguous$"):
        kp.sum_dyn(a)


@pytest.mark.parametrize("shape", [(), (1,) * 7, (2, 1, 1, 1, 1, 1, 1, 2)])
def test_sum_dyn_rank_outside_one_to_six(shape):
    with pytest.raises(ValueError) as e:
        kp.sum_dyn(np.ones(shape, dtype=f32))
    assert str(e.value) == f"array rank {len(shape)} exceeds the supported dynamic-dispatch rank 6"


def test_wrong_element_type_or_rank():
    with pytest.raises(TypeError) as e:
        kp.sum_dyn(np.ones(4))
    assert str(e.value) == "argument 'a': 'ndarray' object cannot be converted to 'ndarray(float32)'"
    with pytest.raises(TypeError) as e:
        kp.sum(np.ones(4, dtype=f32))
    assert str(e.value) == "argument 'a': 'ndarray' object cannot be converted to 'ndarray(float32, ndim=2)'"
