// SPDX-License-Identifier: MIT
// The live page's feed, without HTTP: the receive loop hands it each
// datagram, and the page's viewers read it at their own pace, each message
// built for one viewer from where it stands (its Cursor).
//
// The receive loop and the viewers share one mutex, held for one datagram's
// bookkeeping by the loop and, by a viewer, for copying one row of counts or
// the newest events at a time: a slow or stalled viewer never holds up the
// loop for longer than that. Everything a viewer needs is bounded: the last
// kRingSize events are kept; a viewer that falls further behind skips the
// events it missed (they only flash), while its heat map and totals stay
// exact, because rows and totals are sent as they are, not as changes.
//
// With the e-paper model, a viewer reads the model only under the runner's
// lock, and only to copy what its message needs: the rows of the model's
// panel changed since its last look, one at a time, and the updates that
// changed since then. The model's history is bounded (its last kHistory
// updates): a viewer that fell further behind misses the updates that left
// it, which only a timeline of the last seconds shows.
#ifndef ZODM_TOOLS_LIVE_FEED_H
#define ZODM_TOOLS_LIVE_FEED_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "clock.h"
#include "feedJson.h"
#include "heatMap.h"
#include "idealPanel.h"
#include "model.h"
#include "zodm.h"

namespace zodm::screen {
class ModelRunner;
}

namespace zodm::live {

// How many of the last events the feed keeps for its viewers.
constexpr std::size_t kRingSize = 1024;
// Events in one message at most (the newest), and in a viewer's first one,
// which fills the page's list.
constexpr std::size_t kEventsPerMessage = 256;
constexpr std::size_t kCatchUpEvents = 50;
// A message stops taking rows once it is this long; the other changed rows
// follow in the next one.
constexpr std::size_t kRowBudget = 256 * 1024;
// How much of a refused text an event shows; the rest is counted.
constexpr std::size_t kShownBytes = 120;
// How often the feed looks at the framebuffer for what the application drew.
constexpr auto kDrawnInterval = std::chrono::milliseconds(100);

// What a datagram was, as the page marks it (the letter is its "k").
enum class EventKind : char {
  Full = 'f',
  Partial = 'p',
  Erase = 'e',
  Dump = 'd',
  Refused = 'r',
};

// One datagram as the page shows it.
struct Event {
  unsigned long long number = 0;  // counted from 1
  EventKind kind = EventKind::Refused;
  geometry::Rect rect{};  // a partial update's cells
  std::string line;       // as zodm-listen prints it, a refused text shortened
};

// The line an event shows for a refused text: zodm-listen's, for the first
// kShownBytes bytes, followed by the whole length when there is more.
std::string refusedLine(std::string_view text);

// Where a viewer stands in the panel's rows and the framebuffer's, when the
// feed shows a panel.
struct PanelCursor {
  unsigned long long panelAt = 0;  // the panel's changes at its last scan
  unsigned long long drawnAt = 0;  // the framebuffer's changes seen then
  RowSet panelRows;                // the panel's rows not sent yet
  RowSet drawnRows;                // the framebuffer's rows not sent yet
};

// Where a viewer stands in the model, when the feed shows one.
struct ModelCursor {
  unsigned long long news = 0;     // the runner's news it was told of
  unsigned long long rowsAt = 0;   // the model panel's changes at its scan
  RowSet rows;                     // the model panel's rows not sent yet
  unsigned long long version = 0;  // the model's version at its last look
};

// Where one viewer stands.
struct Cursor {
  bool started = false;            // its first message, a full state, went
  unsigned long long events = 0;   // number of the last event it was sent
  unsigned long long rowsAt = 0;   // accepted requests at its last scan
  unsigned long long dropped = 0;  // drops in its last message
  RowSet rows;                     // heat map rows changed and not sent yet
  PanelCursor panel;
  ModelCursor model;

  // Rows are waiting to be sent.
  bool pending() const {
    return rows.any() || panel.panelRows.any() || panel.drawnRows.any() ||
           model.rows.any();
  }
};

class Feed {
 public:
  using Clock = tools::Clock;

  // The feed owns no state of its own beyond the events: heatMap is the
  // emulator's, which only the receive loop changes, through record.
  explicit Feed(screen::HeatMap& heatMap);
  // Stops the feed and waits for its thread, if it has one.
  ~Feed();
  Feed(const Feed&) = delete;
  Feed& operator=(const Feed&) = delete;

  // Shows panel to the viewers too, and the framebuffer it reads: record
  // then applies each accepted request to the panel as well, and a thread
  // of the feed's looks at the framebuffer every kDrawnInterval for rows the
  // application changed. Call once, before the first record or viewer.
  void showPanel(screen::IdealPanel& panel);

