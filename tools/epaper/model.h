// SPDX-License-Identifier: MIT
// The panel as e-paper takes it: a model of the display controller that the
// emulator feeds with each accepted request and its arrival time, and reads
// back: which updates ran when, which waited for which, what merged, what
// flashed, what each request cost, and what the panel shows, levels and
// residue. It does no I/O and reads no clock: time is what the caller says
// (microseconds, from the start of the run), so a run is exactly
// reproducible from its arrival times. The framebuffer is read only through
// the Source the caller gives, when an update starts.
//
// The controller runs up to profile.concurrent updates at once over
// disjoint regions; an update overlapping a running one waits for it (a
// collision). Waiting updates that overlap or touch merge into their
// bounding box, flashing if either flashes, with the stronger waveform. An
// erase to white merges only with another erase: any other update that
// overlaps a waiting erase waits behind it, so that what it draws is not
// whitened. When an update completes, its region shows the framebuffer as
// it was when the update started, at the waveform's gray levels, plus
// residue: a pass that does not flash and changes a pixel adds a share (the
// waveform's residue) of the change to what the pixel keeps of what it
// showed before, and a flashing update clears its region's residue.
//
// The cost of a request grows with the region it touches: the collision
// and merge checks look only at the updates running and waiting, and the
// pixels are touched only inside an update's region.
#ifndef ZODM_TOOLS_EPAPER_MODEL_H
#define ZODM_TOOLS_EPAPER_MODEL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "area.h"
#include "profile.h"
#include "summary.h"
#include "zodm.h"

namespace zodm::model {

using geometry::Rect;

// Where an update reads the pixels it shows: the application's framebuffer.
// The model calls it, its one callback, when an update starts.
class Source {
 public:
  virtual ~Source() = default;
  // Copies the pixels of r (corners in order, inside the area) to the same
  // places of plane, kWidth x kHeight bytes.
  virtual void copy(const Rect& r, uint8_t* plane) = 0;
};

enum class State : uint8_t { Waiting, Running, Done };

// One update of the panel, and the requests it carries.
struct Update {
  unsigned long long id = 0;  // counted from 1, in order of arrival
  Rect rect{};                // corners in order, inclusive
  std::size_t waveform = 0;   // in the profile
  bool flash = false;
  bool erase = false;  // shows white instead of the framebuffer
  int priority = 0;
  State state = State::Waiting;
  bool collided = false;  // waited for a running update it overlapped
  unsigned requests = 0;  // requests it carries, merged ones included
  Micros arrival = 0;     // of its first request
  Micros start = -1;      // once running
  Micros end = -1;        // once running: when it completes
  Micros flashTime = 0;   // of its pass, the inverted part first
  // Merged into the waiting update of this id, which carries its requests
  // from then on; 0: it was not.
  unsigned long long mergedInto = 0;
};

class Model {
 public:
  // With a source, the model keeps the panel's pixels (it starts white);
  // without one, only time, collisions, merges, flashes and latency.
  // profile and source must outlive the model.
  Model(const Profile& profile, Source* source);

  // An accepted request that arrived at time now (no earlier than the one
  // before): updates that completed by then first take effect. Dumps
  // refresh nothing and are ignored.
  void submit(Micros now, const DmCommand& command);
  // Lets time pass to now: updates due complete, waiting ones start.
  void advance(Micros now);
  // When the next update completes, if any runs: the time to advance to.
  std::optional<Micros> nextEvent() const;
  // Ends the run at time now: every update still running or waiting runs
  // to completion, and the summary covers every request.
  void finish(Micros now);

  Summary summary() const;
  bool hasPixels() const { return source_ != nullptr; }
  // What the panel shows (levels and residue), row y of kWidth pixels.
  const uint8_t* row(int y) const {
    return &shown_[geometry::pixelIndex(0, y)];
  }
  uint8_t at(int x, int y) const { return row(y)[x]; }
  // All of it, kWidth x kHeight pixels row after row.
  const uint8_t* pixels() const { return shown_.data(); }
  // The residue a pixel keeps, 0..255.
  int residue(int x, int y) const;
  // Number of the change (counted from 1) that last touched row y of the
  // picture; 0: none. changes() is the latest.
  unsigned long long rowChange(int y) const {
    return rowChanges_.empty() ? 0 : rowChanges_[static_cast<std::size_t>(y)];
  }
  unsigned long long changes() const { return changes_; }

  // The updates of the last kHistory, oldest first, each as it stands:
  // what a timeline shows. version() grows whenever one of them changes.
  static constexpr std::size_t kHistory = 512;
  const std::deque<Update>& history() const { return history_; }
  // Calls visit(update) for each update of the history that changed after
  // version since (0: every one), oldest first, each as it stands: what a
  // reader that last looked at version since has not seen, without a copy
  // of the history to compare with.
  template <typename Visit>
  void changesSince(unsigned long long since, const Visit& visit) const {
    for (std::size_t i = 0; i < history_.size(); ++i)
      if (changedAt_[i] > since) visit(history_[i]);
  }
  // Updates running and waiting now.
  std::size_t running() const { return running_.size(); }
  std::size_t waiting() const { return waiting_.size(); }
  unsigned long long version() const { return version_; }
  const Profile& profile() const { return profile_; }

 private:
  struct Live {
    Update update;
    std::vector<Micros> arrivals;  // of every request it carries
  };

  void complete(Live& live);
  void tryStart(Micros now);
  void start(Live& live, Micros now);
  bool blocked(const Live& waiting) const;
  void merge(Live& into, Live& from);
  void note(const Update& update);
  void touch(int y0, int y1);
  Micros duration(const Update& update) const;
  bool before(const Live& a, const Live& b) const;
  int priorityKey(int priority) const;
  std::size_t stronger(std::size_t a, std::size_t b) const;

  const Profile& profile_;
  Source* source_;
  std::vector<Live> running_;
  std::vector<Live> waiting_;  // in order of arrival
  unsigned long long nextId_ = 1;

  // Pixels, with a source: the level each shows, its residue in 128ths of
  // a gray step, signed towards what it showed before, what it shows, and
  // the framebuffer as running updates found it when they started.
  std::vector<uint8_t> levels_;
  std::vector<int16_t> residue_;
  std::vector<uint8_t> shown_;
  std::vector<uint8_t> target_;
  std::vector<unsigned long long> rowChanges_;
  unsigned long long changes_ = 0;
  // Each waveform's gray levels: what a pass makes of a framebuffer pixel,
  // and the share of a change it leaves as residue, in 128ths.
  std::vector<std::array<uint8_t, 256>> quantized_;
  std::vector<int> residue128_;

  Summary summary_;
  Micros now_ = 0;
  Micros busySince_ = 0;
  Latencies latencies_;

  std::deque<Update> history_;
  std::deque<unsigned long long> changedAt_;  // each one's last version
  unsigned long long version_ = 0;
};

}  // namespace zodm::model

#endif  // ZODM_TOOLS_EPAPER_MODEL_H
