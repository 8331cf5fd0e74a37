"""kavrel_python.sum against numpy.sum on float32 matrices of 10^3 to 10^8 elements.

Prints the median time of each and the ratio numpy / kavrel (above 1: kavrel is faster).
Run: .venv/bin/python bench/sum.py [--max-exp 8]
"""
import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import add_size_args, fmt_time, matrix_shapes, median_seconds  # noqa: E402

import kavrel_python as kp  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    add_size_args(parser)
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    print(f"{'elements':>12} {'shape':>16} {'numpy.sum':>12} {'kavrel.sum':>12} {'ratio':>7}")
    for n, shape in matrix_shapes(args):
        a = rng.standard_normal(shape, dtype=np.float32)
        t_np = median_seconds(lambda: np.sum(a))
        t_kp = median_seconds(lambda: kp.sum(a))
        print(f"{n:>12} {str(a.shape):>16} {fmt_time(t_np):>12} {fmt_time(t_kp):>12} {t_np / t_kp:7.2f}")


if __name__ == "__main__":
    main()
