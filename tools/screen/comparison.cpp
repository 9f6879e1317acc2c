// SPDX-License-Identifier: MIT
// See comparison.h.
#include "comparison.h"

#include <algorithm>
#include <functional>

#include "text.h"

namespace zodm::screen {

namespace {

using model::durationText;
using model::Summary;

// A row of the table: its label, and what a run's cell says.
struct Row {
  std::string label;
  std::function<std::string(const Summary&)> cell;
};

std::string count(unsigned long long n) { return std::to_string(n); }

std::vector<Row> rowsFor(const std::vector<Summary>& costs) {
  std::vector<Row> rows = {
      {"updates", [](const Summary& s) { return count(s.updates); }},
      {"merged", [](const Summary& s) { return count(s.merged); }},
      {"collisions", [](const Summary& s) { return count(s.collisions); }},
      {"waited", [](const Summary& s) { return durationText(s.waited); }},
      {"flashes", [](const Summary& s) { return count(s.flashes); }},
      {"busy share",
       [](const Summary& s) { return count(model::busyPercent(s)) + "%"; }},
      {"latency p50", [](const Summary& s) { return durationText(s.p50); }},
      {"latency p95", [](const Summary& s) { return durationText(s.p95); }},
      {"latency max", [](const Summary& s) { return durationText(s.max); }},
  };
  // The quality levels that had requests: the same in every run of one
  // recording.
  for (std::size_t q = 0; q < model::kQualityLevels; ++q) {
    const bool any = std::any_of(
        costs.begin(), costs.end(),
        [q](const Summary& s) { return s.byQuality[q].requests > 0; });
    if (!any) continue;
    rows.push_back(
        {"quality " + std::to_string(q) + " p50",
         [q](const Summary& s) { return durationText(s.byQuality[q].p50); }});
    rows.push_back(
        {"quality " + std::to_string(q) + " p95",
         [q](const Summary& s) { return durationText(s.byQuality[q].p95); }});
    rows.push_back(
        {"quality " + std::to_string(q) + " max",
         [q](const Summary& s) { return durationText(s.byQuality[q].max); }});
  }
  rows.push_back({"residue max", [](const Summary& s) {
                    return std::to_string(s.residueMax);
                  }});
  rows.push_back({"residue area", [](const Summary& s) {
                    return count(s.residueArea) + " px";
                  }});
  return rows;
}

}  // namespace

model::Summary replayCost(
    const std::vector<Arrival>& arrivals, model::Micros end,
    const model::Profile& profile, model::Source* source,
    const std::function<void(const Arrival& arrival)>& draw) {
  model::Model m(profile, source);
  for (const Arrival& a : arrivals) {
    if (draw) {
      m.advance(a.at);
      draw(a);
    }
    m.submit(a.at, a.command);
  }
  m.finish(end);
  return m.summary();
}

std::string comparisonTable(const std::vector<std::string>& names,
                            const std::vector<Summary>& costs) {
  const std::vector<Row> rows = rowsFor(costs);
  // The cells, then each column as wide as its widest, numbers to the
  // right.
  std::vector<std::vector<std::string>> table(rows.size() + 1);
  table[0].push_back("");
  table[0].insert(table[0].end(), names.begin(), names.end());
  for (std::size_t r = 0; r < rows.size(); ++r) {
    table[r + 1].push_back(rows[r].label);
    for (const Summary& s : costs) table[r + 1].push_back(rows[r].cell(s));
  }
  std::vector<std::size_t> widths(names.size() + 1, 0);
  for (const auto& line : table)
    for (std::size_t c = 0; c < line.size(); ++c)
      widths[c] = std::max(widths[c], line[c].size());
  std::string out;
  for (const auto& line : table) {
    out += line[0] + std::string(widths[0] - line[0].size(), ' ');
    for (std::size_t c = 1; c < line.size(); ++c)
      out += std::string(widths[c] - line[c].size() + 2, ' ') + line[c];
    out += '\n';
  }
  return out;
}

std::string comparisonJson(const std::vector<std::string>& names,
                           const std::vector<Summary>& costs) {
  std::string out;
  for (std::size_t i = 0; i < names.size() && i < costs.size(); ++i) {
    out += "{\"profile\":";
    tools::appendQuoted(out, names[i], "\\u00");
    out += ",\"panel\":{" + model::summaryJson(costs[i]) + "}}\n";
  }
  return out;
}

}  // namespace zodm::screen
