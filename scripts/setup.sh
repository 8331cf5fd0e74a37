# Sourced by scripts/test and scripts/demo: brings a fresh machine to a working state.
# Sets PY to the virtual environment's interpreter.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV=${KAVREL_VENV:-$ROOT/.venv}

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
command -v qemu-x86_64 >/dev/null 2>&1 || need_apt+=(qemu-user)
command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
command -v nm >/dev/null 2>&1 || need_apt+=(binutils)
command -v ccache >/dev/null 2>&1 || need_apt+=(ccache)
if [ ${#need_apt[@]} -gt 0 ]; then
  echo "== installing Debian packages: ${need_apt[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

usable_python() {  # runs, and is 3.12 or later (a pyenv shim may exist and still fail)
  "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1
}

find_python() {
  local c candidates=()
  [ -n "${KAVREL_PYTHON:-}" ] && candidates+=("$KAVREL_PYTHON")
  candidates+=(python3.12 python3.13)
  if command -v pyenv >/dev/null 2>&1; then
    local root; root=$(pyenv root)
    candidates+=("$root"/versions/3.12*/bin/python3.12 "$root"/versions/3.13*/bin/python3.13)
  fi
  candidates+=(python3)
  for c in "${candidates[@]}"; do
    if command -v "$c" >/dev/null 2>&1 && usable_python "$c"; then
      command -v "$c"
      return
    fi
  done
  echo "no Python 3.12 or later found" >&2
  return 1
}

if [ ! -x "$VENV/bin/python" ]; then
  base=$(find_python)
  echo "== creating virtual environment from $base"
  "$base" -m venv "$VENV"
fi
PY=$VENV/bin/python
if ! "$PY" -c 'import numpy, scipy, pytest, scikit_build_core, ninja, cmake' 2>/dev/null; then
  echo "== installing Python packages"
  # This machine's pip configuration names an extra index folder that may be missing; its warnings are noise.
  "$PY" -m pip install -q --disable-pip-version-check "numpy>=2" scipy pytest scikit-build-core ninja cmake 2>&1 |
    { grep -v "is ignored: it is neither a file nor a directory" || true; }
fi
export PATH=$VENV/bin:$PATH

python_version() {  # "3.13" for an interpreter
  "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'
}

# The newest installed Python (on PATH or under pyenv) newer than the virtual environment's,
# or nothing: the package supports every version from 3.12 on.
newest_python() {
  local c best="" best_minor minor candidates=()
  best_minor=$("$PY" -c 'import sys; print(sys.version_info[1])')
  for minor in $(seq $((best_minor + 1)) 20); do candidates+=("python3.$minor"); done
  if command -v pyenv >/dev/null 2>&1; then
    local root; root=$(pyenv root)
    candidates+=("$root"/versions/3.*/bin/python3.*[0-9])
  fi
  for c in "${candidates[@]}"; do
    command -v "$c" >/dev/null 2>&1 && usable_python "$c" || continue
    minor=$("$c" -c 'import sys; print(sys.version_info[1])' 2>/dev/null) || continue
    if [ "$minor" -gt "$best_minor" ]; then best=$(command -v "$c"); best_minor=$minor; fi
  done
  echo "$best"
}

# A virtual environment of interpreter $1 at $2 holding what the Python tests import.
ensure_test_venv() {
  if [ ! -x "$2/bin/python" ]; then
    echo "== creating virtual environment from $1"
    "$1" -m venv "$2"
  fi
  if ! "$2/bin/python" -c 'import numpy, scipy, pytest' 2>/dev/null; then
    echo "== installing Python packages for $(python_version "$1")"
    "$2/bin/python" -m pip install -q --disable-pip-version-check "numpy>=2" scipy pytest 2>&1 |
      { grep -v "is ignored: it is neither a file nor a directory" || true; }
  fi
}
