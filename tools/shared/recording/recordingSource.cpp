// SPDX-License-Identifier: MIT
// See recordingSource.h.
#include "recordingSource.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "clock.h"

namespace zodm::tools {

namespace {

// How long a paced wait lasts at most before it says how far it came.
constexpr int64_t kPaceSlice = 20000;

}  // namespace

ReplayPace::ReplayPace(const std::vector<RecordedRequest>& requests,
                       double speed,
                       std::function<void(int64_t recorded)> whileWaiting)
    : requests_(requests),
      speed_(speed),
      whileWaiting_(std::move(whileWaiting)) {}

int64_t ReplayPace::now() const {
  if (requests_.empty()) return 0;
  const int64_t from = from_.load();
  const int64_t first = requests_.front().micros;
  if (from < 0) return first;
  const auto gone = static_cast<int64_t>(
      static_cast<double>(microsSinceStart() - from) * speed_);
  return std::min(first + gone, requests_.back().micros);
}

bool ReplayPace::waitFor(int64_t micros) {
  if (from_.load() < 0) from_ = microsSinceStart();
  for (;;) {
    const int64_t reached = now();
    if (reached >= micros) return true;
    const auto left =
        static_cast<int64_t>(static_cast<double>(micros - reached) / speed_);
    const int64_t slice = std::clamp<int64_t>(left, 1, kPaceSlice);
    const timespec pause{static_cast<time_t>(slice / 1000000),
                         static_cast<long>(slice % 1000000 * 1000)};
    if (nanosleep(&pause, nullptr) != 0 && errno == EINTR) return false;
    if (whileWaiting_) whileWaiting_(std::min(now(), micros));
  }
}

DatagramSource::Next RecordingSource::next(Datagram& datagram) {
  if (next_ == requests_.size()) return Next::kEnd;
  if (pace_ != nullptr && !pace_->waitFor(requests_[next_].micros))
    return Next::kNone;
  const RecordedRequest& request = requests_[next_++];
  datagram.micros = request.micros;
  // std::string keeps a NUL after its bytes, as the parser needs.
  datagram.text = request.text;
  members_ = recordedMembers(request);
  datagram.members = members_;
  return Next::kDatagram;
}

}  // namespace zodm::tools
