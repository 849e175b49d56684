# Finding a Python interpreter by name, shared by scripts/setup.sh and .ci/run
# (source it; it defines functions only).
#
# find_python NAME prints the path of a working interpreter for NAME
# ("python3", "python3.12", or a path) and returns 0, or prints nothing and
# returns 1. A name on PATH counts only if it runs: pyenv's shims are on PATH
# for every version pyenv knows and fail for those not selected. When the
# name is pythonX.Y and does not run, the newest pyenv installation of X.Y
# ($(pyenv root)/versions/X.Y.*/bin/pythonX.Y) is used.

runs() {
    "$1" -c 'import sys' >/dev/null 2>&1
}

pyenv_root() {
    if command -v pyenv >/dev/null 2>&1; then
        pyenv root 2>/dev/null && return
    fi
    echo "${PYENV_ROOT:-$HOME/.pyenv}"
}

find_python() {
    local name=$1 found
    if [[ $name == */* ]]; then
        runs "$name" && { echo "$name"; return 0; }
        return 1
    fi
    found=$(command -v "$name" 2>/dev/null) && runs "$found" && { echo "$found"; return 0; }
    if [[ $name =~ ^python([0-9]+\.[0-9]+)$ ]]; then
        local version=${BASH_REMATCH[1]} candidate
        # Newest patch release first (sort -V orders 3.12.10 after 3.12.9).
        while IFS= read -r candidate; do
            runs "$candidate" && { echo "$candidate"; return 0; }
        done < <(ls -d "$(pyenv_root)"/versions/"$version".*/bin/"$name" 2>/dev/null | sort -rV)
    fi
    return 1
}

# missing_python_help NAME: what to do when find_python NAME failed.
missing_python_help() {
    local name=$1
    if [[ $name == */* ]]; then
        echo "no working interpreter at '$name'; set PYTHON to the path of a CPython 3.11 or newer."
        return
    fi
    echo "no working interpreter '$name': not on PATH (or only as a pyenv shim for a version that is not selected)"
    if [[ $name =~ ^python([0-9]+\.[0-9]+)$ ]]; then
        echo "and none under $(pyenv_root)/versions/${BASH_REMATCH[1]}.*/bin/."
        echo "Install CPython ${BASH_REMATCH[1]} (for instance 'pyenv install ${BASH_REMATCH[1]}'), or set PYTHON to its path."
    else
        echo "Set PYTHON to the path of a CPython 3.11 or newer."
    fi
}
