# Sourced by the scripts: sets PYTHON to a CPython 3.12 or later.
# ARBOLITE_PYTHON may name a version ("3.13") or an interpreter (a command or path).
arbolite_is_recent() {
    "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) and sys.implementation.name == "cpython" else 1)' \
        >/dev/null 2>&1
}

# Real binaries first: pyenv's shims refuse versions that are not selected.
arbolite_candidates_for() {
    # No such folder is no error, also under set -e -o pipefail.
    ls -d "$HOME"/.pyenv/versions/"$1".*/bin/python3 "$HOME"/.pyenv/versions/"$1"/bin/python3 2>/dev/null | sort -V | tail -1 || true
    echo "python$1"
}

arbolite_find_python() {
    local want="${ARBOLITE_PYTHON:-}" c v
    local candidates=()
    case "$want" in
        "") for v in 3.14 3.13 3.12; do
                while read -r c; do candidates+=("$c"); done < <(arbolite_candidates_for "$v")
            done
            candidates+=(python3) ;;
        3.*) while read -r c; do candidates+=("$c"); done < <(arbolite_candidates_for "$want") ;;
        *) candidates+=("$want") ;;
    esac
    for c in "${candidates[@]}"; do
        if command -v "$c" >/dev/null 2>&1 && arbolite_is_recent "$c"; then
            PYTHON=$(command -v "$c")
            return 0
        fi
    done
    echo "error: no CPython 3.12 or later found${want:+ for ARBOLITE_PYTHON=$want};" \
         "install one (pyenv keeps them in ~/.pyenv/versions) or set ARBOLITE_PYTHON to an interpreter" >&2
    return 1
}

# Finds the interpreter and makes (or reuses) its virtual environment:
# sets PYTHON, version, venv (relative) and py (absolute path of its python).
arbolite_venv() {
    arbolite_find_python || return 1
    version=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    echo "== using $PYTHON (Python $version)"
    venv=".venv-$version"
    [ -x "$venv/bin/python" ] || "$PYTHON" -m venv "$venv"
    py="$PWD/$venv/bin/python"
}
