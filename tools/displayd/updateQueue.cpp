// SPDX-License-Identifier: MIT
// See updateQueue.h.
//
// Merging. A new update merges into the newest waiting update it touches
// (a shared edge counts) when both are erases or neither is; when that one
// is of the other kind, the new update stays behind it, so an erase and an
// update over the same pixels keep their order. A merged update covers the
// bounding box of both, with the stronger waveform, flashing if either
// did, full if either was, and keeps the older one's place. As its box
// grew, it then takes in, as the e-paper model does, every other waiting
// update of its kind that it now touches, the older ones taking it in,
// unless that would carry one past an update of the other kind it
// touches. Refreshing pixels nobody asked for changes nothing that shows
// (the panel shows the framebuffer again), it only costs time.
//
// The bound. Should kMaxWaiting + 1 updates wait, the oldest two
// neighbours of one kind merge, though they need not touch: neither passes
// over any other update. Only when erases and other updates alternate all
// the way along do the oldest two of each kind merge, the merged erase
// then coming before the update that lay between the two erases.
#include "updateQueue.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>
#include <utility>

namespace zodm::displayd {

namespace {

// Latencies are counted per 0.1 ms step (model::Latencies); beyond a
// minute (a stuck controller) they are counted at a minute, so at most
// 600,001 counts are kept, however long the service runs.
constexpr int64_t kLatencyCap = 60 * 1000 * 1000;

int64_t monotonicMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch())
      .count();
}

bool touches(const PlannedUpdate& a, const PlannedUpdate& b) {
  return a.x0 <= b.x1 + 1 && b.x0 <= a.x1 + 1 && a.y0 <= b.y1 + 1 &&
         b.y0 <= a.y1 + 1;
}

// Erases merge with erases only.
bool sameKind(const PlannedUpdate& a, const PlannedUpdate& b) {
  return (a.kind == UpdateKind::Erase) == (b.kind == UpdateKind::Erase);
}

// Makes [lo, hi] at least 2 wide within [0, size), where size allows.
void widen(int& lo, int& hi, int size) {
  if (hi > lo || size < 2) return;
  if (hi + 1 < size)
    ++hi;
  else
    --lo;
}

// [lo, hi] within [0, size), on multiples of align.
void clip(int& lo, int& hi, int size, int align) {
  if (lo > hi) std::swap(lo, hi);
  lo = std::clamp(lo, 0, size - 1);
  hi = std::clamp(hi, 0, size - 1);
  lo -= lo % align;
  hi = std::min(size - 1, (hi / align + 1) * align - 1);
  widen(lo, hi, size);
}

}  // namespace

void UpdateQueue::Arrivals::add(int64_t at, unsigned long long count) {
  if (count == 0) return;
  // Kept in order of time, with room for one more than kGroups.
  std::size_t i = size_;
  for (; i > 0 && at_[i - 1] > at; --i) {
    at_[i] = at_[i - 1];
    count_[i] = count_[i - 1];
  }
  at_[i] = at;
  count_[i] = count;
  if (++size_ <= kGroups) return;
  std::size_t closest = 0;
  for (std::size_t j = 1; j + 1 < size_; ++j)
    if (at_[j + 1] - at_[j] < at_[closest + 1] - at_[closest]) closest = j;
  count_[closest] += count_[closest + 1];
  for (std::size_t j = closest + 1; j + 1 < size_; ++j) {
    at_[j] = at_[j + 1];
    count_[j] = count_[j + 1];
  }
  --size_;
}

void UpdateQueue::Arrivals::add(const Arrivals& other) {
  other.each([this](int64_t at, unsigned long long count) { add(at, count); });
}

UpdateQueue::UpdateQueue(Panel& panel, DisplayPlan plan, QueueSettings settings)
    : panel_(panel),
      plan_(std::move(plan)),
      settings_(std::move(settings)),
      cadence_(plan_.flashEvery),
      marker_(settings_.firstMarker) {
  if (!settings_.now) settings_.now = monotonicMicros;
  if (settings_.tries == 0) settings_.tries = 1;
  waiting_.reserve(kMaxWaiting + 1);  // push never allocates
}

UpdateQueue::~UpdateQueue() {
  if (thread_.joinable()) finish(std::chrono::milliseconds(0));
}

std::string UpdateQueue::start() {
  if (plan_.controller != nullptr && plan_.controller != &panel_.controller())
    return std::string("the profile's controller ") + plan_.controller->name +
           " is not the panel's, " + panel_.controller().name;
  if (thread_.joinable()) return "the update queue has started already";
  sigset_t blocked, old;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &blocked, &old);
  std::string error;
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error& e) {
    error = std::string("cannot start the update queue's thread: ") + e.what();
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return error;
}

void UpdateQueue::fit(PlannedUpdate& u) const {
  const Geometry& g = panel_.geometry();
  const int width = static_cast<int>(std::min<uint32_t>(g.xres, 1u << 30));
  const int height = static_cast<int>(std::min<uint32_t>(g.yres, 1u << 30));
  const int align = static_cast<int>(
      std::clamp<uint32_t>(panel_.controller().alignment, 1, 1u << 16));
  if (width < 1 || height < 1) return;
  clip(u.x0, u.x1, width, align);
  clip(u.y0, u.y1, height, align);
}

