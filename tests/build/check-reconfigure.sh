#!/bin/sh
# A second configure of a fresh build folder gives every compile and link
# command the first one gave, so `make test` after `make demo` recompiles
# nothing the demo built.
# Usage: check-reconfigure.sh SOURCE-DIR BUILD-TYPE
set -eu
source=$1
type=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/tfxreconfigure.XXXXXX")
trap 'rm -rf "$work"' EXIT

configure() {
    cmake -S "$source" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DTFX_WERROR=ON \
        >"$work/configure.log" 2>&1 || { cat "$work/configure.log" >&2; exit 1; }
    ninja -C "$work/build" -t commands >"$work/$1"
}
configure first
configure second
if ! cmp -s "$work/first" "$work/second"; then
    echo "check-reconfigure: the second configure changes these commands:" >&2
    diff "$work/first" "$work/second" | head -20 >&2
    exit 1
fi
