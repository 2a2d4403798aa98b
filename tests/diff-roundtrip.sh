#!/bin/sh
# What tervalo-cli --diff prints, applied by patch, gives every file exactly as
# a run writes it, and --diff itself changes nothing.
#   diff-roundtrip.sh TERVALO-CLI README
set -eu
command -v patch >/dev/null 2>&1 || { echo "patch is not installed"; exit 77; }
cli=$1 readme=$2
case $cli in /*) ;; *) cli=$(pwd)/$cli ;; esac
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "$*"; exit 1; }

# A tree of record files, most of them out of order.
mkdir -p "$tmp/work/recs/sub/deeper"
cd "$tmp/work/recs"
printf 'templateName,t,\r\na,1,\r\nb,1,\r\n' >sorted.dbr
printf 'templateName,t,\r\nc,3,\r\n\r\nb,2,\r\ne,,\r\na,1,\r\n' >unsorted.dbr
printf 'b,2,\na,1,\n' >lf-only.dbr
printf 'b,2,\r\na,1,' >'no final newline.dbr'
printf 'b,lone\rcr,\r\na,1,\r\n' >sub/cr.dbr
printf '\357\273\277templateName,t,\r\nc,1,\r\nb,1,\r\n' >sub/bom.dbr
printf 'a,1,\r\n' >'sub/deeper/sorted too.dbr'
printf 'b\na\n' >sub/notes.txt
cd "$tmp"
cp -Rp work/recs before
mkdir expect && cp -Rp work/recs expect/recs
(cd expect && "$cli" --no-sync recs >/dev/null) || fail "a plain run failed"

state() { find recs -print0 | LC_ALL=C sort -z | xargs -0 stat -c '%n %a %s %y'; }
cd work
state >"$tmp/state.before"
status=0
"$cli" --diff recs >"$tmp/diff" || status=$?
[ "$status" -eq 1 ] || fail "--diff exited with $status, not 1"
state | cmp -s - "$tmp/state.before" || fail "--diff changed the tree"
diff -r "$tmp/before" recs >/dev/null || fail "--diff changed a file"

# Only diffs on standard output, one for each file a run changes.
if LC_ALL=C grep -nav -E '^(--- |\+\+\+ |@@ -[0-9]|[ +-]|\\ No newline at end of file$)' "$tmp/diff"; then
  fail "--diff wrote the lines above besides diffs"
fi
LC_ALL=C grep -a '^--- ' "$tmp/diff" >"$tmp/names"
cat >"$tmp/want" <<'EOF'
--- recs/unsorted.dbr
--- recs/lf-only.dbr
--- "recs/no final newline.dbr"
--- recs/sub/cr.dbr
--- recs/sub/bom.dbr
EOF
LC_ALL=C sort -o "$tmp/names" "$tmp/names"
LC_ALL=C sort -o "$tmp/want" "$tmp/want"
cmp -s "$tmp/names" "$tmp/want" || { diff "$tmp/want" "$tmp/names"; fail "--diff names other files"; }

patch -s -p0 --binary <"$tmp/diff" || fail "patch did not take the diff"
"$cli" --check recs || fail "--check after patch: exit $?"
diff -r "$tmp/expect/recs" recs || fail "the patched tree is not what a run writes"

# applies DIR DIFF APPLY...: from DIR, in a fresh copy of the tree, APPLY with
# DIFF on its standard input gives what a run writes; the tree is then fresh
# again.
applies() {
  (dir=$1 diff=$2; shift 2; rm -rf "$tmp/work/recs" && cp -Rp "$tmp/before" "$tmp/work/recs" &&
   cd "$dir" && "$@" <"$diff") >"$tmp/applied" 2>&1 || fail "$* in $1: $(cat "$tmp/applied")"
  diff -r "$tmp/expect/recs" "$tmp/work/recs" || fail "$* in $1 did not give what a run writes"
  rm -rf "$tmp/work/recs" && cp -Rp "$tmp/before" "$tmp/work/recs"
}
# An absolute entry below the current directory: headers that patch -p0
# takes from there.
rm -rf recs && cp -Rp "$tmp/before" recs
"$cli" --diff "$tmp/work/recs" >"$tmp/absolute.diff" || :
cmp -s "$tmp/diff" "$tmp/absolute.diff" || fail "an absolute entry gives other headers"
applies "$tmp/work" "$tmp/absolute.diff" patch -s -p0 --binary

# git apply, in the repository where tervalo-cli ran.
if command -v git >/dev/null 2>&1; then
  git init -q "$tmp/work"
  applies "$tmp/work" "$tmp/diff" git apply -p0 --whitespace=nowarn
fi

# The README's CI recipe, as GitHub's shell runs it: it fails, and keeps a
# diff that patch applies.
rm -rf "$tmp/ci" && mkdir -p "$tmp/ci/assets" && cp -Rp "$tmp/before" "$tmp/ci/assets/records"
awk '/^- name: Record files in normal order/ { step = 1 } step && /^  run: \|/ { on = 1; next }
     on && !/^    / { exit } on { print substr($0, 5) }' "$readme" >"$tmp/ci/step.sh"
[ -s "$tmp/ci/step.sh" ] || fail "no CI recipe in the README"
(cd "$tmp/ci" && PATH=$(dirname "$cli"):$PATH bash -e step.sh >out 2>&1) && fail "the CI step passed"
LC_ALL=C grep -q "$(printf '\033')" "$tmp/ci/records.diff" && fail "the kept diff is coloured"
grep -q 'records.diff' "$tmp/ci/out" || fail "the log does not point to the diff"
(cd "$tmp/ci" && patch -s -p0 --binary <records.diff) || fail "patch did not take the CI's diff"
diff -r "$tmp/expect/recs" "$tmp/ci/assets/records" || fail "the CI's diff did not give what a run writes"
echo "ok"