bool UpdateQueue::push(const PlannedUpdate& update) {
  Waiting w;
  w.update = update;
  fit(w.update);
  w.arrivals.add(update.arrival, update.requests);
  const std::lock_guard<std::mutex> lock(mutex_);
  if (closing_ || stopped_) return false;
  ++stats_.taken;
  stats_.requests += update.requests;
  insert(std::move(w));
  stats_.mostWaiting = std::max(stats_.mostWaiting, waiting_.size());
  changed_.notify_all();
  return true;
}

bool UpdateQueue::replacePlan(DisplayPlan plan) {
  if (plan.controller != nullptr && plan.controller != &panel_.controller())
    return false;
  const std::lock_guard<std::mutex> lock(mutex_);
  // The count goes on unless the cadence changed.
  if (plan.flashEvery != plan_.flashEvery)
    cadence_ = model::FlashCadence(plan.flashEvery);
  plan_ = std::move(plan);
  return true;
}

void UpdateQueue::insert(Waiting w) {
  for (std::size_t i = waiting_.size(); i-- > 0;) {
    if (!touches(waiting_[i].update, w.update)) continue;
    if (sameKind(waiting_[i].update, w.update)) {
      merge(waiting_[i], w);
      absorb(i);
      return;
    }
    break;  // it stays behind an update of the other kind
  }
  waiting_.push_back(std::move(w));
  if (waiting_.size() > kMaxWaiting) foldOldest();
}

// Whether an update of the other kind than waiting_[from] lies between
// positions from and to (either way round) and touches waiting_[from]:
// then waiting_[from] cannot move to to.
bool UpdateQueue::barrier(std::size_t from, std::size_t to) const {
  const PlannedUpdate& u = waiting_[from].update;
  for (std::size_t k = std::min(from, to) + 1; k < std::max(from, to); ++k)
    if (!sameKind(waiting_[k].update, u) && touches(waiting_[k].update, u))
      return true;
  return false;
}

// waiting_[i] grew: the waiting updates of its kind that it now touches
// merge with it, each into the older of the two, until none does.
void UpdateQueue::absorb(std::size_t i) {
  for (std::size_t j = 0; j < waiting_.size();) {
    if (j == i || !sameKind(waiting_[j].update, waiting_[i].update) ||
        !touches(waiting_[j].update, waiting_[i].update) ||
        barrier(std::max(i, j), std::min(i, j))) {
      ++j;
      continue;
    }
    const std::size_t older = std::min(i, j), newer = std::max(i, j);
    merge(waiting_[older], waiting_[newer]);
    waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(newer));
    i = older;
    j = 0;  // the box grew again: look at every one anew
  }
}

void UpdateQueue::foldOldest() {
  for (std::size_t i = 0; i + 1 < waiting_.size(); ++i)
    if (sameKind(waiting_[i].update, waiting_[i + 1].update)) {
      merge(waiting_[i], waiting_[i + 1]);
      waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(i + 1));
      return;
    }
  // Kinds alternate: kMaxWaiting + 1 >= 4 updates wait.
  merge(waiting_[0], waiting_[2]);
  merge(waiting_[1], waiting_[3]);
  waiting_.erase(waiting_.begin() + 2, waiting_.begin() + 4);
}

bool UpdateQueue::strongerWaveform(std::size_t a, std::size_t b) const {
  const std::vector<model::Waveform>& w = plan_.waveforms;
  if (a >= w.size()) return false;
  if (b >= w.size()) return true;
  return model::stronger(w[a], w[b]);
}

void UpdateQueue::merge(Waiting& into, const Waiting& from) {
  PlannedUpdate& a = into.update;
  const PlannedUpdate& b = from.update;
  a.x0 = std::min(a.x0, b.x0);
  a.y0 = std::min(a.y0, b.y0);
  a.x1 = std::max(a.x1, b.x1);
  a.y1 = std::max(a.y1, b.y1);
  if (strongerWaveform(b.waveform, a.waveform)) {
    a.waveform = b.waveform;
    a.code = b.code;
  }
  a.flashing = a.flashing || b.flashing;
  if (b.kind == UpdateKind::Full) a.kind = UpdateKind::Full;
  a.arrival = std::min(a.arrival, b.arrival);
  a.requests = b.requests > UINT32_MAX - a.requests ? UINT32_MAX
                                                    : a.requests + b.requests;
  into.arrivals.add(from.arrivals);
  ++stats_.merged;
}

void UpdateQueue::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock,
                  [this] { return abort_ || closing_ || !waiting_.empty(); });
    if (abort_ || waiting_.empty()) break;  // aborted, or closing and done
    Waiting w = std::move(waiting_.front());
    waiting_.erase(waiting_.begin());
    carryOut(w, lock);
    if (!failure_.empty()) break;
  }
  stopped_ = true;
  changed_.notify_all();
}

uint32_t UpdateQueue::nextMarker() {
  if (marker_ == 0) marker_ = 1;
  return marker_++;
}

