#!/bin/sh
# tervalo-cli.exe under Wine on host files that Wine cannot make itself:
# a record file reached through a symbolic link is rewritten where the link
# leads and the link stays, also beside its target, and a file of two names
# stays one; permission bits are kept; long names outside ASCII are
# rewritten; Ctrl+C (SIGINT, which Wine hands to the console handlers) while
# a large file is written leaves no temporary file, and the file holds its
# old bytes or its sorted ones.
set -eu
cli=${1:?usage: links-and-interrupts.sh tervalo-cli.exe}
[ -n "${WINEPREFIX:-}" ] || { echo "WINEPREFIX names no prefix"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
winpath() { echo "Z:$1" | tr / '\\'; }
# run PATH [OPTION...]
run() { p=$1; shift; WINEDEBUG=-all LC_ALL=C.UTF-8 /usr/lib/wine/wine64 "$cli" "$@" "$(winpath "$p")"; }
fail() { printf '%s\n' "$*"; exit 1; }
unsorted() { printf 'b,1,\r\na,1,\r\n' >"$1"; }
sorted() { [ "$(od -c "$1")" = "$(printf 'a,1,\r\nb,1,\r\n' | od -c)" ]; }

unsorted "$dir/real.dbr"
ln -s real.dbr "$dir/link.dbr"
run "$dir/link.dbr" >/dev/null
[ -L "$dir/link.dbr" ] || fail "the link became a file of its own"
sorted "$dir/real.dbr" || fail "the link's target was not rewritten"

# Two names of one file in one run, durable and not: a link beside its target,
# and a second (hard) name. Each name is read once the batch that holds the
# other is in place; the link stays a link, the two names stay one file.
for opts in "" --no-sync; do
    mkdir "$dir/two"
    unsorted "$dir/two/a.dbr"
    ln -s a.dbr "$dir/two/b.dbr"
    unsorted "$dir/two/c.dbr"
    ln "$dir/two/c.dbr" "$dir/two/d.dbr"
    out=$(run "$dir/two" $opts 2>&1) || fail "two names ($opts): $out"
    [ -L "$dir/two/b.dbr" ] || fail "two names ($opts): the link became a file of its own"
    [ "$(stat -c %i "$dir/two/c.dbr")" = "$(stat -c %i "$dir/two/d.dbr")" ] || fail "two names ($opts): split"
    for f in a c d; do sorted "$dir/two/$f.dbr" || fail "two names ($opts): $f.dbr"; done
    rm -r "$dir/two"
done

# The permission bits as Linux sees them: kept by a rewrite, a read-only
# file gaining write for its owner (new files are made under umask 022).
umask 022
mkdir "$dir/modes"
for mode in 600 640 644 444; do
    unsorted "$dir/modes/m$mode.dbr"
    chmod $mode "$dir/modes/m$mode.dbr"
done
run "$dir/modes" >/dev/null || fail "modes: the run failed"
for pair in 600:600 640:640 644:644 444:644; do
    got=$(stat -c %a "$dir/modes/m${pair%:*}.dbr")
    [ "$got" = "${pair#*:}" ] || fail "mode ${pair%:*} became $got, not ${pair#*:}"
    sorted "$dir/modes/m${pair%:*}.dbr" || fail "mode ${pair%:*}: not sorted"
done

# Names of 82 CJK characters and a letter (251 bytes): the temporary
# name is cut short, never inside a character, whatever length the counter
# in it has.
mkdir "$dir/long"
han=$(printf '\346\274\242%.0s' $(seq 82))
for x in a b c d e f g h i j k l; do unsorted "$dir/long/$han$x.dbr"; done
out=$(run "$dir/long" 2>&1) || fail "long names: $out"
for f in "$dir"/long/*; do sorted "$f" || fail "long names: $f not sorted"; done

awk 'BEGIN { for (i = 3000000; i > 0; i--) printf "k%d,v\r\n", i }' >"$dir/big.dbr"
cp "$dir/big.dbr" "$dir/old"
LC_ALL=C sort "$dir/old" >"$dir/sorted"
# A job started with & ignores SIGINT unless told otherwise.
WINEDEBUG=-all env --default-signal=INT /usr/lib/wine/wine64 "$cli" "$(winpath "$dir/big.dbr")" >/dev/null 2>&1 &
pid=$!
seen=no
while kill -0 $pid 2>/dev/null; do
    if ls "$dir"/*.tvtmp >/dev/null 2>&1; then seen=yes; kill -INT $pid; break; fi
    sleep 0.02
done
wait $pid || true
! ls "$dir"/*.tvtmp >/dev/null 2>&1 || fail "a temporary file is left: $(ls "$dir")"
cmp -s "$dir/big.dbr" "$dir/old" || cmp -s "$dir/big.dbr" "$dir/sorted" || fail "the file is neither old nor sorted"
[ $seen = yes ] || echo "note: the run ended before its temporary file was seen"
echo "link kept; interrupted run left no temporary file"
