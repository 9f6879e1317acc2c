// SPDX-License-Identifier: MIT
// See model.h.
#include "model.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace zodm::model {

namespace {

using geometry::boundingBox;
using geometry::kHeight;
using geometry::kPixels;
using geometry::kWholeArea;
using geometry::kWidth;
using geometry::overlap;
using geometry::touching;

constexpr uint8_t kWhite = 255;

std::size_t pixel(int x, int y) { return geometry::pixelIndex(x, y); }

RefreshKind refreshKind(const DmCommand& command) {
  switch (command.code) {
    case DM_CMD_DISPLAY_PARTIAL:
      return RefreshKind::Partial;
    case DM_CMD_ERASE_TO_WHITE:
      return RefreshKind::Erase;
    default:
      return RefreshKind::Full;
  }
}

// Calls each(offset, length) for the pixels of r: the rows one by one, or
// all of them at once when r is as wide as the area (its rows are then
// contiguous).
template <typename Each>
void forEachSpan(const Rect& r, const Each& each) {
  const auto width = static_cast<std::size_t>(r.width());
  if (width == static_cast<std::size_t>(kWidth)) {
    each(pixel(0, r.y0), width * static_cast<std::size_t>(r.height()));
    return;
  }
  for (int y = r.y0; y <= r.y1; ++y) each(pixel(r.x0, y), width);
}

}  // namespace

Model::Model(const Profile& profile, Source* source)
    : profile_(profile), source_(source), cadence_(profile.flashEvery) {
  if (source_ != nullptr) {
    residue_.assign(kPixels, 0);
    shown_.assign(kPixels, kWhite);
    target_.assign(kPixels, kWhite);
    rowChanges_.assign(kHeight, 0);
    rowKeeps_.assign(kHeight, 0);
    rowResidue_.assign(kHeight, pass::RowResidue{});
    rowDirty_.assign(kHeight, 0);
  }
  for (const Waveform& w : profile_.waveforms) {
    quantizers_.emplace_back(w.levels);
    ghosts_.push_back(pass::Ghost::of(w.residue, w.residueLimit));
  }
}

Micros Model::duration(const Update& u) const {
  return profile_.waveform(u.waveform).duration + (u.flash ? u.flashTime : 0);
}

std::size_t Model::stronger(std::size_t a, std::size_t b) const {
  return model::stronger(profile_.waveform(b), profile_.waveform(a)) ? b : a;
}

// What orders waiting updates before their arrival: the larger goes first.
int Model::priorityKey(int priority) const {
  switch (profile_.priority) {
    case PriorityOrder::HighestFirst:
      return priority;
    case PriorityOrder::LowestFirst:
      return -priority;
    case PriorityOrder::Ignored:
      break;
  }
  return 0;
}

bool Model::before(const Live& a, const Live& b) const {
  const int ka = priorityKey(a.update.priority);
  const int kb = priorityKey(b.update.priority);
  if (ka != kb) return ka > kb;
  return a.update.id < b.update.id;
}

void Model::note(const Update& u) {
  ++version_;
  const auto found = std::lower_bound(
      history_.begin(), history_.end(), u.id,
      [](const Update& h, unsigned long long id) { return h.id < id; });
  if (found != history_.end() && found->id == u.id) {
    *found = u;
    changedAt_[static_cast<std::size_t>(found - history_.begin())] = version_;
    return;
  }
  // Older than what the history keeps: it fell off.
  if (found != history_.end()) return;
  history_.push_back(u);
  changedAt_.push_back(version_);
  if (history_.size() > kHistory) {
    history_.pop_front();
    changedAt_.pop_front();
  }
}

void Model::touch(int y0, int y1) {
  ++changes_;
  std::fill(rowChanges_.begin() + y0, rowChanges_.begin() + y1 + 1, changes_);
}

void Model::merge(Live& into, Live& from) {
  Update& a = into.update;
  const Update& b = from.update;
  a.rect = boundingBox(a.rect, b.rect);
  a.waveform = stronger(a.waveform, b.waveform);
  a.flash = a.flash || b.flash;
  a.flashTime = std::max(a.flashTime, b.flashTime);
  a.partial = a.partial && b.partial;
  // The merge goes as early as the earlier of the two would.
  if (priorityKey(b.priority) > priorityKey(a.priority))
    a.priority = b.priority;
  a.collided = a.collided || b.collided;
  a.requests += b.requests;
  into.carried.insert(into.carried.end(), from.carried.begin(),
                      from.carried.end());
  Update gone = b;
  gone.state = State::Done;
  gone.mergedInto = a.id;
  note(gone);
  ++summary_.merged;
}

