#!/usr/bin/env bash
# One-time (and idempotent) set-up on a fresh machine: a virtual environment,
# the CPU build of PyTorch first (so nothing pulls a CUDA build where a CPU
# wheel is at hand), then this package built from source, in place, with its
# test, demo, dask, serve and docs extras (the docs extra builds the
# documentation site, which the test suite checks).
#
#   ./scripts/setup.sh                                   # python3 into .venv
#   PYTHON=python3.12 VENV=.venv-3.12 ./scripts/setup.sh
#
# PYTHON is an interpreter name or path (default python3); pythonX.Y is also
# looked up under pyenv's versions when it is not on PATH. VENV is the
# environment folder (default .venv); an existing one must have been made by
# the same Python version.
#
# The package is installed in editable mode with the compiled modules built
# into the source tree (tarvex/core/*.so, one per interpreter ABI, ignored by
# git), so `python -c "import tarvex.core.resmon"` works from the repository
# root as well as anywhere else. After changing C++ sources, run this again: it
# rebuilds incrementally. Exit status 3 means the interpreter was not found.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/interpreter.sh

PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv}

if ! python=$(find_python "$PYTHON"); then
    missing_python_help "$PYTHON" | sed 's/^/setup.sh: /' >&2
    exit 3
fi
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
if ! "$python" -c 'import sys; sys.exit(sys.version_info < (3, 11))'; then
    echo "setup.sh: $python is Python $version; tarvex-core needs 3.11 or newer" >&2
    exit 2
fi
if [[ -x "$VENV/bin/python" ]]; then
    existing=$("$VENV/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || echo "unusable")
    if [[ $existing != "$version" ]]; then
        echo "setup.sh: $VENV holds Python $existing, not $version ($python); remove it or choose another VENV" >&2
        exit 2
    fi
fi
echo "setup.sh: Python $version ($python) into $VENV"

"$python" -m venv "$VENV"
# The in-place build has one CMake build tree, the repository root, for every
# interpreter; when it was configured for another environment, start it afresh
# rather than reuse cached paths (pybind11, Python) from that one.
venv_python="$(cd "$VENV" && pwd)/bin/python"
if [[ -f CMakeCache.txt ]] && ! grep -qxF "Python_EXECUTABLE:PATH=$venv_python" CMakeCache.txt; then
    echo "setup.sh: the in-place build was configured for another environment; configuring afresh"
    rm -rf CMakeCache.txt CMakeFiles
fi
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/pip" install -q torch==2.13.0
"$VENV/bin/pip" install -q "scikit-build-core>=0.11" "pybind11>=2.12" cmake ninja
"$VENV/bin/pip" install -q --no-build-isolation --editable ".[test,demo,dask,serve,docs]"
# Prometheus for the operations kit's tests, from Debian's packages where this
# runs as root and reaches them; elsewhere (status 3) those tests skip and say why.
./scripts/setup-ops.sh || [[ $? -eq 3 ]]
