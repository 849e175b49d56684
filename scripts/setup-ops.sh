#!/usr/bin/env bash
# Installs Prometheus (with promtool) from Debian's packages, for the tests of
# the operations kit (tests/test_ops.py). Idempotent: nothing is done when
# both programs are already on PATH. Services are not started.
#
#   ./scripts/setup-ops.sh
#
# Exit status: 0 when prometheus and promtool are there; 3 when they cannot be
# installed here (not root, no apt-get, or Debian's packages unreachable),
# with the reason on stderr: the tests that need them then skip; 1 when the
# package index was reached but the installation failed (a real failure).
set -uo pipefail

if command -v prometheus >/dev/null && command -v promtool >/dev/null; then
    echo "setup-ops.sh: $(prometheus --version 2>&1 | head -n 1)"
    exit 0
fi
if [[ $(id -u) -ne 0 ]]; then
    echo "setup-ops.sh: Prometheus is not installed and installing it needs root (apt-get install prometheus)" >&2
    exit 3
fi
if ! command -v apt-get >/dev/null; then
    echo "setup-ops.sh: Prometheus is not installed and there is no apt-get to install it with" >&2
    exit 3
fi
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# apt-get update exits 0 even when no source could be reached: an index that
# does not offer the package tells, and so do download errors of the install.
unreachable='Failed to fetch|Temporary failure resolving|Could not connect|Could not resolve|Connection failed'
apt-get update -q >"$log" 2>&1
policy=$(apt-cache policy prometheus 2>/dev/null)
if ! grep -qE 'Candidate: [0-9]' <<<"$policy"; then
    echo "setup-ops.sh: Debian's packages could not be reached (no prometheus package in the index):" >&2
    tail -n 3 "$log" >&2
    exit 3
fi
# No recommended packages (the exporters). The package's service is not
# started where the machine's policy forbids it (containers); the tests start
# their own Prometheus on free loopback ports either way.
if ! apt-get install -y -q --no-install-recommends prometheus >"$log" 2>&1; then
    if grep -qE "$unreachable" "$log"; then
        echo "setup-ops.sh: Debian's packages could not be reached, Prometheus not installed:" >&2
        grep -E "$unreachable" "$log" | tail -n 3 >&2
        exit 3
    fi
    echo "setup-ops.sh: apt-get install prometheus failed:" >&2
    tail -n 20 "$log" >&2
    exit 1
fi
if ! command -v prometheus >/dev/null || ! command -v promtool >/dev/null; then
    echo "setup-ops.sh: the prometheus package was installed but prometheus or promtool is not on PATH" >&2
    exit 1
fi
echo "setup-ops.sh: installed $(prometheus --version 2>&1 | head -n 1)"
