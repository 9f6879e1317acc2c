-- SPDX-License-Identifier: MIT
-- zodm.Framebuffer against zodm-screen --framebuffer on port 50555: what
-- the binding draws is where the display service reads it.
--
--   luajit framebuffer_test.lua MODULE-DIRECTORY ZODM-SCREEN
--
-- The binding creates the file and draws two shapes and two pixels (at
-- opposite corners, through rows and row()); two partial updates refresh
-- the first shape and the corner of the last pixel. At exit zodm-screen
-- counts what was drawn but never refreshed: the second shape and the
-- pixel at (0,0), nothing else, and only if every pixel went to its place.

local module_directory, screen = arg[1], arg[2]
assert(module_directory and screen,
       "usage: framebuffer_test.lua MODULE-DIRECTORY ZODM-SCREEN")
package.path = module_directory .. "/?.lua;" .. package.path

local ffi = require("ffi")
local zodm = require("zodm")
ffi.cdef [[int test_poll(void* fds, unsigned long nfds, int timeout)
             asm("poll");]]

local directory = io.popen("mktemp -d"):read("*l")
local path = directory .. "/framebuffer"

local function read(name)
  local file = io.open(directory .. "/" .. name, "rb")
  local text = file and file:read("*a") or ""
  if file then
    file:close()
  end
  return text
end

local function running()
  local status = os.execute(("kill -0 $(cat '%s/pid') 2>/dev/null")
                            :format(directory))
  return status == 0 or status == true
end

-- Waits up to 30 seconds for zodm-screen's standard error to hold text;
-- false at once when it has ended without.
local function wait_for(text)
  for _ = 1, 600 do
    local alive = running()
    if read("err"):find(text, 1, true) then
      return true
    elseif not alive then
      return false
    end
    ffi.C.test_poll(nil, 0, 50)
  end
  return false
end

local function finish(problem)
  os.execute(("kill $(cat '%s/pid') 2>/dev/null; rm -rf '%s'")
             :format(directory, directory))
  if problem then
    io.stderr:write("FAILED framebuffer_test: ", problem, "\n")
    os.exit(1)
  end
  print("framebuffer_test passed")
  os.exit(0)
end

local framebuffer = assert(zodm.Framebuffer(path))
os.execute(("'%s' --framebuffer '%s' --count 2 >'%s/out' 2>'%s/err' & "
            .. "echo $! >'%s/pid'"):format(screen, path, directory, directory,
                                          directory))
if not wait_for("Bound successfully") then
  finish("zodm-screen did not bind: " .. read("err"))
end

framebuffer:fill(300, 400, 40, 60, 0)
framebuffer:fill(400, 600, 700, 1000, 128)
framebuffer.rows[1024][768] = 1
framebuffer:row(0)[0] = 2
zodm.partial(1, 1, 300, 400, 40, 60)
zodm.partial(1, 1, 760, 1020, 768, 1024)
framebuffer:close()

local stale = (700 - 400 + 1) * (1000 - 600 + 1) + 1
local expected = ("zodm-screen: framebuffer %s: %d pixels stale in "
                  .. "(0,0)-(700,1000)"):format(path, stale)
if not wait_for(path .. ": ") then
  finish("zodm-screen did not end: " .. read("err"))
end
if not read("err"):find(expected, 1, true) then
  finish(("expected %q in:\n%s"):format(expected, read("err")))
end
local lines = read("out")
if lines ~= "partial priority=1 quality=1 rect=(300,400)-(40,60)\n"
            .. "partial priority=1 quality=1 rect=(760,1020)-(768,1024)\n" then
  finish("unexpected requests: " .. lines)
end
finish()
