// SPDX-License-Identifier: MIT
// See feedJson.h.
#include "feedJson.h"

#include <algorithm>

#include "base64.h"

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
  out += tools::base64(row, width);
  out += '"';
}

}  // namespace zodm::live
