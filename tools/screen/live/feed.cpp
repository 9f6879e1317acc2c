// SPDX-License-Identifier: MIT
// See feed.h. Here the heat map's part of the feed, its events and the
// message around the parts of the panel (feedPanel.cpp) and of the model
// (feedModel.cpp).
#include "feed.h"

#include <algorithm>
#include <cstdio>

#include "requestLines.h"
#include "text.h"

namespace zodm::live {

namespace {

using tools::appendDecimal;
using tools::appendPageString;

// A component of the colour scale, with every digit a double holds, so the
// page computes the same colours.
void appendFraction(std::string& out, double value) {
  char digits[32];
  const int length = std::snprintf(digits, sizeof digits, "%.17g", value);
  out.append(digits, static_cast<std::size_t>(length));
}

EventKind eventKind(const std::optional<DmCommand>& accepted) {
  if (!accepted) return EventKind::Refused;
  switch (geometry::kindOf(*accepted)) {
    case geometry::RequestKind::Full:
      return EventKind::Full;
    case geometry::RequestKind::Partial:
      return EventKind::Partial;
    case geometry::RequestKind::Erase:
      return EventKind::Erase;
    default:
      return EventKind::Dump;
  }
}

void appendEvent(std::string& out, const Event& event) {
  out += "{\"n\":";
  appendDecimal(out, event.number);
  out += ",\"k\":\"";
  out += static_cast<char>(event.kind);
  out += '"';
  if (event.kind == EventKind::Partial) {
    out += ",\"r\":[";
    for (const int v :
         {event.rect.x0, event.rect.y0, event.rect.x1, event.rect.y1}) {
      appendDecimal(out, v);
      out += ',';
    }
    out.back() = ']';
  }
  out += ",\"s\":";
  appendPageString(out, event.line);
  out += '}';
}

// The fixed part of a viewer's first message: the heat map's colour scale.
// The area's size is the page's own (page.html, page.js, page.css).
void appendScale(std::string& out) {
  out += ",\"scale\":[";
  for (const screen::Rgb& stop : screen::kHeatScale) {
    out += '[';
    appendFraction(out, stop.r);
    out += ',';
    appendFraction(out, stop.g);
    out += ',';
    appendFraction(out, stop.b);
    out += "],";
  }
  out.back() = ']';
}

}  // namespace

// What a message takes under the feed's lock, at once.
struct Feed::Snapshot {
  unsigned long long received = 0;
  unsigned long long dropped = 0;
  unsigned long long skipped = 0;  // events the viewer will never be sent
  unsigned maxCount = 0;
  std::vector<std::string> caption;
  std::vector<Event> events;  // the newest the ring holds and a message takes
};

std::string refusedLine(std::string_view text) {
  std::string line = tools::describeRefused(text.substr(0, kShownBytes), false);
  if (text.size() > kShownBytes) {
    line += " ... (";
    appendDecimal(line, text.size());
    line += " bytes)";
  }
  return line;
}

Feed::Feed(screen::HeatMap& heatMap) : heatMap_(heatMap), ring_(kRingSize) {}

void Feed::record(const std::optional<DmCommand>& accepted,
                  std::string_view text) {
  // Everything that allocates happens before the lock is taken.
  std::string line =
      accepted ? tools::describe(*accepted, false) : refusedLine(text);
  const EventKind kind = eventKind(accepted);
  const geometry::Rect rect = kind == EventKind::Partial
                                  ? geometry::partialRect(*accepted)
                                  : geometry::Rect{};
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (accepted)
      heatMap_.apply(*accepted);
    else
      heatMap_.refuse();
    if (panel_ != nullptr && accepted) {
      panel_->apply(*accepted);
      notePanelCopy(*accepted);
    }
    Event& slot = ring_[received_ % kRingSize];
    ++received_;
    slot.number = received_;
    slot.kind = kind;
    slot.rect = rect;
    slot.line.swap(line);  // the old text is freed after the lock
  }
  news_.notify_all();
}

void Feed::setDropped(unsigned long long dropped) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    dropped_ = dropped;
  }
  news_.notify_all();
}

