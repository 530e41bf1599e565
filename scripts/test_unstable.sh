#!/usr/bin/env bash
# Runs scripts/test.sh on the interpreters of Debian's unstable suite (3.14 and
# 3.15 today), which this machine's own Debian lacks, inside a chroot: a root
# made once with debootstrap and kept in a cache folder outside the clone, so
# a later run on the same machine reuses it. The clone is bind-mounted at the
# same path inside, so its build folders and venvs are per version as usual.
#   scripts/test_unstable.sh                    # 3.14, then 3.15
#   scripts/test_unstable.sh 3.15               # one of them
#   scripts/test_unstable.sh 3.14 -- -k search  # after --: arguments for pytest
# ARBOLITE_NATIVE_TESTS=0 is passed on to scripts/test.sh.
# ARBOLITE_CHROOT names the root's folder (default ~/.cache/arbolite/sid-root).
# Needs root (debootstrap, mount, chroot) and Debian's archive.
set -euo pipefail
cd "$(dirname "$0")/.."
clone=$PWD

versions=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do versions+=("$1"); shift; done
[ "${1:-}" = "--" ] && shift
known=(3.14 3.15)
[ ${#versions[@]} -gt 0 ] || versions=("${known[@]}")

if [ "$(id -u)" != 0 ]; then
    echo "error: $0 needs root (debootstrap, mount and chroot)" >&2
    exit 1
fi

target=${ARBOLITE_CHROOT:-${HOME:-/root}/.cache/arbolite/sid-root}
mirror=${ARBOLITE_DEBIAN_MIRROR:-http://deb.debian.org/debian}
packages="ca-certificates,g++,cmake,ninja-build,git,libgtest-dev,procps"
# Every known version goes into the root, whichever is asked for now, so that
# one call per version (as CI makes) reuses one root instead of remaking it.
for v in "${known[@]}" "${versions[@]}"; do
    [[ ",$packages," == *",python$v,"* ]] || packages+=",python$v,python$v-dev,python$v-venv"
done
# What the root was made with: another list (a new version asked for) remakes it.
stamp="$target/.arbolite-packages"

step() { echo "== $1 ($(date +%T))"; }

if ! command -v debootstrap >/dev/null; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
fi

has_all() {
    [ -f "$stamp" ] || return 1
    local p
    for p in ${packages//,/ }; do grep -qx "$p" "$stamp" || return 1; done
}

if ! has_all; then
    step "making the unstable root in $target"
    rm -rf "$target.new"
    mkdir -p "$(dirname "$target")"
    debootstrap --variant=minbase --include="$packages" sid "$target.new" "$mirror" >"$target.log" 2>&1 ||
        { tail -30 "$target.log"; exit 1; }
    tr , '\n' <<<"$packages" >"$target.new/.arbolite-packages"
    rm -rf "$target"
    mv "$target.new" "$target"
fi

# pip inside reaches the same index as outside: the same CA bundle (a proxy's
# certificate may be in it) and configuration. Local folders that
# configuration may name are not there: pip warns and skips them.
for f in /etc/ssl/certs/ca-certificates.crt /etc/pip.conf /etc/resolv.conf /etc/hosts \
         "${HOME:-/root}/.config/pip/pip.conf" /etc/xdg/pip/pip.conf /etc/xdg/pip/constraints.txt; do
    if [ -f "$f" ]; then
        mkdir -p "$target$(dirname "$f")"
        cp -L "$f" "$target$f"
    fi
done

mounts=()
unmount() {
    local i
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount -l "${mounts[i]}" 2>/dev/null || true; done
}
trap unmount EXIT
mount_at() {  # mount_at <where inside> <mount arguments...>
    local where="$target$1"
    shift
    mkdir -p "$where"
    mount "$@" "$where"
    mounts+=("$where")
}
mount_at /proc -t proc proc
mount_at /dev --rbind /dev
mount --make-rslave "$target/dev"
mount_at "$clone" --bind "$clone"
# The corpus of real documents the differential tests and benchmarks read.
corpus=${ARBOLITE_CORPUS:-$clone/../shared/corpus}
if [ -d "$corpus" ]; then
    corpus=$(realpath "$corpus")
    mount_at "$corpus" --bind -o ro "$corpus"
fi

status=0
for v in "${versions[@]}"; do
    step "Python $v in the unstable root"
    # A clean environment: the host's PATH and tool settings name folders
    # that are not inside; the variables that point pip and TLS at the
    # CA bundle are kept.
    chroot "$target" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt PIP_CERT=/etc/ssl/certs/ca-certificates.crt \
        REQUESTS_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1 \
        PIP_DEFAULT_TIMEOUT=180 ARBOLITE_PYTHON="$v" ${ARBOLITE_CORPUS:+ARBOLITE_CORPUS="$corpus"} \
        ${ARBOLITE_NATIVE_TESTS:+ARBOLITE_NATIVE_TESTS="$ARBOLITE_NATIVE_TESTS"} \
        bash -c 'cd "$1" && shift && scripts/test.sh "$@"' test "$clone" "$@" 2>&1 |
        { grep -v "^WARNING: Location '" || true; } || status=$?
    [ $status = 0 ] || break
done
exit $status
