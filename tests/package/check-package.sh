#!/bin/sh
# The Debian package as a user gets it: built with CPack, its contents listed,
# unpacked, its programs run, its man pages linted, its completion offering
# the served element, a program of one's own built from its headers and
# pkg-config file against the unpacked tfxsrvr, and lintian without an error.
# Usage: check-package.sh BUILD-DIR SOURCE-DIR
set -eu
build=$1
source=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/tfxpackage.XXXXXX")
server_pid=
cleanup() {
    if [ -n "$server_pid" ]; then
        kill -KILL "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "check-package: $*" >&2
    exit 1
}

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb=$(ls "$work"/out/tfxsrvr_*.deb)

dpkg-deb -c "$deb" | awk '{print $NF}' >"$work/contents"
for path in ./usr/bin/tfxsrvr ./usr/bin/tfxclnt ./usr/bin/tfxplot ./usr/bin/tfxcompare \
    ./usr/bin/tfxkeys ./usr/share/man/man1/tfxsrvr.1.gz ./usr/share/man/man1/tfxclnt.1.gz \
    ./usr/share/man/man1/tfxplot.1.gz ./usr/share/man/man1/tfxcompare.1.gz \
    ./usr/share/man/man1/tfxkeys.1.gz ./usr/share/man/man3/qlx.3.gz ./usr/include/qlx/qlx.h \
    ./usr/include/qlx/ServiceRecords.h ./usr/include/qlx/ClientRecords.h \
    ./usr/include/qlx/ErrorRecord.h ./usr/lib/x86_64-linux-gnu/libqlx.a \
    ./usr/lib/x86_64-linux-gnu/pkgconfig/qlx.pc \
    ./usr/share/bash-completion/completions/tfxsrvr \
    ./usr/share/bash-completion/completions/tfxclnt \
    ./usr/share/bash-completion/completions/tfxkeys \
    ./usr/share/bash-completion/completions/tfxplot \
    ./usr/share/bash-completion/completions/tfxcompare \
    ./usr/share/doc/tfxsrvr/copyright; do
    grep -qx "$path" "$work/contents" || fail "the package lacks $path"
done

root=$work/root
dpkg-deb -x "$deb" "$root"
"$root/usr/bin/tfxsrvr" -h 2>"$work/usage" || fail "tfxsrvr -h exited $?"
grep -q '^Usage:' "$work/usage" || fail "tfxsrvr -h printed no usage text"
"$root/usr/bin/tfxcompare" --help >"$work/usage" || fail "tfxcompare --help exited $?"
grep -q '^usage: tfxcompare' "$work/usage" || fail "tfxcompare --help printed no usage text"

for page in "$root"/usr/share/man/man*/*.gz; do
    lint=$(zcat "$page" | groff -man -ww -z 2>&1)
    [ -z "$lint" ] || fail "man page ${page##*/}: $lint"
done

export PKG_CONFIG_PATH="$root/usr/lib/x86_64-linux-gnu/pkgconfig"
[ "$(pkg-config --modversion qlx)" = "$(dpkg-deb -f "$deb" Version)" ] ||
    fail "qlx.pc has another version than the package"
# shellcheck disable=SC2046
g++ -std=c++17 -Wall -Werror -o "$work/hello" "$source/tests/package/QlxHello.cpp" \
    $(pkg-config --cflags --libs qlx) || fail "a program on the installed headers does not build"

export QLX_DIR="$work/qlx"
unset QLX_ENDPOINT
"$root/usr/bin/tfxsrvr" -q Hello >"$work/server.out" 2>&1 &
server_pid=$!
tries=0
until [ -S "$QLX_DIR/Hello.sock" ]; do
    tries=$((tries + 1))
    [ $tries -le 1000 ] || fail "the unpacked tfxsrvr did not open its socket within 10 s"
    sleep 0.01
done
completions=$(bash -c '. "$1"; COMP_WORDS=(tfxclnt ""); COMP_CWORD=1; _tfxclnt
    printf "%s\n" "${COMPREPLY[@]}"' completion "$root/usr/share/bash-completion/completions/tfxclnt")
[ "$completions" = "Hello" ] || fail "completion offered \"$completions\", not the served element"
reply=$("$work/hello" Hello) || fail "the program on the installed headers got no response"
[ "$reply" = "hello from a program of its own; Hello" ] || fail "unexpected response: $reply"
kill -USR1 "$server_pid"
wait "$server_pid" || fail "the unpacked tfxsrvr exited $?"
server_pid=

lintian "$deb" >"$work/lintian" 2>&1 || true
! grep '^E:' "$work/lintian" || fail "lintian reports errors"
echo "check-package: $(basename "$deb") is whole"
