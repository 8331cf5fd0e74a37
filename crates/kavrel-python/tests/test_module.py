"""The module as imported: its surface, what importing does and does not do, and the
refusal of a second interpreter."""

import inspect
import shutil
import subprocess
import sys

import pytest

import kavrel_python
from conftest import FUNCTIONS, NAMES, run_python


def test_all_lists_the_functions_in_registration_order():
    assert kavrel_python.__all__ == NAMES
    assert len(NAMES) == 31


def test_module_holds_only_the_functions():
    public = sorted(n for n in vars(kavrel_python) if not n.startswith("__"))
    assert public == sorted(NAMES)
    assert kavrel_python.__doc__ == ""


@pytest.mark.parametrize("name,params,kinds,doc", FUNCTIONS, ids=NAMES)
def test_function_signature_and_docstring(name, params, kinds, doc):
    f = getattr(kavrel_python, name)
    assert type(f).__name__ == "builtin_function_or_method"
    assert f.__name__ == name
    assert f.__module__ == "kavrel_python"
    assert f.__self__ is kavrel_python
    shown = ", ".join("ord=None" if p == "ord" else p for p in params)
    assert f.__text_signature__ == f"({shown})"
    sig = inspect.signature(f)
    assert list(sig.parameters) == params
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is (None if p.name == "ord" else inspect.Parameter.empty)
    assert f.__doc__ == doc


def test_import_starts_no_thread_imports_no_numpy_and_numpy_loads_on_first_call():
    out = run_python("""
        import os, sys
        before = sorted(os.listdir('/proc/self/task'))
        import kavrel_python
        after = sorted(os.listdir('/proc/self/task'))
        print(before == after, 'numpy' in sys.modules)
        try:
            kavrel_python.sum([1.0])
        except TypeError:
            pass
        print('numpy' in sys.modules)
    """)
    assert out.split() == ["True", "False", "True"]


GETENV_SPY = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <string.h>
static int armed, calls;
static char names[4096];
void spy_arm(int on) { armed = on; }
int spy_calls(void) { return calls; }
const char* spy_names(void) { return names; }
static void note(const char* name) {
    if (!armed) return;
    ++calls;
    strncat(names, name, sizeof names - strlen(names) - 2);
    strcat(names, " ");
}
char* getenv(const char* name) {
    static char* (*real)(const char*);
    if (!real) real = (char* (*)(const char*))dlsym(RTLD_NEXT, "getenv");
    note(name);
    return real(name);
}
char* secure_getenv(const char* name) {
    static char* (*real)(const char*);
    if (!real) real = (char* (*)(const char*))dlsym(RTLD_NEXT, "secure_getenv");
    note(name);
    return real(name);
}
"""


def test_import_reads_no_environment_variable(tmp_path):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler for the getenv spy")
    source = tmp_path / "spy.c"
    source.write_text(GETENV_SPY)
    spy = tmp_path / "spy.so"
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(spy), str(source), "-ldl"], check=True)
    import os
    # After any library already preloaded (a sanitizer runtime must stay first).
    env = dict(os.environ, LD_PRELOAD=" ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(spy)])))
    out = run_python("""
        import ctypes
        spy = ctypes.CDLL(None)
        spy.spy_names.restype = ctypes.c_char_p
        spy.spy_arm(1)
        import kavrel_python
        spy.spy_arm(0)
        print(spy.spy_calls(), spy.spy_names().decode())
        spy.spy_arm(1)
        import os
        os.getenv('PATH')
        len(os.environ)
        ctypes.CDLL(None).getenv(b'HOME')
        spy.spy_arm(0)
        print(spy.spy_calls())
    """, env=env)
    import_line, probe_line = out.splitlines()
    assert import_line.strip() == "0"
    # The spy itself sees a C-level read.
    assert int(probe_line) >= 1


def test_repeated_init_returns_the_same_module():
    out = run_python("""
        import importlib, sys
        import kavrel_python as first
        del sys.modules['kavrel_python']
        second = importlib.import_module('kavrel_python')
        print(first is second, second.__all__ == first.__all__, len(second.__all__))
    """)
    assert out.split() == ["True", "True", "31"]


REFUSED = "ImportError: kavrel_python does not support subinterpreters"

SUBINTERPRETER_CODE = """
import os
try:
    import kavrel_python
    message = 'imported'
except ImportError as e:
    message = type(e).__name__ + ': ' + str(e)
os.write({fd}, message.encode())
"""


def test_second_interpreter_is_refused_through_testcapi():
    pytest.importorskip("_testcapi")
    out = run_python(f"""
        import os, _testcapi, kavrel_python
        r, w = os.pipe()
        _testcapi.run_in_subinterp({SUBINTERPRETER_CODE!r}.format(fd=w))
        os.close(w)
        print(os.read(r, 4096).decode())
        print(kavrel_python.__all__[0])
    """)
    assert out.splitlines() == [REFUSED, "add"]


# How each private subinterpreter module makes a legacy interpreter (shared GIL, single-phase
# init allowed): 3.12 takes a flag, 3.13 and later a named configuration.
LEGACY_INTERPRETER = {
    "_xxsubinterpreters": "interpreters.create(isolated=False)",
    "_interpreters": "interpreters.create('legacy')",
}


def test_second_interpreter_is_refused_through_subinterpreters():
    names = [n for n in LEGACY_INTERPRETER if _importable(n)]
    if not names:
        pytest.skip("no subinterpreter module")
    out = run_python(f"""
        import os, {names[0]} as interpreters, kavrel_python
        r, w = os.pipe()
        interp = {LEGACY_INTERPRETER[names[0]]}
        interpreters.run_string(interp, {SUBINTERPRETER_CODE!r}.format(fd=w))
        interpreters.destroy(interp)
        os.close(w)
        print(os.read(r, 4096).decode())
    """)
    assert out.strip() == REFUSED


def _importable(name):
    try:
        __import__(name)
        return True
    except ImportError:
        return False


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", kavrel_python.__file__], capture_output=True, text=True,
                             check=True).stdout
    symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert symbols == ["PyInit_kavrel_python"]


def test_numpy_that_cannot_be_loaded_is_an_internal_error_and_is_retried():
    out = run_python("""
        import sys
        sys.modules['numpy'] = None          # makes `import numpy` fail
        import kavrel_python
        try:
            kavrel_python.sum([1.0])
        except BaseException as e:
            print(type(e).__name__, isinstance(e, Exception),
                  str(e).startswith('Failed to access NumPy array API capsule: '))
        del sys.modules['numpy']
        import numpy as np
        try:
            kavrel_python.sum(np.ones((2, 2), dtype=np.float64))
        except TypeError as e:
            print(e)
    """)
    assert out.splitlines() == [
        "InternalError False True",
        "argument 'a': 'ndarray' object cannot be converted to 'ndarray(float32, ndim=2)'",
    ]
