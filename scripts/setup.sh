#!/usr/bin/env bash
# One-time (and idempotent) set-up on a fresh machine: a virtual environment in
# .venv, the CPU build of PyTorch first (so nothing pulls a CUDA build), then
# this package built from source with its test, demo and dask extras.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/pip install -q torch==2.13.0
.venv/bin/pip install -q "scikit-build-core>=0.10" "pybind11>=2.12" cmake ninja
.venv/bin/pip install -q --no-build-isolation ".[test,demo,dask]"
