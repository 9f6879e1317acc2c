// SPDX-License-Identifier: MIT
// How messages write rows: runs, base64, and neighbouring rows grouped.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "feedJson.h"

namespace zodm::live {
namespace {

TEST(AppendRuns, CountsAndLengths) {
  const struct {
    std::vector<uint16_t> row;
    const char* text;
  } kCases[] = {
      {{0}, "0,1"},
      {{7, 7, 7}, "7,3"},
      {{1, 2, 2, 65535}, "1,1,2,2,65535,1"},
  };
  for (const auto& c : kCases) {
    std::string out = "x";  // appended to, not replaced
    appendRuns(out, c.row.data(), c.row.size());
    EXPECT_EQ(std::string("x") + c.text, out);
  }
}

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

// Rows stop once the text passed the budget, and only those sent stop
// being pending: the next call goes on where this one stopped.
TEST(AppendRowGroups, ABudgetSplitsTheRowsAcrossCalls) {
  // Rows of many runs: each row differs from the one above.
  const auto copy = [](int y, uint16_t* row) {
    for (int x = 0; x < kWidth; ++x)
      row[x] = static_cast<uint16_t>((x / 2 + y) % 3);
  };
  RowSet pending;
  pending.set();
  std::vector<std::string> calls;
  while (pending.any() && calls.size() < 100) {
    std::string out = "[";
    appendRowGroups<uint16_t>(out, pending, 64 * 1024, copy, appendCountRow);
    calls.push_back(out + "]");
  }
  EXPECT_GT(calls.size(), 1U);
  std::string all;
  for (std::string call : calls) {
    EXPECT_LT(call.size(), 64U * 1024 + 4 * 1024);
    all += call.substr(1, call.size() - 2) + ',';
  }
  RowSet everything;
  everything.set();
  std::string once = "[";
  appendRowGroups<uint16_t>(once, everything, 1 << 30, copy, appendCountRow);
  EXPECT_EQ(once.substr(1) + ',', all);
}

}  // namespace
}  // namespace zodm::live
