// SPDX-License-Identifier: MIT
// Any DmCommand through the client's framer and back through the server's
// tokenizer and conversion. The input's bytes are the record (zero-filled
// when short). Its code as given must frame only if it is 0, 1 or 3, and
// dmValidateCommand must agree with an independent range check for any code.
// The code is then mapped onto 0, 1 or 3 so that every input also makes the
// round trip: a text of at most 74 characters, exactly as snprintf would
// write it, that reads back to the same fields.
#include <algorithm>
#include <cstdio>
#include <string>

#include "fuzzSupport.h"

namespace {

using namespace zodm::fuzz;

// The text snprintf writes for a command of code 0, 1 or 3.
std::string printed(const DmCommand& c) {
  char text[128];
  switch (c.code) {
    case DM_CMD_DISPLAY:
      std::snprintf(text, sizeof text, "!%d,%d,%d", c.code, c.priority,
                    c.quality);
      break;
    case DM_CMD_DISPLAY_PARTIAL:
      std::snprintf(text, sizeof text, "!%d,%d,%d,%d,%d,%d,%d", c.code,
                    c.priority, c.quality, c.xUp, c.yUp, c.xDown, c.yDown);
      break;
    default:
      std::snprintf(text, sizeof text, "!%d,%d", c.code, c.priority);
      break;
  }
  return text;
}

// Frames command into a guarded buffer and returns the text.
std::string framed(const DmCommand& command) {
  Guarded<char[DM_FRAME_SIZE]> buffer;
  dmMessageFramer(buffer.value, &command);
  check(buffer.guardsIntact(), "framer wrote outside its buffer");
  check(terminated(buffer.value, DM_FRAME_SIZE), "framed text not terminated");
  return buffer.value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  DmCommand command{};
  std::memcpy(&command, data, std::min(size, sizeof command));

  check(dmValidateCommand(&command) == (referenceValid(command) ? 0 : -1),
        "validation disagrees with the range check",
        std::to_string(command.code));
  const bool frameable = command.code == DM_CMD_DISPLAY ||
                         command.code == DM_CMD_DISPLAY_PARTIAL ||
                         command.code == DM_CMD_ERASE_TO_WHITE;
  if (!frameable)
    check(framed(command) == "error", "unsupported code framed",
          std::to_string(command.code));

  static constexpr int32_t kCodes[] = {DM_CMD_DISPLAY, DM_CMD_DISPLAY_PARTIAL,
                                       DM_CMD_ERASE_TO_WHITE};
  command.code = kCodes[static_cast<uint32_t>(command.code) % 3];
  const std::string text = framed(command);
  check(text.size() <= 74, "framed text too long", text);
  check(text == printed(command), "framed text differs from printf's", text);

  Guarded<DmMessage> message;
  check(dmParseMessage(text.c_str(), &message.value) == 0,
        "framed text refused", text);
  check(message.value.code == command.code, "code changed", text);
  Guarded<DmCommand> back;
  check(dmParseCommand(&message.value, &back.value) == 0,
        "framed text not converted", text);
  check(message.guardsIntact() && back.guardsIntact(), "write outside a record",
        text);

  const DmCommand& b = back.value;
  check(b.code == command.code && b.priority == command.priority,
        "code or priority changed", text);
  if (command.code != DM_CMD_ERASE_TO_WHITE)
    check(b.quality == command.quality, "quality changed", text);
  else
    check(untouched(&b.quality, sizeof b.quality), "quality written", text);
  const bool partial = command.code == DM_CMD_DISPLAY_PARTIAL;
  if (partial)
    check(b.xUp == command.xUp && b.yUp == command.yUp &&
              b.xDown == command.xDown && b.yDown == command.yDown,
          "rectangle changed", text);
  else
    check(untouched(&b.xUp, 4 * sizeof(int32_t)), "rectangle written", text);

  check(dmValidateCommand(&b) == (referenceValid(command) ? 0 : -1),
        "validation of the round trip disagrees", text);
  return 0;
}
