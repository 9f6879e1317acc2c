-- SPDX-License-Identifier: MIT
--[[ zodm: display-update requests over UDP, from LuaJIT 2.1.

A binding of libzodm.so.2 through LuaJIT's FFI: no compiler, no C module.

    local zodm = require("zodm")
    assert(zodm.init("127.0.0.1"))     -- optional; 127.0.0.1 is the default
    zodm.display(1, 2)                 -- sends "!0,1,2"
    zodm.partial(2, 1, 0, 0, 100, 200)
    zodm.erase(3)
    local command, reason = zodm.parse("!1,2,1,0,0,100,200")

The library is loaded from, in this order: the path in the environment
variable ZODM_LIBRARY; libzodm.so.2 in the directory of this file (how an
application's plugin carries it); the soname libzodm.so.2, wherever the
dynamic loader finds it.

Failures that the caller must expect (a refused request text, an address
that is not IPv4, a busy port) return nil and a message. Arguments of the
wrong kind (a value that is not an integer in 32 bits, a text with a NUL)
raise an error that names the argument, before anything reaches the
library: nothing passed from Lua can make the library read or write out of
bounds.
]]

local ffi = require("ffi")

local zodm = {}

-- The declarations of include/zodm.h, token for token (lua/tests/
-- cdef_test.lua compares them): the header's integer macros become the
-- second enum, since the FFI reads no macros.
local declarations = [[
enum {
  DM_CMD_DISPLAY = 0,
  DM_CMD_DISPLAY_PARTIAL = 1,
  DM_CMD_DUMP = 2,
  DM_CMD_ERASE_TO_WHITE = 3,
  DM_CMD_UNDEFINED = 4
};
enum {
  DM_SERVER_PORT = 50555,
  DM_MAX_X = 768,
  DM_MAX_Y = 1024,
  DM_MAX_LEVEL = 3,
  DM_FRAME_SIZE = 75,
  DM_NAME_SIZE = 128,
  DM_ARG_SIZE = 256,
  DM_MAX_ARGS = 6
};
typedef struct DmCommand {
  int32_t code;
  int32_t priority;
  int32_t quality;
  int32_t xUp;
  int32_t yUp;
  int32_t xDown;
  int32_t yDown;
} DmCommand;
typedef struct DmMessage {
  char name[DM_NAME_SIZE];
  int32_t code;
  char args[DM_MAX_ARGS][DM_ARG_SIZE];
  int32_t argc;
} DmMessage;
int32_t dmGetServerPort(int32_t* port);
void dmMessageFramer(char* buffer, const DmCommand* command);
int32_t dmMessageInit(const char* serverAddress);
int32_t dmDisplay(int32_t priority, int32_t quality);
int32_t dmDisplayPartial(int32_t priority, int32_t quality,
                         int32_t xUp, int32_t yUp, int32_t xDown,
                         int32_t yDown);
int32_t dmDisplayEraseToWhite(int32_t priority);
int32_t dmDump(void);
int32_t initServer(int32_t* socketOut, int32_t loopbackOnly);
int32_t dmParseMessage(const char* text, DmMessage* message);
void zoDmGetArgs(const char* argumentText, DmMessage* message,
                 int32_t count);
int32_t dmParseCommand(const DmMessage* message, DmCommand* command);
int32_t dmValidateCommand(const DmCommand* command);
int32_t dmMessageParser(const char* text, DmCommand* command);
]]

-- What the binding needs from the C library, under names of its own (asm
-- gives the real symbol), so that they never clash with the declarations of
-- another module in the same process. No off_t, whose size differs between
-- C libraries on 32-bit targets: mmap64 takes a 64-bit offset in glibc and
-- musl alike.
local libc_declarations = [[
struct zodm_pollfd { int fd; short events; short revents; };
int zodm_poll(struct zodm_pollfd* fds, unsigned long nfds, int timeout)
  asm("poll");
intptr_t zodm_recv(int fd, void* buffer, size_t length, int flags)
  asm("recv");
int zodm_close(int fd) asm("close");
int zodm_dup(int fd) asm("dup");
int zodm_dup2(int fd, int to) asm("dup2");
char* zodm_strerror(int error) asm("strerror");
void* zodm_tmpfile(void) asm("tmpfile");
int zodm_fileno(void* stream) asm("fileno");
int zodm_fflush(void* stream) asm("fflush");
void zodm_rewind(void* stream) asm("rewind");
size_t zodm_fread(void* buffer, size_t size, size_t count, void* stream)
  asm("fread");
int zodm_fclose(void* stream) asm("fclose");
int zodm_open(const char* path, int flags, ...) asm("open");
intptr_t zodm_read(int fd, void* buffer, size_t length) asm("read");
intptr_t zodm_write(int fd, const void* buffer, size_t length) asm("write");
void* zodm_mmap(void* address, size_t length, int protection, int flags,
                int fd, int64_t offset) asm("mmap64");
int zodm_munmap(void* address, size_t length) asm("munmap");
]]

-- The FFI refuses to declare a type or a constant twice, and the process
-- may have some already: from another copy of this file (two plugins, each
-- with its own) or from the application's own declarations of zodm.h.
-- So each declaration, and each constant of an enum, is made on its own,
-- and one that is there already stays as it is.
local function declare_one(text)
  local ok, problem = pcall(ffi.cdef, text)
  if not ok and not problem:find("attempt to redefine", 1, true) then
    error(problem, 0)
  end
end

local function declare(text)
  local depth, start = 0, 1
  for position = 1, #text do
    local character = text:sub(position, position)
    if character == "{" then
      depth = depth + 1
    elseif character == "}" then
      depth = depth - 1
    elseif character == ";" and depth == 0 then
      local declaration = text:sub(start, position)
      if declaration:match("^%s*enum%s*{") then
        for name, value in declaration:gmatch("([%w_]+)%s*=%s*(%-?%d+)") do
          declare_one(("enum { %s = %s };"):format(name, value))
        end
      else
        declare_one(declaration)
      end
      start = position + 1
    end
  end
end
declare(declarations)
declare(libc_declarations)
local C = ffi.C

local LIBRARY = "libzodm.so.2"

-- The directory of this file, or nil when it was not loaded from a file.
local function own_directory()
  local source = debug.getinfo(1, "S").source
  if source:sub(1, 1) ~= "@" then
    return nil
  end
  return source:match("^@(.*)/[^/]*$") or "."
end

local function exists(path)
  local file = io.open(path, "rb")
  if file then
    file:close()
  end
  return file ~= nil
end

local function load_library()
  local path, what = os.getenv("ZODM_LIBRARY"), "the path in ZODM_LIBRARY"
  if not path or path == "" then
    local directory = own_directory()
    path, what = directory and directory .. "/" .. LIBRARY,
                 "the library beside zodm.lua"
    if not (path and exists(path)) then
      path, what = LIBRARY, "the soname"
    end
  end
  -- Only the first one found is tried: a library that is there but does
  -- not load (built for another architecture, say) is an error, not a
  -- reason to take another.
  local ok, library = pcall(ffi.load, path)
  if not ok then
    error(("zodm: cannot load %s, %s (%s); install libzodm, put %s beside "
           .. "zodm.lua, or name the library in ZODM_LIBRARY")
          :format(path, what, tostring(library), LIBRARY), 0)
  end
  return library, path
end

local lib, library_path = load_library()

--- The library itself: every function and record of zodm.h, as declared
-- above.
zodm.lib = lib
--- Where the library was loaded from: a path, or the soname.
zodm.library_path = library_path

zodm.SERVER_PORT = C.DM_SERVER_PORT
zodm.MAX_X = C.DM_MAX_X
zodm.MAX_Y = C.DM_MAX_Y
zodm.MAX_LEVEL = C.DM_MAX_LEVEL
zodm.FRAME_SIZE = C.DM_FRAME_SIZE
zodm.DEFAULT_SERVER = "127.0.0.1"
zodm.DISPLAY = C.DM_CMD_DISPLAY
zodm.DISPLAY_PARTIAL = C.DM_CMD_DISPLAY_PARTIAL
zodm.DUMP = C.DM_CMD_DUMP
zodm.ERASE_TO_WHITE = C.DM_CMD_ERASE_TO_WHITE
zodm.UNDEFINED = C.DM_CMD_UNDEFINED

-- A UDP payload is at most 65,535 bytes; one more holds the NUL.
local MAX_DATAGRAM = 65535
local POLLIN = 1
local MSG_DONTWAIT = 0x40  -- the same on every Linux target
local EINTR, EAGAIN = 4, 11

-- ---- Arguments ----

local function describe(value)
  if type(value) == "string" then
    return ("string %q"):format(#value > 20 and value:sub(1, 20) .. "..."
                                or value)
  elseif type(value) == "number" then
    return "number " .. tostring(value)
  end
  return type(value)
end

-- value as a Lua number, if it is an integer that fits in 32 bits (a Lua
-- number or a 64-bit FFI integer); raises naming the argument otherwise.
-- level 3: the error points at the caller of the public function.
local function int32(func, name, value)
  local number = value
  if type(value) == "cdata" and (ffi.istype("int64_t", value)
                                 or ffi.istype("uint64_t", value)) then
    number = tonumber(value)
  end
  if type(number) ~= "number" or number % 1 ~= 0
     or number < -2147483648 or number > 2147483647 then
    error(("zodm.%s: %s must be an integer in 32 bits, not %s")
          :format(func, name, describe(value)), 3)
  end
  return number
end

local function text_argument(func, name, value)
  if type(value) ~= "string" then
    error(("zodm.%s: %s must be a string, not %s")
          :format(func, name, describe(value)), 3)
  end
  if value:find("\0", 1, true) then
    error(("zodm.%s: %s contains a NUL byte"):format(func, name), 3)
  end
  return value
end

-- ---- Diagnostics ----

local read_buffer = ffi.new("char[?]", 65536)

-- Runs call(...) with descriptor 2 pointed at a temporary file and returns
-- its result and the non-empty lines that the library wrote there, joined
-- by "\n". Without a temporary file, the call runs uncaptured and the
-- lines are nil.
local function captured(call, ...)
  C.zodm_fflush(nil)
  local file = C.zodm_tmpfile()
  if file == nil then
    return call(...), nil
  end
  local saved = C.zodm_dup(2)
  if saved < 0 or C.zodm_dup2(C.zodm_fileno(file), 2) < 0 then
    if saved >= 0 then
      C.zodm_close(saved)
    end
    C.zodm_fclose(file)
    return call(...), nil
  end
  local result = call(...)
  C.zodm_fflush(nil)
  C.zodm_dup2(saved, 2)
  C.zodm_close(saved)
  C.zodm_rewind(file)
  local chunks = {}
  repeat
    local count = tonumber(C.zodm_fread(read_buffer, 1, 65536, file))
    chunks[#chunks + 1] = ffi.string(read_buffer, count)
  until count < 65536
  C.zodm_fclose(file)
  local lines = {}
  for line in table.concat(chunks):gmatch("[^\n]+") do
    lines[#lines + 1] = line
  end
  return result, table.concat(lines, "\n")
end

-- ---- Client ----

--- Points the client at address, a dotted-decimal IPv4 address. Returns
-- true, or nil and the library's diagnostic.
function zodm.init(address)
  text_argument("init", "address", address)
  local result, diagnostics = captured(lib.dmMessageInit, address)
  if result == 0 then
    return true
  end
  if diagnostics and diagnostics ~= "" then
    return nil, diagnostics
  end
  return nil, result == -1 and address .. " is not a dotted-decimal IPv4 address"
              or "cannot create the client's socket"
end

--- Sends a full update. Returns true: requests get no reply.
function zodm.display(priority, quality)
  lib.dmDisplay(int32("display", "priority", priority),
                int32("display", "quality", quality))
  return true
end

--- Sends a partial update of the rectangle between two corners.
function zodm.partial(priority, quality, x_up, y_up, x_down, y_down)
  lib.dmDisplayPartial(int32("partial", "priority", priority),
                       int32("partial", "quality", quality),
                       int32("partial", "x_up", x_up),
                       int32("partial", "y_up", y_up),
                       int32("partial", "x_down", x_down),
                       int32("partial", "y_down", y_down))
  return true
end

--- Sends an erase to white.
function zodm.erase(priority)
  lib.dmDisplayEraseToWhite(int32("erase", "priority", priority))
  return true
end

-- The fields of a command table, in the order of DmCommand's.
local FIELDS = {
  {"code", "code"}, {"priority", "priority"}, {"quality", "quality"},
  {"x_up", "xUp"}, {"y_up", "yUp"}, {"x_down", "xDown"}, {"y_down", "yDown"},
}

local function command_table(record)
  local command = {}
  for _, field in ipairs(FIELDS) do
    command[field[1]] = record[field[2]]
  end
  return command
end

--- The request text the client sends for command, a table {code=,
-- priority=, quality=, x_up=, y_up=, x_down=, y_down=} (missing values are
-- 0, code is required; any other key raises an error that names it).
-- Returns nil and the reason for a code the client does not send (anything
-- but DISPLAY, DISPLAY_PARTIAL and ERASE_TO_WHITE).
local KNOWN_FIELDS = {}
for _, field in ipairs(FIELDS) do
  KNOWN_FIELDS[field[1]] = true
end

function zodm.frame(command)
  if type(command) ~= "table" then
    error(("zodm.frame: command must be a table, not %s")
          :format(describe(command)), 2)
  end
  -- A misspelt field (prio=5) would otherwise be sent as 0.
  for key in pairs(command) do
    if not KNOWN_FIELDS[key] then
      error(("zodm.frame: command has no field %s (fields: code, priority, "
             .. "quality, x_up, y_up, x_down, y_down)")
            :format(type(key) == "string" and key or describe(key)), 2)
    end
  end
  local record = ffi.new("DmCommand")
  for _, field in ipairs(FIELDS) do
    local value = command[field[1]]
    if value == nil and field[1] ~= "code" then
      value = 0
    end
    record[field[2]] = int32("frame", "command." .. field[1], value)
  end
  local code = record.code
  if code ~= zodm.DISPLAY and code ~= zodm.DISPLAY_PARTIAL
     and code ~= zodm.ERASE_TO_WHITE then
    return nil, ("code %d is not a request the client sends"):format(code)
  end
  local buffer = ffi.new("char[?]", zodm.FRAME_SIZE)
  lib.dmMessageFramer(buffer, record)
  return ffi.string(buffer)
end

-- ---- Server side ----

--- The checked request in text, as dmMessageParser reads it: a command
-- table, or nil and the library's diagnostics, one line each.
function zodm.parse(text)
  text_argument("parse", "text", text)
  local record = ffi.new("DmCommand")
  local result, diagnostics = captured(lib.dmMessageParser, text, record)
  if result ~= 0 then
    return nil, diagnostics or "refused (diagnostics not captured)"
  end
  return command_table(record)
end

local Server = {}
Server.__index = Server

local function close_descriptor(cell)
  if cell[0] >= 0 then
    C.zodm_close(cell[0])
    cell[0] = -1
  end
end

--- The display service's socket, bound with initServer to port 50555 on
-- 127.0.0.1, or on every address when loopback_only is false. Returns the
-- server, or nil, a message and the errno value (98, EADDRINUSE, when
-- another service holds the port). A server that is garbage-collected
-- without close() closes its socket then.
function zodm.Server(loopback_only)
  if loopback_only == nil then
    loopback_only = true
  elseif type(loopback_only) ~= "boolean" then
    error(("zodm.Server: loopback_only must be a boolean, not %s")
          :format(describe(loopback_only)), 2)
  end
  local fd = ffi.new("int32_t[1]", -1)
  local result = lib.initServer(fd, loopback_only and 1 or 0)
  local errno = ffi.errno()
  if result ~= 0 then
    close_descriptor(fd)
    return nil, ("cannot bind port %d: %s")
                :format(zodm.SERVER_PORT, ffi.string(C.zodm_strerror(errno))),
           errno
  end
  return setmetatable({
    _fd = ffi.gc(fd, close_descriptor),
    _buffer = ffi.new("char[?]", MAX_DATAGRAM + 1),
    _poll = ffi.new("struct zodm_pollfd[1]"),
  }, Server)
end

--- The socket's descriptor, -1 once closed.
function Server:fileno()
  return self._fd[0]
end

--- The next datagram as a table {text=, accepted=, command=, diagnostics=}
-- (command is nil when the text is refused; diagnostics holds the
-- library's lines about it, "" for none), or nil and "timeout" when timeout
-- seconds pass without one (nil: wait as long as it takes), or nil and the
-- reason on an error.
function Server:receive(timeout)
  local milliseconds = -1
  if timeout ~= nil then
    if type(timeout) ~= "number" or timeout ~= timeout or timeout < 0
       or timeout == math.huge then
      error(("zodm.Server:receive: timeout must be a finite number of "
             .. "seconds from 0, not %s"):format(describe(timeout)), 2)
    end
    milliseconds = math.min(math.ceil(timeout * 1000), 2147483647)
  end
  local fd = self._fd[0]
  if fd < 0 then
    return nil, "closed"
  end
  local poll, buffer = self._poll, self._buffer
  local length
  repeat
    poll[0].fd, poll[0].events, poll[0].revents = fd, POLLIN, 0
    local ready = C.zodm_poll(poll, 1, milliseconds)
    if ready == 0 then
      return nil, "timeout"
    end
    if ready > 0 then
      length = tonumber(C.zodm_recv(fd, buffer, MAX_DATAGRAM, MSG_DONTWAIT))
    end
    local errno = ffi.errno()
    if (ready < 0 or length < 0) and errno ~= EINTR and errno ~= EAGAIN then
      return nil, ffi.string(C.zodm_strerror(errno))
    end
  until length and length >= 0
  -- The parser reads up to the first NUL; the text keeps every byte.
  buffer[length] = 0
  local record = ffi.new("DmCommand")
  local result, diagnostics = captured(lib.dmMessageParser, buffer, record)
  local command = result == 0 and command_table(record) or nil
  return {
    text = ffi.string(buffer, length),
    accepted = command ~= nil,
    command = command,
    diagnostics = diagnostics or "",
  }
end

--- Closes the socket; closing again does nothing.
function Server:close()
  close_descriptor(self._fd)
end

-- ---- Framebuffer ----

zodm.WIDTH = zodm.MAX_X + 1
zodm.HEIGHT = zodm.MAX_Y + 1
zodm.FRAMEBUFFER_SIZE = zodm.WIDTH * zodm.HEIGHT

-- The same on x86, ARM and AArch64 Linux.
local O_RDWR, O_CREAT, O_EXCL = 2, 0x40, 0x80
local PROT_READ_WRITE, MAP_SHARED = 3, 1
local EEXIST = 17
local MAP_FAILED = ffi.cast("void*", -1)

local Framebuffer = {}
Framebuffer.__index = Framebuffer

-- The mapping's address lives in a cell of its own, which the collector
-- unmaps: a finalizer that held the framebuffer's table would keep it alive.
local function unmap(cell)
  if cell[0] ~= nil then
    C.zodm_munmap(cell[0], zodm.FRAMEBUFFER_SIZE)
    cell[0] = nil
  end
end

-- Writes all of buffer to fd; false when it cannot.
local function write_all(fd, buffer, length)
  local done = 0
  while done < length do
    local count = tonumber(C.zodm_write(fd, buffer + done, length - done))
    if count < 0 and ffi.errno() ~= EINTR then
      return false
    end
    done = done + math.max(count, 0)
  end
  return true
end

-- The number of bytes in the file open on fd, read through fd itself (no
-- off_t); at most limit + 1.
local function file_size(fd, limit)
  local chunk = ffi.new("uint8_t[?]", 65536)
  local size = 0
  while size <= limit do
    local count = tonumber(C.zodm_read(fd, chunk, 65536))
    if count == 0 then
      break
    elseif count < 0 then
      if ffi.errno() ~= EINTR then
        return nil
      end
    else
      size = size + count
    end
  end
  return size
end

--- The display's framebuffer, a file shared with the display service
-- (zodm-screen --framebuffer FILE): WIDTH x HEIGHT pixels, one byte of
-- gray each (0 black, 255 white), row after row, no header. The file is
-- created white when it does not exist. Drawing changes the file at once,
-- through a shared mmap; the display shows it once a request refreshes it.
-- Returns the framebuffer, or nil and the reason (the file cannot be
-- opened or mapped, or has another size).
--
-- fb.pixels is a uint8_t* to all FRAMEBUFFER_SIZE bytes and fb.rows the
-- same as rows of WIDTH (fb.rows[y][x]), both from 0 and, like every FFI
-- pointer, unchecked; fb:row(y) checks y. A framebuffer collected without
-- close() is unmapped then.
function zodm.Framebuffer(path)
  text_argument("Framebuffer", "path", path)
  local size = zodm.FRAMEBUFFER_SIZE
  local fd = C.zodm_open(path, bit.bor(O_RDWR, O_CREAT, O_EXCL),
                         ffi.cast("int", 438))  -- 0666, less the umask
  if fd >= 0 then
    local white = ffi.new("uint8_t[?]", size)
    ffi.fill(white, size, 255)
    if not write_all(fd, white, size) then
      local reason = ffi.string(C.zodm_strerror(ffi.errno()))
      C.zodm_close(fd)
      return nil, ("cannot write %s: %s"):format(path, reason)
    end
    C.zodm_close(fd)
  elseif ffi.errno() ~= EEXIST then
    return nil, ("cannot open %s: %s")
                :format(path, ffi.string(C.zodm_strerror(ffi.errno())))
  end
  fd = C.zodm_open(path, O_RDWR)
  if fd < 0 then
    return nil, ("cannot open %s: %s")
                :format(path, ffi.string(C.zodm_strerror(ffi.errno())))
  end
  local found = file_size(fd, size)
  local map = found == size
              and C.zodm_mmap(nil, size, PROT_READ_WRITE, MAP_SHARED, fd, 0)
  local errno = ffi.errno()
  C.zodm_close(fd)
  if found ~= size then
    if not found then
      return nil, ("cannot read %s: %s")
                  :format(path, ffi.string(C.zodm_strerror(errno)))
    end
    return nil, ("%s is %s bytes long, not %d (%d x %d pixels, one byte "
                 .. "each)"):format(path, found > size and "more than " .. size
                                    or tostring(found), size, zodm.WIDTH,
                                    zodm.HEIGHT)
  end
  if map == MAP_FAILED then
    return nil, ("cannot map %s: %s")
                :format(path, ffi.string(C.zodm_strerror(errno)))
  end
  return setmetatable({
    pixels = ffi.cast("uint8_t*", map),
    rows = ffi.cast(("uint8_t (*)[%d]"):format(zodm.WIDTH), map),
    _map = ffi.gc(ffi.new("void*[1]", map), unmap),
  }, Framebuffer)
end

local function mapped(framebuffer, func)
  if framebuffer._map[0] == nil then
    error(("zodm.Framebuffer:%s: the framebuffer is closed"):format(func), 3)
  end
end

--- Row y (0..HEIGHT-1) as a uint8_t* to its WIDTH bytes, left to right.
function Framebuffer:row(y)
  mapped(self, "row")
  y = int32("Framebuffer:row", "y", y)
  if y < 0 or y >= zodm.HEIGHT then
    error(("zodm.Framebuffer:row: y must be in 0..%d, not %d")
          :format(zodm.HEIGHT - 1, y), 2)
  end
  return self.pixels + y * zodm.WIDTH
end

--- Sets the rectangle between corners (x0, y0) and (x1, y1), both
-- included, in either order and cut to the display area, to gray (0..255).
function Framebuffer:fill(x0, y0, x1, y1, gray)
  mapped(self, "fill")
  local func = "Framebuffer:fill"
  x0, y0 = int32(func, "x0", x0), int32(func, "y0", y0)
  x1, y1 = int32(func, "x1", x1), int32(func, "y1", y1)
  gray = int32(func, "gray", gray)
  if gray < 0 or gray > 255 then
    error(("zodm.Framebuffer:fill: gray must be in 0..255, not %d")
          :format(gray), 2)
  end
  local left = math.max(math.min(x0, x1), 0)
  local right = math.min(math.max(x0, x1), zodm.MAX_X)
  local top = math.max(math.min(y0, y1), 0)
  local bottom = math.min(math.max(y0, y1), zodm.MAX_Y)
  for y = top, bottom do
    if left <= right then
      ffi.fill(self.pixels + y * zodm.WIDTH + left, right - left + 1, gray)
    end
  end
end

--- Unmaps the file; pixels, rows and rows from row() must no longer be
-- used. Closing again does nothing.
function Framebuffer:close()
  unmap(self._map)
  self.pixels, self.rows = nil, nil
end

return zodm
