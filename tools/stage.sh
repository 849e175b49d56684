#!/usr/bin/env bash
# Builds the extension modules into build/<name> and installs the package,
# without its dependencies, into build/<name>-site for quick local test runs:
#   tools/stage.sh dev && PYTHONPATH=build/dev-site .venv/bin/pytest -q
set -euo pipefail
name=${1:-dev}
cd "$(dirname "$0")/.."
rm -rf "build/$name-site"
.venv/bin/pip install -q --no-deps --no-build-isolation --target "build/$name-site" \
    -Cbuild-dir="build/$name" .
# Lets PYTHONPATH win over the editable install's import hook (see the file).
cp tools/staged_sitecustomize.py "build/$name-site/sitecustomize.py"
