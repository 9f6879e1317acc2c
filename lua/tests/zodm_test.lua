-- SPDX-License-Identifier: MIT
-- The LuaJIT binding against the library of the build tree, with requests
-- sent and received through real loopback sockets on port 50555.
--
--   luajit zodm_test.lua MODULE-DIRECTORY LIBRARY LUAJIT
--
-- MODULE-DIRECTORY holds zodm.lua; LIBRARY is libzodm.so.2. The loading
-- cases run LUAJIT in other processes with an empty environment.

local module_directory, library, luajit = arg[1], arg[2], arg[3]
assert(module_directory and library and luajit,
       "usage: zodm_test.lua MODULE-DIRECTORY LIBRARY LUAJIT")
package.path = module_directory .. "/?.lua;" .. package.path

local ffi = require("ffi")
local zodm = require("zodm")

local passed, failed = 0, 0
local function test(name, body)
  local ok, problem = xpcall(body, debug.traceback)
  if ok then
    passed = passed + 1
  else
    failed = failed + 1
    io.stderr:write(("FAILED %s: %s\n"):format(name, tostring(problem)))
  end
end

local function same(expected, actual, what)
  if type(expected) == "table" and type(actual) == "table" then
    for key, value in pairs(expected) do
      same(value, actual[key], (what or "") .. "." .. key)
    end
    for key in pairs(actual) do
      assert(expected[key] ~= nil, ("%s.%s unexpected"):format(what or "", key))
    end
  elseif expected ~= actual then
    error(("%s: expected %q, got %q"):format(what or "value", tostring(expected),
                                             tostring(actual)), 2)
  end
end

local function command(code, priority, quality, x_up, y_up, x_down, y_down)
  return {code = code, priority = priority or 0, quality = quality or 0,
          x_up = x_up or 0, y_up = y_up or 0, x_down = x_down or 0,
          y_down = y_down or 0}
end

