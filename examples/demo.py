"""A short tour of kavrel_python next to NumPy."""
import numpy as np

import kavrel_python as kp

rng = np.random.default_rng(0)
a = rng.standard_normal((1000, 1000), dtype=np.float32)

print("functions:", ", ".join(kp.__all__))
print()
print("sum of a 1000x1000 float32 matrix")
print("  kavrel_python.sum :", kp.sum(a))
print("  numpy.sum         :", float(np.sum(a)))
print("  float64 reference :", float(np.sum(a, dtype=np.float64)))

cube = rng.standard_normal((4, 5, 6, 7), dtype=np.float32)
print()
print("sum_dyn of a rank-4 array:", kp.sum_dyn(cube), " numpy:", float(np.sum(cube)))

print()
print("bad input raises clear exceptions:")
for label, call in [
    ("float64 input", lambda: kp.sum(a.astype(np.float64))),
    ("transposed view", lambda: kp.sum(a.T)),
    ("rank-0 array", lambda: kp.sum_dyn(np.array(1.0, dtype=np.float32))),
]:
    try:
        call()
    except (TypeError, ValueError) as exc:
        print(f"  {label:16s} -> {type(exc).__name__}: {exc}")
