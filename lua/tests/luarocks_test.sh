#!/bin/sh
# SPDX-License-Identifier: MIT
# The rockspec of this version installs zodm.lua, and nothing else, as the
# module zodm into a fresh LuaRocks tree.
#   luarocks_test.sh LUA-DIRECTORY VERSION
set -eu
rockspec=zodm-$2-1.rockspec
[ -f "$1/$rockspec" ] || { echo "no $rockspec in $1"; exit 1; }
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
cd "$1"
# LuaRocks keeps a cache in the home directory: not the user's.
export HOME="$tree"
luarocks --lua-version 5.1 lint "$rockspec"
luarocks --lua-version 5.1 make --tree "$tree/rocks" "$rockspec" >"$tree/log" 2>&1 ||
  { cat "$tree/log"; exit 1; }
installed=$(cd "$tree/rocks/share/lua/5.1" && find . ! -type d)
[ "$installed" = ./zodm.lua ] || { echo "installed: $installed"; exit 1; }
cmp zodm.lua "$tree/rocks/share/lua/5.1/zodm.lua"
echo "$rockspec installs zodm.lua"
