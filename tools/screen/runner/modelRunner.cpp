// SPDX-License-Identifier: MIT
// See modelRunner.h.
#include "modelRunner.h"

#include <utility>

#include "stopSignals.h"

namespace zodm::screen {

ModelRunner::ModelRunner(const model::Profile& profile, model::Source* source,
                         bool live, Clock::time_point start, OnChange onChange,
                         OnFates onFates)
    : model_(profile, source),
      live_(live),
      start_(start),
      onChange_(std::move(onChange)),
      onFates_(std::move(onFates)) {
  model_.keepFates(bool(onFates_));
  if (live_) {
    // The thread never takes the stop signals, which must reach the
    // receive loop.
    const tools::StopSignalsBlocked blocked;
    thread_ = std::thread([this] { run(); });
  }
}

ModelRunner::~ModelRunner() { stop(); }

void ModelRunner::stop() {
  {
    const std::lock_guard<std::mutex> lock(queueMutex_);
    stopping_ = true;
  }
  queued_.notify_all();
  if (thread_.joinable()) thread_.join();
}

model::Micros ModelRunner::now() const {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() -
                                                               start_)
      .count();
}

void ModelRunner::tellFates() {
  if (fates_.empty()) return;
  onFates_(fates_);
  fates_.clear();
}

void ModelRunner::submit(model::Micros at, const DmCommand& command) {
  if (!live_) {
    {
      const std::lock_guard<std::mutex> lock(modelMutex_);
      model_.submit(at, command);
      model_.takeFates(fates_);
    }
    tellFates();
    if (onChange_) onChange_();
    return;
  }
  {
    const std::lock_guard<std::mutex> lock(queueMutex_);
    queue_.push_back({at, command});
  }
  queued_.notify_one();
}

void ModelRunner::advance(model::Micros at) {
  if (live_) return;
  {
    const std::lock_guard<std::mutex> lock(modelMutex_);
    model_.advance(at);
    model_.takeFates(fates_);
  }
  tellFates();
  // A replay watched live shows the updates that completed meanwhile.
  if (onChange_) onChange_();
}

void ModelRunner::run() {
  std::vector<Request> taken;
  std::unique_lock<std::mutex> queueLock(queueMutex_);
  while (!stopping_) {
    taken.swap(queue_);
    queueLock.unlock();
    std::optional<model::Micros> next;
    {
      const std::lock_guard<std::mutex> lock(modelMutex_);
      for (const Request& r : taken) model_.submit(r.at, r.command);
      // Only as far as what is due: a request stamped meanwhile may still
      // be on its way here.
      if (const auto due = model_.nextEvent(); due && *due <= now())
        model_.advance(*due);
      next = model_.nextEvent();
      model_.takeFates(fates_);
    }
    tellFates();
    const bool changed = !taken.empty() || next.has_value();
    taken.clear();
    if (changed && onChange_) onChange_();
    queueLock.lock();
    const auto ready = [this] { return stopping_ || !queue_.empty(); };
    if (next)
      queued_.wait_until(queueLock, start_ + std::chrono::microseconds(*next),
                         ready);
    else
      queued_.wait(queueLock, ready);
  }
}

void ModelRunner::finish(model::Micros at) {
  stop();
  {
    const std::lock_guard<std::mutex> lock(modelMutex_);
    for (const Request& r : queue_) model_.submit(r.at, r.command);
    queue_.clear();
    model_.finish(at);
    model_.takeFates(fates_);
  }
  tellFates();
  if (onChange_) onChange_();
}

}  // namespace zodm::screen
