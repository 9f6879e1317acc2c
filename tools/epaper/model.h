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
// residue: a pass that does not flash and changes a pixel takes the
// residue it keeps of what the pixel showed before a share of the way to
// the waveform's limit, and never past what the pixel showed; a flashing
// update clears its region's residue (panelPass.h has the arithmetic).
// With the profile's flash_every, the Nth partial update since the last
// flash is carried out flashing.
//
// The cost of a request grows with the region it touches: the collision
// and merge checks look only at the updates running and waiting, and the
// pixels are touched only inside an update's region, once when it starts
// and once when it completes, by loops that run near the speed of a copy.
// The residue's figures are kept per row and looked at again only for the
// rows a pass changed since the last summary.
#ifndef ZODM_TOOLS_EPAPER_MODEL_H
#define ZODM_TOOLS_EPAPER_MODEL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "area.h"
#include "flashCadence.h"
#include "panelPass.h"
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
  bool erase = false;    // shows white instead of the framebuffer
  bool partial = false;  // carries partial updates only
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

// What became of one request, once the update that carried it completed.
struct Fate {
  unsigned long long request = 0;     // the refresh, counted from 1
  unsigned long long update = 0;      // the update that carried it out
  unsigned long long mergedInto = 0;  // that update, when the request's own
                                      // merged into it; 0: its own ran
  std::size_t waveform = 0;           // the update's, in the profile
  bool flash = false;                 // whether the update flashed
  Micros arrival = 0;                 // of the request
  Micros start = 0, end = 0;          // of the update
};

class Model {
 public:
  // With a source, the model keeps the panel's pixels (it starts white);
  // without one, only time, collisions, merges, flashes and latency.
  // The model keeps its own copy of profile; source must outlive it.
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

  // Requests are counted from 1 as they are submitted, dumps left out:
  // that number is a Fate's request.
  unsigned long long requests() const { return summary_.requests; }
  // With keep, each completed update leaves the fate of every request it
  // carried, in order of completion, until takeFates takes them.
  void keepFates(bool keep) { keepFates_ = keep; }
  // Appends the fates kept so far to into, and forgets them.
  void takeFates(std::vector<Fate>& into);

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
  // A request that an update carries.
  struct Carried {
    Micros arrival = 0;
    unsigned long long request = 0;  // counted from 1
    unsigned long long update = 0;   // the update it arrived as
    std::size_t quality = 0;
    RefreshKind kind = RefreshKind::Full;
  };
  struct Live {
    Update update;
    std::vector<Carried> carried;  // every request it carries
  };

  void complete(Live& live);
  void record(const Live& live);
  void showPixels(const Update& update);
  void tryStart(Micros now);
  void start(Live& live, Micros now);
  void readTarget(const Update& update);
  bool blocked(const Live& waiting) const;
  void merge(Live& into, Live& from);
  void note(const Update& update);
  void touch(int y0, int y1);
  void refreshResidueRows() const;
  Micros duration(const Update& update) const;
  bool before(const Live& a, const Live& b) const;
  int priorityKey(int priority) const;
  std::size_t stronger(std::size_t a, std::size_t b) const;

  const Profile profile_;
  Source* source_;
  std::vector<Live> running_;
  std::vector<Live> waiting_;  // in order of arrival
  unsigned long long nextId_ = 1;
  FlashCadence cadence_;

  // Pixels, with a source: what each shows (its level plus its residue),
  // its residue in 128ths of a gray step, signed towards what it showed
  // before, and the framebuffer as running updates found it when they
  // started, at their waveforms' levels.
  std::vector<int16_t> residue_;
  std::vector<uint8_t> shown_;
  std::vector<uint8_t> target_;
  std::vector<unsigned long long> rowChanges_;
  unsigned long long changes_ = 0;
  // Per row: whether any pixel may keep a residue, and what its residue
  // adds up to, looked at again (dirty) after a pass changed it.
  std::vector<uint8_t> rowKeeps_;
  mutable std::vector<pass::RowResidue> rowResidue_;
  mutable std::vector<uint8_t> rowDirty_;
  mutable bool residueDirty_ = false;
  // Each waveform's gray levels and residue, in integers.
  std::vector<pass::Quantizer> quantizers_;
  std::vector<pass::Ghost> ghosts_;

  Summary summary_;
  Micros now_ = 0;
  Micros busySince_ = 0;
  Latencies latencies_;
  std::array<Latencies, kQualityLevels> byQuality_;
  std::array<Latencies, kRefreshKinds> byKind_;
  bool keepFates_ = false;
  std::vector<Fate> fates_;

  std::deque<Update> history_;
  std::deque<unsigned long long> changedAt_;  // each one's last version
  unsigned long long version_ = 0;
};

}  // namespace zodm::model

#endif  // ZODM_TOOLS_EPAPER_MODEL_H
