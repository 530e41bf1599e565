#!/usr/bin/env bash
# Runs every test from a fresh clone: finds a CPython 3.12+, makes a virtual
# environment, installs the project with its test dependencies, builds and runs
# the native (GoogleTest) tests, then runs pytest.
#   ARBOLITE_PYTHON=3.13 scripts/test.sh     # choose the interpreter
#   scripts/test.sh -k search                # extra arguments go to pytest
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/find_python.sh
arbolite_venv
"$py" -m pip install -q --upgrade pip
"$py" -m pip install -q cmake ninja
"$py" -m pip install -q ".[test]"

# GoogleTest comes from Debian; install it when it is missing and we may.
if [ ! -f /usr/include/gtest/gtest.h ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
    else
        echo "error: GoogleTest headers missing; install Debian's libgtest-dev" >&2
        exit 1
    fi
fi

echo "== native tests"
export PATH="$PWD/$venv/bin:$PATH"
cmake -S . -B build/native -G Ninja -DARBOLITE_BUILD_MODULE=OFF -DARBOLITE_BUILD_NATIVE_TESTS=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j2
ctest --no-tests=error --test-dir build/native --output-on-failure -j2

echo "== pytest"
# Run from the tests folder so the installed module, not the source tree, is imported.
"$py" -m pytest -q -p no:cacheprovider tests "$@"
