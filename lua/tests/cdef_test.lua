-- SPDX-License-Identifier: MIT
-- The FFI declarations in lua/zodm.lua against include/zodm.h: the same
-- declarations, token for token and in the same order, the header's integer
-- macros written as one enum where the first of them stands. Any changed
-- record, field, size, constant or signature fails, naming both versions.
-- Needs no library: it reads the two files.
--
--   luajit cdef_test.lua HEADER MODULE EXPORTED-SYMBOLS

local header_path, module_path, symbols_path = arg[1], arg[2], arg[3]
assert(header_path and module_path and symbols_path,
       "usage: cdef_test.lua HEADER MODULE EXPORTED-SYMBOLS")

local function read(path)
  local file = assert(io.open(path, "rb"))
  local text = file:read("*a")
  file:close()
  return text
end

local function strip_comments(text)
  return (text:gsub("/%*.-%*/", " "):gsub("//[^\n]*", " "))
end

-- C tokens: words and numbers, string literals, single punctuation marks.
local function tokens(text)
  local list, position = {}, 1
  while true do
    local start = text:find("%S", position)
    if not start then
      return list
    end
    local token = text:match("^[%w_]+", start) or text:match('^"[^"]*"', start)
                  or text:sub(start, start)
    list[#list + 1] = token
    position = start + #token
  end
end

-- Top-level declarations (split at ";" outside braces), each as its tokens
-- joined by one space.
local function declarations(list)
  local result, current, depth = {}, {}, 0
  for _, token in ipairs(list) do
    current[#current + 1] = token
    if token == "{" then
      depth = depth + 1
    elseif token == "}" then
      depth = depth - 1
    elseif token == ";" and depth == 0 then
      result[#result + 1] = table.concat(current, " ")
      current = {}
    end
  end
  if #current > 0 then
    result[#result + 1] = table.concat(current, " ") .. " <unterminated>"
  end
  return result
end

-- What the header declares for C, in the form the FFI can read: the
-- preprocessor lines dropped (integer macros collected into one enum),
-- ZODM_API and the extern "C" block of C++ removed. Returns the
-- declarations and the header's string macros.
local function header_declarations(text)
  local kept, defines, strings = {}, {}, {}
  for line in (strip_comments(text) .. "\n"):gmatch("([^\n]*)\n") do
    local directive = line:match("^%s*#%s*(.*)$")
    if directive then
      assert(not line:find("\\%s*$"), "continued directive: " .. line)
      local name, value = directive:match("^define%s+([%w_]+)%s*(.-)%s*$")
      if name == "ZODM_H" or name == "ZODM_API" then -- luacheck: ignore
      elseif name and value:match("^%-?%d+$") then
        if #defines == 0 then
          kept[#kept + 1] = "__DEFINES__;"
        end
        defines[#defines + 1] = name .. " = " .. value
      elseif name and value:match('^"[^"]*"$') then
        strings[name] = value:sub(2, -2)
      elseif name then
        error("a macro the test does not know how to carry: " .. line)
      end
    else
      kept[#kept + 1] = line
    end
  end
  local list, result, depth, skip = tokens(table.concat(kept, "\n")), {}, 0, nil
  local i = 1
  -- skip: the depth at which the extern "C" block opened, while inside it.
  while i <= #list do
    local token = list[i]
    if token == "extern" and list[i + 1] == '"C"' and list[i + 2] == "{" then
      skip, i = depth, i + 3
    elseif token == "}" and depth == skip then
      skip, i = nil, i + 1
    else
      if token == "{" then
        depth = depth + 1
      elseif token == "}" then
        depth = depth - 1
      end
      if token ~= "ZODM_API" then
        result[#result + 1] = token
      end
      i = i + 1
    end
  end
  local found = declarations(result)
  for index, declaration in ipairs(found) do
    if declaration == "__DEFINES__ ;" then
      found[index] = table.concat(tokens("enum { " .. table.concat(defines, ", ")
                                         .. " } ;"), " ")
    end
  end
  return found, strings
end

-- The string of `local declarations = [[...]]` in the module.
local function module_declarations(text)
  local block = assert(text:match("\nlocal declarations = %[%[\n(.-)%]%]"),
                       "no `local declarations = [[` block in the module")
  return declarations(tokens(strip_comments(block)))
end

-- A description of the first difference between two lists, or nil.
local function difference(expected, actual)
  for index = 1, math.max(#expected, #actual) do
    if expected[index] ~= actual[index] then
      return ("declaration %d differs:\n  header: %s\n  module: %s")
             :format(index, expected[index] or "(none)",
                     actual[index] or "(none)")
    end
  end
  return nil
end

local passed, failed = 0, 0
local function check(name, condition, message)
  if condition then
    passed = passed + 1
  else
    failed = failed + 1
    io.stderr:write(("FAILED %s: %s\n"):format(name, message or ""))
  end
end

local header, module_text = read(header_path), read(module_path)
local expected, strings = header_declarations(header)
local actual = module_declarations(module_text)
local problem = difference(expected, actual)
check("declarations match the header", problem == nil, problem)

-- Every exported function is declared, and nothing else is.
local declared = {}
for _, declaration in ipairs(actual) do
  local name = declaration:match("([%w_]+) %(")
  if name then
    declared[#declared + 1] = name
  end
end
local exported = {}
for name in read(symbols_path):gmatch("[%w_]+") do
  exported[#exported + 1] = name
end
table.sort(declared)
table.sort(exported)
check("the exported functions are declared",
      table.concat(declared, " ") == table.concat(exported, " "),
      "declared: " .. table.concat(declared, " ") .. "\n  exported: "
      .. table.concat(exported, " "))

-- The one string macro is a plain Lua value of the module.
check("DM_DEFAULT_SERVER", module_text:find(
  ('zodm.DEFAULT_SERVER = "%s"\n'):format(strings.DM_DEFAULT_SERVER or "?"),
  1, true), "zodm.DEFAULT_SERVER is not " .. tostring(strings.DM_DEFAULT_SERVER))

-- The comparison itself sees each kind of drift: each change of the header
-- must make it fail.
local drifts = {
  {"a field's type", "int32_t yDown;", "int64_t yDown;"},
  {"a field's name", "int32_t xUp;", "int32_t x_up;"},
  {"an added field", "int32_t argc;", "int32_t argc;\n  int32_t flags;"},
  {"a size", "#define DM_ARG_SIZE 256", "#define DM_ARG_SIZE 512"},
  {"a constant", "#define DM_MAX_Y 1024", "#define DM_MAX_Y 1023"},
  {"a code", "DM_CMD_DUMP = 2,", "DM_CMD_DUMP = 5,"},
  {"an argument's type", "int32_t count);", "uint32_t count);"},
  {"a constness", "(const DmCommand* command);", "(DmCommand* command);"},
  {"a result type", "void dmMessageFramer", "int32_t dmMessageFramer"},
  {"an added function", "ZODM_API int32_t dmDump(void);",
   "ZODM_API int32_t dmDump(void);\nZODM_API int32_t dmReset(void);"},
}
for _, drift in ipairs(drifts) do
  local start, finish = header:find(drift[2], 1, true)
  local changed = start and header:sub(1, start - 1) .. drift[3]
                  .. header:sub(finish + 1)
  check("drift " .. drift[1] .. " is seen",
        changed and difference(header_declarations(changed), actual) ~= nil,
        changed and "the comparison missed it"
        or "the header no longer holds " .. drift[2])
end

print(("%d passed, %d failed"):format(passed, failed))
os.exit(failed == 0 and 0 or 1)
