#!/bin/sh
# The two Debian packages as a user gets them: built with CPack, their
# contents listed, unpacked into one scratch root, the programs run, the man
# pages linted, the documentation's links followed, the completion offering
# the served element, a C11 program of one's own built with gcc from
# libqlx-dev's headers and pkg-config file talking to the unpacked tfxsrvr,
# every object of the archive linked with what pkg-config names alone,
# and lintian --display-info --pedantic without an error, a warning or a
# hardening tag (the hardening tags are of the info level).
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
programs=$(ls "$work"/out/tfxsrvr_*.deb)
library=$(ls "$work"/out/libqlx-dev_*.deb)

# Fails unless package $1 holds each of the paths that follow.
holds() {
    dpkg-deb -c "$1" | awk '{print $NF}' >"$work/contents"
    shift
    for path in "$@"; do
        grep -qx "$path" "$work/contents" || fail "the package lacks $path"
    done
}
holds "$programs" ./usr/bin/tfxsrvr ./usr/bin/tfxclnt ./usr/bin/tfxplot ./usr/bin/tfxcompare \
    ./usr/bin/tfxkeys ./usr/share/man/man1/tfxsrvr.1.gz ./usr/share/man/man1/tfxclnt.1.gz \
    ./usr/share/man/man1/tfxplot.1.gz ./usr/share/man/man1/tfxcompare.1.gz \
    ./usr/share/man/man1/tfxkeys.1.gz ./usr/share/bash-completion/completions/tfxsrvr \
    ./usr/share/bash-completion/completions/tfxclnt \
    ./usr/share/bash-completion/completions/tfxkeys \
    ./usr/share/bash-completion/completions/tfxplot \
    ./usr/share/bash-completion/completions/tfxcompare ./usr/share/doc/tfxsrvr/copyright \
    ./usr/share/doc/tfxsrvr/changelog.gz ./usr/share/doc/tfxsrvr/README.md
holds "$library" ./usr/share/man/man3/qlx.3.gz ./usr/include/qlx/qlx.h \
    ./usr/include/qlx/ServiceRecords.h ./usr/include/qlx/ClientRecords.h \
    ./usr/include/qlx/ErrorRecord.h ./usr/include/qlx/Portable.h \
    ./usr/lib/x86_64-linux-gnu/libqlx.a ./usr/lib/x86_64-linux-gnu/pkgconfig/qlx.pc \
    ./usr/share/doc/libqlx-dev/copyright ./usr/share/doc/libqlx-dev/changelog.gz \
    ./usr/share/doc/libqlx-dev/qlx.md
[ "$(dpkg-deb -f "$library" Depends)" = \
    "libzmq3-dev, libnats-dev, libssl-dev, pkg-config, libstdc++-12-dev | libstdc++-dev" ] ||
    fail "libqlx-dev depends on $(dpkg-deb -f "$library" Depends)"
[ "$(dpkg-deb -f "$programs" Recommends)" = \
    "python3-matplotlib, python3-scipy, bash-completion" ] ||
    fail "tfxsrvr recommends $(dpkg-deb -f "$programs" Recommends)"

root=$work/root
dpkg-deb -x "$programs" "$root"
dpkg-deb -x "$library" "$root"
"$root/usr/bin/tfxsrvr" -h 2>"$work/usage" || fail "tfxsrvr -h exited $?"
grep -q '^Usage:' "$work/usage" || fail "tfxsrvr -h printed no usage text"
"$root/usr/bin/tfxcompare" --help >"$work/usage" || fail "tfxcompare --help exited $?"
grep -q '^usage: tfxcompare' "$work/usage" || fail "tfxcompare --help printed no usage text"

for page in "$root"/usr/share/man/man*/*.gz; do
    lint=$(zcat "$page" | groff -man -ww -z 2>&1)
    [ -z "$lint" ] || fail "man page ${page##*/}: $lint"
done

# Every link of the installed documentation to a file of its own leads to one.
for doc in "$root"/usr/share/doc/*/*.md "$root"/usr/share/doc/tfxsrvr/docs/*.md; do
    for target in $(grep -oE '\]\([^)#:]+[)#]' "$doc" | sed 's/^](//; s/.$//'); do
        [ -e "${doc%/*}/$target" ] || fail "${doc#"$root"} links to $target, which is not installed"
    done
done

export PKG_CONFIG_PATH="$root/usr/lib/x86_64-linux-gnu/pkgconfig"
[ "$(pkg-config --modversion qlx)" = "$(dpkg-deb -f "$library" Version)" ] ||
    fail "qlx.pc has another version than the package"
# shellcheck disable=SC2046
gcc -std=c11 -Wall -Wextra -pedantic -Werror -o "$work/hello" \
    "$source/tests/package/QlxHello.c" $(pkg-config --cflags --libs qlx) ||
    fail "a C program on the installed headers does not build"
# Every object of the installed archive, used by the program or not, links
# with the libraries pkg-config names and nothing else.
# shellcheck disable=SC2046
gcc -std=c11 -o "$work/whole" "$source/tests/package/QlxHello.c" $(pkg-config --cflags qlx) \
    -Wl,--whole-archive "$root/usr/lib/x86_64-linux-gnu/libqlx.a" -Wl,--no-whole-archive \
    $(pkg-config --libs qlx) || fail "libqlx.a needs more than pkg-config --libs qlx names"

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

for deb in "$programs" "$library"; do
    lintian --display-info --pedantic "$deb" >"$work/lintian" 2>&1 || true
    if grep -E '^[EW]:|hardening' "$work/lintian" >&2; then
        fail "lintian finds the above in $(basename "$deb")"
    fi
done
echo "check-package: $(basename "$programs") and $(basename "$library") are whole"
