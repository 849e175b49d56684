"""The installed package's version, recorded in the files the toolkit writes."""

from __future__ import annotations

import importlib.metadata


def _package_version() -> str:
    try:
        return importlib.metadata.version("tarvex-core")
    except importlib.metadata.PackageNotFoundError:  # run from a source tree
        return "unknown"
