// SPDX-License-Identifier: MIT
// How messages write rows: runs or base64, and neighbouring rows grouped
// (the feed's tests check the budget across messages).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "feedJson.h"

namespace zodm::live {
namespace {

TEST(AppendGrayRow, RunsOrBase64WhicheverIsShorter) {
  const struct {
    std::vector<uint8_t> row;
    const char* text;
  } kCases[] = {
      {{0}, "0,1"},
      {{255, 255, 255, 7}, "255,3,7,1"},
      {{1, 2, 3}, R"("AQID")"},
      {{1, 2, 3, 4}, R"("AQIDBA==")"},
      {{1, 2, 3, 4, 255}, R"("AQIDBP8=")"},
  };
  for (const auto& c : kCases) {
    std::string out;
    appendGrayRow(out, c.row.data(), c.row.size());
    EXPECT_EQ(c.text, out);
  }
}

// Rows whose cells all hold one value, by row: what each row holds.
struct Rows {
  std::vector<int> value = std::vector<int>(kHeight, 0);
  void copy(int y, uint8_t* row) const {
    std::fill_n(row, kWidth,
                static_cast<uint8_t>(value[static_cast<std::size_t>(y)]));
  }
};

TEST(AppendRowGroups, NeighboursThatReadTheSameGoAsOne) {
  const struct {
    const char* what;
    std::vector<int> pending;                 // rows
    std::vector<std::pair<int, int>> values;  // row, value (else 0)
    std::size_t budget;
    const char* text;
    std::size_t left;  // rows still pending after
  } kCases[] = {
      {"none pending", {}, {}, 1 << 20, "[]", 0},
      {"one row", {5}, {}, 1 << 20, "[[5,5,0,769]]", 0},
      {"neighbours alike", {5, 6, 7}, {}, 1 << 20, "[[5,7,0,769]]", 0},
      {"a gap splits them",
       {5, 7},
       {},
       1 << 20,
       "[[5,5,0,769],[7,7,0,769]]",
       0},
      {"a different row splits them",
       {5, 6, 7},
       {{6, 9}},
       1 << 20,
       "[[5,5,0,769],[6,6,9,769],[7,7,0,769]]",
       0},
      {"the budget is spent: the rest waits", {5, 6}, {}, 0, "[]", 2},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Rows rows;
    for (const auto& [y, value] : c.values)
      rows.value[static_cast<std::size_t>(y)] = value;
    RowSet pending;
    for (const int y : c.pending) pending.set(static_cast<std::size_t>(y));
    std::string out = "[";
    appendRowGroups<uint8_t>(
        out, pending, c.budget, [&](int y, uint8_t* row) { rows.copy(y, row); },
        appendPixelRow);
    out += ']';
    EXPECT_EQ(c.text, out);
    EXPECT_EQ(c.left, pending.count());
  }
}

}  // namespace
}  // namespace zodm::live
