"""A small parallel product's time while another Python thread runs large products.

A waiting caller runs chunks still queued on the executor's workers, whichever call they belong
to; this shows what that costs a small call that waits beside large ones: the median and 90th
percentile of a 128×128 float32 matmul alone, then with 2048×2048 products running on a second
thread, and their ratio.
Run: .venv/bin/python bench/contention.py
"""
import threading
import time

import numpy as np

import kavrel_python as kp


def main():
    rng = np.random.default_rng(0)
    small_a = rng.uniform(-1, 1, (128, 128)).astype(np.float32)
    small_b = rng.uniform(-1, 1, (128, 128)).astype(np.float32)
    big = rng.uniform(-1, 1, (2048, 2048)).astype(np.float32)

    def timed(calls=400):
        times = []
        for _ in range(calls):
            start = time.perf_counter()
            kp.matmul(small_a, small_b)
            times.append(time.perf_counter() - start)
        times.sort()
        return times[len(times) // 2], times[int(len(times) * 0.9)]

    for _ in range(50):
        kp.matmul(small_a, small_b)
    alone = timed()
    stop = threading.Event()

    def load():
        while not stop.is_set():
            kp.matmul(big, big)

    loader = threading.Thread(target=load)
    loader.start()
    time.sleep(0.3)
    busy = timed()
    stop.set()
    loader.join()
    print(f"128x128 matmul alone:                       median {alone[0] * 1e6:7.1f} us, 90th {alone[1] * 1e6:7.1f} us")
    print(f"beside 2048x2048 matmuls on another thread: median {busy[0] * 1e6:7.1f} us, 90th {busy[1] * 1e6:7.1f} us"
          f"  (median ratio {busy[0] / alone[0]:.1f})")


if __name__ == "__main__":
    main()
