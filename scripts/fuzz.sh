#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and the sanitizers and runs each for
# the given number of seconds (default 60) from its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
venv_cmake=$(ls -d .venv-3.*/bin 2>/dev/null | head -1 || true)
[ -n "$venv_cmake" ] && export PATH="$PWD/$venv_cmake:$PATH"
CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DARBOLITE_BUILD_MODULE=OFF -DARBOLITE_FUZZ=ON \
      -DARBOLITE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j2
status=0
for target in build/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    seeds="fuzz/seeds/${name#fuzz_}"
    work="build/fuzz/corpus-$name"
    mkdir -p "$work"
    echo "== $name for ${seconds}s"
    if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
            "$work" $( [ -d "$seeds" ] && echo "$seeds" ) 2>&1 | tail -15; then
        status=1
    fi
done
exit $status
