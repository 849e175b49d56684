"""Copied as sitecustomize.py into a staged package folder (tools/stage.sh,
scripts/sanitize.sh), so that `PYTHONPATH=<that folder>` really imports the
staged build.

The set-up installs tarvex-core in editable mode, whose import hook resolves
`tarvex` to the source tree before sys.path is searched; left in place, a run
meant for a staged (say, sanitizer-instrumented) build would silently test the
source tree's modules. Python imports sitecustomize after the environment's
.pth files have installed that hook, so dropping it here lets sys.path order
decide, and PYTHONPATH comes first. Test subprocesses inherit PYTHONPATH and
so get the same treatment."""

import sys

sys.meta_path[:] = [finder for finder in sys.meta_path if type(finder).__name__ != "ScikitBuildInplaceFinder"]
