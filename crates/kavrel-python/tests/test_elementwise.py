"""add, sub, mul and div: new float32 arrays equal bit for bit to NumPy's result of the same
IEEE operation, on every route of the map (dense or strided, serial or parallel), with b
broadcast to a's shape only.

Sizes sit around the vector widths, the kernels' streaming-store bound (2^21 elements), the
level-3 cache bound of the parallel split (12 bytes per element against this machine's level-3
size) and the 5461-element shards.
"""
import glob
import sys
import threading
import time

import numpy as np
import pytest

import kavrel_python as kp

f32 = np.float32
OPS = [(kp.add, np.add), (kp.sub, np.subtract), (kp.mul, np.multiply), (kp.div, np.divide)]
OP_IDS = ["add", "sub", "mul", "div"]


def level3_bytes():
    """The smallest level-3 size sysfs reports, as the library reads it (8 MiB without one)."""
    sizes = []
    for level in glob.glob("/sys/devices/system/cpu/cpu*/cache/index*/level"):
        try:
            if open(level).read().strip() != "3":
                continue
            text = open(level.replace("level", "size")).read().strip()
        except OSError:
            continue
        scale = {"K": 1024, "M": 1024**2, "G": 1024**3}.get(text[-1], 1)
        value = int(text[:-1] if text[-1] in "KMG" else text) * scale
        if value:
            sizes.append(value)
    return min(sizes) if sizes else 8388608


SERIAL_MAX = level3_bytes() // 12  # elements; one more goes parallel
STREAM = 1 << 21


def values(shape, seed, specials=False):
    rng = np.random.default_rng(seed)
    x = (rng.standard_normal(shape) * np.exp2(rng.integers(-12, 13, shape))).astype(f32)
    if specials and x.size:
        flat = x.reshape(-1)
        picks = rng.integers(0, flat.size, max(1, flat.size // 8))
        choices = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e-45, -3e-41, 1.2e-38], dtype=f32)
        flat[picks] = choices[rng.integers(0, len(choices), len(picks))]
    return x


def assert_same_bits(got, want):
    """Bit equality; where NumPy's result is NaN ours is NaN (the payload of a NaN that two NaN
    operands produce is not fixed)."""
    assert isinstance(got, np.ndarray) and got.dtype == f32 and got.shape == want.shape
    assert got.flags.c_contiguous and got.flags.writeable
    nan = np.isnan(want)
    assert np.array_equal(np.isnan(got), nan)
    assert np.array_equal(got.view(np.uint32)[~nan], want.view(np.uint32)[~nan])


def check(ours, theirs, a, b):
    with np.errstate(all="ignore"):
        want = theirs(a, b).astype(f32)
    assert_same_bits(ours(a, b), want)


SHAPES = [
    # around the vector widths (8 and 16 lanes, pairs of vectors)
    (1, 1), (1, 7), (1, 8), (1, 9), (3, 15), (3, 16), (3, 17), (2, 31), (2, 32), (2, 33), (5, 63), (7, 129),
    # around the shard length
    (1, 5460), (1, 5461), (1, 5462), (2, 5461), (3, 5461 * 2 + 1),
    # around the streaming-store bound and the level-3 bound
    (1, STREAM - 1), (1, STREAM), (1, SERIAL_MAX), (1, SERIAL_MAX + 1), (1000, 700),
]


@pytest.mark.parametrize("ours,theirs", OPS, ids=OP_IDS)
@pytest.mark.parametrize("shape", SHAPES, ids=str)
def test_equal_shapes_match_numpy_bit_for_bit(ours, theirs, shape):
    check(ours, theirs, values(shape, 1), values(shape, 2))


