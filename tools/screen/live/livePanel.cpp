// SPDX-License-Identifier: MIT
// The panel's side of the live page's feed (see live.h): the framebuffer as
// the feed last saw it, looked at by a thread of the feed's, and the
// panel's and the framebuffer's rows in a viewer's messages. As for the
// counts, rows are sent as they are now, each copied on its own under the
// lock, so a burst of updates costs a viewer no more than the rows it
// touched, once.

#include <algorithm>
#include <array>
#include <cstring>

#include "live.h"
#include "modelRunner.h"
#include "requestLines.h"
#include "stopSignals.h"
#include "text.h"

namespace zodm::live {

namespace {

using screen::kHeight;
using screen::kWidth;

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

// Appends the pending rows, each copied by copyRow(y, row), as entries
// [first, last, row] of neighbours that read the same, until out is
// kRowBudget long; the rows sent are no longer pending.
template <typename CopyRow>
void appendRows(std::string& out, std::bitset<kHeight>& pending,
                const CopyRow& copyRow) {
  std::array<uint8_t, kWidth> row{};
  std::string encoded;
  std::string previous;
  int groupStart = -1;
  int groupEnd = -1;
  const auto flush = [&] {
    if (groupStart < 0) return;
    out += '[';
    tools::appendDecimal(out, groupStart);
    out += ',';
    tools::appendDecimal(out, groupEnd);
    out += ',';
    out += previous;
    out += "],";
  };
  for (int y = 0; y < kHeight && out.size() < kRowBudget; ++y) {
    if (!pending.test(static_cast<std::size_t>(y))) continue;
    pending.reset(static_cast<std::size_t>(y));
    copyRow(y, row.data());
    encoded.clear();
    appendGrayRow(encoded, row.data(), row.size());
    if (groupStart >= 0 && groupEnd == y - 1 && encoded == previous) {
      groupEnd = y;
      continue;
    }
    flush();
    groupStart = groupEnd = y;
    previous.swap(encoded);
  }
  flush();
  if (out.back() == ',') out.pop_back();
}

std::size_t offset(int y) { return static_cast<std::size_t>(y) * kWidth; }

}  // namespace

void appendGrayRow(std::string& out, const uint8_t* row, std::size_t width) {
  const std::size_t start = out.size();
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
  // A row of many short runs (text, a photograph) is shorter as its bytes.
  const std::size_t base64 = (width + 2) / 3 * 4 + 2;
  if (out.size() - start <= base64) return;
  out.resize(start);
  out += '"';
  appendBase64(out, row, width);
  out += '"';
}

Feed::~Feed() {
  stop();
  if (watcher_.joinable()) watcher_.join();
}

void Feed::showPanel(screen::IdealPanel& panel) {
  panel_ = &panel;
  const screen::Framebuffer& framebuffer = panel.framebuffer();
  drawn_.assign(screen::kFramebufferBytes, screen::kWhite);
  framebuffer.copy(geometry::kWholeArea, drawn_.data());
  drawnChanges_.assign(kHeight, 0);
  // The thread never takes SIGINT or SIGTERM, which must reach the receive
  // loop.
  const tools::StopSignalsBlocked blocked;
  watcher_ = std::thread([this] {
    while (sleepUntil(Clock::now() + kDrawnInterval))
      if (lookAtFramebuffer()) news_.notify_all();
  });
}

bool Feed::lookAtFramebuffer() {
  // Rows that a refresh copies while this look is taken hold newer pixels
  // than the look: they are left as the refresh left them.
  unsigned long long before = 0;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    before = drawnChangeCount_;
  }
  // Cut short, it is being written anew; the next look sees the result.
  std::vector<uint8_t> look(screen::kFramebufferBytes);
  if (!panel_->framebuffer().copy(geometry::kWholeArea, look.data()))
    return false;
  bool changed = false;
  for (int y = 0; y < kHeight; ++y) {
    const uint8_t* row = &look[offset(y)];
    const std::lock_guard<std::mutex> lock(mutex_);
    if (drawnChanges_[static_cast<std::size_t>(y)] > before) continue;
    uint8_t* seen = &drawn_[offset(y)];
    if (std::memcmp(seen, row, kWidth) == 0) continue;
    std::memcpy(seen, row, kWidth);
    drawnChanges_[static_cast<std::size_t>(y)] = ++drawnChangeCount_;
    changed = true;
  }
  return changed;
}

void Feed::notePanelCopy(const DmCommand& command) {
  if (command.code != DM_CMD_DISPLAY && command.code != DM_CMD_DISPLAY_PARTIAL)
    return;
  const geometry::Rect r = *geometry::refreshedRect(command);
  const auto width = static_cast<std::size_t>(r.x1 - r.x0 + 1);
  for (int y = r.y0; y <= r.y1; ++y) {
    const uint8_t* shown = panel_->row(y) + r.x0;
    uint8_t* seen = &drawn_[offset(y) + static_cast<std::size_t>(r.x0)];
    if (std::memcmp(seen, shown, width) == 0) continue;
    std::memcpy(seen, shown, width);
    drawnChanges_[static_cast<std::size_t>(y)] = ++drawnChangeCount_;
  }
}

void Feed::scanPanel(Cursor& cursor, bool first) {
  if (first) {
    cursor.panelRows.set();
    cursor.drawnRows.set();
  } else {
    for (int y = 0; y < kHeight; ++y) {
      const auto i = static_cast<std::size_t>(y);
      if (panel_->rowChange(y) > cursor.panelAt) cursor.panelRows.set(i);
      if (drawnChanges_[i] > cursor.drawnAt) cursor.drawnRows.set(i);
    }
  }
  cursor.panelAt = panel_->changes();
  cursor.drawnAt = drawnChangeCount_;
}

void Feed::appendPanel(std::string& out, Cursor& cursor) {
  out += ",\"panel\":[";
  appendRows(out, cursor.panelRows, [&](int y, uint8_t* row) {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::memcpy(row, panel_->row(y), kWidth);
  });
  out += "],\"drawn\":[";
  appendRows(out, cursor.drawnRows, [&](int y, uint8_t* row) {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::memcpy(row, &drawn_[offset(y)], kWidth);
  });
  out += ']';
}

void Feed::appendModelRows(std::string& out, Cursor& cursor) {
  out += ",\"model\":[";
  appendRows(out, cursor.modelRows, [&](int y, uint8_t* row) {
    runner_->read([&](const model::Model& m) {
      std::memcpy(row, m.row(y), kWidth);
      return 0;
    });
  });
  out += ']';
}

}  // namespace zodm::live
