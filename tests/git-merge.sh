#!/bin/sh
# tervalo-cli merge as git's merge driver, through a real git merge: two
# branches that each add one key next to the other's conflict in git's own
# line merge, and merge cleanly, in normal form, with the driver that
# "tervalo-cli merge --install" sets up. A key changed differently on the two
# branches still leaves the file conflicted.
# usage: git-merge.sh TERVALO_CLI (status 77: skipped, no git)
set -eu
cli=${1:?usage: git-merge.sh TERVALO_CLI}
command -v git >/dev/null 2>&1 || { echo "git is not installed: skipped"; exit 77; }
case $cli in /*) ;; *) cli=$(pwd)/$cli ;; esac
# The driver is configured as plain "tervalo-cli": the one under test comes first.
PATH=$(dirname "$cli"):$PATH
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work" GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null
export GIT_AUTHOR_NAME=Tervalo GIT_AUTHOR_EMAIL=tests@tervalo.invalid
export GIT_COMMITTER_NAME=Tervalo GIT_COMMITTER_EMAIL=tests@tervalo.invalid
fail() { echo "FAIL: $*" >&2; exit 1; }

cd "$work"
git init -q -b main repo
cd repo
printf 'templateName,t\r\na,1\r\nc,1\r\nd,1\r\n' >rec.dbr
git add rec.dbr
git commit -q -m base
git branch other
printf 'templateName,t\r\na,1\r\nb,1\r\nc,1\r\nd,1\r\n' >rec.dbr
git commit -q -am "ours adds b"
git switch -q other
printf 'templateName,t\r\na,1\r\nb2,1\r\nc,1\r\nd,1\r\n' >rec.dbr
git commit -q -am "theirs adds b2"
git switch -q main

# git's own line merge.
if git merge -q --no-edit other >/dev/null 2>&1; then fail "git merged adjacent additions without the driver"; fi
grep -q '^<<<<<<<' rec.dbr || fail "no conflict markers from git's own merge"
git merge --abort

tervalo-cli merge --install >/dev/null || fail "merge --install"
grep -qx '\*\.dbr merge=tervalo' .gitattributes || fail ".gitattributes line missing"
[ "$(git config merge.tervalo.driver)" = "tervalo-cli merge --marker-size %L %O %A %B %P" ] ||
  fail "merge.tervalo.driver not set"
tervalo-cli merge --install >/dev/null
[ "$(grep -c 'merge=tervalo' .gitattributes)" -eq 1 ] || fail "--install added the line twice"
git add .gitattributes
git commit -q -m "the tervalo driver"

git merge -q --no-edit other >/dev/null 2>&1 || fail "the driver did not merge adjacent additions"
printf 'templateName,t\r\na,1\r\nb,1\r\nb2,1\r\nc,1\r\nd,1\r\n' | cmp -s - rec.dbr || fail "merged file: $(od -c rec.dbr)"
[ -z "$(tervalo-cli --check rec.dbr)" ] || fail "the merged file is not in normal form"

# The same key changed differently: a conflict, with markers at its place.
git switch -q -c left
printf 'templateName,t\r\na,1\r\nb,1\r\nb2,1\r\nc,left\r\nd,1\r\n' >rec.dbr
git commit -q -am left
git switch -q -c right HEAD~1
printf 'templateName,t\r\na,1\r\nb,1\r\nb2,1\r\nc,right\r\nd,2\r\n' >rec.dbr
git commit -q -am right
if git merge -q --no-edit left >/dev/null 2>&1; then fail "a conflicting change merged cleanly"; fi
printf 'templateName,t\r\na,1\r\nb,1\r\nb2,1\r\n<<<<<<< ours\r\nc,right\r\n=======\r\nc,left\r\n>>>>>>> theirs\r\nd,2\r\n' |
  cmp -s - rec.dbr || fail "conflicted file: $(od -c rec.dbr)"
git ls-files -u rec.dbr | grep -q . || fail "git does not list rec.dbr as conflicted"
echo "git-merge: ok"
