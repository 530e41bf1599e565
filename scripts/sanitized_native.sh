#!/usr/bin/env bash
# The native tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
#   scripts/sanitized_native.sh              # builds them in build/native-asan, runs them
#   scripts/sanitized_native.sh --built DIR  # runs those of a sanitized build folder already built
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = --built ]; then
    out=${2:?"usage: scripts/sanitized_native.sh --built BUILD_DIR"}
else
    source scripts/find_python.sh
    arbolite_find_python
    venv_cmake=$(ls -d .venv-3.*/bin 2>/dev/null | head -1 || true)
    [ -n "$venv_cmake" ] && export PATH="$PWD/$venv_cmake:$PATH"
    out=build/native-asan
    cmake -S . -B "$out" -G Ninja -DARBOLITE_BUILD_MODULE=OFF -DARBOLITE_BUILD_NATIVE_TESTS=ON \
          -DARBOLITE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$out" -j2
fi
echo "== native tests ($(date +%T))"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --no-tests=error --test-dir "$out" --output-on-failure -j2
