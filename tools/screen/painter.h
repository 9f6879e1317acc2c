// SPDX-License-Identifier: MIT
// The pictures of a live run (--picture, --ideal-panel, --panel), drawn on
// a thread of their own: the receive loop only hands each datagram over,
// and a picture, which takes some tens of milliseconds to draw, never
// holds it up. The heat map's picture is drawn from a heat map of the
// painter's own, fed the same datagrams in the same order; the panels'
// from copies of their pixels, taken under the locks their owners change
// them under. A picture follows the datagrams handed over before it; when
// they come faster than pictures are drawn, one picture covers several.
// The model's panel is drawn at most every kModelPanelInterval.
#ifndef ZODM_TOOLS_SCREEN_PAINTER_H
#define ZODM_TOOLS_SCREEN_PAINTER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "heatMap.h"
#include "zodm.h"

namespace zodm::screen {

constexpr auto kModelPanelInterval = std::chrono::milliseconds(500);

class Painter {
 public:
  // Where each picture goes; an empty path: not drawn.
  struct Paths {
    std::string heatMap, idealPanel, modelPanel;
  };
  // Copies a panel's pixels (kWidth x kHeight) into pixels when they
  // changed since the copy before; returns whether it did.
  using CopyPixels = std::function<bool(std::vector<uint8_t>& pixels)>;

  // recent: the heat map's outlined rectangles. The copies are called on
  // the painter's thread.
  Painter(const Paths& paths, std::size_t recent, CopyPixels idealPanel,
          CopyPixels modelPanel);
  // Stops the thread, if finish did not.
  ~Painter();
  Painter(const Painter&) = delete;
  Painter& operator=(const Painter&) = delete;

  // The receive loop's side: a datagram, accepted (its command) or refused.
  void hand(const std::optional<DmCommand>& accepted);
  // The model's panel changed (the runner's thread).
  void modelChanged();
  // Whether the heat map's or the ideal panel's picture could not be
  // written; the reason was said in one line.
  bool failed() const { return failed_; }
  // Draws what was handed over and not drawn yet, then stops the thread.
  // The heat map then holds every datagram handed over.
  void finish();
  const HeatMap& heatMap() const { return heatMap_; }

 private:
  void run();
  void drawPanels(bool modelDue);

  const Paths paths_;
  const CopyPixels idealPanel_;
  const CopyPixels modelPanel_;
  HeatMap heatMap_;  // the painter's thread's alone
  std::vector<uint8_t> pixels_;
  std::chrono::steady_clock::time_point lastModelPanel_{};
  bool modelFailed_ = false;
  std::atomic<bool> failed_{false};

  // Between the receive loop, the runner's thread and the painter's.
  std::mutex mutex_;
  std::condition_variable news_;
  std::vector<std::optional<DmCommand>> handed_;
  bool modelNews_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace zodm::screen

#endif  // ZODM_TOOLS_SCREEN_PAINTER_H
