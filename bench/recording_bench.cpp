// SPDX-License-Identifier: MIT
// Recordings: the services' hand-written --json line against the same
// object written with nlohmann-json, and the reading of a 100,000-request
// recording, which zodm-screen --replay does before it runs anything
// (scripts/bench times the whole replay as a program).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "recording.h"
#include "requestLines.h"
#include "zodm.h"

namespace {

// Requests as a service receives them, with a refused one.
struct Received {
  DmCommand command;
  bool accepted;
  const char* text;
};
constexpr Received kReceived[] = {
    {{DM_CMD_DISPLAY, 1, 2, 0, 0, 0, 0}, true, "!0,1,2"},
    {{DM_CMD_DISPLAY_PARTIAL, 2, 1, 0, 0, 100, 200},
     true,
     "!1,2,1,0,0,100,200"},
    {{DM_CMD_ERASE_TO_WHITE, 3, 0, 0, 0, 0, 0}, true, "!3,3"},
    {{}, false, "!0,7,9"},
};
constexpr int64_t kKinds = static_cast<int64_t>(std::size(kReceived));

void BM_RequestLineWriter(benchmark::State& state) {
  int64_t micros = 1234567;
  for (auto _ : state) {
    for (const Received& r : kReceived) {
      std::string line = zodm::tools::requestLine(
          {micros,
           r.text,
           r.accepted ? std::optional<DmCommand>(r.command) : std::nullopt,
           {}},
          true);
      benchmark::DoNotOptimize(line);
    }
    ++micros;
  }
  state.SetItemsProcessed(state.iterations() * kKinds);
}
BENCHMARK(BM_RequestLineWriter);

// The same members in the same order through nlohmann-json. A datagram
// need not be UTF-8, so each byte goes in as its own code point, as the
// services write them; the time prints as the shortest double, not with
// six fixed decimals.
void BM_RequestLineNlohmann(benchmark::State& state) {
  int64_t micros = 1234567;
  for (auto _ : state) {
    for (const Received& r : kReceived) {
      nlohmann::ordered_json line;
      line["t"] = static_cast<double>(micros) / 1e6;
      line["accepted"] = r.accepted;
      if (r.accepted) {
        const DmCommand& c = r.command;
        line["request"] = c.code == DM_CMD_DISPLAY           ? "display"
                          : c.code == DM_CMD_DISPLAY_PARTIAL ? "partial"
                                                             : "erase";
        line["priority"] = c.priority;
        if (c.code != DM_CMD_ERASE_TO_WHITE) line["quality"] = c.quality;
        if (c.code == DM_CMD_DISPLAY_PARTIAL) {
          line["xUp"] = c.xUp;
          line["yUp"] = c.yUp;
          line["xDown"] = c.xDown;
          line["yDown"] = c.yDown;
        }
      }
      std::string text;
      for (const char* p = r.text; *p != '\0'; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (byte < 0x80) {
          text += static_cast<char>(byte);
        } else {
          text += static_cast<char>(0xc0 | (byte >> 6));
          text += static_cast<char>(0x80 | (byte & 0x3f));
        }
      }
      line["text"] = text;
      std::string out = line.dump(-1, ' ', /*ensure_ascii=*/true);
      benchmark::DoNotOptimize(out);
    }
    ++micros;
  }
  state.SetItemsProcessed(state.iterations() * kKinds);
}
BENCHMARK(BM_RequestLineNlohmann);

// A recording of 100,000 requests, as zodm-listen --json writes it.
std::string recording100k() {
  std::string content;
  for (int64_t i = 0; i < 100000; ++i) {
    const Received& r = kReceived[static_cast<std::size_t>(i % kKinds)];
    content += zodm::tools::requestLine(
        {i * 1000,
         r.text,
         r.accepted ? std::optional<DmCommand>(r.command) : std::nullopt,
         {}},
        true);
    content += '\n';
  }
  content += "{\"format\":1,\"received\":100000}\n";
  return content;
}

void BM_ReadRecording100k(benchmark::State& state) {
  const std::string content = recording100k();
  std::vector<zodm::tools::RecordedRequest> requests;
  std::string problem;
  for (auto _ : state) {
    if (!zodm::tools::parseRecording(content, requests, problem))
      state.SkipWithError(problem.c_str());
    benchmark::DoNotOptimize(requests.data());
  }
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_ReadRecording100k)->Unit(benchmark::kMillisecond);

}  // namespace
