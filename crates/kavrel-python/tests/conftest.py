"""Shared tables and fixtures of the kavrel_python tests.

FUNCTIONS is the module's function table as users see it: name, parameters, the array
kind of each parameter and the docstring after the signature block. Below it, what the
numerical tests share: constants and error prefixes, random test matrices, the power-of-two
scale of residual checks, and a run of calls on several threads.
"""

import importlib.machinery
import importlib.util
import pathlib
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]

F32_2, F32_1, F32_3, F32_ANY = ("f32", 2), ("f32", 1), ("f32", 3), ("f32", None)
F64_2, F64_1 = ("f64", 2), ("f64", 1)
TEXT = ("text", None)

T = "\u1d40"
FUNCTIONS = [
    ("add", ["a", "b"], [F32_2, F32_2], None),
    ("sub", ["a", "b"], [F32_2, F32_2], None),
    ("mul", ["a", "b"], [F32_2, F32_2], None),
    ("div", ["a", "b"], [F32_2, F32_2], None),
    ("dot", ["a", "b"], [F32_1, F32_1], None),
    ("sum", ["a"], [F32_2], None),
    ("matmul", ["a", "b"], [F32_2, F32_2], None),
    ("batched_matmul", ["a", "b"], [F32_3, F32_3],
     "Batched matrix multiply over 3D arrays `[batch, m, k] @ [batch, k, n] -> [batch, m, n]`.\n"
     "A batch dimension of 1 on either operand broadcasts. Mirrors `numpy.matmul` on 3D inputs."),
    ("sum_dyn", ["a"], [F32_ANY], None),
    ("det", ["a"], [F64_2], None),
    ("inv", ["a"], [F64_2], None),
    ("solve", ["a", "b"], [F64_2, F64_1], None),
    ("cholesky", ["a"], [F64_2], None),
    ("cholesky_solve", ["a", "b"], [F64_2, F64_1],
     "Solve `A x = b` for symmetric positive-definite `A` via its Cholesky factor."),
    ("cholesky_inv", ["a"], [F64_2], "Inverse of a symmetric positive-definite matrix via its Cholesky factor."),
    ("qr", ["a"], [F64_2], None),
    ("col_piv_qr", ["a"], [F64_2], None),
    ("svd", ["a"], [F64_2], None),
    ("symmetric_eigen", ["a"], [F64_2], None),
    ("singular_values", ["a"], [F64_2], None),
    ("norm", ["a", "ord"], [F64_2, TEXT], None),
    ("schur", ["a"], [F64_2], None),
    ("bunch_kaufman", ["a"], [F64_2], None),
    ("matexp", ["a"], [F64_2], None),
    ("kron", ["a", "b"], [F64_2, F64_2], None),
    ("trace", ["a"], [F64_2], None),
    ("hessenberg", ["a"], [F64_2], f"Hessenberg reduction `A = Q H Q{T}`. Returns `(Q, H)`."),
    ("eigenvalues", ["a"], [F64_2], "Eigenvalues of a general real matrix, returned as a complex vector."),
    ("full_piv_lu", ["a"], [F64_2], "Full-pivoting LU: returns `(L, U, row_perm, col_perm)`."),
    ("udu", ["a"], [F64_2], f"Pivot-free `A = U D U{T}`. Returns `(U, d)` with `d` the diagonal of `D`."),
    ("bidiagonalize", ["a"], [F64_2], f"Bidiagonalization `A = U B V{T}`. Returns `(U, B, V)`."),
]
NAMES = [f[0] for f in FUNCTIONS]
ARRAY_PARAMS = [(name, i, p, kind) for name, params, kinds, _ in FUNCTIONS
                for i, (p, kind) in enumerate(zip(params, kinds)) if kind != TEXT]


def dtype_of(kind):
    return np.float32 if kind[0] == "f32" else np.float64


def valid_value(kind):
    """An argument every body accepts: identities are square, symmetric positive definite
    and have matching inner dimensions."""
    if kind == TEXT:
        return None
    element, rank = kind
    dt = dtype_of(kind)
    if rank == 1:
        return np.ones(3, dtype=dt)
    if rank == 3:
        return np.eye(3, dtype=dt)[None, :, :].copy()
    return np.eye(3, dtype=dt)


def valid_args(name):
    _, params, kinds, _ = next(f for f in FUNCTIONS if f[0] == name)
    return [valid_value(k) for k in kinds if k != TEXT]


def expected_kind(kind):
    element = "float32" if kind[0] == "f32" else "float64"
    return f"ndarray({element})" if kind[1] is None else f"ndarray({element}, ndim={kind[1]})"


EPS = np.finfo(np.float64).eps
DBL_MAX = np.finfo(np.float64).max
NAN, INF = float("nan"), float("inf")
OVERFLOW = "Arithmetic overflow in layout calculations: "


def rng(seed):
    return np.random.default_rng(seed)


def random_matrix(shape, seed):
    """Entries uniform in [-1, 1)."""
    return rng(seed).uniform(-1.0, 1.0, shape)


def spd(n, seed):
    """B·Bᵀ + n·I for a random B: symmetric positive definite and well conditioned."""
    b = random_matrix((n, n), seed)
    return b @ b.T + n * np.eye(n)


def power_of_two_scale(a):
    """A power of two near max|a|: dividing by it is exact and keeps residuals of extreme
    matrices inside the float64 range, without overflow or underflow."""
    amax = np.max(np.abs(a)) if a.size else 1.0
    return np.ldexp(1.0, int(np.frexp(amax)[1])) if amax > 0 else 1.0


def run_threads(work, count):
    """Runs work(0) … work(count − 1) at once, each on a thread of its own, and returns their
    results in that order; the first exception a thread raised is raised again here."""
    results, errors = [None] * count, []

    def run(i):
        try:
            results[i] = work(i)
        except BaseException as e:  # noqa: BLE001 - raised again by the calling thread
            errors.append(e)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return results


def reach_body(function, *args, **kwargs):
    """Calls `function` with arguments that pass every convention check; any failure propagates."""
    return function(*args, **kwargs)


def run_python(code, env=None):
    """Runs `code` in a fresh interpreter; returns its stdout. Fails with its stderr."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          cwd="/tmp", env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


def _sanitized(build_dir):
    cache = build_dir / "CMakeCache.txt"
    if not cache.exists():
        return False
    for line in cache.read_text().splitlines():
        if line.startswith("KAVREL_SANITIZE:"):
            return line.split("=", 1)[1].strip() != ""
    return False


def _find_hooks():
    """The newest hook extension of a build matching this interpreter; sanitized builds
    only when a sanitizer runtime is preloaded."""
    import os
    # Only this interpreter's own tag: another Python's build may sit beside it under build/.
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    preloaded = "asan" in os.environ.get("LD_PRELOAD", "")
    found = [p for p in ROOT.glob("build/*/crates/kavrel-python/kavrel_python_hooks*")
             if p.name.endswith(suffix) and _sanitized(p.parents[2]) == preloaded]
    return max(found, key=lambda p: p.stat().st_mtime) if found else None


@pytest.fixture(scope="session")
def hooks():
    """The test-only hook extension of a C++ test build (KAVREL_BUILD_TESTS=ON)."""
    path = _find_hooks()
    if path is None:
        pytest.skip("no test build with kavrel_python_hooks under build/")
    module_spec = importlib.util.spec_from_file_location("kavrel_python_hooks", path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module
