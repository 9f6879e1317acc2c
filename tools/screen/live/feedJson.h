// SPDX-License-Identifier: MIT
// How the live page's messages write rows: a row of counts or of gray
// levels as runs (value, length, ...), a gray row as base64 where that is
// shorter, and the rows a viewer has pending, neighbours that read the same
// grouped as one entry [first, last, row...]. The heat map's counts, the
// panel's, the framebuffer's and the model's rows all go this way.
#ifndef ZODM_TOOLS_LIVE_FEEDJSON_H
#define ZODM_TOOLS_LIVE_FEEDJSON_H

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>

#include "area.h"
#include "text.h"

namespace zodm::live {

using geometry::kHeight;
using geometry::kWidth;

// Rows of the area, one bit each: those a viewer has not been sent yet.
using RowSet = std::bitset<kHeight>;

// A row of counts as runs, "count,length,count,length...".
void appendRuns(std::string& out, const uint16_t* row, std::size_t width);
// A row of gray levels the same way.
void appendRuns(std::string& out, const uint8_t* row, std::size_t width);

// A row of gray levels as the page reads it: runs, or when that is longer,
// the row's bytes in base64 as one JSON string.
void appendGrayRow(std::string& out, const uint8_t* row, std::size_t width);

// A whole row of the area as the messages carry it: the heat map's counts
// as runs, the panels' gray levels as appendGrayRow writes them.
inline void appendCountRow(std::string& out, const uint16_t* row) {
  appendRuns(out, row, kWidth);
}
inline void appendPixelRow(std::string& out, const uint8_t* row) {
  appendGrayRow(out, row, kWidth);
}

// Appends the rows of pending, top to bottom, while out is shorter than
// budget: each is copied by copyRow(y, row), kWidth cells of type Cell,
// and written by encode(text, row); neighbours whose text is the same go
// as one entry [first,last,text], entries separated by commas. The rows
// appended are no longer pending; the others wait for the next message.
template <typename Cell, typename CopyRow, typename Encode>
void appendRowGroups(std::string& out, RowSet& pending, std::size_t budget,
                     const CopyRow& copyRow, const Encode& encode) {
  std::array<Cell, kWidth> row{};
  std::string text;
  std::string group;  // the text of the rows groupStart..groupEnd
  int groupStart = -1;
  int groupEnd = -1;
  const auto flush = [&] {
    if (groupStart < 0) return;
    out += '[';
    tools::appendDecimal(out, groupStart);
    out += ',';
    tools::appendDecimal(out, groupEnd);
    out += ',';
    out += group;
    out += "],";
  };
  for (int y = 0; y < kHeight && out.size() < budget; ++y) {
    if (!pending.test(static_cast<std::size_t>(y))) continue;
    pending.reset(static_cast<std::size_t>(y));
    copyRow(y, row.data());
    text.clear();
    encode(text, row.data());
    if (groupStart >= 0 && groupEnd == y - 1 && text == group) {
      groupEnd = y;
      continue;
    }
    flush();
    groupStart = groupEnd = y;
    group.swap(text);
  }
  flush();
  if (out.back() == ',') out.pop_back();
}

}  // namespace zodm::live

#endif  // ZODM_TOOLS_LIVE_FEEDJSON_H
