// SPDX-License-Identifier: MIT
// zodm-screen --replay FILE --compare B.toml ...: one recording replayed
// through the e-paper model under each profile, and what each run cost,
// side by side, as a table or as one JSON object per profile.
#ifndef ZODM_TOOLS_SCREEN_COMPARISON_H
#define ZODM_TOOLS_SCREEN_COMPARISON_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "model.h"
#include "zodm.h"

namespace zodm::screen {

// An accepted request of a recording, at its time.
struct Arrival {
  model::Micros at;
  DmCommand command;
  std::size_t index;  // in the recording
};

// What the requests cost a panel of profile, its pixels read from source
// (nullptr: none), when the run ends at end (its last datagram's time):
// what a replay's closing object says under "panel". With draw, the
// model's time first passes to each arrival, then draw(arrival) draws its
// recorded pixels into what source reads, as a replay does.
model::Summary replayCost(
    const std::vector<Arrival>& arrivals, model::Micros end,
    const model::Profile& profile, model::Source* source,
    const std::function<void(const Arrival& arrival)>& draw = {});

// A table: a column per run, headed by its name, a row per cost: updates,
// merges, collisions, time waited, flashes, the busy share, the latency's
// p50, p95 and maximum overall and by each quality level that had
// requests, the largest residue and the residue's area.
std::string comparisonTable(const std::vector<std::string>& names,
                            const std::vector<model::Summary>& costs);

// One line per run: {"profile":NAME,"panel":{...}}, the panel's members as
// the closing object has them.
std::string comparisonJson(const std::vector<std::string>& names,
                           const std::vector<model::Summary>& costs);

}  // namespace zodm::screen

#endif  // ZODM_TOOLS_SCREEN_COMPARISON_H
