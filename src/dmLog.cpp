// SPDX-License-Identifier: MIT
#include "dmLog.h"

#include <syslog.h>

#include <array>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace zodm {

namespace {

// The combined format: the prefix and the message's own literal format, with
// each over-long "%s" given a precision and followed by the cut mark. Built
// from constants only, so values are never read as a format. Appends only
// whole pieces: a conversion is never split, so a format cut short for want
// of room still consumes a prefix of the arguments, and nothing more.
class Format {
 public:
  bool append(std::string_view piece) {
    if (piece.size() >= text_.size() - used_) return false;
    std::memcpy(text_.data() + used_, piece.data(), piece.size());
    used_ += piece.size();
    text_[used_] = '\0';
    return true;
  }
  bool append(std::size_t number) {
    std::array<char, 24> digits;
    const auto end = std::to_chars(digits.begin(), digits.end(), number).ptr;
    return append(
        {digits.data(), static_cast<std::size_t>(end - digits.data())});
  }
  std::size_t size() const { return used_; }
  void truncate(std::size_t size) {
    used_ = size;
    text_[used_] = '\0';
  }
  const char* c_str() const { return text_.data(); }

 private:
  std::array<char, 512> text_{};
  std::size_t used_ = 0;
};

// Length of the printf directive that starts at directive[0] == '%', and
// reads from *args what it consumes. Sets value to the text of a "%s" without
// a precision. Returns 0 for a conversion the library's messages never use.
std::size_t scanConversion(const char* directive, va_list* args,
                           const char*& value) {
  value = nullptr;
  std::size_t i = 1;
  while (directive[i] != '\0' && std::strchr("-+ #0", directive[i]) != nullptr)
    ++i;
  if (directive[i] == '*') {
    (void)va_arg(*args, int);
    ++i;
  }
  while (directive[i] >= '0' && directive[i] <= '9') ++i;
  bool precision = false;
  if (directive[i] == '.') {
    precision = true;
    ++i;
    if (directive[i] == '*') {
      (void)va_arg(*args, int);
      ++i;
    }
    while (directive[i] >= '0' && directive[i] <= '9') ++i;
  }
  switch (directive[i]) {
    case '%':
      break;
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'c':
      (void)va_arg(*args, int);
      break;
    case 's': {
      const char* const text = va_arg(*args, const char*);
      if (!precision) value = text;
      break;
    }
    default:
      return 0;
  }
  return i + 1;
}

// Builds the combined format of one diagnostic into out.
void combine(Format& out, Level level, const char* module, int line,
             const char* func, const char* format, va_list* args) {
  // The prefix is expanded here; module and function names hold no '%'.
  std::array<char, 256> prefix;
  const int written =
      std::snprintf(prefix.data(), prefix.size(), "(%c)%s:%d,%s() ",
                    static_cast<char>(level), module, line, func);
  if (written < 0 || !out.append(prefix.data())) return;

  const char* at = format;
  while (*at != '\0') {
    const char* const percent = std::strchr(at, '%');
    if (percent == nullptr) {
      out.append(at);
      return;
    }
    if (!out.append({at, static_cast<std::size_t>(percent - at)})) return;
    const char* value = nullptr;
    const std::size_t length = scanConversion(percent, args, value);
    if (length == 0) {
      out.append(percent);  // nothing more is consumed; printf reads the rest
      return;
    }
    const std::string_view conversion(percent, length);
    if (value != nullptr &&
        strnlen(value, kMaxValueShown + 1) > kMaxValueShown) {
      // "%s" becomes "%.<max>s[cut: N more bytes]", all of it or nothing.
      const std::size_t start = out.size();
      if (!(out.append({percent, length - 1}) && out.append(".") &&
            out.append(kMaxValueShown) && out.append("s[cut: ") &&
            out.append(std::strlen(value + kMaxValueShown)) &&
            out.append(" more bytes]"))) {
        out.truncate(start);
        return;
      }
    } else if (!out.append(conversion)) {
      return;
    }
    at = percent + length;
  }
}

}  // namespace

void dmLog(Level level, const char* module, int line, const char* func,
           const char* format, ...) {
  va_list args;
  va_start(args, format);
  Format combined;
  va_list scan;
  va_copy(scan, args);
  combine(combined, level, module, line, func, format, &scan);
  va_end(scan);

  const int priority = level == Level::Error ? LOG_ERR : LOG_WARNING;
  va_list again;
  va_copy(again, args);
  // The combined format is the caller's literal behind a fixed prefix; the
  // compiler checked the literal against its arguments at the call site.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  vsyslog(priority, combined.c_str(), args);
  std::vfprintf(stderr, combined.c_str(), again);
#pragma GCC diagnostic pop
  va_end(again);
  va_end(args);
}

}  // namespace zodm
