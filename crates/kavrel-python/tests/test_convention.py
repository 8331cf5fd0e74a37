"""The calling convention every function shares: binding texts, the order of the
argument checks, the borrow table, and how failures reach Python."""

import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import kavrel_python
from conftest import (ARRAY_PARAMS, F32_ANY, FUNCTIONS, NAMES, TEXT, dtype_of, expected_kind, reach_body,
                      run_python, valid_args, valid_value)


def _binding_cases():
    for name, params, kinds, _ in FUNCTIONS:
        required = [p for p, k in zip(params, kinds) if k != TEXT]
        args = [valid_value(k) for k in kinds if k != TEXT]
        n = len(params)
        if len(required) == n:
            many = f"{name}() takes {n} positional arguments but {n + 1} were given"
        else:
            many = f"{name}() takes from {len(required)} to {n} positional arguments but {n + 1} were given"
        yield name, "too many positional", (*args, *([None] * (n - len(args))), None), {}, many
        yield name, "unexpected keyword", tuple(args), {"c": 1}, f"{name}() got an unexpected keyword argument 'c'"
        yield (name, "keyword repeats a positional", tuple(args), {params[0]: args[0]},
               f"{name}() got multiple values for argument '{params[0]}'")
        quoted = [f"'{p}'" for p in required]
        missing = f"{name}() missing {len(required)} required positional " + (
            "argument: " + quoted[0] if len(required) == 1 else "arguments: " + " and ".join(quoted))
        yield name, "nothing given", (), {}, missing
        if len(required) == 2:
            yield (name, "second missing", (args[0],), {}, f"{name}() missing 1 required positional argument: 'b'")
            yield (name, "first missing", (), {"b": args[1]}, f"{name}() missing 1 required positional argument: 'a'")


BINDING = list(_binding_cases())


@pytest.mark.parametrize("name,case,args,kwargs,message", BINDING,
                         ids=[f"{c[0]}-{c[1].replace(' ', '_')}" for c in BINDING])
def test_binding_errors(name, case, args, kwargs, message):
    with pytest.raises(TypeError) as e:
        getattr(kavrel_python, name)(*args, **kwargs)
    assert str(e.value) == message


@pytest.mark.parametrize("name", ["\ud800", "a\udcff", "\udfff\ud800b"])
def test_keyword_without_utf8_form_is_an_unexpected_keyword(name):
    x = valid_value(("f32", 2))
    with pytest.raises(TypeError) as e:
        kavrel_python.add(x, x, **{name: 1})
    assert e.value.args == (f"add() got an unexpected keyword argument '{name}'",)
    with pytest.raises(TypeError) as e:
        kavrel_python.norm(np.eye(2), **{name: 1})
    assert e.value.args == (f"norm() got an unexpected keyword argument '{name}'",)


@pytest.mark.parametrize("name", ["o\x00rd", "\x00", "a\x00\x00b"])
def test_messages_keep_their_nul_characters(name):
    x = valid_value(("f32", 2))
    with pytest.raises(TypeError) as e:
        kavrel_python.add(x, x, **{name: 1})
    assert e.value.args == (f"add() got an unexpected keyword argument '{name}'",)
    with pytest.raises(ValueError) as e:
        kavrel_python.norm(np.eye(2), "fro" + name)
    assert e.value.args == (f"Unsupported norm order: fro{name}",)


def test_binding_checks_positional_count_before_keywords():
    x = valid_value(("f32", 2))
    with pytest.raises(TypeError, match=r"^add\(\) takes 2 positional arguments but 3 were given$"):
        kavrel_python.add(x, x, x, c=1)
    with pytest.raises(TypeError, match=r"^add\(\) got an unexpected keyword argument 'c'$"):
        kavrel_python.add(x, c=1, a=x)


@pytest.mark.parametrize("name", NAMES)
def test_arguments_bind_by_keyword(name):
    _, params, kinds, _ = next(f for f in FUNCTIONS if f[0] == name)
    reach_body(getattr(kavrel_python, name), **{p: valid_value(k) for p, k in zip(params, kinds)})


