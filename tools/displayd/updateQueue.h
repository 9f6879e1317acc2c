// SPDX-License-Identifier: MIT
// Updates on their way from the receive loop to the controller. The loop
// hands each accepted request's update to push(), which never waits for
// the controller; a thread of the queue's own submits them to the panel
// one after another and waits for each to complete. While the controller
// is busy, waiting updates that touch or overlap merge, so the queue holds
// a bounded number of them and none is dropped.
#ifndef ZODM_TOOLS_DISPLAYD_UPDATEQUEUE_H
#define ZODM_TOOLS_DISPLAYD_UPDATEQUEUE_H

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "controller.h"
#include "flashCadence.h"
#include "panelDevice.h"
#include "profile.h"
#include "summary.h"

namespace zodm::displayd {

enum class UpdateKind : uint8_t { Full, Partial, Erase };

// One update as the service planned it from a request and the profile.
struct PlannedUpdate {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // corners in panel pixels, inclusive
  std::size_t waveform = 0;            // index into DisplayPlan::waveforms
  uint32_t code = 0;                   // that waveform's controller code
  bool flashing = false;               // sent as UPDATE_MODE_FULL
  UpdateKind kind = UpdateKind::Partial;
  int64_t arrival = 0;    // microseconds, on the queue's clock
  uint32_t requests = 1;  // requests it carries
};

// What the queue takes from the device's profile.
struct DisplayPlan {
  const Controller* controller = nullptr;  // must match the panel's
  // The profile's waveforms, which PlannedUpdate::waveform names: a merged
  // update takes the stronger of two (model::stronger), and without waits
  // each update is given its waveform's duration (and flash time).
  std::vector<model::Waveform> waveforms;
  // Wait for each update's marker; off where the kernel's waits time out
  // for no reason.
  bool wait = true;
  // Every flashEvery-th partial update since the last flash is carried
  // out flashing (model::FlashCadence); any flashing update starts the
  // count again. 0: never.
  int flashEvery = 0;
  int32_t temp = TEMP_USE_AMBIENT;  // or whole degrees Celsius
};

struct QueueSettings {
  // Submits of one update that EPERM may refuse (the screen is blanked or
  // the device suspends) and the pause between them: after 10 tries over
  // about half a second the update is given up and counted as refused.
  unsigned tries = 10;
  std::chrono::milliseconds retryPause{50};
  // The first marker; markers count up from it, skipping 0 (which means
  // "no marker" to the kernel) as they wrap past 0xFFFFFFFF.
  uint32_t firstMarker = 1;
  // The clock that arrivals are on, in microseconds; empty: the monotonic
  // clock. Called with the queue's lock held: it must not call the queue.
  std::function<int64_t()> now;
  // Called once on the queue's thread when it stops on a fault (see
  // failure()). It must not call finish(); raising SIGTERM, which the
  // receive loop takes, stops the service.
  std::function<void()> onStop;
};

struct QueueStats {
  unsigned long long taken = 0;      // updates pushed and taken
  unsigned long long requests = 0;   // requests they carried
  unsigned long long submitted = 0;  // updates the controller accepted
  unsigned long long merged = 0;     // merges: each makes one update fewer
  unsigned long long flashes = 0;    // flashing updates submitted
  unsigned long long retries = 0;    // submits again after EPERM
  unsigned long long refused = 0;    // updates the kernel refused in the end
  unsigned long long waitsTimedOut = 0;
  unsigned long long waitsFailed = 0;
  unsigned long long left = 0;  // updates dropped by finish once its bound
                                // passed, or after a fault
  // Microseconds the submitted updates waited, from the arrival of their
  // first request to their submission, and from submission to completion
  // (without waits: to the end of the waveform's duration).
  int64_t waited = 0, busy = 0;
  std::size_t waiting = 0;      // updates waiting now
  std::size_t mostWaiting = 0;  // the most that ever waited
  // Latency of each carried request, from its arrival to its update's
  // completion (without waits: to the end of its waveform's duration);
  // requests whose wait timed out or failed are not measured. p50 and p95
  // to 0.1 ms (model::Latencies), max exact.
  unsigned long long measured = 0;
  int64_t p50 = 0, p95 = 0, max = 0;
};

class UpdateQueue {
 public:
  // The most updates that wait at once. Beyond it the oldest waiting
  // updates merge (see updateQueue.cpp). 64 is what the i.MX EPDC queues.
  static constexpr std::size_t kMaxWaiting = 64;

