# Sourced by the scripts: runs the pytest suite in two parts. The files whose
# tests time themselves, count another thread's progress or measure the
# process's memory run alone, one test at a time; the rest is spread over the
# machine's cores with pytest-xdist, which about halves the suite's time.
# Extra arguments (a -k expression, files, test ids) run as one plain pytest
# call instead, as they always did.
#   arbolite_pytest <python> <checkout> [pytest arguments...]
ARBOLITE_ALONE=(test_hostile.py test_threads.py test_stream.py test_interpreters.py test_release.py test_memory_limit.py)

arbolite_pytest() {
    local python=$1 root=$2
    shift 2
    local common=(-q -p no:cacheprovider --rootdir "$root")
    if [ $# -gt 0 ]; then
        "$python" -m pytest "${common[@]}" "$@"
        return
    fi
    local alone=() ignore=() f
    for f in "${ARBOLITE_ALONE[@]}"; do
        alone+=("$root/tests/$f")
        ignore+=(--ignore "$root/tests/$f")
    done
    echo "-- in parallel"
    "$python" -m pytest "${common[@]}" -n auto "${ignore[@]}" "$root/tests"
    echo "-- one at a time: ${ARBOLITE_ALONE[*]}"
    "$python" -m pytest "${common[@]}" "${alone[@]}"
}