BROADCASTS = [
    ((1, 1), (1, 1)), ((4, 9), (1, 9)), ((4, 9), (4, 1)), ((4, 9), (1, 1)), ((17, 33), (1, 33)),
    ((17, 33), (17, 1)), ((1, 5000), (1, 1)), ((700, 1000), (1, 1000)), ((700, 1000), (700, 1)),
    # strided rows in parallel: more elements than the level-3 bound
    ((SERIAL_MAX // 1000 + 1, 1000), (1, 1000)), ((SERIAL_MAX // 1000 + 1, 1000), (SERIAL_MAX // 1000 + 1, 1)),
    ((SERIAL_MAX // 1000 + 1, 1000), (1, 1)),
    # rows long enough for the streaming stores inside each row
    ((2, STREAM), (1, STREAM)),
]


@pytest.mark.parametrize("ours,theirs", OPS, ids=OP_IDS)
@pytest.mark.parametrize("a_shape,b_shape", BROADCASTS, ids=str)
def test_broadcast_b_matches_numpy_bit_for_bit(ours, theirs, a_shape, b_shape):
    a, b = values(a_shape, 3), values(b_shape, 4)
    check(ours, theirs, a, b)
    r = ours(a, b)
    assert r.shape == a_shape


@pytest.mark.parametrize("b_shape", [(4100, 2100), (1, 2100), (4100, 1)], ids=str)
def test_results_above_32_mib_from_fresh_mappings(b_shape):
    # 8.6 million elements: the result's memory is a fresh mapping rather than heap memory.
    a, b = values((4100, 2100), 11), values(b_shape, 12)
    check(kp.sub, np.subtract, a, b)


@pytest.mark.parametrize("ours,theirs", OPS, ids=OP_IDS)
@pytest.mark.parametrize("shape,b_shape", [((9, 40), (9, 40)), ((9, 40), (1, 40)), ((9, 40), (9, 1)),
                                           ((400, 8000), (400, 8000)), ((400, 8000), (1, 8000))], ids=str)
def test_special_values_match_numpy(ours, theirs, shape, b_shape):
    check(ours, theirs, values(shape, 5, specials=True), values(b_shape, 6, specials=True))


def test_division_by_zero_and_zero_by_zero_give_infinities_and_nan():
    a = np.array([[1.0, -1.0, 0.0, -0.0, np.inf, 2.0]], dtype=f32)
    b = np.array([[0.0, 0.0, 0.0, 0.0, np.inf, -0.0]], dtype=f32)
    r = kp.div(a, b)
    assert r[0, 0] == np.inf and r[0, 1] == -np.inf and r[0, 5] == -np.inf
    assert np.isnan(r[0, 2]) and np.isnan(r[0, 3]) and np.isnan(r[0, 4])
    assert np.isnan(kp.sub(np.full((1, 3), np.inf, f32), np.full((1, 3), np.inf, f32))).all()
    assert np.isnan(kp.mul(np.zeros((2, 2), f32), np.full((1, 1), np.inf, f32))).all()


@pytest.mark.parametrize("b_shape", [(3, 40), (1, 40), (3, 1), (1, 1)], ids=str)
def test_subnormals_are_kept_not_flushed(b_shape):
    tiny = np.finfo(f32).smallest_subnormal
    a = np.full((3, 40), tiny * 7, dtype=f32)
    zero = np.zeros(b_shape, dtype=f32)
    half = np.full(b_shape, 0.5, dtype=f32)
    assert np.array_equal(kp.add(a, zero).view(np.uint32), a.view(np.uint32))  # subnormal + 0
    assert np.array_equal(kp.sub(a, zero).view(np.uint32), a.view(np.uint32))
    normal = np.full((3, 40), np.finfo(f32).tiny, dtype=f32)
    got = kp.mul(normal, half)  # the smallest normal halved is subnormal
    assert np.all(got == np.finfo(f32).tiny / 2) and np.all(got > 0)
    assert np.array_equal(kp.div(a, np.ones(b_shape, f32)).view(np.uint32), a.view(np.uint32))


@pytest.mark.parametrize("ours,theirs", OPS, ids=OP_IDS)
@pytest.mark.parametrize("a_shape,b_shape", [((0, 5), (0, 5)), ((0, 5), (1, 5)), ((3, 0), (3, 0)), ((3, 0), (1, 1)),
                                             ((0, 0), (1, 1))], ids=str)
def test_empty_results(ours, theirs, a_shape, b_shape):
    r = ours(np.zeros(a_shape, f32), np.zeros(b_shape, f32))
    assert r.shape == a_shape and r.dtype == f32


@pytest.mark.parametrize("ours", [op for op, _ in OPS], ids=OP_IDS)
@pytest.mark.parametrize("a_shape, b_shape", [((1, 4), (3, 4)), ((3, 4), (2, 4)), ((3, 4), (3, 5)), ((0, 4), (3, 4))])
def test_only_b_broadcasts_to_a_shape(ours, a_shape, b_shape):
    # Unlike NumPy, the result always has a's shape: a never broadcasts.
    with pytest.raises(ValueError) as e:
        ours(np.ones(a_shape, f32), np.ones(b_shape, f32))
    assert str(e.value) == f"Incompatible broadcast: from [{b_shape[0]}, {b_shape[1]}] to [{a_shape[0]}, {a_shape[1]}]"

@pytest.mark.parametrize("ours", [op for op, _ in OPS], ids=OP_IDS)
def test_argument_checks(ours):
    a = np.ones((4, 5), f32)
    with pytest.raises(ValueError, match="^b must be C-contiguous$"):
        ours(a, np.ones((5, 4), f32).T)
    with pytest.raises(ValueError, match="^a must be C-contiguous$"):
        ours(np.ones((5, 4), f32).T, np.ones((5, 4), f32).T)
    with pytest.raises(TypeError):
        ours(a, np.ones((4, 5), np.float64))
    with pytest.raises(TypeError):
        ours(a, np.ones(5, f32))
    with pytest.raises(TypeError):
        ours(a)
    # Keyword arguments bind like positional ones.
    assert_same_bits(ours(b=np.full((1, 5), 2.0, f32), a=a), ours(a, np.full((1, 5), 2.0, f32)))


def test_inputs_are_left_unchanged_and_results_are_new_arrays():
    a, b = values((300, 200), 7), values((1, 200), 8)
    a0, b0 = a.copy(), b.copy()
    r1, r2 = kp.add(a, b), kp.add(a, b)
    assert np.array_equal(a, a0) and np.array_equal(b, b0)
    assert not np.shares_memory(r1, r2) and not np.shares_memory(r1, a)
    # One array for both arguments is fine: both are only read.
    assert_same_bits(kp.mul(a, a), (a * a).astype(f32))


def test_the_lock_is_released_while_mapping():
    # While another thread maps large arrays, this one keeps running; if the calls held the
    # interpreter lock, it could run only between calls.
    a = values((4000, 4000), 9)
    b = values((1, 4000), 10)
    done = threading.Event()

    def work():
        # Long enough for the count to mean something on a fast machine (four maps can take under
        # 30 ms): were the lock held, this thread would get it only every 50 ms, about five turns.
        deadline = time.monotonic() + 0.25
        calls = 0
        while calls < 4 or time.monotonic() < deadline:
            kp.add(a, b)
            calls += 1
        done.set()

    old = sys.getswitchinterval()
    sys.setswitchinterval(0.05)  # a thread waiting for the lock gets it only after 50 ms
    try:
        t = threading.Thread(target=work)
        turns = 0
        t.start()
        while not done.is_set():
            time.sleep(0.0005)
            turns += 1
        t.join()
    finally:
        sys.setswitchinterval(old)
    assert turns >= 20, f"only {turns} turns while the maps ran"


def test_many_threads_at_once():
    cases = [((500, 1000), (500, 1000)), ((3000, 1000), (1, 1000)), ((SERIAL_MAX // 500 + 1, 500), (SERIAL_MAX // 500 + 1, 1)),
             ((37, 41), (1, 1)), ((1, SERIAL_MAX + 1), (1, SERIAL_MAX + 1))]
    inputs = [(values(sa, 20 + k), values(sb, 40 + k)) for k, (sa, sb) in enumerate(cases)]
    with np.errstate(all="ignore"):
        wants = [[theirs(a, b).astype(f32) for _, theirs in OPS] for a, b in inputs]
    failures = []

    def work(t):
        try:
            for r in range(3):
                for k, (a, b) in enumerate(inputs):
                    i = (t + r + k) % 4
                    assert_same_bits(OPS[i][0](a, b), wants[k][i])
        except AssertionError as e:  # reported by the main thread
            failures.append(e)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
        assert not t.is_alive(), "hang: a mapping thread did not finish"
    assert not failures, failures[0]
