// SPDX-License-Identifier: MIT
// The e-paper model in a running emulator. The receive loop only hands
// each accepted request over, with its arrival time, and never waits for
// the model: live, a thread of the runner's feeds the model and lets the
// model's time follow the clock, so that an update starts (and reads the
// framebuffer) when the panel would start it; replayed, the requests go
// into the model at once, in the recording's own time, as fast as the
// machine goes.
#ifndef ZODM_TOOLS_SCREEN_MODELRUNNER_H
#define ZODM_TOOLS_SCREEN_MODELRUNNER_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "clock.h"
#include "model.h"

namespace zodm::screen {

class ModelRunner {
 public:
  using Clock = tools::Clock;
  // Called, without the model's lock, when the model changed.
  using OnChange = std::function<void()>;
  // Called, without the model's lock, with the fates of the requests whose
  // updates just completed, in order of completion: on the runner's thread
  // live, on the caller's in a replay and in finish.
  using OnFates = std::function<void(const std::vector<model::Fate>& fates)>;

  // With live, the model's time 0 is start on the clock. profile and
  // source (nullptr: none) must outlive the runner.
  ModelRunner(const model::Profile& profile, model::Source* source, bool live,
              Clock::time_point start, OnChange onChange = {},
              OnFates onFates = {});
  // Stops the thread, if finish did not.
  ~ModelRunner();
  // Stops the thread and leaves the model as it is: onChange and onFates
  // are not called again.
  void stop();
  ModelRunner(const ModelRunner&) = delete;
  ModelRunner& operator=(const ModelRunner&) = delete;

  // The receive loop's side: an accepted request and its arrival time.
  void submit(model::Micros at, const DmCommand& command);
  // Replayed, lets the model's time pass to at, so that the updates that
  // completed by then do so before the next request's line is printed, and
  // the updates due start, and read the framebuffer, before the replay
  // draws the pixels of the request that arrived at at; live, the runner's
  // thread follows the clock and this does nothing.
  void advance(model::Micros at);
  // Ends the run at time at: stops the thread, then every update still
  // running or waiting runs to completion in the model's time.
  void finish(model::Micros at);

  // Calls read with the model, under the lock that the runner changes it
  // under: hold it only to copy what is needed.
  template <typename Read>
  auto read(const Read& reader) const {
    const std::lock_guard<std::mutex> lock(modelMutex_);
    return reader(model_);
  }
  // The model's time now, live.
  model::Micros now() const;

 private:
  struct Request {
    model::Micros at;
    DmCommand command;
  };
  void run();
  // Hands the fates kept since the last call to onFates; without the
  // model's lock.
  void tellFates();

  model::Model model_;
  const bool live_;
  const Clock::time_point start_;
  const OnChange onChange_;
  const OnFates onFates_;
  std::vector<model::Fate> fates_;  // taken under the model's lock
  mutable std::mutex modelMutex_;

  // Between the receive loop and the thread.
  std::mutex queueMutex_;
  std::condition_variable queued_;
  std::vector<Request> queue_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace zodm::screen

#endif  // ZODM_TOOLS_SCREEN_MODELRUNNER_H
