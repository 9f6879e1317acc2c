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
using geometry::kWidth;
using geometry::overlap;
using geometry::touching;

constexpr uint8_t kWhite = 255;
// Residue is kept in 128ths of a gray step, at most a whole 255 steps.
constexpr int kResidueOne = 128;
constexpr int kResidueCap = 255 * kResidueOne;

std::size_t pixel(int x, int y) { return geometry::pixelIndex(x, y); }

int residueSteps(int16_t residue) {
  return (std::abs(residue) + kResidueOne / 2) / kResidueOne;
}

// What a pixel at level with residue shows.
uint8_t shownPixel(int level, int16_t residue) {
  const int steps = residueSteps(residue);
  return static_cast<uint8_t>(
      std::clamp(level + (residue >= 0 ? steps : -steps), 0, 255));
}

}  // namespace

Model::Model(const Profile& profile, Source* source)
    : profile_(profile), source_(source) {
  if (source_ != nullptr) {
    levels_.assign(kPixels, kWhite);
    residue_.assign(kPixels, 0);
    shown_.assign(kPixels, kWhite);
    target_.assign(kPixels, kWhite);
    rowChanges_.assign(kHeight, 0);
  }
  for (const Waveform& w : profile_.waveforms) {
    std::array<uint8_t, 256> levels{};
    for (int v = 0; v < 256; ++v) {
      int q = v;
      if (w.levels <= 1) {
        q = kWhite;
      } else if (w.levels < 256) {
        const int steps = w.levels - 1;
        const int level = (v * steps + 127) / 255;
        q = (level * 255 + steps / 2) / steps;
      }
      levels[static_cast<std::size_t>(v)] = static_cast<uint8_t>(q);
    }
    quantized_.push_back(levels);
    residue128_.push_back(static_cast<int>(std::lround(w.residue * 128)));
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
    return;
  }
  // Older than what the history keeps: it fell off.
  if (found != history_.end()) return;
  history_.push_back(u);
  if (history_.size() > kHistory) history_.pop_front();
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
  // The merge goes as early as the earlier of the two would.
  if (priorityKey(b.priority) > priorityKey(a.priority))
    a.priority = b.priority;
  a.collided = a.collided || b.collided;
  a.requests += b.requests;
  into.arrivals.insert(into.arrivals.end(), from.arrivals.begin(),
                       from.arrivals.end());
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
  const bool partial = command.code == DM_CMD_DISPLAY_PARTIAL;
  u.rect = *geometry::refreshedRect(command);
  u.waveform = partial ? profile_.quality[static_cast<std::size_t>(
                             std::clamp(command.quality, 0, DM_MAX_LEVEL))]
                       : (u.erase ? profile_.erase : profile_.full);
  const Waveform& wave = profile_.waveform(u.waveform);
  u.flash =
      wave.flash == Flash::Always || (wave.flash == Flash::Full && !partial);
  u.flashTime = u.flash ? wave.flashTime : 0;
  live.arrivals.push_back(now);
  ++summary_.requests;
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
  u.state = State::Running;
  u.start = now;
  u.end = now + duration(u);
  summary_.waited += now - u.arrival;
  ++summary_.updates;
  if (u.flash) ++summary_.flashes;
  if (running_.empty()) busySince_ = now;
  if (source_ != nullptr) {
    // The panel shows the framebuffer as the update found it now.
    if (u.erase) {
      const auto width = static_cast<std::size_t>(u.rect.x1 - u.rect.x0 + 1);
      for (int y = u.rect.y0; y <= u.rect.y1; ++y)
        std::fill_n(&target_[pixel(u.rect.x0, y)], width, kWhite);
    } else {
      source_->copy(u.rect, target_.data());
    }
  }
  note(u);
  running_.push_back(std::move(live));
}

void Model::complete(Live& live) {
  Update& u = live.update;
  for (const Micros arrival : live.arrivals) latencies_.add(u.end - arrival);
  if (source_ != nullptr) {
    const auto& levels = quantized_[u.waveform];
    const int share = u.flash ? 0 : residue128_[u.waveform];
    for (int y = u.rect.y0; y <= u.rect.y1; ++y) {
      for (std::size_t i = pixel(u.rect.x0, y), end = pixel(u.rect.x1, y);
           i <= end; ++i) {
        const int before = levels_[i];
        const int after = levels[target_[i]];
        int16_t& residue = residue_[i];
        if (u.flash) {
          residue = 0;
        } else if (after != before) {
          // The pixel keeps a share of what it showed, on top of what it
          // kept already, towards what it showed last.
          const int kept =
              std::min(std::abs(residue) + std::abs(before - after) * share,
                       kResidueCap);
          residue = static_cast<int16_t>(before > after ? kept : -kept);
        }
        levels_[i] = static_cast<uint8_t>(after);
        shown_[i] = shownPixel(after, residue);
      }
    }
    touch(u.rect.y0, u.rect.y1);
  }
  u.state = State::Done;
  note(u);
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

int Model::residue(int x, int y) const {
  return residue_.empty() ? 0 : residueSteps(residue_[pixel(x, y)]);
}

Summary Model::summary() const {
  Summary s = summary_;
  s.run = std::max(s.run, now_);
  if (!running_.empty()) s.busy += now_ - busySince_;
  latencies_.fill(s);
  for (std::size_t i = 0; i < residue_.size(); ++i) {
    const int steps = residueSteps(residue_[i]);
    if (steps <= s.residueMax) continue;
    s.residueMax = steps;
    s.residueX = static_cast<int>(i % kWidth);
    s.residueY = static_cast<int>(i / kWidth);
  }
  return s;
}

}  // namespace zodm::model