def _wrong_values(kind):
    """Objects a parameter of `kind` refuses, with the type name the message shows."""
    element, rank = kind
    other = np.float64 if element == "f32" else np.float32
    shape = (3,) * (rank or 2)
    yield [[1.0, 2.0]], "list"
    yield 3.0, "float"
    yield np.zeros(shape, dtype=other), "ndarray"
    yield np.zeros(shape, dtype=np.int32), "ndarray"
    yield np.zeros(shape, dtype=dtype_of(kind)).astype(np.dtype(dtype_of(kind)).newbyteorder()), "ndarray"
    if rank is not None:
        yield np.zeros((3,) * (rank + 1), dtype=dtype_of(kind)), "ndarray"
        yield np.zeros((3,) * (rank - 1) if rank > 1 else (), dtype=dtype_of(kind)), "ndarray"


TYPE_CASES = [(name, i, p, kind, value, tn) for name, i, p, kind in ARRAY_PARAMS
              for value, tn in _wrong_values(kind)]


@pytest.mark.parametrize("name,index,param,kind,value,type_name", TYPE_CASES,
                         ids=[f"{c[0]}-{c[2]}-{c[5]}{n}" for n, c in enumerate(TYPE_CASES)])
def test_wrong_array_argument_is_a_type_error(name, index, param, kind, value, type_name):
    args = valid_args(name)
    args[index] = value
    with pytest.raises(TypeError) as e:
        getattr(kavrel_python, name)(*args)
    assert str(e.value) == f"argument '{param}': '{type_name}' object cannot be converted to '{expected_kind(kind)}'"


def test_array_subclasses_are_accepted():
    class Sub(np.ndarray):
        pass
    x = np.eye(3, dtype=np.float32).view(Sub)
    reach_body(kavrel_python.add, x, x)
    reach_body(kavrel_python.sum_dyn, x)


def test_sum_dyn_takes_any_rank():
    # No rank check in binding: ranks outside 1..6 reach the body, which refuses them.
    for shape in [(4,), (2, 3), (1, 2, 1, 2, 1, 2)]:
        reach_body(kavrel_python.sum_dyn, np.zeros(shape, dtype=np.float32))
    for shape in [(), (1, 2, 1, 2, 1, 2, 1)]:
        with pytest.raises(ValueError, match="^array rank"):
            kavrel_python.sum_dyn(np.zeros(shape, dtype=np.float32))


@pytest.mark.parametrize("ord_value,type_name", [(3, "int"), (b"fro", "bytes"), (1.5, "float")])
def test_ord_must_be_a_str(ord_value, type_name):
    with pytest.raises(TypeError) as e:
        kavrel_python.norm(np.eye(3), ord_value)
    assert str(e.value) == f"argument 'ord': '{type_name}' object cannot be converted to 'str'"


def test_ord_without_utf8_form_fails_before_the_memory_checks(hooks):
    fortran = np.asfortranarray(np.ones((3, 4)))
    for a in (fortran, np.eye(3)):
        with pytest.raises(UnicodeEncodeError):
            kavrel_python.norm(a, "\ud800")
        assert hooks.borrow_count() == 0


def test_ord_none_is_no_order():
    reach_body(kavrel_python.norm, np.eye(3), None)
    reach_body(kavrel_python.norm, np.eye(3), ord=None)


def test_every_type_check_comes_before_any_contiguity_check():
    fortran32 = np.asfortranarray(np.ones((3, 4), dtype=np.float32))
    with pytest.raises(TypeError, match="^argument 'b': "):
        kavrel_python.add(fortran32, [1.0])
    with pytest.raises(TypeError, match="^argument 'ord': "):
        kavrel_python.norm(np.asfortranarray(np.ones((3, 4))), 7)
    with pytest.raises(TypeError, match="^argument 'a': "):
        kavrel_python.solve(np.eye(3, dtype=np.float32), np.ones(3)[::2])


def _misaligned(shape, dtype):
    itemsize = np.dtype(dtype).itemsize
    count = int(np.prod(shape))
    raw = np.zeros(count * itemsize + 1, dtype=np.uint8)
    a = np.frombuffer(raw.data, dtype=dtype, count=count, offset=1).reshape(shape)
    assert a.flags.c_contiguous and not a.flags.aligned
    return a


def _not_contiguous(kind):
    rank = kind[1] or 2
    base = np.ones((4,) * rank, dtype=dtype_of(kind))
    return base[(slice(None, None, 2),) * rank]


MEMORY_CASES = [(name, i, p, kind) for name, i, p, kind in ARRAY_PARAMS]


