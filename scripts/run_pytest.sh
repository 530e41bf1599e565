# Sourced by the scripts: runs the pytest suite in two parts. The tests that
# time themselves, count another thread's progress or measure the process's
# memory (marked `alone`, by file in tests/conftest.py or one by one) run one
# at a time; the rest is spread over the machine's cores with pytest-xdist,
# which about halves the suite's time.
# Extra arguments (a -k expression, files, test ids) run as one plain pytest
# call instead, as they always did.
#   arbolite_pytest <python> <checkout> [pytest arguments...]

arbolite_pytest() {
    local python=$1 root=$2
    shift 2
    local common=(-q -p no:cacheprovider --rootdir "$root")
    if [ $# -gt 0 ]; then
        "$python" -m pytest "${common[@]}" "$@"
        return
    fi
    echo "-- in parallel"
    "$python" -m pytest "${common[@]}" -n auto -m "not alone" "$root/tests"
    echo "-- one at a time: the tests marked alone"
    "$python" -m pytest "${common[@]}" -m alone "$root/tests"
}
