// SPDX-License-Identifier: MIT
// Any bytes as a display profile, through the reader of zodm-screen
// --profile. A profile it takes holds only what the model can run: levels
// 1..256, durations above zero, residue 0..1, a waveform for every level,
// a full update and an erase; printed, it reads back to the same profile.
// A refused one names its line. The model then runs a few requests with it.
#include <string>
#include <string_view>

#include "fuzzSupport.h"
#include "model.h"
#include "profile.h"

using namespace zodm::fuzz;
using namespace zodm::model;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Profile profile = defaultProfile();
  const std::string problem = parseProfile(text, "p.toml", profile);
  if (!problem.empty()) {
    check(problem.rfind("p.toml:", 0) == 0, "a refusal names no line", problem);
    check(printProfile(profile) == printProfile(defaultProfile()),
          "a refused profile changed the profile", problem);
    return 0;
  }
  const std::size_t n = profile.waveforms.size();
  for (const Waveform& w : profile.waveforms) {
    check(w.levels >= 1 && w.levels <= 256, "levels out of range", w.name);
    check(w.duration > 0 && w.flashTime >= 0, "a duration out of range",
          w.name);
    check(w.residue >= 0 && w.residue <= 1, "residue out of range", w.name);
    check(w.residueLimit >= 0 && w.residueLimit <= 1,
          "residue limit out of range", w.name);
  }
  for (const std::size_t q : profile.quality)
    check(q < n, "a quality level without a waveform", "");
  check(profile.full < n && profile.erase < n, "no full or erase waveform", "");
  check(profile.concurrent >= 1, "no update can run", "");
  const std::string printed = printProfile(profile);
  Profile again;
  check(parseProfile(printed, "again.toml", again).empty(),
        "a printed profile is refused", printed);
  check(printProfile(again) == printed, "a printed profile reads otherwise",
        printed);

  // Overlapping, disjoint, full and erase requests, some at the same time.
  Model model(profile, nullptr);
  const DmCommand requests[] = {
      {DM_CMD_DISPLAY_PARTIAL, 0, 0, 0, 0, 100, 100},
      {DM_CMD_DISPLAY_PARTIAL, 3, 3, 50, 50, 150, 150},
      {DM_CMD_DISPLAY, 1, 2, 0, 0, 0, 0},
      {DM_CMD_DISPLAY_PARTIAL, 2, 1, 700, 1000, 768, 1024},
      {DM_CMD_ERASE_TO_WHITE, 3, 0, 0, 0, 0, 0},
  };
  Micros t = 0;
  for (const DmCommand& r : requests) {
    model.submit(t, r);
    t += 7000;
  }
  model.finish(t);
  const Summary s = model.summary();
  check(s.updates + s.merged == 5, "requests lost", printed);
  check(model.running() == 0 && model.waiting() == 0,
        "updates left after the end", printed);
  return 0;
}
