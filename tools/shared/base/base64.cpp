// SPDX-License-Identifier: MIT
// See base64.h.
#include "base64.h"

#include <array>

namespace zodm::tools {

namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Each character's 6 bits, or -1 for one outside the alphabet ('=' too).
constexpr std::array<int8_t, 256> kValues = [] {
  std::array<int8_t, 256> values{};
  for (auto& v : values) v = -1;
  for (int i = 0; i < 64; ++i)
    values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  return values;
}();

}  // namespace

std::string base64(const uint8_t* data, std::size_t size) {
  std::string out((size + 2) / 3 * 4, '=');
  std::size_t o = 0;
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const uint32_t group = static_cast<uint32_t>(data[i]) << 16u |
                           static_cast<uint32_t>(data[i + 1]) << 8u |
                           data[i + 2];
    out[o++] = kAlphabet[group >> 18u];
    out[o++] = kAlphabet[group >> 12u & 63u];
    out[o++] = kAlphabet[group >> 6u & 63u];
    out[o++] = kAlphabet[group & 63u];
  }
  if (i < size) {
    const bool two = i + 1 < size;
    const uint32_t group = static_cast<uint32_t>(data[i]) << 16u |
                           (two ? static_cast<uint32_t>(data[i + 1]) << 8u : 0);
    out[o++] = kAlphabet[group >> 18u];
    out[o++] = kAlphabet[group >> 12u & 63u];
    if (two) out[o] = kAlphabet[group >> 6u & 63u];
  }
  return out;
}

bool unbase64(std::string_view text, std::vector<uint8_t>& bytes) {
  if (text.size() % 4 != 0) return false;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') ++padding;
  if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
  bytes.resize(text.size() / 4 * 3 - padding);
  std::size_t o = 0;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const std::size_t digits = last ? 4 - padding : 4;
    uint32_t group = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const int v =
          k < digits ? kValues[static_cast<unsigned char>(text[i + k])] : 0;
      if (v < 0) return false;
      group = group << 6u | static_cast<uint32_t>(v);
    }
    // The bits that padding leaves over must be zero: one text per bytes.
    if ((digits == 2 && (group & 0xffffu) != 0) ||
        (digits == 3 && (group & 0xffu) != 0))
      return false;
    bytes[o++] = static_cast<uint8_t>(group >> 16u);
    if (digits > 2) bytes[o++] = static_cast<uint8_t>(group >> 8u);
    if (digits > 3) bytes[o++] = static_cast<uint8_t>(group);
  }
  return true;
}

}  // namespace zodm::tools