Feed::Snapshot Feed::takeSnapshot(Cursor& cursor, bool first) {
  Snapshot s;
  const std::lock_guard<std::mutex> lock(mutex_);
  s.received = received_;
  s.dropped = dropped_;
  s.maxCount = heatMap_.maxCount();
  s.caption = heatMap_.caption();
  if (first) {
    cursor.rows.set();
  } else {
    for (int y = 0; y < kHeight; ++y)
      if (heatMap_.rowRequest(y) > cursor.rowsAt)
        cursor.rows.set(static_cast<std::size_t>(y));
  }
  cursor.rowsAt = heatMap_.tally().accepted;
  if (panel_ != nullptr) scanPanel(cursor.panel, first);
  // Events after the cursor's, the newest that the ring still holds and
  // the message takes.
  const unsigned long long limit = first ? kCatchUpEvents : kEventsPerMessage;
  const unsigned long long received = s.received;
  unsigned long long from = first ? 0 : cursor.events;
  from = std::max(from, received > kRingSize ? received - kRingSize : 0);
  from = std::max(from, received > limit ? received - limit : 0);
  if (!first) s.skipped = from - cursor.events;
  s.events.reserve(static_cast<std::size_t>(received - from));
  for (unsigned long long n = from; n < received; ++n)
    s.events.push_back(ring_[n % kRingSize]);
  cursor.events = received;
  cursor.dropped = s.dropped;
  cursor.model.news = modelNews_;
  return s;
}

void Feed::appendHeatRows(std::string& out, Cursor& cursor) {
  // Rows as they are now, each copied on its own under the lock.
  out += ",\"rows\":[";
  appendRowGroups<uint16_t>(
      out, cursor.rows, kRowBudget,
      [&](int y, uint16_t* row) {
        const std::lock_guard<std::mutex> lock(mutex_);
        std::copy_n(heatMap_.row(y), kWidth, row);
      },
      appendCountRow);
  out += ']';
}

std::string Feed::nextMessage(Cursor& cursor) {
  const bool first = !cursor.started;
  // The page's "t" (milliseconds) and the model's "now" (microseconds)
  // both count from the tool's start.
  const int64_t now = tools::microsSinceStart();
  const Snapshot s = takeSnapshot(cursor, first);
  cursor.started = true;

  std::string out = "{\"reset\":";
  out += first ? "true" : "false";
  if (first) appendScale(out);
  out += ",\"t\":";
  appendDecimal(out, now / 1000);
  out += ",\"received\":";
  appendDecimal(out, s.received);
  out += ",\"dropped\":";
  appendDecimal(out, s.dropped);
  out += ",\"max\":";
  appendDecimal(out, s.maxCount);
  out += ",\"caption\":[";
  for (const std::string& line : s.caption) {
    appendPageString(out, line);
    out += ',';
  }
  out.back() = ']';
  appendHeatRows(out, cursor);
  if (panel_ != nullptr) appendPanel(out, cursor.panel);
  if (runner_ != nullptr) appendModel(out, cursor.model, first, now);
  out += ",\"more\":";
  out += cursor.pending() ? "true" : "false";
  out += ",\"skipped\":";
  appendDecimal(out, s.skipped);
  out += ",\"events\":[";
  for (const Event& event : s.events) {
    appendEvent(out, event);
    out += ',';
  }
  if (out.back() == ',') out.pop_back();
  out += "]}";
  return out;
}

bool Feed::waitForNews(const Cursor& cursor, Clock::time_point deadline) {
  if (!cursor.started || cursor.pending()) return !stopped_;
  std::unique_lock<std::mutex> lock(mutex_);
  news_.wait_until(lock, deadline, [&] {
    return stopped_ || received_ > cursor.events ||
           dropped_ != cursor.dropped ||
           drawnChangeCount_ > cursor.panel.drawnAt ||
           modelNews_ > cursor.model.news;
  });
  return !stopped_;
}

bool Feed::sleepUntil(Clock::time_point until) {
  std::unique_lock<std::mutex> lock(stopMutex_);
  stopping_.wait_until(lock, until, [&] { return stopped_.load(); });
  return !stopped_;
}

void Feed::stop() {
  {
    // Taken so that no waiter misses the change between its check and its
    // wait.
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::lock_guard<std::mutex> stopLock(stopMutex_);
    stopped_ = true;
  }
  news_.notify_all();
  stopping_.notify_all();
}

}  // namespace zodm::live
