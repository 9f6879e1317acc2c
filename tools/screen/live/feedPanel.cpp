// SPDX-License-Identifier: MIT
// The panel's side of the live page's feed (see feed.h): the framebuffer as
// the feed last saw it, looked at by a thread of the feed's, and the
// panel's and the framebuffer's rows in a viewer's messages. As for the
// counts, rows are sent as they are now, each copied on its own under the
// lock, so a burst of updates costs a viewer no more than the rows it
// touched, once.
#include <cstring>

#include "feed.h"
#include "stopSignals.h"

namespace zodm::live {

namespace {

std::size_t offset(int y) { return geometry::pixelIndex(0, y); }

}  // namespace

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
  const auto width = static_cast<std::size_t>(r.width());
  for (int y = r.y0; y <= r.y1; ++y) {
    const uint8_t* shown = panel_->row(y) + r.x0;
    uint8_t* seen = &drawn_[geometry::pixelIndex(r.x0, y)];
    if (std::memcmp(seen, shown, width) == 0) continue;
    std::memcpy(seen, shown, width);
    drawnChanges_[static_cast<std::size_t>(y)] = ++drawnChangeCount_;
  }
}

void Feed::scanPanel(PanelCursor& cursor, bool first) {
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

void Feed::appendPanel(std::string& out, PanelCursor& cursor) {
  out += ",\"panel\":[";
  appendRowGroups<uint8_t>(
      out, cursor.panelRows, kRowBudget,
      [&](int y, uint8_t* row) {
        const std::lock_guard<std::mutex> lock(mutex_);
        std::memcpy(row, panel_->row(y), kWidth);
      },
      appendPixelRow);
  out += "],\"drawn\":[";
  appendRowGroups<uint8_t>(
      out, cursor.drawnRows, kRowBudget,
      [&](int y, uint8_t* row) {
        const std::lock_guard<std::mutex> lock(mutex_);
        std::memcpy(row, &drawn_[offset(y)], kWidth);
      },
      appendPixelRow);
  out += ']';
}

}  // namespace zodm::live
