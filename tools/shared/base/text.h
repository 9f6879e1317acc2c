// SPDX-License-Identifier: MIT
// The text writers the tools share: numbers, bytes in hex, seconds, JSON
// strings. Each appends to a std::string, so that a line is built in one
// buffer without formats.
#ifndef ZODM_TOOLS_BASE_TEXT_H
#define ZODM_TOOLS_BASE_TEXT_H

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace zodm::tools {

// Appends the decimal text of value, an integer of any type.
template <typename Integer>
void appendDecimal(std::string& out, Integer value) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// Appends prefix and the two lower-case hex digits of byte.
void appendHex(std::string& out, std::string_view prefix, unsigned char byte);

// Appends micros, a count of microseconds of at least 0, as seconds with
// exactly six decimals ("1.234567"): the same count always gives the same
// text, so a replayed recording prints its times byte for byte.
void appendSeconds(std::string& out, int64_t micros);

// Appends bytes between quotes with '"', '\\' and every byte outside
// 0x20..0x7e escaped, so that a line shows exactly what arrived and stays
// one line: \n, \r and \t as such, any other byte as hexPrefix and two hex
// digits. With "\\u00" it is a JSON string that keeps each byte as one code
// point (a datagram need not be UTF-8); with "\\x", the services' text form.
// Both stay ASCII.
void appendQuoted(std::string& out, std::string_view bytes,
                  std::string_view hexPrefix);

// Appends text as a JSON string for a web page: quotes and backslashes
// escaped, and every byte outside 0x20..0x7e, and '<', '>' and '&', as
// \u00XX, so the result is plain ASCII that no HTML parser reads as markup.
void appendPageString(std::string& out, std::string_view text);

// before 'text' after, for messages that quote a word.
std::string quoted(std::string_view before, std::string_view text,
                   std::string_view after);

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_BASE_TEXT_H
