#!/bin/sh
# A real editor: headless Neovim (0.7) with tervalo-cli lsp attached shows a
# record file's bad lines where the CLI locates them, and formatting leaves
# the buffer byte for byte in the CLI's normal form.
#   neovim.sh TERVALO-CLI
set -eu
cli=$1
command -v nvim >/dev/null || { echo "no nvim"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
here=$(cd "$(dirname "$0")" && pwd)
printf 'templateName,r\303\251cord.tpl\r\nb\303\251ta,2\r\nno comma here\r\n\360\235\204\236\303\251,\r\n,lead\r\nalpha,1\r\n\r\n\303\251\303\251\303\251 none\r\nk,,\r\n' >"$dir/edit.dbr"
cp "$dir/edit.dbr" "$dir/orig.dbr"
# What the CLI says of the file, in the same shape as found.txt.
"$cli" --check "$dir/orig.dbr" 2>&1 >/dev/null | sed -n 's/^.*orig\.dbr:\([0-9]*:[0-9]*\): error: /\1: /p' | sort >"$dir/cli.txt"
[ -s "$dir/cli.txt" ] || { echo "the CLI found no bad line"; exit 1; }
HOME=$dir XDG_CONFIG_HOME=$dir XDG_DATA_HOME=$dir XDG_STATE_HOME=$dir DIR=$dir CLI=$cli \
  timeout 120 nvim --headless --clean -n -i NONE -c "luafile $here/neovim-test.lua" </dev/null
diff -u "$dir/cli.txt" "$dir/found.txt" || { echo "Neovim shows the diagnostics elsewhere than the CLI"; exit 1; }
"$cli" - <"$dir/before.dbr" >"$dir/normal.dbr"
cmp "$dir/normal.dbr" "$dir/after.dbr" || { echo "the formatted buffer is not the CLI's normal form"; od -c "$dir/after.dbr" | head -20; exit 1; }
cmp -s "$dir/before.dbr" "$dir/after.dbr" && { echo "formatting changed nothing"; exit 1; }
echo "Neovim agrees with the CLI"
