// SPDX-License-Identifier: MIT
// The e-paper model's side of the live page's feed (see live.h): in each
// message, the model's time now, which the page maps its own clock to, the
// updates of the model's history that changed since the viewer's last
// look, what the run cost so far and the rows of the model's panel. The
// model is read under the runner's lock only to copy these; the text is
// made after it.
#include <algorithm>

#include "live.h"
#include "modelRunner.h"
#include "requestLines.h"
#include "text.h"

namespace zodm::live {

namespace {

using tools::appendDecimal;

// Whether the page would draw a and b alike.
bool same(const model::Update& a, const model::Update& b) {
  return a.id == b.id && a.state == b.state && a.rect.x0 == b.rect.x0 &&
         a.rect.y0 == b.rect.y0 && a.rect.x1 == b.rect.x1 &&
         a.rect.y1 == b.rect.y1 && a.waveform == b.waveform &&
         a.flash == b.flash && a.erase == b.erase && a.collided == b.collided &&
         a.requests == b.requests && a.arrival == b.arrival &&
         a.start == b.start && a.end == b.end && a.flashTime == b.flashTime &&
         a.mergedInto == b.mergedInto;
}

char stateLetter(model::State state) {
  switch (state) {
    case model::State::Waiting:
      return 'w';
    case model::State::Running:
      return 'r';
    case model::State::Done:
      break;
  }
  return 'd';
}

// An update as the page's timeline reads it; times in microseconds of the
// model, -1 where not yet known; flash: the inverted part of its pass, 0
// when it does not flash.
void appendUpdate(std::string& out, const model::Update& u) {
  out += "{\"id\":";
  appendDecimal(out, u.id);
  out += ",\"state\":\"";
  out += stateLetter(u.state);
  out += "\",\"rect\":[";
  for (const int v : {u.rect.x0, u.rect.y0, u.rect.x1, u.rect.y1}) {
    appendDecimal(out, v);
    out += ',';
  }
  out.back() = ']';
  out += ",\"waveform\":";
  appendDecimal(out, u.waveform);
  out += ",\"flash\":";
  appendDecimal(out, u.flash ? u.flashTime : 0);
  out += ",\"erase\":";
  out += u.erase ? "true" : "false";
  out += ",\"collided\":";
  out += u.collided ? "true" : "false";
  out += ",\"requests\":";
  appendDecimal(out, u.requests);
  out += ",\"arrival\":";
  appendDecimal(out, u.arrival);
  out += ",\"start\":";
  appendDecimal(out, u.start);
  out += ",\"end\":";
  appendDecimal(out, u.end);
  out += ",\"merged\":";
  appendDecimal(out, u.mergedInto);
  out += '}';
}

}  // namespace

void Feed::showModel(const screen::ModelRunner& runner) { runner_ = &runner; }

void Feed::modelChanged() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++modelNews_;
  }
  news_.notify_all();
}

void Feed::appendModel(std::string& out, Cursor& cursor, bool first) {
  model::Micros now = 0;
  std::vector<model::Update> changed;
  std::vector<std::string> waveforms;
  unsigned long long oldest = 0;
  bool pixels = false;
  model::Summary summary;
  runner_->read([&](const model::Model& m) {
    now = runner_->now();
    pixels = m.hasPixels();
    if (first) {
      for (const model::Waveform& w : m.profile().waveforms)
        waveforms.push_back(w.name);
      if (pixels) cursor.modelRows.set();
    } else if (pixels) {
      for (int y = 0; y < screen::kHeight; ++y)
        if (m.rowChange(y) > cursor.modelAt)
          cursor.modelRows.set(static_cast<std::size_t>(y));
    }
    cursor.modelAt = m.changes();
    const std::deque<model::Update>& history = m.history();
    if (!history.empty()) oldest = history.front().id;
    if (first || m.version() != cursor.version) {
      // Both are in order of id.
      auto sent = cursor.updates.cbegin();
      for (const model::Update& u : history) {
        while (sent != cursor.updates.cend() && sent->id < u.id) ++sent;
        if (sent == cursor.updates.cend() || !same(*sent, u))
          changed.push_back(u);
      }
      cursor.updates.assign(history.begin(), history.end());
      cursor.version = m.version();
    }
    // What the run cost takes a look at every pixel's residue: it is kept
    // for every viewer until the model changes.
    const std::lock_guard<std::mutex> lock(summaryMutex_);
    if (!summaryKept_ || summaryVersion_ != m.version() ||
        summaryChanges_ != m.changes()) {
      summary_ = m.summary();
      summaryKept_ = true;
      summaryVersion_ = m.version();
      summaryChanges_ = m.changes();
    }
    summary = summary_;
    return 0;
  });

  out += ",\"now\":";
  appendDecimal(out, now);
  if (first) {
    out += ",\"waveforms\":[";
    for (const std::string& name : waveforms) {
      tools::appendPageString(out, name);
      out += ',';
    }
    if (out.back() == ',') out.pop_back();
    out += ']';
  }
  out += ",\"oldest\":";
  appendDecimal(out, oldest);
  out += ",\"updates\":[";
  for (const model::Update& u : changed) {
    appendUpdate(out, u);
    out += ',';
  }
  if (out.back() == ',') out.pop_back();
  out += "],\"cost\":{";
  out += model::summaryJson(summary);
  out += '}';
  if (pixels) appendModelRows(out, cursor);
}

}  // namespace zodm::live
