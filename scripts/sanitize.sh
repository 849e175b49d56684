#!/usr/bin/env bash
# Builds both extension modules with AddressSanitizer and UndefinedBehavior-
# Sanitizer and runs the whole test suite against that build:
#
#   scripts/sanitize.sh                 # build, then .venv/bin/pytest -q tests
#   scripts/sanitize.sh -k integrity    # extra arguments go to pytest
#   SANITIZE_SKIP_BUILD=1 scripts/sanitize.sh ...   # reuse the last build
#
# The build lives in build/asan (CMake) and build/asan-site (the installed
# package), apart from the normal build. Only our modules are instrumented;
# the interpreter, NumPy and PyTorch are not, though ASan still checks the
# libc calls (memcpy and the like) and heap blocks of every library.
#
# Runtime settings, and why:
# - LD_PRELOAD of libasan, then libstdc++: the interpreter is not linked
#   against ASan, so its runtime must come first to intercept malloc/free for
#   the whole process. ASan also intercepts __cxa_throw and looks up the real
#   one when it starts; the interpreter does not load libstdc++ by itself, so
#   without preloading it the lookup fails and the first C++ exception thrown
#   by any extension (ours, PyTorch's, matplotlib's) stops the process with
#   "CHECK failed ... real___cxa_throw". libubsan comes in as a dependency of
#   the instrumented modules.
# - PYTHONMALLOC=malloc: the interpreter's small-object allocator would hide
#   use-after-free and overflows of Python objects inside its own arenas.
# - detect_leaks=0: the interpreter, NumPy and PyTorch keep allocations alive
#   until exit on purpose; reference leaks of our code are caught by the leak
#   loops of the test suite instead.
# - allocator_may_return_null=1: fuzzed and damaged inputs can ask for absurd
#   sizes; a failed allocation must become MemoryError as it does without
#   ASan, not a fatal "allocation-size-too-big" report.
# - halt_on_error/abort_on_error for ASan, -fno-sanitize-recover=undefined and
#   halt_on_error for UBSan: the first report stops the process.
# - Where reports go: ASan writes them to build/asan-logs/asan.<pid>, for test
#   subprocesses too. UBSan, when it runs next to ASan, ignores log_path and
#   writes to the process's stderr; pytest therefore runs with --capture=sys
#   (its fd-level capture would swallow the report of a process that dies),
#   its output is kept in build/asan-logs/pytest.log, and the run fails if
#   that log holds any sanitizer report. A test subprocess that hits a UBSan
#   report exits with status 1, which fails the test that started it.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build/asan
site_dir=build/asan-site
log_dir=build/asan-logs

if [[ -z "${SANITIZE_SKIP_BUILD:-}" ]]; then
    rm -rf "$site_dir"
    .venv/bin/pip install -q --no-deps --no-build-isolation --target "$site_dir" \
        -Cbuild-dir="$build_dir" \
        -Ccmake.build-type=RelWithDebInfo \
        -Ccmake.define.TARVEX_SANITIZE=ON .
    # Lets PYTHONPATH win over the editable install's import hook, so the
    # instrumented build is the one tested (see the file).
    cp tools/staged_sitecustomize.py "$site_dir/sitecustomize.py"
fi

libasan=$(g++ -print-file-name=libasan.so)
if [[ ! -e "$libasan" ]]; then
    echo "sanitize.sh: no ASan runtime found (g++ -print-file-name=libasan.so gave '$libasan')" >&2
    exit 2
fi
for module in "$site_dir"/tarvex/core/*.so; do
    if ! nm -D "$module" | grep __asan_init >/dev/null; then
        echo "sanitize.sh: $module is not instrumented" >&2
        exit 2
    fi
done

# The tests must import the instrumented build, not the editable install in
# the source tree (found without loading it: it needs the ASan runtime).
root=$PWD
imported=$(cd / && PYTHONPATH="$root/$site_dir" "$root/.venv/bin/python" -c \
    'import importlib.util; print(importlib.util.find_spec("tarvex.core.resmon").origin)')
if [[ $imported != "$root/$site_dir/"* ]]; then
    echo "sanitize.sh: the tests would import $imported, not the build in $site_dir" >&2
    exit 2
fi

rm -rf "$log_dir"
mkdir -p "$log_dir"
log_prefix="$PWD/$log_dir"

libstdcxx=$(g++ -print-file-name=libstdc++.so)

start=$(date +%s)
status=0
env \
    LD_PRELOAD="$libasan $libstdcxx" \
    PYTHONMALLOC=malloc \
    PYTHONPATH="$site_dir" \
    ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:abort_on_error=1:log_path=$log_prefix/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    .venv/bin/pytest -q -p no:cacheprovider --capture=sys tests "$@" 2>&1 | tee "$log_dir/pytest.log" \
    || status=${PIPESTATUS[0]}
echo "sanitize.sh: pytest finished with status $status in $(( $(date +%s) - start )) s"

shopt -s nullglob
reports=("$log_dir"/asan.*)
report_pattern='runtime error:|ERROR: AddressSanitizer|AddressSanitizer: CHECK failed|SUMMARY: (Address|UndefinedBehavior)Sanitizer'
if (( ${#reports[@]} > 0 )) || grep -qE "$report_pattern" "$log_dir/pytest.log"; then
    echo "sanitize.sh: sanitizer reports found:" >&2
    grep -E -A40 "$report_pattern" "$log_dir/pytest.log" >&2 || true
    for report in "${reports[@]}"; do
        echo "==== $report" >&2
        cat "$report" >&2
    done
    exit 1
fi
echo "sanitize.sh: no sanitizer reports"
exit "$status"
