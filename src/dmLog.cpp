#include "dmLog.h"

#include <syslog.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace zodm {

void dmLog(Level level, const char* module, int line, const char* func,
           const char* format, ...) {
  // One combined format, built from constants only: the prefix is expanded
  // here (module and function names hold no '%'), the message's own literal
  // format follows. Values, received texts included, stay arguments of it, so
  // they are never read as a format and never cut to a line buffer's size.
  std::array<char, 512> combined;
  const int prefix =
      std::snprintf(combined.data(), combined.size(), "(%c)%s:%d,%s() ",
                    static_cast<char>(level), module, line, func);
  if (prefix < 0) return;
  const auto used = static_cast<std::size_t>(prefix);
  if (used < combined.size()) {
    // Formats are short literals; a longer one would be cut, never overrun.
    const std::size_t room = combined.size() - used - 1;
    const std::size_t length = std::min(std::strlen(format), room);
    std::memcpy(combined.data() + used, format, length);
    combined[used + length] = '\0';
  }

  const int priority = level == Level::Error ? LOG_ERR : LOG_WARNING;
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  // The combined format is the caller's literal behind a fixed prefix; the
  // compiler checked the literal against its arguments at the call site.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  vsyslog(priority, combined.data(), args);
  std::vfprintf(stderr, combined.data(), again);
#pragma GCC diagnostic pop
  va_end(again);
  va_end(args);
}

}  // namespace zodm
