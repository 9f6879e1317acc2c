// SPDX-License-Identifier: MIT
// Any count and any bytes through zoDmGetArgs: the first four bytes are the
// count (negative and huge ones included), the rest is the argument text.
// Only the first min(count, 6) slots may change, each to its field cut to 255
// characters; nothing else in or around the record may be written.
#include <algorithm>
#include <string>

#include "fuzzSupport.h"

using namespace zodm::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  int32_t count = 0;
  const std::size_t head = std::min(size, sizeof count);
  std::memcpy(&count, data, head);
  const std::string bytes(reinterpret_cast<const char*>(data) + head,
                          size - head);
  const char* const text = bytes.c_str();

  Guarded<DmMessage> guarded;
  DmMessage& m = guarded.value;
  zoDmGetArgs(text, &m, count);

  check(guarded.guardsIntact(), "zoDmGetArgs wrote outside its record", text);
  check(untouched(m.name, sizeof m.name) && untouched(&m.code, sizeof m.code) &&
            untouched(&m.argc, sizeof m.argc),
        "zoDmGetArgs wrote outside args", text);
  const int filled = std::clamp(count, 0, DM_MAX_ARGS);
  for (int i = 0; i < DM_MAX_ARGS; ++i) {
    const char* const slot = m.args[static_cast<std::size_t>(i)];
    if (i >= filled) {
      check(untouched(slot, DM_ARG_SIZE), "slot past count written", text);
      continue;
    }
    check(terminated(slot, DM_ARG_SIZE), "slot not terminated", text);
    check(slot == referenceField(text, i), "wrong field", text);
  }
  return 0;
}
