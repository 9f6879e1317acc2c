// SPDX-License-Identifier: MIT
// See painter.h.
#include "painter.h"

#include <utility>

#include "pictures.h"
#include "stopSignals.h"

namespace zodm::screen {

Painter::Painter(const Paths& paths, std::size_t recent, CopyPixels idealPanel,
                 CopyPixels modelPanel)
    : paths_(paths),
      idealPanel_(std::move(idealPanel)),
      modelPanel_(std::move(modelPanel)),
      heatMap_(recent) {
  // The thread never takes the stop signals, which must reach the receive
  // loop.
  const tools::StopSignalsBlocked blocked;
  thread_ = std::thread([this] { run(); });
}

Painter::~Painter() { finish(); }

void Painter::hand(const std::optional<DmCommand>& accepted) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    handed_.push_back(accepted);
  }
  news_.notify_one();
}

void Painter::modelChanged() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    modelNews_ = true;
  }
  news_.notify_one();
}

void Painter::finish() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  news_.notify_one();
  if (thread_.joinable()) thread_.join();
}

// The panels' pictures: the ideal panel's whenever requests were accepted,
// the model's when it changed and kModelPanelInterval has passed since the
// last one. A failure of the model's is said once and does not stop the
// run (the picture at exit decides); the ideal panel's does.
void Painter::drawPanels(bool modelDue) {
  if (!paths_.idealPanel.empty() && !failed_ && idealPanel_(pixels_) &&
      !saveModelPanel(pixels_.data(), paths_.idealPanel))
    failed_ = true;
  if (!modelDue || modelFailed_) return;
  lastModelPanel_ = std::chrono::steady_clock::now();
  if (modelPanel_(pixels_))
    modelFailed_ = !saveModelPanel(pixels_.data(), paths_.modelPanel);
}

void Painter::run() {
  std::vector<std::optional<DmCommand>> taken;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const auto due = lastModelPanel_ + kModelPanelInterval;
    const auto ready = [&] {
      return stopping_ || !handed_.empty() ||
             (modelNews_ && std::chrono::steady_clock::now() >= due);
    };
    if (modelNews_)
      news_.wait_until(lock, due, ready);
    else
      news_.wait(lock, ready);
    // Stopping, the pictures at exit are the emulator's: what was handed
    // over only goes into the heat map.
    const bool last = stopping_;
    taken.swap(handed_);
    const bool modelDue = modelNews_ && !paths_.modelPanel.empty() &&
                          std::chrono::steady_clock::now() >= due;
    if (modelDue) modelNews_ = false;
    lock.unlock();
    bool accepted = false;
    for (const std::optional<DmCommand>& d : taken) {
      if (d)
        heatMap_.apply(*d);
      else
        heatMap_.refuse();
      accepted = accepted || d.has_value();
    }
    taken.clear();
    if (last) return;
    if (accepted && !paths_.heatMap.empty() && !failed_ &&
        !saveHeatMap(heatMap_, paths_.heatMap))
      failed_ = true;
    drawPanels(modelDue);
    lock.lock();
  }
}

}  // namespace zodm::screen
