-- SPDX-License-Identifier: MIT
-- LuaRocks package of the LuaJIT binding. The module needs libzodm.so.2 at
-- run time (beside zodm.lua, where the loader finds it, or in
-- ZODM_LIBRARY), not to build: it is one Lua file. From lua/ in a clone:
--   luarocks --lua-version 5.1 make zodm-2.0.0-1.rockspec
rockspec_format = "3.0"
package = "zodm"
version = "2.0.0-1"
-- The project is not published yet, so there is no address to fetch from:
-- luarocks make reads no URL, and builds in the current directory. That is
-- lua/, not the clone's root, because the builtin type also installs every
-- file of a directory named lua in the build directory (the tests here).
source = {url = "git+file://."}
description = {
  summary = "Display-update requests over UDP: a LuaJIT FFI binding of libzodm",
  detailed = [[
zodm sends full updates, partial updates of a rectangle and erases to
white to a display service on UDP port 50555, frames and parses the
request texts, and receives them as a display service, through LuaJIT's
FFI and libzodm.so.2.]],
  license = "MIT",
  labels = {"luajit", "ffi", "display", "udp"},
}
supported_platforms = {"linux"}
dependencies = {"lua >= 5.1, < 5.2"}
build = {
  type = "builtin",
  modules = {zodm = "zodm.lua"},
}
