// SPDX-License-Identifier: MIT
// See parse.h.
#include "parse.h"

#include <charconv>
#include <cstdlib>
#include <string>
#include <system_error>

namespace zodm::tools {

bool parseWhole(std::string_view word, unsigned long long min,
                unsigned long long max, unsigned long long& value) {
  unsigned long long read = 0;
  const auto [end, error] =
      std::from_chars(word.data(), word.data() + word.size(), read);
  if (error != std::errc{} || end != word.data() + word.size() || read < min ||
      read > max)
    return false;
  value = read;
  return true;
}

bool tooLarge(std::string_view word) {
  unsigned long long ignored = 0;
  return !word.empty() &&
         word.find_first_not_of("0123456789") == std::string_view::npos &&
         !parseWhole(word, 0, ~0ULL, ignored);
}

IntWord parseInt32(std::string_view word, int32_t& value) {
  int32_t read = 0;
  const auto [end, error] =
      std::from_chars(word.data(), word.data() + word.size(), read);
  if (error == std::errc::result_out_of_range) return IntWord::kOutOfRange;
  if (error != std::errc{} || end != word.data() + word.size())
    return IntWord::kNotAnInteger;
  value = read;
  return IntWord::kValue;
}

bool parseSpeed(std::string_view word, double& speed) {
  // strtod needs a terminated text, and reads "inf", "nan" and hex too:
  // only digits with at most one point are a speed here.
  const std::string text(word);
  if (text.empty() || text.find_first_not_of("0123456789.") != text.npos ||
      text.find('.') != text.rfind('.') || text == ".")
    return false;
  char* end = nullptr;
  const double read = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !(read >= 0 && read <= kMaxSpeed))
    return false;
  speed = read;
  return true;
}

}  // namespace zodm::tools
