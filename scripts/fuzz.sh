#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and the sanitizers and runs each for
# the given number of seconds (default 60) from its seed corpus. Each run's
# output goes to build/fuzz/<target>.log: a run that passes shows its last
# lines, one that fails shows its whole log but the progress lines, with the
# crash report and the reproducer (kept in build/fuzz/artifacts-<target>/).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
venv_cmake=$(ls -d .venv-3.*/bin 2>/dev/null | head -1 || true)
[ -n "$venv_cmake" ] && export PATH="$PWD/$venv_cmake:$PATH"
CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DARBOLITE_BUILD_MODULE=OFF -DARBOLITE_FUZZ=ON \
      -DARBOLITE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j2
status=0
# One target per source file, as CMakeLists.txt builds them; a binary left in
# build/fuzz by a source since removed is not run.
for source in fuzz/*.cpp; do
    name=$(basename "$source" .cpp)
    target="build/fuzz/$name"
    if [ ! -x "$target" ]; then
        echo "error: $source built no $target" >&2
        exit 1
    fi
    seeds="fuzz/seeds/${name#fuzz_}"
    time=$seconds
    unit_timeout=10
    # Long documents spelled short (fuzz/expand.hpp): slow runs, half the time.
    # One input may be a million elements of 4 MB, read a dozen ways under the
    # sanitizers and read again for leaks: up to 13 s here, so 10 s would fail
    # on inputs that are merely long. A hang still fails; inputs that once ran
    # in quadratic time are kept among the seeds.
    case "$name" in *_long) time=$(( (seconds + 1) / 2 )); unit_timeout=25 ;; esac
    work="build/fuzz/corpus-$name"
    artifacts="build/fuzz/artifacts-$name"
    log="build/fuzz/$name.log"
    mkdir -p "$work" "$artifacts"
    echo "== $name for ${time}s"
    rc=0
    "$target" -max_total_time="$time" -timeout="$unit_timeout" -rss_limit_mb=4096 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$work" $( [ -d "$seeds" ] && echo "$seeds" ) >"$log" 2>&1 || rc=$?
    if [ "$rc" -eq 0 ]; then
        tail -15 "$log"
    else
        status=1
        echo "!! $name failed with exit status $rc; its log ($log) without the progress lines:"
        grep -Ev '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse|INITED|RELOAD)[[:space:]]' "$log" || true
        echo "!! reproducers in $artifacts/:"
        ls -l "$artifacts"
    fi
done
exit $status
