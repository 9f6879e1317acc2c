// SPDX-License-Identifier: MIT
// zodm-screen's command line: what each option asks for, read into one
// record, and the help text that describes them.
#ifndef ZODM_TOOLS_SCREEN_SCREENOPTIONS_H
#define ZODM_TOOLS_SCREEN_SCREENOPTIONS_H

#include <string>
#include <vector>

#include "serviceOptions.h"
#if ZODM_LIVE_PAGE
#include "endpoint.h"
#endif

namespace zodm::screen {

constexpr char kTool[] = "zodm-screen";

struct ScreenOptions {
  tools::ServiceOptions service;  // --all, --json, --count, --buffer, --tap
  std::string picture;            // --picture: the heat map's PNG
  std::string framebuffer;        // --framebuffer: what the app draws into
  std::string panelPicture;       // --panel: the e-paper model's panel
  std::string idealPanelPicture;  // --ideal-panel
  std::string profile;            // --profile: empty for the built-in one
  bool printProfile = false;      // --print-profile
  std::string replay;             // --replay: the recording; empty: receive
  double speed = 1;               // --speed: a served replay's pace
  bool speedGiven = false;
  std::vector<std::string> compare;  // --compare: profiles replayed beside
  unsigned long long recent = 8;     // --recent: partial rectangles outlined
  bool serve = false;                // --serve: the live page
#if ZODM_LIVE_PAGE
  live::Endpoint endpoint;  // where --serve serves it
#endif
};

// Reads the command line into options and checks that its options go
// together. Returns kGoOn, or the status to exit with after --help,
// --version or a usage error (said in the tools' words).
int parseScreenOptions(int argc, char* argv[], ScreenOptions& options);

// Prints "zodm-screen: PROBLEM", the usage and a pointer to --help on
// standard error; returns kExitUsage.
int usageError(const std::string& problem);

}  // namespace zodm::screen

#endif  // ZODM_TOOLS_SCREEN_SCREENOPTIONS_H
