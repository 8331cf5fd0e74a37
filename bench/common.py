"""Timing helpers shared by the benchmark scripts: warm-up, then the median of repeats."""
import statistics
import time


# Long enough for the other library's idle threads to stop spinning and sleep (OpenBLAS spins
# for about 2^28 cycles after its last call) so that they do not take cores from the call timed.
SETTLE_SECONDS = 0.2


def median_seconds(fn, *, min_repeats=5, min_total=0.2, max_repeats=1000):
    time.sleep(SETTLE_SECONDS)
    fn()  # warm-up: first-use initialisation and caches
    times = []
    start = time.perf_counter()
    while len(times) < max_repeats and (len(times) < min_repeats or time.perf_counter() - start < min_total):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:8.2f} {unit}"
    return f"{seconds / 1e-9:8.1f} ns"


def add_size_args(parser):
    parser.add_argument("--min-exp", type=int, default=3, help="smallest size, 10^k elements")
    parser.add_argument("--max-exp", type=int, default=8, help="largest size, 10^k elements")
    parser.add_argument("--elements", type=int, nargs="+", help="these sizes instead of the powers of ten")


def matrix_shapes(args):
    """(elements, (rows, cols)) for 10^min-exp .. 10^max-exp elements (or the --elements sizes),
    rows of 1000 where they fit."""
    sizes = args.elements or [10**exp for exp in range(args.min_exp, args.max_exp + 1)]
    for n in sizes:
        cols = 1000 if n >= 1000 else n
        yield n, (n // cols, cols)
