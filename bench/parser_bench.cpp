// SPDX-License-Identifier: MIT
// Framing and parsing against the C library's printf and scanf doing the
// same job. Valid texts only: every refusal writes to syslog and stderr.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdio>

#include "zodm.h"

namespace {

constexpr DmCommand kPartial{DM_CMD_DISPLAY_PARTIAL, 2, 1, 0, 0, 100, 200};
constexpr char kPartialText[] = "!1,2,1,0,0,100,200";

// Requests as the client writes them and as the service may receive them.
constexpr DmCommand kCommands[] = {
    {DM_CMD_DISPLAY, 1, 2, 0, 0, 0, 0},
    {DM_CMD_DISPLAY_PARTIAL, 2, 1, 0, 0, 100, 200},
    {DM_CMD_ERASE_TO_WHITE, 3, 0, 0, 0, 0, 0},
    {DM_CMD_DISPLAY_PARTIAL, 3, 3, 768, 1024, 12, 345},
};
constexpr const char* kTexts[] = {
    "!0,1,2",         "!1,2,1,0,0,100,200",     "!3,3",
    "!dmDisplay,0,3", "!1,3,3,768,1024,12,345", "!dmEraseToWhite,1",
};

// snprintf of the form the framer writes for each code.
void printCommand(char* buffer, const DmCommand& c) {
  switch (c.code) {
    case DM_CMD_DISPLAY:
      std::snprintf(buffer, DM_FRAME_SIZE, "!%d,%d,%d", c.code, c.priority,
                    c.quality);
      break;
    case DM_CMD_DISPLAY_PARTIAL:
      std::snprintf(buffer, DM_FRAME_SIZE, "!%d,%d,%d,%d,%d,%d,%d", c.code,
                    c.priority, c.quality, c.xUp, c.yUp, c.xDown, c.yDown);
      break;
    default:
      std::snprintf(buffer, DM_FRAME_SIZE, "!%d,%d", c.code, c.priority);
      break;
  }
}

void BM_MessageFramer(benchmark::State& state) {
  char buffer[DM_FRAME_SIZE];
  for (auto _ : state) {
    dmMessageFramer(buffer, &kPartial);
    benchmark::DoNotOptimize(buffer);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MessageFramer);

void BM_SnprintfFrame(benchmark::State& state) {
  char buffer[DM_FRAME_SIZE];
  for (auto _ : state) {
    printCommand(buffer, kPartial);
    benchmark::DoNotOptimize(buffer);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SnprintfFrame);

void BM_MessageFramerMixed(benchmark::State& state) {
  char buffer[DM_FRAME_SIZE];
  for (auto _ : state) {
    for (const DmCommand& command : kCommands) {
      dmMessageFramer(buffer, &command);
      benchmark::DoNotOptimize(buffer);
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(state.iterations() * std::ssize(kCommands));
}
BENCHMARK(BM_MessageFramerMixed);

void BM_SnprintfFrameMixed(benchmark::State& state) {
  char buffer[DM_FRAME_SIZE];
  for (auto _ : state) {
    for (const DmCommand& command : kCommands) {
      printCommand(buffer, command);
      benchmark::DoNotOptimize(buffer);
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(state.iterations() * std::ssize(kCommands));
}
BENCHMARK(BM_SnprintfFrameMixed);

void BM_MessageParser(benchmark::State& state) {
  DmCommand command{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(dmMessageParser(kPartialText, &command));
    benchmark::DoNotOptimize(command);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MessageParser);

void BM_SscanfParse(benchmark::State& state) {
  DmCommand command{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        std::sscanf(kPartialText, "!%d,%d,%d,%d,%d,%d,%d", &command.code,
                    &command.priority, &command.quality, &command.xUp,
                    &command.yUp, &command.xDown, &command.yDown));
    benchmark::DoNotOptimize(command);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SscanfParse);

void BM_MessageParserMixed(benchmark::State& state) {
  DmCommand command{};
  for (auto _ : state) {
    for (const char* text : kTexts) {
      benchmark::DoNotOptimize(dmMessageParser(text, &command));
      benchmark::DoNotOptimize(command);
    }
  }
  state.SetItemsProcessed(state.iterations() * std::ssize(kTexts));
}
BENCHMARK(BM_MessageParserMixed);

}  // namespace

BENCHMARK_MAIN();