void Model::submit(Micros now, const DmCommand& command) {
  if (command.code != DM_CMD_DISPLAY &&
      command.code != DM_CMD_DISPLAY_PARTIAL &&
      command.code != DM_CMD_ERASE_TO_WHITE)
    return;
  advance(now);
  Live live;
  Update& u = live.update;
  u.id = nextId_++;
  u.arrival = now;
  u.requests = 1;
  u.priority = std::clamp(command.priority, 0, DM_MAX_LEVEL);
  u.erase = command.code == DM_CMD_ERASE_TO_WHITE;
  u.partial = command.code == DM_CMD_DISPLAY_PARTIAL;
  const auto quality =
      static_cast<std::size_t>(std::clamp(command.quality, 0, DM_MAX_LEVEL));
  u.rect = *geometry::refreshedRect(command);
  u.waveform = u.partial ? profile_.quality[quality]
                         : (u.erase ? profile_.erase : profile_.full);
  const Waveform& wave = profile_.waveform(u.waveform);
  u.flash =
      wave.flash == Flash::Always || (wave.flash == Flash::Full && !u.partial);
  u.flashTime = u.flash ? wave.flashTime : 0;
  live.carried.push_back(
      {now, ++summary_.requests, u.id, quality, refreshKind(command)});
  for (const Live& r : running_)
    if (overlap(r.update.rect, u.rect)) u.collided = true;
  if (u.collided) ++summary_.collisions;

  // Waiting updates it overlaps or touches take it in, and each other as
  // the box grows; the earliest one carries them all.
  for (;;) {
    const auto other = std::find_if(
        waiting_.begin(), waiting_.end(), [&](const Live& waiting) {
          return waiting.update.erase == live.update.erase &&
                 touching(waiting.update.rect, live.update.rect);
        });
    if (other == waiting_.end()) break;
    Live earlier = std::move(*other);
    waiting_.erase(other);
    if (earlier.update.id < live.update.id) {
      merge(earlier, live);
      live = std::move(earlier);
    } else {
      merge(live, earlier);
    }
  }
  note(live.update);
  const auto place = std::lower_bound(
      waiting_.begin(), waiting_.end(), live.update.id,
      [](const Live& w, unsigned long long id) { return w.update.id < id; });
  waiting_.insert(place, std::move(live));
  tryStart(now_);
}

bool Model::blocked(const Live& candidate) const {
  for (const Live& r : running_)
    if (overlap(r.update.rect, candidate.update.rect)) return true;
  // An erase and the updates around it keep their order.
  for (const Live& w : waiting_) {
    if (w.update.id >= candidate.update.id) break;
    if (w.update.erase != candidate.update.erase &&
        overlap(w.update.rect, candidate.update.rect))
      return true;
  }
  return false;
}

void Model::tryStart(Micros now) {
  const auto limit = static_cast<std::size_t>(profile_.concurrent);
  while (running_.size() < limit && !waiting_.empty()) {
    // The first in the profile's order that nothing holds back.
    auto next = waiting_.end();
    for (auto w = waiting_.begin(); w != waiting_.end(); ++w)
      if ((next == waiting_.end() || before(*w, *next)) && !blocked(*w))
        next = w;
    if (next == waiting_.end()) return;
    Live live = std::move(*next);
    waiting_.erase(next);
    start(live, now);
  }
}

void Model::start(Live& live, Micros now) {
  Update& u = live.update;
  // The profile's cadence may have a partial update carried out flashing.
  if (cadence_.next(u.partial, u.flash) && !u.flash) {
    u.flash = true;
    u.flashTime = profile_.waveform(u.waveform).flashTime;
  }
  u.state = State::Running;
  u.start = now;
  u.end = now + duration(u);
  summary_.waited += now - u.arrival;
  ++summary_.updates;
  if (u.flash) ++summary_.flashes;
  if (running_.empty()) busySince_ = now;
  if (source_ != nullptr) readTarget(u);
  note(u);
  running_.push_back(std::move(live));
}

// The panel will show the framebuffer as the update finds it now, at its
// waveform's levels.
void Model::readTarget(const Update& u) {
  if (u.erase) {
    forEachSpan(u.rect, [&](std::size_t at, std::size_t n) {
      std::fill_n(&target_[at], n, kWhite);
    });
    return;
  }
  source_->copy(u.rect, target_.data());
  const pass::Quantizer& levels = quantizers_[u.waveform];
  forEachSpan(u.rect, [&](std::size_t at, std::size_t n) {
    levels.apply(&target_[at], n);
  });
}

void Model::complete(Live& live) {
  Update& u = live.update;
  record(live);
  if (source_ != nullptr) showPixels(u);
  u.state = State::Done;
  note(u);
}

// Each request's latency, and its fate when they are kept.
void Model::record(const Live& live) {
  const Update& u = live.update;
  for (const Carried& c : live.carried) {
    const Micros latency = u.end - c.arrival;
    latencies_.add(latency);
    byKind_[static_cast<std::size_t>(c.kind)].add(latency);
    if (c.kind != RefreshKind::Erase) byQuality_[c.quality].add(latency);
    if (keepFates_)
      fates_.push_back({c.request, u.id, c.update == u.id ? 0 : u.id,
                        u.waveform, u.flash, c.arrival, u.start, u.end});
  }
}

