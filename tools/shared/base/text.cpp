// SPDX-License-Identifier: MIT
// See text.h.
#include "text.h"

namespace zodm::tools {

void appendHex(std::string& out, std::string_view prefix, unsigned char byte) {
  constexpr char kHex[] = "0123456789abcdef";
  out += prefix;
  out += kHex[byte >> 4];
  out += kHex[byte & 0xf];
}

void appendSeconds(std::string& out, int64_t micros) {
  appendDecimal(out, micros / 1000000);
  char fraction[7];
  int64_t rest = micros % 1000000;
  for (int i = 5; i >= 0; --i, rest /= 10)
    fraction[i] = static_cast<char>('0' + rest % 10);
  fraction[6] = '\0';
  out += '.';
  out += fraction;
}

void appendQuoted(std::string& out, std::string_view bytes,
                  std::string_view hexPrefix) {
  out += '"';
  for (const char ch : bytes) {
    const auto byte = static_cast<unsigned char>(ch);
    switch (ch) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte > 0x7e)
          appendHex(out, hexPrefix, byte);
        else
          out += ch;
    }
  }
  out += '"';
}

void appendPageString(std::string& out, std::string_view text) {
  out += '"';
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (byte < 0x20 || byte > 0x7e || ch == '<' || ch == '>' ||
               ch == '&') {
      appendHex(out, "\\u00", byte);
    } else {
      out += ch;
    }
  }
  out += '"';
}

// Built by appending, in a function of its own: GCC 12 at -O3 wrongly flags
// "..." + string inlined into its callers (-Wrestrict).
[[gnu::noinline]] std::string quoted(std::string_view before,
                                     std::string_view text,
                                     std::string_view after) {
  std::string out;
  out.reserve(before.size() + text.size() + after.size() + 2);
  out += before;
  out += '\'';
  out += text;
  out += '\'';
  out += after;
  return out;
}

}  // namespace zodm::tools
