#!/usr/bin/env bash
# The native tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/find_python.sh
arbolite_find_python
venv_cmake=$(ls -d .venv-3.*/bin 2>/dev/null | head -1 || true)
[ -n "$venv_cmake" ] && export PATH="$PWD/$venv_cmake:$PATH"
cmake -S . -B build/native-asan -G Ninja -DARBOLITE_BUILD_MODULE=OFF -DARBOLITE_BUILD_NATIVE_TESTS=ON \
      -DARBOLITE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native-asan -j2
echo "== native tests ($(date +%T))"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --no-tests=error --test-dir build/native-asan --output-on-failure -j2
