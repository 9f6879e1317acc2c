#!/usr/bin/env luajit
-- SPDX-License-Identifier: MIT
-- A small application: asks the display service for a full update, a
-- partial update of a rectangle and an erase to white.
--
--   luajit client.lua [SERVER-ADDRESS]
--
-- SERVER-ADDRESS is dotted-decimal IPv4; without it the library sends to
-- 127.0.0.1. Requests get no reply, so the program cannot tell whether a
-- service received them. The LuaJIT twin of client.c.

local zodm = require("zodm")

if #arg > 1 then
  io.stderr:write("usage: client.lua [SERVER-ADDRESS]\n")
  os.exit(2)
end
-- Optional: the first request would otherwise pick 127.0.0.1 itself.
if arg[1] then
  local ok, reason = zodm.init(arg[1])
  if not ok then
    io.stderr:write("client.lua: ", reason, "\n")
    os.exit(1)
  end
end

zodm.display(1, 2)                  -- priority 1, quality 2
zodm.partial(2, 1, 0, 0, 100, 200)  -- rectangle (0,0)-(100,200)
zodm.erase(3)                       -- priority 3
