// SPDX-License-Identifier: MIT
// The e-paper model against the emulator's ideal panel, on the same 20,000
// recorded requests: partial updates of 1 to 200 pixels a side, one full
// update in 50, arriving 5 ms apart. The ideal panel is what zodm-screen
// did per request before the model: the heat map's counts and a copy of the
// refreshed pixels from the framebuffer. The model keeps time, collisions,
// merges, flashes and latency, and the panel's levels and residue.
//
// Then a full update alone, the model's dearest request: each one read
// from the framebuffer file when it starts and shown when it completes,
// flashing (GC16, the built-in) and not (GL16, which leaves residue),
// beside memcpy of the same 788,225 pixels, a frame, in the same run.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "framebuffer.h"
#include "framebufferSource.h"
#include "heatMap.h"
#include "idealPanel.h"
#include "model.h"

namespace {

using zodm::model::Micros;

constexpr std::size_t kRequests = 20000;

struct Arrival {
  Micros at;
  DmCommand command;
};

// The recording, the same in every run: a small linear congruential
// generator, not std::rand, whose sequence the C library chooses.
const std::vector<Arrival>& recording() {
  static const std::vector<Arrival> arrivals = [] {
    std::vector<Arrival> out;
    uint32_t state = 12345;
    const auto next = [&](uint32_t range) {
      state = state * 1664525u + 1013904223u;
      return static_cast<int32_t>((state >> 8) % range);
    };
    for (std::size_t i = 0; i < kRequests; ++i) {
      const Micros at = static_cast<Micros>(i) * 5000;
      if (i % 50 == 49) {
        out.push_back({at, {DM_CMD_DISPLAY, 0, 0, 0, 0, 0, 0}});
        continue;
      }
      const int32_t w = 1 + next(200);
      const int32_t h = 1 + next(200);
      const int32_t x = next(static_cast<uint32_t>(DM_MAX_X + 1 - w));
      const int32_t y = next(static_cast<uint32_t>(DM_MAX_Y + 1 - h));
      out.push_back({at,
                     {DM_CMD_DISPLAY_PARTIAL, next(4), next(4), x, y,
                      x + w - 1 + (w == 1), y + h - 1 + (h == 1)}});
    }
    return out;
  }();
  return arrivals;
}

// A framebuffer file with something drawn in it, removed at exit.
zodm::screen::Framebuffer& framebuffer() {
  static std::string path = [] {
    char name[] = "/tmp/zodm-model-bench-XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    unlink(name);
    std::atexit([] { unlink(path.c_str()); });
    return std::string(name);
  }();
  static const auto opened = [] {
    std::string problem;
    auto f = zodm::screen::Framebuffer::open(path, problem);
    if (!f) std::abort();
    return f;
  }();
  return *opened;
}

using zodm::screen::FramebufferSource;

void BM_IdealPanel(benchmark::State& state) {
  const auto& arrivals = recording();
  for (auto _ : state) {
    zodm::screen::HeatMap screen;
    zodm::screen::IdealPanel panel(framebuffer());
    for (const Arrival& a : arrivals) {
      screen.apply(a.command);
      panel.apply(a.command);
    }
    benchmark::DoNotOptimize(panel.pixels());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(arrivals.size()));
}
BENCHMARK(BM_IdealPanel)->Unit(benchmark::kMillisecond);

void BM_Model(benchmark::State& state) {
  const auto& arrivals = recording();
  const zodm::model::Profile profile = zodm::model::defaultProfile();
  FramebufferSource source(framebuffer());
  for (auto _ : state) {
    zodm::model::Model model(profile, &source);
    for (const Arrival& a : arrivals) model.submit(a.at, a.command);
    model.finish(arrivals.back().at);
    benchmark::DoNotOptimize(model.pixels());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(arrivals.size()));
}
BENCHMARK(BM_Model)->Unit(benchmark::kMillisecond);

// One full update after the other, each completed before the next: 0, the
// built-in full update (GC16, flashing); 1, GL16 (no flash, residue).
void BM_ModelFullUpdate(benchmark::State& state) {
  zodm::model::Profile profile = zodm::model::defaultProfile();
  if (state.range(0) == 1) profile.full = profile.find("GL16");
  FramebufferSource source(framebuffer());
  zodm::model::Model model(profile, &source);
  constexpr DmCommand kFull{DM_CMD_DISPLAY, 0, 0, 0, 0, 0, 0};
  Micros t = 0;
  for (auto _ : state) {
    model.submit(t, kFull);
    t += 1000 * 1000;
    model.advance(t);
    benchmark::DoNotOptimize(model.pixels());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(zodm::geometry::kPixels));
}
BENCHMARK(BM_ModelFullUpdate)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The baseline: memcpy of a frame's pixels, from the framebuffer file.
void BM_MemcpyFrame(benchmark::State& state) {
  std::vector<uint8_t> to(zodm::geometry::kPixels);
  const uint8_t* from = framebuffer().pixels();
  for (auto _ : state) {
    std::memcpy(to.data(), from, to.size());
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(zodm::geometry::kPixels));
}
BENCHMARK(BM_MemcpyFrame)->Unit(benchmark::kMicrosecond);

}  // namespace
