#!/bin/sh
# The build refuses a part of the client that includes a part above it: a
# copy of the sources whose results part includes the sweep does not
# configure, and says which file and which part.
# Usage: check-part-includes.sh SOURCE-DIR
set -eu
source=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/tfxparts.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
for entry in "$source"/*; do
    [ "$(basename "$entry")" = client ] || ln -s "$entry" "$work/src/"
done
cp -R "$source/client" "$work/src/client"
printf '#include "client/sweep/Sweep.h"\n' >>"$work/src/client/results/RunIdentity.h"
if cmake -S "$work/src" -B "$work/build" -G Ninja >"$work/configure.log" 2>&1; then
    echo "check-part-includes: the results part configured with an include of the sweep" >&2
    exit 1
fi
expected="$work/src/client/results/RunIdentity.h includes client/sweep/, which the client part results does not use"
if ! tr -s '\n ' '  ' <"$work/configure.log" | grep -qF "$expected"; then
    echo "check-part-includes: the configure failed, but not with: $expected" >&2
    cat "$work/configure.log" >&2
    exit 1
fi
