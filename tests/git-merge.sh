#!/bin/sh
# tervalo-cli merge as git's merge driver, through a real git merge: two
# branches that each add one key next to the other's conflict in git's own
# line merge, and merge cleanly, in normal form, with the driver that
# "tervalo-cli merge --install" sets up. A key changed differently on the two
# branches still leaves the file conflicted.
# The README's plain pre-commit hook and clean filter, as written, too.
# usage: git-merge.sh TERVALO_CLI README (status 77: skipped, no git)
set -eu
cli=${1:?usage: git-merge.sh TERVALO_CLI README} readme=${2:?usage: git-merge.sh TERVALO_CLI README}
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
# merge.conflictStyle=diff3, which git users set for all merges, shows the
# base's lines too.
git config merge.conflictStyle diff3
if git merge -q --no-edit left >/dev/null 2>&1; then fail "a conflicting change merged cleanly"; fi
printf '%s\r\n' templateName,t a,1 b,1 b2,1 '<<<<<<< ours' c,right '||||||| base' c,1 ======= c,left '>>>>>>> theirs' d,2 |
  cmp -s - rec.dbr || fail "conflicted file: $(od -c rec.dbr)"
git ls-files -u rec.dbr | grep -q . || fail "git does not list rec.dbr as conflicted"
git merge --abort

# A version with a bad line: git's line merge with its markers, nothing lost.
git config --unset merge.conflictStyle
git switch -q left
printf 'templateName,t\r\na,1\r\nb,1\r\nb2,1\r\nc,left\r\nnocomma\r\n' >rec.dbr
git commit -q -am "left gets a bad line"
status=0
git merge -q --no-edit right >/dev/null 2>"$work/err" || status=$?
[ "$status" -ne 0 ] || fail "a bad version merged cleanly"
grep -q "rec.dbr (ours):6:1: error: line has no comma" "$work/err" || fail "bad line not named: $(cat "$work/err")"
grep -q '^<<<<<<< ours' rec.dbr && grep -q '^>>>>>>> theirs' rec.dbr || fail "no line merge: $(cat -A rec.dbr)"
git diff | grep -q 'c,right' || fail "git diff hides theirs' change"
git merge --abort

# The README's team set-up under each line-end attribute set it offers: the
# merge is clean, the merge commit changes only the merged key, and the work
# tree stays clean through the merge and git reset --hard.
for attributes in '' '* text=auto' '* text=auto|*.dbr -text' '*.dbr text eol=crlf'; do
  cd "$work" && rm -rf team && git init -q -b main team && cd team
  printf '%s\n' "$attributes" | tr '|' '\n' >.gitattributes
  printf 'templateName,t\na,1\nc,1\nd,1\n' >rec.dbr
  tervalo-cli --changed-only rec.dbr >/dev/null
  tervalo-cli merge --install >/dev/null
  git add -A 2>/dev/null && git commit -q -m base
  git switch -q -c other
  printf 'b2,1\n' >>rec.dbr && tervalo-cli --changed-only rec.dbr >/dev/null && git commit -q -am theirs 2>/dev/null
  git switch -q main
  printf 'b,1\n' >>rec.dbr && tervalo-cli --changed-only rec.dbr >/dev/null && git commit -q -am ours 2>/dev/null
  for branches in 'other main' 'main other'; do
    set -- $branches
    git switch -q "$1"
    git merge -q --no-edit "$2" >/dev/null 2>&1 || fail "[$attributes] merge into $1 failed"
    [ -z "$(git status --porcelain)" ] || fail "[$attributes] work tree not clean after the merge: $(git status --porcelain)"
    [ "$(git diff --numstat HEAD^1 HEAD)" = "$(printf '1\t0\trec.dbr')" ] ||
      fail "[$attributes] merge commit: $(git diff --numstat HEAD^1 HEAD)"
    git reset -q --hard
    [ -z "$(git status --porcelain)" ] || fail "[$attributes] not clean after reset --hard"
    # Alone, text=auto checks record files out with LF, which a check reports.
    [ "$attributes" = '* text=auto' ] || [ -z "$(tervalo-cli --check rec.dbr 2>&1)" ] ||
      fail "[$attributes] merged file not in normal form"
    git reset -q --hard HEAD^1
  done
done

# A repository that stored its record files with LF under "* text=auto": the
# steps that the README and the check's note give for each attribute line
# leave a fresh clone whose record files pass a check.
cd "$work" && rm -rf old && git init -q -b main old && cd old
echo '* text=auto' >.gitattributes
mkdir recs && printf 'templateName,t\r\na,1\r\nb,1\r\n' >recs/x.dbr && cp recs/x.dbr recs/y.dbr
git add -A 2>/dev/null && git commit -q -m old
rm recs/*.dbr && git checkout -- recs
tervalo-cli --check recs >/dev/null 2>"$work/err" && fail "LF check-out passed a check"
grep -q 'git rm --cached -r -q . && git reset --hard' "$work/err" || fail "the note gives no steps: $(cat "$work/err")"
for line in '*.dbr -text' '*.dbr text eol=crlf'; do
  cd "$work" && rm -rf fix && git clone -q old fix && cd fix
  echo "$line" >>.gitattributes
  git commit -q -am "$line"
  case $line in
    *-text) tervalo-cli --changed-only --keep-going . >/dev/null && git add -A && git commit -q -m "CR LF" ;;
    *) git rm --cached -r -q . && git reset -q --hard ;;
  esac
  tervalo-cli --check . || fail "[$line] the fixed clone fails a check"
  cd "$work" && rm -rf fresh && git clone -q fix fresh && cd fresh
  [ -z "$(git status --porcelain)" ] && tervalo-cli --check . || fail "[$line] a fresh clone fails a check"
done

# recipe FIRST-LINE: the README's code block that begins with that line.
recipe() {
  awk -v first="$1" '/^```/ { if (on) exit; fence = 1; next } fence && $0 == first { on = 1 } { fence = 0 } on' "$readme"
}
cd "$work" && rm -rf recipes && git init -q -b main recipes && cd recipes
recipe '#!/bin/sh' >.git/hooks/pre-commit && chmod +x .git/hooks/pre-commit
printf 'b,1\r\na,1\r\n' >'odd name?.dbr' && printf 'a,1\r\n' >aB.dbr
git add 'odd name?.dbr'
git commit -q -m unsorted >/dev/null 2>&1 && fail "the README's pre-commit hook let an unsorted file in"
tervalo-cli --changed-only --literal -- 'odd name?.dbr' >/dev/null && git add -A && git commit -q -m sorted ||
  fail "the README's pre-commit hook refused sorted files"
recipe 'git config filter.tervalo.clean "tervalo-cli --stdin-filename %f -"' | sh
printf 'b,1\na,1\n' >rec.dbr && printf 'a,1\nnocomma\n' >bad.dbr && printf 'a,1\r\nb,1\r\n' >"$work/want"
git add rec.dbr && git show :rec.dbr | cmp -s - "$work/want" ||
  fail "the README's clean filter did not stage the normal form"
git add bad.dbr 2>"$work/err" && fail "the README's clean filter let a bad file in"
grep -q '^bad.dbr:2:1: error: line has no comma' "$work/err" || fail "clean filter: $(cat "$work/err")"
echo "git-merge: ok"