-- Raw datagrams, for texts that the client never sends.
ffi.cdef [[
struct test_sockaddr_in { uint16_t family; uint8_t port[2];
                          uint8_t address[4]; uint8_t zero[8]; };
int test_socket(int domain, int type, int protocol) asm("socket");
intptr_t test_sendto(int fd, const void* buffer, size_t length, int flags,
                     const struct test_sockaddr_in* to, uint32_t size)
  asm("sendto");
int test_close(int fd) asm("close");
]]
local function send_raw(text)
  local fd = ffi.C.test_socket(2, 2, 0) -- AF_INET, SOCK_DGRAM
  assert(fd >= 0, "socket")
  local port = zodm.SERVER_PORT -- in network byte order
  local to = ffi.new("struct test_sockaddr_in", {family = 2,
    port = {math.floor(port / 256), port % 256}, address = {127, 0, 0, 1}})
  local sent = ffi.C.test_sendto(fd, text, #text, 0, to, 16)
  ffi.C.test_close(fd)
  assert(tonumber(sent) == #text, "sendto")
end

local server = assert(zodm.Server())

local function received()
  local datagram, reason = server:receive(2)
  assert(datagram, "nothing arrived: " .. tostring(reason))
  return datagram
end

local function nothing_arrives()
  local datagram, reason = server:receive(0.1)
  assert(datagram == nil and reason == "timeout",
         "received " .. tostring(datagram and datagram.text))
end

test("the records have the C layout", function()
  same(28, ffi.sizeof("DmCommand"), "sizeof DmCommand")
  same(1672, ffi.sizeof("DmMessage"), "sizeof DmMessage")
  same(1668, ffi.offsetof("DmMessage", "argc"), "offsetof argc")
  local port = ffi.new("int32_t[1]")
  same(0, zodm.lib.dmGetServerPort(port), "dmGetServerPort")
  same(zodm.SERVER_PORT, port[0], "port")
  same(library, zodm.library_path, "library_path")
end)

test("requests round trip", function()
  local cases = {
    {zodm.display, {1, 2}, "!0,1,2", command(zodm.DISPLAY, 1, 2)},
    {zodm.partial, {2, 1, 0, 0, 100, 200}, "!1,2,1,0,0,100,200",
     command(zodm.DISPLAY_PARTIAL, 2, 1, 0, 0, 100, 200)},
    {zodm.partial, {0, 3, 768, 1024, 0, 0}, "!1,0,3,768,1024,0,0",
     command(zodm.DISPLAY_PARTIAL, 0, 3, zodm.MAX_X, zodm.MAX_Y, 0, 0)},
    {zodm.erase, {3}, "!3,3", command(zodm.ERASE_TO_WHITE, 3)},
  }
  for _, case in ipairs(cases) do
    local send, arguments, text, expected = unpack(case)
    same(true, send(unpack(arguments)), text .. " sent")
    local datagram = received()
    same({text = text, accepted = true, command = expected, diagnostics = ""},
         datagram, text)
    same(text, zodm.frame(expected), "frame " .. text)
    same(expected, zodm.parse(text), "parse " .. text)
  end
  -- A dump is accepted with a warning; the client does not frame it.
  same(command(zodm.DUMP, 7), zodm.parse("!dmDump,7"), "dump")
  local text, reason = zodm.frame(command(zodm.DUMP, 7))
  assert(text == nil and reason:find("code 2"), "frame of a dump")
end)

test("refusals and hostile texts carry the diagnostics", function()
  local cases = {
    {"!0,7,9", "dmValidateCommand() priority out of range (7)"},
    {"0,1,2", "dmParseMessage() Command should start with '!'. (0,1,2)"},
    {"!bogus,1", "dmParseMessage() Command bogus"},
    {"!1,0,0,10,10,10,20", "Trying to do a partial update of a line"},
    {"!1,0,0,769,0,10,10", "dmValidateCommand() Invalid coordinate xUp (769)"},
    {"", "Command should start with '!'"},
    {"!\255\254\1\127", "Command \255\254\1\127"},
    {"!" .. ("x"):rep(5000), "Command " .. ("x"):rep(1023)},
    {"!1,0,0,0,0," .. ("9"):rep(60000), "Invalid coordinate xDown"},
  }
  for _, case in ipairs(cases) do
    local text, diagnostic = case[1], case[2]
    local name = ("%q"):format(text:sub(1, 30))
    local parsed, reason = zodm.parse(text)
    assert(parsed == nil, name .. " accepted")
    assert(reason:find(diagnostic, 1, true), name .. ": " .. reason:sub(1, 200))
    assert(reason:match("[^\n]*$"):find("^%(E%)zodmServer:"), name)
    -- The service side sees the same refusal and keeps every byte.
    send_raw(text)
    same({text = text, accepted = false, command = nil, diagnostics = reason},
         received(), name)
  end
  -- A NUL ends the text for the parser; the received text keeps the rest.
  send_raw("!0,1,2\0junk")
  same({text = "!0,1,2\0junk", accepted = true,
        command = command(zodm.DISPLAY, 1, 2), diagnostics = ""},
       received(), "datagram with a NUL")
end)

test("bad arguments raise naming them, before anything is sent", function()
  local cases = {
    {"display", {1, "2"}, "quality must be an integer in 32 bits"},
    {"display", {1.5, 2}, "priority must be an integer in 32 bits"},
    {"display", {true, 2}, "priority must be an integer in 32 bits"},
    {"display", {0 / 0, 2}, "priority"},
    {"display", {math.huge, 2}, "priority"},
    {"display", {2 ^ 31, 0}, "priority"},
    {"display", {1}, "quality must be an integer in 32 bits, not nil"},
    {"erase", {-2 ^ 31 - 1}, "priority"},
    {"erase", {0x100000000LL}, "priority"},
    {"partial", {0, 0, 0, 0, 10, nil}, "y_down"},
    {"partial", {0, 0, 0, 0, 2 ^ 40, 1}, "x_down"},
    {"frame", {"!0,1,2"}, "command must be a table"},
    {"frame", {{priority = 1}}, "command.code must be an integer"},
    {"frame", {{code = 0, quality = 2 ^ 31}}, "command.quality"},
    {"frame", {{code = 0, prio = 5}}, "command has no field prio"},
    {"frame", {{code = 0, [1] = 5}}, "command has no field number 1"},
    {"parse", {42}, "text must be a string"},
    {"parse", {"!0,1,2\0"}, "text contains a NUL byte"},
    {"init", {"127.0.0.1\0"}, "address contains a NUL byte"},
    {"init", {nil}, "address must be a string"},
    {"Server", {1}, "loopback_only must be a boolean"},
  }
  for _, case in ipairs(cases) do
    local name, arguments, message = case[1], case[2], case[3]
    local ok, problem = pcall(zodm[name], unpack(arguments, 1, 6))
    assert(not ok, name .. " accepted bad arguments")
    assert(problem:find("zodm." .. name .. ": " .. message, 1, true),
           name .. ": " .. problem)
  end
  -- 64-bit FFI integers within 32 bits are integers.
  zodm.erase(3LL)
  same("!3,3", received().text, "erase(3LL)")
  nothing_arrives()
  for _, timeout in ipairs({-1, 0 / 0, math.huge, "1"}) do
    local ok, problem = pcall(server.receive, server, timeout)
    assert(not ok and problem:find("timeout must be a finite number", 1, true),
           "timeout " .. tostring(timeout))
  end
end)

test("init takes IPv4 only, and points the client elsewhere", function()
  local done, reason = zodm.init("localhost")
  assert(done == nil and reason:find("localhost not a presentation IP address",
                                     1, true), tostring(reason))
  server:close()
  local everywhere = assert(zodm.Server(false))
  same(true, zodm.init("127.0.0.2"), "init 127.0.0.2")
  zodm.erase(0)
  local datagram = everywhere:receive(2)
  same(true, zodm.init(zodm.DEFAULT_SERVER), "init back")
  everywhere:close()
  server = assert(zodm.Server())
  assert(datagram, "nothing arrived at 127.0.0.2")
  same(command(zodm.ERASE_TO_WHITE, 0), datagram.command, "erase via .2")
end)

test("a server reports a busy port, closes once, and times out", function()
  local other, reason, errno = zodm.Server()
  assert(other == nil and reason:find("Address already in use"), reason)
  same(98, errno, "errno")
  local fd = server:fileno()
  assert(fd >= 0, "fileno")
  nothing_arrives()
  server:close()
  server:close()
  same(-1, server:fileno(), "fileno after close")
  local datagram, why = server:receive(0)
  assert(datagram == nil and why == "closed", tostring(why))
  -- The port is free again; a server dropped without close() frees it when
  -- collected.
  assert(zodm.Server())
  collectgarbage()
  collectgarbage()
  server = assert(zodm.Server(), "port still taken after collection")
end)

test("a framebuffer is created white and drawn in place", function()
  local path = os.tmpname()
  os.remove(path)
  local framebuffer = assert(zodm.Framebuffer(path))
  same(769 * 1025, zodm.FRAMEBUFFER_SIZE, "FRAMEBUFFER_SIZE")
  same(("\255"):rep(zodm.FRAMEBUFFER_SIZE),
       ffi.string(framebuffer.pixels, zodm.FRAMEBUFFER_SIZE), "white")
  -- Corners in either order, both included, cut to the area.
  framebuffer:fill(20, 11, 10, 10, 0)
  framebuffer:fill(-5, 1020, 2, 5000, 7)
  same(0, framebuffer.rows[10][10], "(10,10)")
  same(0, framebuffer.rows[11][20], "(20,11)")
  same(255, framebuffer.rows[10][9], "(9,10)")
  same(255, framebuffer.rows[12][20], "(20,12)")
  same("\7\7\7\255", ffi.string(framebuffer:row(1024), 4), "row 1024")
  framebuffer:row(0)[768] = 42
  framebuffer:close()
  framebuffer:close()
  local file = io.open(path, "rb")
  local data = file:read("*a")
  file:close()
  same(zodm.FRAMEBUFFER_SIZE, #data, "size")
  same(0, data:byte(10 * 769 + 10 + 1), "file (10,10)")
  same(42, data:byte(768 + 1), "file (768,0)")
  same(7, data:byte(1024 * 769 + 2 + 1), "file (2,1024)")

  local refusals = {
    {"fill", {0, 0, 1, 1, 256}, "gray must be in 0..255, not 256"},
    {"fill", {0, 0, 1, 1.5, 0}, "y1 must be an integer in 32 bits"},
    {"row", {1025}, "y must be in 0..1024, not 1025"},
    {"row", {-1}, "y must be in 0..1024, not -1"},
  }
  local again = assert(zodm.Framebuffer(path))
  same(0, again.rows[11][20], "reopened")
  for _, case in ipairs(refusals) do
    local ok, problem = pcall(again[case[1]], again, unpack(case[2]))
    assert(not ok and problem:find("zodm.Framebuffer:" .. case[1] .. ": "
                                   .. case[3], 1, true), tostring(problem))
  end
  -- A framebuffer dropped without close() is unmapped when collected.
  local function mapped()
    local maps = io.open("/proc/self/maps", "rb")
    local text = maps:read("*a")
    maps:close()
    return text:find(path, 1, true) ~= nil
  end
  assert(mapped(), "not mapped")
  again = nil -- luacheck: ignore
  collectgarbage()
  collectgarbage()
  assert(not mapped(), "still mapped after collection")

  file = io.open(path, "ab")
  file:write("x")
  file:close()
  local none, reason = zodm.Framebuffer(path)
  assert(none == nil and reason == path .. " is more than 788225 bytes long, "
         .. "not 788225 (769 x 1025 pixels, one byte each)", tostring(reason))
  os.remove(path)
  none, reason = zodm.Framebuffer(path .. "/none")
  assert(none == nil and reason:find("cannot open", 1, true), tostring(reason))
end)

local function succeeded(status)
  return status == 0 or status == true
end

-- Runs script in a fresh luajit with an empty environment (plus the given
-- variables), from directory; returns its output and whether it succeeded.
local function run_alone(directory, variables, script)
  local output = os.tmpname()
  local command = ("cd '%s' && env -i %s '%s' -e '%s' >'%s' 2>&1")
                  :format(directory, variables, luajit, script, output)
  local status = os.execute(command)
  local file = io.open(output, "rb")
  local text = file:read("*a")
  file:close()
  os.remove(output)
  return text, succeeded(status)
end

test("loading: ZODM_LIBRARY, then beside zodm.lua, then the soname", function()
  local directory = io.popen("mktemp -d"):read("*l")
  local plugin = directory .. "/plugin"
  assert(succeeded(os.execute(("mkdir '%s' && cp '%s/zodm.lua' '%s' && cp '%s' '%s'")
                    :format(plugin, module_directory, plugin, library, plugin))))
  local show = 'package.path = "%s/?.lua;" .. package.path; '
               .. 'local ok, z = pcall(require, "zodm"); '
               .. 'io.write(ok and z.library_path or z); '
               .. 'io.write(ok and z.frame({code = 3, priority = 1}) or "")'
  local beside = show:format("plugin")
  local cases = {
    -- A plugin: the library beside the module, found from another directory.
    {"", beside, true, "plugin/libzodm.so.2!3,1"},
    {"", show:format(plugin), true, plugin .. "/libzodm.so.2!3,1"},
    -- ZODM_LIBRARY comes first, and a wrong one is an error.
    {"ZODM_LIBRARY=" .. library, beside, true, library .. "!3,1"},
    {"ZODM_LIBRARY=/nonexistent/libzodm.so.2", beside, true,
     "zodm: cannot load /nonexistent/libzodm.so.2, the path in ZODM_LIBRARY"},
    -- Without either, the soname, through the loader's own search.
    {"LD_LIBRARY_PATH=" .. library:match("^(.*)/"), show:format(module_directory),
     true, "libzodm.so.2!3,1"},
  }
  -- The application declared part of zodm.h itself, its own way.
  cases[#cases + 1] = {"", 'local ffi = require("ffi"); ffi.cdef([[typedef '
    .. 'struct DmCommand { int32_t code, priority, quality, xUp, yUp, xDown, '
    .. 'yDown; } DmCommand; static const int DM_MAX_X = 768; int32_t '
    .. 'dmDisplay(int32_t, int32_t);]]); ' .. beside, true,
    "plugin/libzodm.so.2!3,1"}
  for _, case in ipairs(cases) do
    local output, ok = run_alone(directory, case[1], case[2])
    same(case[3], ok, case[1] .. " exit")
    assert(output:find(case[4], 1, true),
           ("%s: expected %s, got %s"):format(case[1], case[4], output))
  end
  -- A second copy in one process finds the declarations there already
  -- (and here the library in ZODM_LIBRARY).
  package.loaded.zodm = nil
  package.path = plugin .. "/?.lua;" .. package.path
  local second = require("zodm")
  assert(second ~= zodm, "not a second copy")
  same(library, second.library_path, "second copy")
  same("!0,1,2", second.frame(command(zodm.DISPLAY, 1, 2)), "second frame")
  os.execute(("rm -rf '%s'"):format(directory))
end)

server:close()
print(("%d passed, %d failed"):format(passed, failed))
os.exit(failed == 0 and 0 or 1)