  // panel must outlive the queue. Starts no thread: see start().
  UpdateQueue(Panel& panel, DisplayPlan plan, QueueSettings settings = {});
  // Stops at once, as finish(0) does, if finish was not called.
  ~UpdateQueue();
  UpdateQueue(const UpdateQueue&) = delete;
  UpdateQueue& operator=(const UpdateQueue&) = delete;

  // Starts the queue's thread, with SIGINT, SIGTERM and SIGHUP blocked in
  // it so that the receive loop takes them. Returns an empty text, or why
  // no thread could start.
  std::string start();
  // Takes update, never waiting for the controller: its region is clipped
  // to the panel, at least 2 x 2 pixels (a narrower region can lock some
  // kernels up) on the layout's alignment, and it merges into a waiting
  // update it touches or waits itself. Returns false, taking nothing,
  // once finish was called or the queue stopped on a fault.
  bool push(const PlannedUpdate& update);
  // A new plan (SIGHUP's profile) for the updates pushed from now on and
  // those waiting, which keep their waveform codes. Returns false, keeping
  // the old plan, when it names another controller.
  bool replacePlan(DisplayPlan plan);

  QueueStats stats() const;
  // Why the queue stopped on its own, or an empty text: "the controller
  // layout NAME does not fit this device (its first update was refused:
  // Invalid argument); the profile may not be for this device".
  std::string failure() const;

  // Takes nothing more, submits what waits and waits for it, within bound;
  // once bound has passed, what still waits is dropped and counted as
  // left. Returns when the thread has stopped, which is within bound plus
  // the rest of an ioctl under way (a kernel's wait gives up after 5 to
  // 10 s), true when nothing was left.
  bool finish(std::chrono::milliseconds bound);

 private:
  // When the requests an update carries arrived: up to kGroups times, each
  // with a count; beyond that the two closest merge at the earlier time, so
  // a latency may be overstated by their gap, never understated.
  class Arrivals {
   public:
    void add(int64_t at, unsigned long long count);
    void add(const Arrivals& other);
    template <typename F>
    void each(F f) const {
      for (std::size_t i = 0; i < size_; ++i) f(at_[i], count_[i]);
    }

   private:
    static constexpr std::size_t kGroups = 16;
    // One more, for the one added before two merge.
    std::array<int64_t, kGroups + 1> at_{};
    std::array<unsigned long long, kGroups + 1> count_{};
    std::size_t size_ = 0;
  };
  struct Waiting {
    PlannedUpdate update;
    Arrivals arrivals;
  };

  void run();
  void carryOut(Waiting& w, std::unique_lock<std::mutex>& lock);
  int submitWithRetries(const PanelUpdate& update,
                        std::unique_lock<std::mutex>& lock);
  void finishUpdate(const Waiting& w, const PanelUpdate& sent,
                    int64_t submittedAt, std::unique_lock<std::mutex>& lock);
  void stopOnFault(std::string why, std::unique_lock<std::mutex>& lock);
  void insert(Waiting w);
  bool barrier(std::size_t from, std::size_t to) const;
  void absorb(std::size_t i);
  void foldOldest();
  void merge(Waiting& into, const Waiting& from);
  bool strongerWaveform(std::size_t a, std::size_t b) const;
  void fit(PlannedUpdate& u) const;
  bool pause(std::chrono::microseconds span,
             std::unique_lock<std::mutex>& lock);
  uint32_t nextMarker();
  void record(int64_t latency, unsigned long long count);

  Panel& panel_;
  DisplayPlan plan_;
  QueueSettings settings_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;  // waiting_ or the state changed
  std::vector<Waiting> waiting_;     // oldest first
  bool closing_ = false;             // finish was called: take nothing, drain
  bool abort_ = false;               // finish's bound passed: stop now
  bool stopped_ = false;             // the thread has ended
  bool accepted_ = false;            // the controller accepted an update
  model::FlashCadence cadence_;
  uint32_t marker_;
  std::string failure_;
  QueueStats stats_;
  model::Latencies latencies_;
  std::thread thread_;
};

}  // namespace zodm::displayd

#endif  // ZODM_TOOLS_DISPLAYD_UPDATEQUEUE_H
