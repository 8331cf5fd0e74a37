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
print("element-wise maps; b may be a row (1, n), a column (m, 1) or a single value (1, 1)")
m = rng.standard_normal((3, 4), dtype=np.float32)
row = np.array([[1.0, 2.0, 4.0, 8.0]], dtype=np.float32)
column = np.array([[10.0], [20.0], [30.0]], dtype=np.float32)
print("  add(m, row) equals m + row    :", np.array_equal(kp.add(m, row), m + row))
print("  sub(m, column) equals m - col :", np.array_equal(kp.sub(m, column), m - column))
print("  mul(m, m) equals m * m        :", np.array_equal(kp.mul(m, m), m * m))
print("  div(row, [[0]])               :", kp.div(row, np.zeros((1, 1), dtype=np.float32)))
big = kp.add(a, a)  # a million elements; larger arrays run on the thread pool
print("  add of two 1000x1000 matrices :", big.shape, big.dtype, np.array_equal(big, a + a))

print()
print("matrix products (float32), checked against NumPy")
x = rng.standard_normal((512, 300), dtype=np.float32)
y = rng.standard_normal((300, 200), dtype=np.float32)
p = kp.matmul(x, y)
print("  matmul 512x300 @ 300x200      : max |kavrel - numpy| =", float(np.max(np.abs(p - x @ y))))
stack = rng.standard_normal((1000, 4, 4), dtype=np.float32)
print("  batched_matmul of 1000 4x4    : max |kavrel - numpy| =",
      float(np.max(np.abs(kp.batched_matmul(stack, stack) - stack @ stack))))
v = rng.standard_normal(10000, dtype=np.float32)
print("  dot of 10^4 elements          :", kp.dot(v, v), " numpy:", float(v @ v))

print()
print("float64 linear algebra, checked against NumPy/SciPy")
g = rng.standard_normal((6, 6))
spd = g @ g.T + 6 * np.eye(6)
rhs = rng.standard_normal(6)
print("  det                           :", kp.det(g), " numpy:", np.linalg.det(g))
print("  solve: residual |A x - b|     :", float(np.linalg.norm(g @ kp.solve(g, rhs) - rhs)))
low = kp.cholesky(spd)
print("  cholesky: |L L^T - A|         :", float(np.linalg.norm(low @ low.T - spd)))
q, r = kp.qr(g)
print("  qr: |Q R - A|                 :", float(np.linalg.norm(q @ r - g)))
print("  singular values               :", np.round(kp.singular_values(g), 6))
print("  numpy.linalg.svd              :", np.round(np.linalg.svd(g, compute_uv=False), 6))
w, vecs = kp.symmetric_eigen(spd)
print("  symmetric_eigen vs eigh       : max |dw| =", float(np.max(np.abs(w - np.linalg.eigh(spd)[0]))))
print("  eigenvalues (sorted)          :", np.sort_complex(kp.eigenvalues(g)).round(6))
print("  matexp(0) is the identity     :", np.array_equal(kp.matexp(np.zeros((3, 3))), np.eye(3)))

print()
print("bad input raises clear exceptions:")
for label, call in [
    ("float64 input", lambda: kp.sum(a.astype(np.float64))),
    ("transposed view", lambda: kp.sum(a.T)),
    ("rank-0 array", lambda: kp.sum_dyn(np.array(1.0, dtype=np.float32))),
    ("a broadcast", lambda: kp.add(row, m)),
    ("singular matrix", lambda: kp.inv(np.zeros((2, 2)))),
    ("non-square", lambda: kp.det(np.ones((2, 3)))),
]:
    try:
        call()
    except (TypeError, ValueError) as exc:
        print(f"  {label:16s} -> {type(exc).__name__}: {exc}")