// Called and returns with lock held; the panel is called without it.
void UpdateQueue::carryOut(Waiting& w, std::unique_lock<std::mutex>& lock) {
  PlannedUpdate& u = w.update;
  u.flashing = cadence_.next(u.kind == UpdateKind::Partial, u.flashing);
  PanelUpdate p;
  p.left = static_cast<uint32_t>(u.x0);
  p.top = static_cast<uint32_t>(u.y0);
  p.width = static_cast<uint32_t>(u.x1 - u.x0 + 1);
  p.height = static_cast<uint32_t>(u.y1 - u.y0 + 1);
  p.waveform = u.code;
  p.mode = u.flashing ? UPDATE_MODE_FULL : UPDATE_MODE_PARTIAL;
  p.marker = nextMarker();
  p.temp = plan_.temp;
  const int64_t submittedAt = settings_.now();
  const int error = submitWithRetries(p, lock);
  if (error == EINVAL && !accepted_) {
    ++stats_.refused;
    stopOnFault(layoutDoesNotFit(panel_.controller()), lock);
    return;
  }
  if (error != 0) {
    ++(error == EPERM && abort_ ? stats_.left : stats_.refused);
    return;
  }
  accepted_ = true;
  ++stats_.submitted;
  if (u.flashing) ++stats_.flashes;
  stats_.waited += std::max<int64_t>(0, submittedAt - u.arrival);
  finishUpdate(w, p, submittedAt, lock);
}

// Submits p, again after a pause while EPERM refuses it, up to
// settings_.tries times or until finish gives up. Returns 0 or the errno.
int UpdateQueue::submitWithRetries(const PanelUpdate& p,
                                   std::unique_lock<std::mutex>& lock) {
  for (unsigned attempt = 1;; ++attempt) {
    lock.unlock();
    const int error = panel_.submit(p);
    lock.lock();
    if (error != EPERM || attempt >= settings_.tries || abort_) return error;
    ++stats_.retries;
    if (!pause(settings_.retryPause, lock)) return error;
  }
}

// Waits for the submitted update p (or, without waits, lets its waveform
// run), then measures the latency of every request it carries.
void UpdateQueue::finishUpdate(const Waiting& w, const PanelUpdate& p,
                               int64_t submittedAt,
                               std::unique_lock<std::mutex>& lock) {
  if (plan_.wait) {
    lock.unlock();
    const WaitOutcome outcome = panel_.wait(p.marker);
    lock.lock();
    if (outcome.result == WaitResult::TimedOut) ++stats_.waitsTimedOut;
    if (outcome.result == WaitResult::Failed) ++stats_.waitsFailed;
    // The controller was taken at least that long.
    stats_.busy += std::max<int64_t>(0, settings_.now() - submittedAt);
    if (outcome.result != WaitResult::Done) return;
  } else {
    int64_t span = 0;
    if (w.update.waveform < plan_.waveforms.size()) {
      const model::Waveform& wf = plan_.waveforms[w.update.waveform];
      span = wf.duration + (w.update.flashing ? wf.flashTime : 0);
    }
    pause(std::chrono::microseconds(span), lock);
    stats_.busy += std::max<int64_t>(0, settings_.now() - submittedAt);
  }
  const int64_t end = settings_.now();
  w.arrivals.each([this, end](int64_t at, unsigned long long count) {
    record(end - at, count);
  });
}

void UpdateQueue::record(int64_t latency, unsigned long long count) {
  latency = std::clamp<int64_t>(latency, 0, kLatencyCap);
  for (unsigned long long i = 0; i < count; ++i) latencies_.add(latency);
  stats_.measured += count;
}

// Waits span, or less when finish gives up. Returns false in that case.
bool UpdateQueue::pause(std::chrono::microseconds span,
                        std::unique_lock<std::mutex>& lock) {
  if (span.count() <= 0) return !abort_;
  return !changed_.wait_for(lock, span, [this] { return abort_; });
}

void UpdateQueue::stopOnFault(std::string why,
                              std::unique_lock<std::mutex>& lock) {
  failure_ = std::move(why);
  stats_.left += waiting_.size();
  waiting_.clear();
  closing_ = true;
  changed_.notify_all();
  if (settings_.onStop) {
    lock.unlock();
    settings_.onStop();
    lock.lock();
  }
}

QueueStats UpdateQueue::stats() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  QueueStats s = stats_;
  s.waiting = waiting_.size();
  s.p50 = latencies_.percentile(50);
  s.p95 = latencies_.percentile(95);
  s.max = latencies_.max();
  return s;
}

std::string UpdateQueue::failure() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

bool UpdateQueue::finish(std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> lock(mutex_);
  closing_ = true;
  changed_.notify_all();
  const bool drained =
      thread_.joinable() &&
      changed_.wait_for(lock, bound, [this] { return stopped_; });
  if (!drained) {
    abort_ = true;
    stats_.left += waiting_.size();
    waiting_.clear();
    changed_.notify_all();
  }
  lock.unlock();
  if (thread_.joinable()) thread_.join();
  lock.lock();
  return stats_.left == 0 && failure_.empty();
}

}  // namespace zodm::displayd
