#!/bin/sh
# Every option that `tervalo-cli --help` names has its place in the man page.
#   man-page-options.sh TERVALO-CLI PAGE
set -eu
cli=$1 page=$2
# One long line per paragraph, so that no option is broken across lines.
text=$(groff -man -Tascii -rLL=1000n -P-cbou "$page")
missing=
for opt in $("$cli" --help | grep -oE -- '(^|[^[:alnum:]-])--?[[:alpha:]][[:alnum:]-]*' |
             grep -oE -- '--?[[:alpha:]][[:alnum:]-]*' | sort -u); do
  printf '%s\n' "$text" | grep -qE -- "(^|[^[:alnum:]-])$opt([^[:alnum:]-]|\$)" || missing="$missing $opt"
done
if [ -n "$missing" ]; then
  echo "tervalo-cli --help names options that $page leaves out:$missing"
  exit 1
fi
