// SPDX-License-Identifier: MIT
// The e-paper model's side of the live page's feed (see feed.h): in each
// message, the model's time now, which the page maps its own clock to, the
// updates of the model's history that changed since the viewer's last
// look, what the run cost so far and the rows of the model's panel. The
// model is read under the runner's lock only to copy these; the text is
// made after it.
#include <cstdio>
#include <cstring>

#include "feed.h"
#include "modelRunner.h"
#include "text.h"

namespace zodm::live {

namespace {

using tools::appendDecimal;

// An update as the page's timeline reads it; times in microseconds of the
// model, -1 where not yet known; flash: the inverted part of its pass, 0
// when it does not flash. The feed reads an update's fields here only
// (and, for "oldest", the id of the oldest).
void appendUpdate(std::string& out, const model::Update& u) {
  out += "{\"id\":";
  appendDecimal(out, u.id);
  out += ",\"state\":\"";
  out += u.state == model::State::Waiting   ? 'w'
         : u.state == model::State::Running ? 'r'
                                            : 'd';
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

// What a message takes from the model under the runner's lock.
struct ModelLook {
  std::vector<model::Update> changed;  // since the cursor's last look
  std::vector<std::string> waveforms;  // names, in a first message
  unsigned long long oldest = 0;       // id of the oldest kept; 0: none
  bool pixels = false;
  model::Summary summary;
};

}  // namespace

void Feed::showModel(const screen::ModelRunner& runner,
                     std::function<int64_t()> clock, double rate) {
  runner_ = &runner;
  modelClock_ = std::move(clock);
  modelRate_ = rate;
}

void Feed::modelChanged() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++modelNews_;
  }
  news_.notify_all();
}

void Feed::appendModel(std::string& out, ModelCursor& cursor, bool first,
                       model::Micros now) {
  ModelLook look;
  runner_->read([&](const model::Model& m) {
    look.pixels = m.hasPixels();
    if (first) {
      for (const model::Waveform& w : m.profile().waveforms)
        look.waveforms.push_back(w.name);
      if (look.pixels) cursor.rows.set();
    } else if (look.pixels) {
      for (int y = 0; y < kHeight; ++y)
        if (m.rowChange(y) > cursor.rowsAt)
          cursor.rows.set(static_cast<std::size_t>(y));
    }
    cursor.rowsAt = m.changes();
    if (!m.history().empty()) look.oldest = m.history().front().id;
    // A fresh cursor's version is 0: every update the history keeps.
    m.changesSince(cursor.version,
                   [&](const model::Update& u) { look.changed.push_back(u); });
    cursor.version = m.version();
    look.summary = summaryOf(m);
    return 0;
  });

  out += ",\"now\":";
  appendDecimal(out, modelClock_ ? modelClock_() : now);
  if (modelRate_ != 1) {
    // The page's clock runs at this rate to follow the model's.
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.6g", modelRate_);
    out += ",\"rate\":";
    out += rate;
  }
  if (first) {
    out += ",\"waveforms\":[";
    for (const std::string& name : look.waveforms) {
      tools::appendPageString(out, name);
      out += ',';
    }
    if (out.back() == ',') out.pop_back();
    out += ']';
  }
  out += ",\"oldest\":";
  appendDecimal(out, look.oldest);
  out += ",\"updates\":[";
  for (const model::Update& u : look.changed) {
    appendUpdate(out, u);
    out += ',';
  }
  if (out.back() == ',') out.pop_back();
  out += "],\"cost\":{";
  out += model::summaryJson(look.summary);
  out += '}';
  if (look.pixels) appendModelRows(out, cursor);
}

model::Summary Feed::summaryOf(const model::Model& m) {
  // Kept for every viewer, so that the look at every pixel is taken once
  // per change of the model.
  const std::lock_guard<std::mutex> lock(summaryMutex_);
  if (!summaryKept_ || summaryVersion_ != m.version() ||
      summaryChanges_ != m.changes()) {
    summary_ = m.summary();
    summaryKept_ = true;
    summaryVersion_ = m.version();
    summaryChanges_ = m.changes();
  }
  return summary_;
}

void Feed::appendModelRows(std::string& out, ModelCursor& cursor) {
  out += ",\"model\":[";
  appendRowGroups<uint8_t>(
      out, cursor.rows, kRowBudget,
      [&](int y, uint8_t* row) {
        runner_->read([&](const model::Model& m) {
          std::memcpy(row, m.row(y), kWidth);
          return 0;
        });
      },
      appendPixelRow);
  out += ']';
}

}  // namespace zodm::live
