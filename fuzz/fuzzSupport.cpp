// SPDX-License-Identifier: MIT
#include "fuzzSupport.h"

#include <syslog.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

// Refused inputs make the library report on syslog and standard error, a few
// lines per input. The harness executables drop the syslog half here, so
// nothing reaches the system log.
extern "C" {
void vsyslog(int, const char*, va_list) {}
void syslog(int, const char*, ...) {}
// Fortified builds call these instead.
void __vsyslog_chk(int, int, const char*, va_list) {}
void __syslog_chk(int, int, const char*, ...) {}

// Called once before the first input, by libFuzzer and by the replay driver.
// Points the C library's stderr stream at /dev/null, which silences the
// library's diagnostics; descriptor 2 stays open, so sanitizer reports,
// libFuzzer's own output and fail() still reach the terminal.
int LLVMFuzzerInitialize(int*, char***) {
  if (FILE* sink = std::fopen("/dev/null", "w")) stderr = sink;
  return 0;
}
}

namespace zodm::fuzz {

void fail(const char* what, std::string_view detail) {
  dprintf(STDERR_FILENO, "zodm fuzz check failed: %s (%.*s)\n", what,
          static_cast<int>(detail.size() > 200 ? 200 : detail.size()),
          detail.data());
  std::abort();
}

std::string referenceField(const char* text, int index) {
  const char* at = text;
  for (int i = 0; i < index; ++i) {
    const char* comma = std::strchr(at, ',');
    if (comma == nullptr) return {};
    at = comma + 1;
  }
  const std::size_t length = std::strcspn(at, ",");
  return std::string(at, length < DM_ARG_SIZE - 1 ? length : DM_ARG_SIZE - 1);
}

int32_t referenceNumber(const std::string& field) {
  const long value = std::strtol(field.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

bool referenceValid(const DmCommand& c) {
  const auto level = [](int32_t v) { return v >= 0 && v <= DM_MAX_LEVEL; };
  const auto x = [](int32_t v) { return v >= 0 && v <= DM_MAX_X; };
  const auto y = [](int32_t v) { return v >= 0 && v <= DM_MAX_Y; };
  switch (c.code) {
    case DM_CMD_DISPLAY:
      return level(c.priority) && level(c.quality);
    case DM_CMD_DISPLAY_PARTIAL:
      return level(c.priority) && level(c.quality) && x(c.xUp) && x(c.xDown) &&
             y(c.yUp) && y(c.yDown) && c.xUp != c.xDown && c.yUp != c.yDown;
    case DM_CMD_DUMP:
      return true;
    case DM_CMD_ERASE_TO_WHITE:
      return level(c.priority);
    default:
      return false;
  }
}

}  // namespace zodm::fuzz