  // Shows the e-paper model that runner keeps: each message then carries
  // the model's time, the updates of its history that changed, what the
  // run cost so far and, when the model keeps pixels, the rows of its
  // panel. The model's time is taken to count from toolStart(), as the
  // page's "t" does, at the clock's own rate; a replay paced for its
  // viewers gives its own clock (the recorded time it has reached) and the
  // rate its time runs at against the clock. Call once, before the first
  // viewer; runner and clock must outlive them.
  void showModel(const screen::ModelRunner& runner,
                 std::function<int64_t()> clock = {}, double rate = 1);
  // The runner's side (its OnChange): the model changed, which wakes the
  // viewers.
  void modelChanged();

  // The receive loop's side: records a datagram, the accepted command or,
  // without one, the refused text, in the heat map and in the events.
  void record(const std::optional<DmCommand>& accepted, std::string_view text);
  // Also the receive loop's: the kernel's count of the datagrams it dropped
  // before they could be read, which every message carries.
  void setDropped(unsigned long long dropped);

  // A viewer's side: its next message, JSON on one line. The first one
  // (cursor fresh) holds the whole state, later ones what changed.
  std::string nextMessage(Cursor& cursor);
  // Waits until there is news for cursor or the deadline passes; false once
  // the feed is stopped.
  bool waitForNews(const Cursor& cursor, Clock::time_point deadline);
  // Sleeps until the time given, without waking for news; false once the
  // feed is stopped.
  bool sleepUntil(Clock::time_point until);
  // Ends every wait, now and later.
  void stop();
  bool stopped() const { return stopped_; }

  // One look at the framebuffer, as the feed's thread takes it every
  // kDrawnInterval: rows that differ from the last look are kept for the
  // viewers. Returns whether any did.
  bool lookAtFramebuffer();

 private:
  struct Snapshot;

  // The heat map's part of a message (feed.cpp): what a message takes under
  // the lock, marking the cursor's changed rows, then those rows.
  Snapshot takeSnapshot(Cursor& cursor, bool first);
  void appendHeatRows(std::string& out, Cursor& cursor);

  // The panel's part (feedPanel.cpp): marks, under the lock, the rows
  // changed since the cursor's last scan...
  void scanPanel(PanelCursor& cursor, bool first);
  // ...and appends them, the panel's and the framebuffer's, while the
  // message is shorter than kRowBudget.
  void appendPanel(std::string& out, PanelCursor& cursor);
  // Keeps, under the lock, the framebuffer's pixels that the request just
  // copied to the panel, so that they never show as stale.
  void notePanelCopy(const DmCommand& command);

  // The model's part (feedModel.cpp): what the cursor has not seen, copied
  // under the runner's lock, then appended, now being the model's time.
  void appendModel(std::string& out, ModelCursor& cursor, bool first,
                   model::Micros now);
  void appendModelRows(std::string& out, ModelCursor& cursor);
  // What the run cost, kept until the model changes: it takes a look at
  // every pixel's residue.
  model::Summary summaryOf(const model::Model& m);

  screen::HeatMap& heatMap_;
  mutable std::mutex mutex_;  // guards heatMap_'s changes, ring_,
                              // received_, dropped_
  std::condition_variable news_;
  std::vector<Event> ring_;
  unsigned long long received_ = 0;
  unsigned long long dropped_ = 0;
  std::atomic<bool> stopped_{false};
  std::mutex stopMutex_;
  std::condition_variable stopping_;

  // With a panel (all under mutex_ but the pointer, set before any thread
  // reads it).
  screen::IdealPanel* panel_ = nullptr;
  std::vector<uint8_t> drawn_;  // the framebuffer as last seen
  // Per row, the number of the change of drawn_ that last touched it.
  std::vector<unsigned long long> drawnChanges_;
  unsigned long long drawnChangeCount_ = 0;
  std::thread watcher_;

  // With a model (the pointer set before any viewer).
  const screen::ModelRunner* runner_ = nullptr;
  std::function<int64_t()> modelClock_;  // empty: the tool's clock
  double modelRate_ = 1;
  unsigned long long modelNews_ = 0;  // the runner's news (under mutex_)
  // What the run cost at the model's version and changes of then, shared
  // by the viewers (under summaryMutex_).
  std::mutex summaryMutex_;
  bool summaryKept_ = false;
  unsigned long long summaryVersion_ = 0;
  unsigned long long summaryChanges_ = 0;
  model::Summary summary_;
};

}  // namespace zodm::live

#endif  // ZODM_TOOLS_LIVE_FEED_H
