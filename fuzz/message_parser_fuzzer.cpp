// SPDX-License-Identifier: MIT
// Any bytes, as a NUL-terminated text, through dmParseMessage and through the
// whole receive pipeline, dmMessageParser. Each result is compared with a
// small model of the tokenizer and the conversion, and every record is
// checked for writes outside its bounds and for unterminated texts.
#include <array>
#include <string>
#include <string_view>

#include "fuzzSupport.h"

namespace {

using namespace zodm::fuzz;

struct TokenRow {
  std::string_view symbolic;
  std::string_view numeric;
  int32_t code;
  int32_t argc;
};

constexpr TokenRow kRows[] = {
    {"dmDisplay", "0", DM_CMD_DISPLAY, 2},
    {"dmDisplayPartial", "1", DM_CMD_DISPLAY_PARTIAL, 6},
    {"dmDump", "2", DM_CMD_DUMP, 1},
    {"dmEraseToWhite", "3", DM_CMD_ERASE_TO_WHITE, 1},
};

// What the tokenizer must make of a text.
struct Model {
  bool hasBang = false;
  const TokenRow* row = nullptr;  // null: refused
  std::string_view token;
  std::array<std::string, DM_MAX_ARGS> fields;
};

Model model(const char* text) {
  Model m;
  m.hasBang = text[0] == '!';
  if (!m.hasBang) return m;
  const std::string_view rest(text + 1);
  m.token = rest.substr(0, rest.find(','));
  for (const TokenRow& row : kRows)
    if (m.token == row.symbolic || m.token == row.numeric) m.row = &row;
  if (m.row == nullptr) return m;
  const char* arguments = text + 1 + m.token.size();
  if (*arguments == ',') ++arguments;
  for (int i = 0; i < m.row->argc; ++i)
    m.fields[static_cast<std::size_t>(i)] = referenceField(arguments, i);
  return m;
}

void checkParseMessage(const char* text, const Model& expected) {
  Guarded<DmMessage> guarded;
  DmMessage& m = guarded.value;
  const int32_t rc = dmParseMessage(text, &m);

  check(guarded.guardsIntact(), "dmParseMessage wrote outside its record",
        text);
  for (int i = 0; i < DM_MAX_ARGS; ++i) {
    const auto slot = static_cast<std::size_t>(i);
    check(terminated(m.args[slot], DM_ARG_SIZE), "slot not terminated", text);
    const bool used = expected.row != nullptr && i < expected.row->argc;
    check(m.args[slot] == (used ? expected.fields[slot] : std::string()),
          "wrong argument field", text);
  }
  if (expected.row != nullptr) {
    check(rc == 0, "valid token refused", text);
    check(m.code == expected.row->code && m.argc == expected.row->argc,
          "wrong code or argc", text);
    check(terminated(m.name, DM_NAME_SIZE) && m.name == expected.token,
          "wrong name", text);
    return;
  }
  check(rc == -1 && m.code == DM_CMD_UNDEFINED, "unknown text accepted", text);
  if (expected.hasBang) {
    check(m.argc == -1 && std::string_view(m.name) == "Undefined",
          "undefined token not marked", text);
  } else {
    // Refused before the token: name and argc are not touched.
    check(untouched(m.name, sizeof m.name) && untouched(&m.argc, sizeof m.argc),
          "name or argc written without a '!'", text);
  }
}

void checkPipeline(const char* text, const Model& expected) {
  Guarded<DmCommand> guarded;
  const int32_t rc = dmMessageParser(text, &guarded.value);
  check(guarded.guardsIntact(), "dmMessageParser wrote outside its record",
        text);
  if (expected.row == nullptr) {
    check(rc == -1, "refused text accepted", text);
    check(untouched(&guarded.value, sizeof guarded.value),
          "command written for a refused text", text);
    return;
  }
  // Fields the code does not carry keep their fill bytes.
  Guarded<DmCommand> want;
  DmCommand& c = want.value;
  c.code = expected.row->code;
  int32_t* const carried[] = {&c.priority, &c.quality, &c.xUp,
                              &c.yUp,      &c.xDown,   &c.yDown};
  for (int i = 0; i < expected.row->argc; ++i) {
    const auto slot = static_cast<std::size_t>(i);
    *carried[slot] = referenceNumber(expected.fields[slot]);
  }
  check(std::memcmp(&c, &guarded.value, sizeof c) == 0, "wrong conversion",
        text);
  check(rc == (referenceValid(c) ? 0 : -1), "wrong validation", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // The service NUL-terminates each datagram; bytes after an embedded NUL are
  // invisible to the library and to the model alike.
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const char* const text = bytes.c_str();
  const Model expected = model(text);
  checkParseMessage(text, expected);
  checkPipeline(text, expected);
  return 0;
}