@pytest.mark.parametrize("name,index,param,kind", MEMORY_CASES, ids=[f"{c[0]}-{c[2]}" for c in MEMORY_CASES])
def test_non_contiguous_and_misaligned_arguments_are_value_errors(name, index, param, kind):
    f = getattr(kavrel_python, name)
    args = valid_args(name)
    args[index] = _not_contiguous(kind)
    with pytest.raises(ValueError) as e:
        f(*args)
    assert str(e.value) == f"{param} must be C-contiguous"
    args = valid_args(name)
    args[index] = _misaligned(args[index].shape, args[index].dtype)
    with pytest.raises(ValueError) as e:
        f(*args)
    assert str(e.value) == f"{param} must be aligned"


def test_memory_checks_run_in_parameter_order():
    x = np.eye(3, dtype=np.float32)
    fortran = np.asfortranarray(np.ones((3, 4), dtype=np.float32))
    assert not fortran.flags.c_contiguous
    cases = [
        ((fortran, fortran.T.copy().T), "a must be C-contiguous"),
        ((x, fortran), "b must be C-contiguous"),
        ((_misaligned((3, 3), np.float32), fortran), "a must be aligned"),
        ((fortran, _misaligned((3, 3), np.float32)), "a must be C-contiguous"),
        ((x, _misaligned((3, 3), np.float32)), "b must be aligned"),
    ]
    for args, message in cases:
        with pytest.raises(ValueError) as e:
            kavrel_python.add(*args)
        assert str(e.value) == message


def test_a_transposed_array_is_not_c_contiguous():
    a = np.ones((3, 4), dtype=np.float32).T
    with pytest.raises(ValueError, match="^a must be C-contiguous$"):
        kavrel_python.sum(a)
    with pytest.raises(ValueError, match="^a must be C-contiguous$"):
        kavrel_python.sum_dyn(a)


def test_the_same_array_may_be_passed_twice():
    x = np.eye(3, dtype=np.float32)
    reach_body(kavrel_python.add, x, x)
    reach_body(kavrel_python.matmul, a=x, b=x)
    y = np.eye(3)
    reach_body(kavrel_python.kron, y, y)


def test_calls_from_many_threads_at_once():
    x = np.eye(3, dtype=np.float32)
    errors = []

    def work():
        try:
            for _ in range(200):
                reach_body(kavrel_python.add, x, x)
                with pytest.raises(ValueError):
                    kavrel_python.add(x, x.T)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


# --- Paths reached through the test-only hook extension ------------------------------


def _internal_error_type(exc_info):
    t = exc_info.type
    assert t.__name__ == "InternalError" and t.__module__ == "kavrel_python"
    assert issubclass(t, BaseException) and not issubclass(t, Exception)
    return exc_info.value


def test_internal_error_inside_the_computation(hooks, capfd):
    x = np.ones((2, 3), dtype=np.float32)
    with pytest.raises(BaseException) as e:
        hooks.internal_error(x)
    err = _internal_error_type(e)
    assert err.args == ("invariant: hook failed while the lock was released",)
    assert "invariant: hook failed while the lock was released\n" in capfd.readouterr().err
    assert hooks.borrow_count() == 0
    # The lock is back and the interpreter goes on.
    assert threading.Thread(target=lambda: None).start() is None


def test_internal_error_type_is_not_caught_as_exception(hooks):
    x = np.ones((2, 3), dtype=np.float32)
    caught = None
    try:
        try:
            hooks.internal_error(x)
        except Exception:  # noqa: BLE001 - must not catch it
            caught = "Exception"
    except BaseException as e:  # noqa: BLE001
        caught = type(e).__name__
    assert caught == "InternalError"
    assert "InternalError" not in kavrel_python.__all__