void Model::showPixels(const Update& u) {
  const Rect& r = u.rect;
  const auto width = static_cast<std::size_t>(r.width());
  const bool wholeRows = width == static_cast<std::size_t>(kWidth);
  if (u.flash) {
    // What the update found, and no residue. No other update runs beside
    // one over the whole area, so its pixels can simply change places.
    if (r == kWholeArea)
      shown_.swap(target_);
    else
      forEachSpan(r, [&](std::size_t at, std::size_t n) {
        std::copy_n(&target_[at], n, &shown_[at]);
      });
    for (int y = r.y0; y <= r.y1; ++y) {
      const auto row = static_cast<std::size_t>(y);
      if (rowKeeps_[row] != 0)
        std::fill_n(&residue_[pixel(r.x0, y)], width, int16_t{0});
      if (wholeRows) {
        rowKeeps_[row] = 0;
        rowResidue_[row] = pass::RowResidue{};
        rowDirty_[row] = 0;
      } else if (rowKeeps_[row] != 0) {
        rowDirty_[row] = 1;
        residueDirty_ = true;
      }
    }
  } else {
    const pass::Ghost& ghost = ghosts_[u.waveform];
    forEachSpan(r, [&](std::size_t at, std::size_t n) {
      pass::settle(&target_[at], &shown_[at], &residue_[at], n, ghost);
    });
    for (int y = r.y0; y <= r.y1; ++y) {
      const auto row = static_cast<std::size_t>(y);
      rowKeeps_[row] = rowKeeps_[row] != 0 || ghost.limit > 0;
      rowDirty_[row] = 1;
    }
    residueDirty_ = true;
  }
  touch(r.y0, r.y1);
}

void Model::advance(Micros now) {
  for (;;) {
    // The running update that completes first, by its end, then its id.
    auto next = running_.end();
    for (auto r = running_.begin(); r != running_.end(); ++r)
      if (r->update.end <= now &&
          (next == running_.end() || r->update.end < next->update.end ||
           (r->update.end == next->update.end &&
            r->update.id < next->update.id)))
        next = r;
    if (next == running_.end()) break;
    Live done = std::move(*next);
    running_.erase(next);
    now_ = std::max(now_, done.update.end);
    complete(done);
    if (running_.empty()) summary_.busy += now_ - busySince_;
    tryStart(now_);
  }
  now_ = std::max(now_, now);
}

std::optional<Micros> Model::nextEvent() const {
  std::optional<Micros> next;
  for (const Live& r : running_)
    if (!next || r.update.end < *next) next = r.update.end;
  return next;
}

void Model::finish(Micros now) {
  advance(now);
  while (const std::optional<Micros> next = nextEvent()) advance(*next);
  summary_.run = now_;
}

void Model::takeFates(std::vector<Fate>& into) {
  into.insert(into.end(), fates_.begin(), fates_.end());
  fates_.clear();
}

int Model::residue(int x, int y) const {
  return residue_.empty() ? 0 : pass::residueSteps(residue_[pixel(x, y)]);
}

// The rows a pass changed since the last look, looked at again.
void Model::refreshResidueRows() const {
  if (!residueDirty_) return;
  for (int y = 0; y < kHeight; ++y) {
    const auto row = static_cast<std::size_t>(y);
    if (rowDirty_[row] == 0) continue;
    rowResidue_[row] =
        pass::scanRow(&residue_[pixel(0, y)], kWidth, kResidueAreaThreshold);
    rowDirty_[row] = 0;
  }
  residueDirty_ = false;
}

Summary Model::summary() const {
  Summary s = summary_;
  s.run = std::max(s.run, now_);
  if (!running_.empty()) s.busy += now_ - busySince_;
  latencies_.fill(s);
  for (std::size_t q = 0; q < kQualityLevels; ++q)
    s.byQuality[q] = byQuality_[q].figures();
  for (std::size_t k = 0; k < kRefreshKinds; ++k)
    s.byKind[k] = byKind_[k].figures();
  if (residue_.empty()) return s;
  refreshResidueRows();
  for (int y = 0; y < kHeight; ++y) {
    const pass::RowResidue& row = rowResidue_[static_cast<std::size_t>(y)];
    if (row.max > s.residueMax) {
      s.residueMax = row.max;
      s.residueX = row.maxX;
      s.residueY = y;
    }
    if (row.area == 0) continue;
    if (s.residueArea == 0) {
      s.residueX0 = row.first;
      s.residueY0 = y;
      s.residueX1 = row.last;
    }
    s.residueX0 = std::min(s.residueX0, row.first);
    s.residueX1 = std::max(s.residueX1, row.last);
    s.residueY1 = y;
    s.residueArea += static_cast<unsigned long long>(row.area);
  }
  return s;
}

}  // namespace zodm::model
