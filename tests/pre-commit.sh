#!/bin/sh
# The hooks of .pre-commit-hooks.yaml, run by the pre-commit framework on a
# scratch repository, offline.
#   pre-commit.sh TERVALO-CLI REPO-ROOT
# try-repo takes a hook repository's commit plus its changes to tracked files,
# never an untracked file: the hooks file as it is in REPO-ROOT goes into a
# scratch hook repository of its own, committed or not.
set -eu
for tool in pre-commit git; do
  command -v $tool >/dev/null 2>&1 || { echo "$tool is not installed"; exit 77; }
done
cli=$1 hooks=$2/.pre-commit-hooks.yaml readme=$2/README.md
case $cli in /*) ;; *) cli=$(pwd)/$cli ;; esac
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "$*"; cat "$tmp/out"; exit 1; }
export HOME="$tmp/home" PRE_COMMIT_HOME="$tmp/cache" GIT_CONFIG_NOSYSTEM=1
export GIT_AUTHOR_NAME=Test GIT_AUTHOR_EMAIL=test@example.invalid
export GIT_COMMITTER_NAME=Test GIT_COMMITTER_EMAIL=test@example.invalid
export PATH="$(dirname "$cli"):$PATH"
mkdir "$HOME"
commit() { git -C "$1" init -q && git -C "$1" add -A && git -C "$1" commit -q -m "$2"; }
mkdir "$tmp/hooks" && cp "$hooks" "$tmp/hooks/" && commit "$tmp/hooks" hooks

mkdir -p "$tmp/repo/Sub" && cd "$tmp/repo"
printf 'b,1,\r\na,1,\r\n' >Sub/A.DBR
printf 'a,1,\r\nb,1,\r\n' >sorted.dbr
printf 'b\na\n' >notes.txt
touch -d '2001-01-01' sorted.dbr
commit . records
# hook [EXPECTED-STATUS]: runs one hook on every file.
hook() {
  status=0
  pre-commit try-repo "$tmp/hooks" "$1" --all-files >"$tmp/out" 2>&1 || status=$?
  [ "$status" -eq "${2:-0}" ] || fail "hook $1 exited with $status"
}

hook tervalo-check 1
grep -q '^Sub/A.DBR' "$tmp/out" || fail "tervalo-check does not name Sub/A.DBR"
! grep -q 'sorted.dbr' "$tmp/out" || fail "tervalo-check names a sorted file"
git diff --quiet || fail "tervalo-check changed a file"

hook tervalo 1
grep -q 'files were modified by this hook' "$tmp/out" || fail "tervalo did not report a change"
printf 'a,1,\r\nb,1,\r\n' | cmp -s - Sub/A.DBR || fail "tervalo did not sort Sub/A.DBR"
[ "$(git status --porcelain)" = " M Sub/A.DBR" ] || fail "tervalo changed another file"
[ "$(date -r sorted.dbr +%Y)" = 2001 ] || fail "tervalo rewrote a sorted file"

hook tervalo-check
hook tervalo

# One bad file among many: every other file is sorted and named, the bad one
# is named, whatever order pre-commit passes them in. A staged "a?.dbr" is a
# name, never a pattern that reaches the untracked aB.dbr.
for i in $(seq 1 19); do printf 'b,1,\r\na,1,\r\n' >"many$i.dbr"; done
printf 'a,1,\r\nnocomma\r\n' >bad.dbr
printf 'b,1,\r\na,1,\r\n' >'a?.dbr'
git add -A && git commit -q -m many
printf 'b,1,\r\na,1,\r\n' >aB.dbr
hook tervalo 1
grep -q '^bad.dbr:2:1: error: line has no comma' "$tmp/out" || fail "tervalo does not name the bad line"
for f in many*.dbr 'a?.dbr'; do
  printf 'a,1,\r\nb,1,\r\n' | cmp -s - "$f" || fail "tervalo did not sort $f"
  grep -qxF "$f" "$tmp/out" || fail "tervalo does not name $f"
done
printf 'b,1,\r\na,1,\r\n' | cmp -s - aB.dbr || fail "tervalo took a?.dbr for a pattern"
hook tervalo-check 1
grep -q '^bad.dbr:2:1: error' "$tmp/out" || fail "tervalo-check does not name the bad line"

# The README's local hook, as written, does the same.
awk '/^```/ { if (on) exit; fence = 1; next } fence && $0 == "repos:" { on = 1 } { fence = 0 } on' "$readme" \
  >.pre-commit-config.yaml
grep -q 'repo: local' .pre-commit-config.yaml || fail "no local hook in the README"
git rm -q --cached bad.dbr && rm bad.dbr && git commit -q -m "no bad file"
printf 'b,1,\r\na,1,\r\n' >many1.dbr
status=0
pre-commit run --all-files >"$tmp/out" 2>&1 || status=$?
[ "$status" -eq 1 ] && grep -qx many1.dbr "$tmp/out" || fail "the README's local hook: status $status"
printf 'a,1,\r\nb,1,\r\n' | cmp -s - many1.dbr || fail "the README's local hook did not sort many1.dbr"
echo "ok"
