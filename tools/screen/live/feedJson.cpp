// SPDX-License-Identifier: MIT
// See feedJson.h.
#include "feedJson.h"

#include <algorithm>

namespace zodm::live {

namespace {

template <typename Cell>
void appendCellRuns(std::string& out, const Cell* row, std::size_t width) {
  std::size_t x = 0;
  while (x < width) {
    std::size_t end = x + 1;
    while (end < width && row[end] == row[x]) ++end;
    if (x > 0) out += ',';
    tools::appendDecimal(out, row[x]);
    out += ',';
    tools::appendDecimal(out, end - x);
    x = end;
  }
}

constexpr char kBase64[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void appendBase64(std::string& out, const uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; i += 3) {
    const std::size_t left = std::min<std::size_t>(3, size - i);
    uint32_t group = static_cast<uint32_t>(data[i]) << 16;
    if (left > 1) group |= static_cast<uint32_t>(data[i + 1]) << 8;
    if (left > 2) group |= data[i + 2];
    for (std::size_t k = 0; k < 4; ++k)
      out += k <= left ? kBase64[group >> (18 - 6 * k) & 63] : '=';
  }
}

}  // namespace

void appendRuns(std::string& out, const uint16_t* row, std::size_t width) {
  appendCellRuns(out, row, width);
}

void appendRuns(std::string& out, const uint8_t* row, std::size_t width) {
  appendCellRuns(out, row, width);
}

void appendGrayRow(std::string& out, const uint8_t* row, std::size_t width) {
  const std::size_t start = out.size();
  appendRuns(out, row, width);
  // A row of many short runs (text, a photograph) is shorter as its bytes.
  const std::size_t base64 = (width + 2) / 3 * 4 + 2;
  if (out.size() - start <= base64) return;
  out.resize(start);
  out += '"';
  appendBase64(out, row, width);
  out += '"';
}

}  // namespace zodm::live