# An internal error's text reaches the exception and standard error whole, NUL characters
# included. The NumPy table is loaded on the first array argument: a module in its place whose
# attributes fail with a NUL in their text makes that load fail with that text.
def test_internal_error_text_keeps_nul_characters():
    code = textwrap.dedent(r"""
        import sys, types
        import numpy as np
        import kavrel_python as kp

        class Broken(types.ModuleType):
            def __getattr__(self, name):
                raise AttributeError("no table\x00after the NUL")

        core = "numpy._core.multiarray" if int(np.__version__.split(".")[0]) >= 2 else "numpy.core.multiarray"
        sys.modules[core] = Broken(core)
        try:
            kp.add(np.ones((1, 1), np.float32), np.ones((1, 1), np.float32))
        except BaseException as e:
            print(type(e).__name__, repr(e.args))
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd="/tmp", timeout=120)
    text = "Failed to access NumPy array API capsule: AttributeError: no table\x00after the NUL"
    assert done.stdout == "InternalError " + repr((text,)) + "\n", done.stderr
    assert text + "\n" in done.stderr


# What an init function can throw, through the guard the module's own init runs in.
@pytest.mark.parametrize("kind,raised,text", [
    (0, "InternalError", "invariant: thrown by a test init"),
    (1, "MemoryError", None),
    (2, "MemoryError", None),
    (3, "InternalError", "thrown by a test init"),
    (4, "InternalError", "an exception of an unknown type escaped a call into the module"),
])
def test_init_turns_every_exception_into_a_python_one(hooks, capfd, kind, raised, text):
    with pytest.raises(BaseException) as e:
        hooks.init_throwing(kind)
    if raised == "InternalError":
        assert _internal_error_type(e).args == (text,)
        assert text + "\n" in capfd.readouterr().err
    else:
        assert e.type is MemoryError
    assert hooks.init_throwing(-1) is None


def test_failed_allocation_inside_the_computation_is_memory_error(hooks):
    with pytest.raises(MemoryError):
        hooks.bad_alloc(np.ones((2, 3), dtype=np.float32))
    assert hooks.borrow_count() == 0


def test_the_lock_is_released_once_per_call(hooks):
    with pytest.raises(BaseException) as e:
        hooks.release_twice(np.ones((2, 3), dtype=np.float32))
    assert _internal_error_type(e).args == ("invariant: a call releases the interpreter lock once",)
    assert hooks.borrow_count() == 0


def test_a_result_without_releasing_the_lock_is_an_internal_error(hooks, capfd):
    x = np.ones((2, 3), dtype=np.float32)
    with pytest.raises(BaseException) as e:
        hooks.keep_lock(x)
    text = "invariant: a call returned a result without releasing the interpreter lock"
    assert _internal_error_type(e).args == (text,)
    assert text + "\n" in capfd.readouterr().err
    assert hooks.borrow_count() == 0
    # An error value may leave before the computation, with the lock never released.
    with pytest.raises(TypeError):
        hooks.keep_lock([1.0])


def test_library_error_is_value_error_with_display_text(hooks):
    with pytest.raises(ValueError) as e:
        hooks.library_error(np.ones((2, 3), dtype=np.float32))
    assert str(e.value) == "Shape mismatch: lhs [2, 3], rhs [3]"


def test_borrows_are_released_on_every_way_out(hooks):
    x = np.eye(3, dtype=np.float32)
    fortran = np.asfortranarray(np.ones((3, 3), dtype=np.float32))
    calls = [
        lambda: kavrel_python.add(x, [1.0]),            # type error after a was borrowed
        lambda: kavrel_python.add(x, fortran),          # contiguity error with two borrows
        lambda: kavrel_python.add(x, _misaligned((3, 3), np.float32)),
        lambda: kavrel_python.norm(np.eye(3), 5),       # ord refused after a was borrowed
        lambda: kavrel_python.add(x, x),                # whatever the body answers
        lambda: hooks.library_error(x),
        lambda: hooks.internal_error(x),
        lambda: hooks.bad_alloc(x),
    ]
    for n, call in enumerate(calls):
        try:
            call()
        except BaseException:  # noqa: BLE001 - every way out counts
            pass
        assert hooks.borrow_count() == 0, n


def test_writable_borrow_held_elsewhere_is_an_internal_error(hooks, capfd):
    x = np.eye(3, dtype=np.float32)
    y = np.eye(3, dtype=np.float32)
    held = hooks.hold_writable(x)
    assert hooks.borrow_count() == 1
    with pytest.raises(BaseException) as e:
        kavrel_python.add(x, y)
    assert "argument 'a' overlaps memory borrowed writable elsewhere" in str(_internal_error_type(e))
    with pytest.raises(BaseException) as e:
        kavrel_python.add(y, x)
    assert "argument 'b'" in str(_internal_error_type(e))
    # a's borrow of the second call was released on the way out.
    assert hooks.borrow_count() == 1
    assert "overlaps memory borrowed writable elsewhere" in capfd.readouterr().err
    del held
    assert hooks.borrow_count() == 0
    reach_body(kavrel_python.add, x, y)


def test_borrow_conflicts_follow_memory_overlap(hooks):
    base = np.zeros((4, 3), dtype=np.float32)
    held = hooks.hold_writable(base[:2])
    reach_body(kavrel_python.add, base[2:], base[2:])        # disjoint rows
    with pytest.raises(BaseException) as e:
        kavrel_python.add(base[1:3], base[2:])              # row 1 overlaps
    _internal_error_type(e)
    with pytest.raises(BaseException) as e:
        hooks.hold_writable(base)                           # writable over writable
    _internal_error_type(e)
    del held
    second = hooks.hold_writable(base)
    del second
    assert hooks.borrow_count() == 0


def test_arrays_reaching_past_the_address_space_conflict_with_any_writable_borrow(hooks):
    # Strides whose reach overflows (in one axis, in the sum of axes, or below address 0):
    # the array starts inside the held memory, so its borrow must be refused.
    base = np.zeros(16, dtype=np.float32)
    held = hooks.hold_writable(base)
    for shape, strides in [((3, 3), (2**62, 4)), ((2, 2), (2**62, 2**62)), ((2, 1), (-2**62, 4))]:
        wild = as_strided(base, shape=shape, strides=strides)
        with pytest.raises(BaseException) as e:
            kavrel_python.sum(wild)
        assert "overlaps memory borrowed writable elsewhere" in str(_internal_error_type(e)), shape
    del held
    assert hooks.borrow_count() == 0
    with pytest.raises(ValueError, match="^a must be C-contiguous$"):
        kavrel_python.sum(as_strided(base, shape=(3, 3), strides=(2**62, 4)))


def test_empty_arrays_conflict_with_nothing(hooks):
    base = np.zeros((4, 3), dtype=np.float32)
    held = hooks.hold_writable(base)
    reach_body(kavrel_python.add, base[:0], base[:0])
    del held


def test_the_computation_runs_without_the_lock(hooks):
    x = np.ones((2, 3), dtype=np.float32)

    def signal_while_waiting():
        # Can only succeed while wait_released has the lock released.
        deadline = time.monotonic() + 30
        while not hooks.signal() and time.monotonic() < deadline:
            pass

    other = threading.Thread(target=signal_while_waiting)
    other.start()
    seen = hooks.wait_released(x)
    other.join()
    assert seen, "hang: no other thread ran while the call computed"
    assert hooks.borrow_count() == 0


# --- Daemon threads at interpreter exit --------------------------------------------------

# CPython 3.12 and 3.13 end a thread that takes the lock back while the interpreter
# finalizes; a call computing in a daemon thread then must not abort the exiting process.
EXIT_WITH_COMPUTING_DAEMON = """
    import importlib.util, threading, numpy as np
    module_spec = importlib.util.spec_from_file_location('kavrel_python_hooks', {path!r})
    hooks = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(hooks)
    x = np.ones((2, 3), dtype=np.float32)
    threading.Thread(target=hooks.compute_through_exit, args=(x,), daemon=True).start()
    while not hooks.signal():
        pass
    print('exiting')
"""


def test_exit_while_a_daemon_thread_computes(hooks):
    for _ in range(3):
        assert run_python(EXIT_WITH_COMPUTING_DAEMON.format(path=hooks.__file__)) == "exiting\n"


def test_exit_while_daemon_threads_call_the_module():
    out = run_python("""
        import threading, numpy as np, kavrel_python
        x = np.ones((500, 500), dtype=np.float32)
        done = [0, 0]
        def work(k):
            while True:
                kavrel_python.sum(x)
                done[k] += 1
        for k in range(2):
            threading.Thread(target=work, args=(k,), daemon=True).start()
        while min(done) < 20:
            pass
        print('exiting')
    """)
    assert out == "exiting\n"


# --- Views NumPy calls C-contiguous whatever the strides of their extent-0 and extent-1 axes ---

# Small arguments every function accepts, with axes of extent 1 where they can have one.
_ODD_ARGS = {
    **{name: lambda: ([[1.5, -2.0, 3.0, 0.25]], [[2.0, 4.0, -8.0, 0.5]]) for name in ("add", "sub", "mul", "div")},
    "dot": lambda: ([3.0], [-2.0]),
    "sum": lambda: ([[1.0, 2.0, 4.0]],),
    "sum_dyn": lambda: ([[[1.0], [2.0], [4.0]]],),
    "matmul": lambda: ([[1.0, 2.0, 3.0]], [[1.0], [-1.0], [2.0]]),
    "batched_matmul": lambda: ([[[1.0, 2.0, 3.0]]], [[[1.0], [-1.0], [2.0]]]),
    "solve": lambda: ([[2.0]], [3.0]),
    "cholesky_solve": lambda: ([[4.0]], [2.0]),
    "kron": lambda: ([[1.0, -2.0]], [[3.0], [0.5]]),
    "norm": lambda: ([[3.0, -4.0]],),
    **{name: lambda: ([[1.0], [2.0], [-2.0]],) for name in ("qr", "col_piv_qr", "bidiagonalize", "svd",
                                                              "singular_values")},
}


def _odd_view(x, stride):
    """x copied, with every axis of extent 1 (or, for an empty array, every axis) given `stride`
    elements as its stride."""
    x = np.ascontiguousarray(x)
    strides = [stride * x.itemsize if (d == 1 or x.size == 0) else s for d, s in zip(x.shape, x.strides)]
    backing = np.zeros(max(x.size, 1) + 2, x.dtype)
    backing[1:1 + x.size] = x.ravel()
    v = as_strided(backing[1:], shape=x.shape, strides=strides)
    assert v.flags.c_contiguous and v.flags.aligned
    return v, backing


def _same(x, y):
    if isinstance(x, tuple):
        assert len(x) == len(y) and all(_same(a, b) for a, b in zip(x, y))
        return True
    np.testing.assert_array_equal(x, y)
    return True


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("stride", [-7, 1000, 0])
def test_extent_one_axes_take_any_element_stride(name, stride):
    _, _, kinds, _ = next(f for f in FUNCTIONS if f[0] == name)
    values = _ODD_ARGS.get(name, lambda: ([[2.0]],))()
    arrays = [np.array(v, dtype=dtype_of(k)) for v, k in zip(values, [k for k in kinds if k != TEXT])]
    function = getattr(kavrel_python, name)
    views = [_odd_view(a, stride) for a in arrays]
    _same(function(*[v for v, _ in views]), function(*arrays))


# Empty arrays with a negative stride on every axis, where the function takes them.
_EMPTY = [
    ("add", [(0, 4), (0, 4)]), ("sum", [(3, 0)]), ("sum_dyn", [(2, 0, 1)]), ("dot", [(0,), (0,)]),
    ("matmul", [(0, 3), (3, 2)]), ("matmul", [(2, 0), (0, 3)]), ("batched_matmul", [(2, 0, 1), (2, 1, 3)]),
    ("batched_matmul", [(2, 3, 0), (2, 0, 4)]), ("det", [(0, 0)]), ("inv", [(0, 0)]), ("solve", [(0, 0), (0,)]),
    ("cholesky", [(0, 0)]), ("cholesky_solve", [(0, 0), (0,)]), ("cholesky_inv", [(0, 0)]), ("qr", [(3, 0)]),
    ("col_piv_qr", [(0, 2)]), ("bidiagonalize", [(3, 0)]), ("symmetric_eigen", [(0, 0)]), ("norm", [(0, 3)]),
    ("schur", [(0, 0)]), ("bunch_kaufman", [(0, 0)]), ("matexp", [(0, 0)]), ("kron", [(0, 2), (3, 1)]),
    ("trace", [(0, 0)]), ("hessenberg", [(0, 0)]), ("eigenvalues", [(0, 0)]), ("full_piv_lu", [(0, 0)]),
    ("udu", [(0, 0)]),
]


@pytest.mark.parametrize("name,shapes", _EMPTY, ids=[f"{n}-{s}" for n, s in _EMPTY])
def test_empty_arrays_take_any_strides(name, shapes):
    _, _, kinds, _ = next(f for f in FUNCTIONS if f[0] == name)
    arrays = [np.ones(s, dtype=dtype_of(k)) for s, k in zip(shapes, [k for k in kinds if k != TEXT])]
    function = getattr(kavrel_python, name)
    views = [_odd_view(a, -5) for a in arrays]
    _same(function(*[v for v, _ in views]), function(*arrays))
