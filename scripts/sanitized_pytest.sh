#!/usr/bin/env bash
# The pytest suite against the module built with AddressSanitizer,
# LeakSanitizer and UndefinedBehaviorSanitizer.
#   ARBOLITE_PYTHON=3.13 scripts/sanitized_pytest.sh   # choose the interpreter
#   scripts/sanitized_pytest.sh -k search              # extra arguments go to pytest
#   scripts/sanitized_pytest.sh tests/test_node.py     # files or test ids: only those
#   ARBOLITE_NATIVE_TESTS=1 scripts/sanitized_pytest.sh  # the native tests first, from the same build
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/find_python.sh
source scripts/run_pytest.sh
arbolite_venv
"$py" -m pip install -q cmake ninja pytest pytest-xdist hypothesis lxml xmltodict matplotlib
export PATH="$PWD/$venv/bin:$PATH"

# Built directly (not through pip) so the sanitizer flags reach every object file.
# One folder per interpreter: a build folder keeps the Python it was configured with.
# With the native tests, one folder serves both, so the core is compiled once.
out=build/asan-module-$version
native=OFF
[ "${ARBOLITE_NATIVE_TESTS:-0}" = 1 ] && native=ON
cmake -S . -B "$out" -G Ninja -DARBOLITE_SANITIZE=ON -DARBOLITE_BUILD_NATIVE_TESTS=$native \
      -DPython_EXECUTABLE="$py" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if [ $native = ON ]; then
    cmake --build "$out" -j2
    scripts/sanitized_native.sh --built "$out"
else
    cmake --build "$out" --target arbolite -j2
fi
module="$PWD/$out/arbolite/__init__$("$py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"
if [ ! -f "$module" ]; then
    echo "error: the sanitized build did not produce $module" >&2
    exit 1
fi
# grep reads all of nm's output: with -q it would stop at the first match and
# nm's broken pipe would fail the pipeline.
if ! nm -D --undefined-only "$module" | grep -c '__asan_init\|__asan_report' >/dev/null; then
    echo "error: $module is not instrumented by AddressSanitizer" >&2
    exit 1
fi

# The interpreter itself is not instrumented, so the runtimes must be loaded first;
# PYTHONMALLOC=malloc sends every Python allocation through ASan's allocator.
# The environment is inherited by the tests' subprocesses.
asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
export LD_PRELOAD="$asan:$ubsan"
export PYTHONMALLOC=malloc
# The virtual environment holds the ordinary build too, and PYTHONPATH's order
# alone puts this one first: every interpreter of the run, the tests' children
# included, checks what it imports (scripts/sanitized_site/sitecustomize.py),
# and the conftest refuses a session where that check is not in force.
export PYTHONPATH="$PWD/$out:$PWD/scripts/sanitized_site"
export ARBOLITE_EXPECT_MODULE="$module"
# allocator_may_return_null: an impossible allocation must reach the module as
# a failed allocation (MemoryError), as it does without the sanitizer.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:allocator_may_return_null=1:strict_init_order=1:detect_stack_use_after_return=0"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export ARBOLITE_SANITIZED=1

got=$("$py" -c 'import os, arbolite; print(os.path.realpath(arbolite.__file__))')
if [ "$got" != "$(realpath "$module")" ]; then
    echo "error: arbolite is imported from $got, not from the sanitized build $module" >&2
    exit 1
fi

echo "== pytest on the sanitized module $module ($(date +%T))"
# A sanitizer report aborts the process that found it: a child fails its test,
# the main process fails the run.
# With no arguments, the suite in its parallel and one-at-a-time parts; with
# a file or test id, only those; with other arguments, the whole suite.
targets=(tests)
for a in "$@"; do
    [ -e "${a%%::*}" ] && targets=()
done
if [ $# -eq 0 ]; then
    arbolite_pytest "$py" "$PWD"
else
    "$py" -m pytest -q -p no:cacheprovider "${targets[@]}" "$@"
fi
