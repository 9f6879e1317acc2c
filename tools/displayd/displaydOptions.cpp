// SPDX-License-Identifier: MIT
// See displaydOptions.h.
#include "displaydOptions.h"

#include <getopt.h>

#include <algorithm>
#include <string>
#include <vector>

namespace zodm::displayd {

namespace {

constexpr char kUsage[] =
    "Usage: zodm-displayd [OPTION]... --profile FILE\n"
    "       zodm-displayd [--fb PATH] [--root DIR] --detect\n"
    "       zodm-displayd [--fb PATH] --profile FILE --calibrate\n";

constexpr char kHelp[] =
    "The display service of an e-reader: receives display-update requests\n"
    "on UDP port 50555, prints one line per datagram as zodm-listen does,\n"
    "and has the e-paper panel refresh what each accepted request asks for,\n"
    "through the refresh ioctls of the framebuffer device's controller. The\n"
    "display profile names the controller's layout, the waveform of each\n"
    "quality level and of a full update and an erase, and how request\n"
    "coordinates map to the panel (/usr/share/zodm/profiles/ holds one per\n"
    "device family). Receiving never waits for the controller: a queue's\n"
    "thread submits the updates and waits for each, and updates that wait\n"
    "meanwhile merge. A dump is counted, not carried out.\n"
    "\n"
    "Options:\n"
    "      --profile=FILE  the device's display profile (TOML), which must\n"
    "                      name its controller; a bad one: one line naming\n"
    "                      the file and the line, exit status 2\n"
    "      --fb=PATH       the framebuffer device (default /dev/fb0)\n"
    "      --detect        print what the device says of itself (the\n"
    "                      framebuffer's id and size, the model files of\n"
    "                      Kobo, Kindle and reMarkable) and the profile it\n"
    "                      suggests, then exit (status 1 when it can suggest\n"
    "                      none for certain)\n"
    "      --root=DIR      with --detect, read the model files under DIR (a\n"
    "                      device's image), not under /\n"
    "      --calibrate     refresh the whole panel three times with each\n"
    "                      waveform of the profile that has a mode, wait for\n"
    "                      each, and print the profile with the measured\n"
    "                      duration_ms, for zodm-screen --profile\n"
    "  -a, --all           listen on every IPv4 address, not only 127.0.0.1\n"
    "  -j, --json          print one JSON object per line, as zodm-listen\n"
    "                      does, and the report in the closing object\n"
    "  -c, --count=N       exit after N datagrams, once their updates are\n"
    "                      done\n"
    "  -b, --buffer=BYTES  set the socket's receive buffer, for bursts\n"
    "                      (beyond net.core.rmem_max only with\n"
    "                      CAP_NET_ADMIN; it says so when the kernel gives\n"
    "                      less)\n"
    "  -h, --help          show this help and exit\n"
    "      --version       show the version and exit\n"
    "\n"
    "SIGHUP reads the profile again (a bad one is refused, the old one\n"
    "kept). SIGINT and SIGTERM stop receiving; the updates that wait are\n"
    "carried out within 5 seconds. On exit it prints how many datagrams it\n"
    "received, accepted and refused and how many the kernel dropped, then\n"
    "what the panel went through (as zodm-screen: updates, merges, flashes,\n"
    "latency) and the device's own counts (waits timed out, retries,\n"
    "refusals), to standard error. Exit status 0; 1 when the framebuffer\n"
    "cannot be opened or is not one, its controller refuses the first\n"
    "update (the profile's layout does not fit the device), the port cannot\n"
    "be bound or output fails; 2 for bad arguments or a bad profile.\n"
    "\n"
    "Examples:\n"
    "  zodm-displayd --profile /usr/share/zodm/profiles/kobo-mk7.toml\n"
    "  zodm-displayd --detect\n";

enum {
  kProfileOption = 3000,
  kFramebufferOption,
  kDetectOption,
  kRootOption,
  kCalibrateOption,
};

// The options that name a file or a directory, and what they fill in.
struct PathOption {
  int value;
  const char* name;
  std::string DisplaydOptions::*path;
};
constexpr PathOption kPathOptions[] = {
    {kProfileOption, "--profile", &DisplaydOptions::profile},
    {kFramebufferOption, "--fb", &DisplaydOptions::framebuffer},
    {kRootOption, "--root", &DisplaydOptions::root},
};

int usageError(const std::string& problem) {
  return tools::usageError(kTool, kUsage, problem);
}

// Reads the option getopt_long returned as c. Returns kGoOn or the status
// to exit with.
int readOption(int c, const tools::ToolText& text, DisplaydOptions& options,
               char* argv[]) {
  for (const PathOption& path : kPathOptions) {
    if (path.value != c) continue;
    options.*path.path = optarg;
    if ((options.*path.path).empty())
      return usageError(std::string(path.name) + ": the name is empty");
    return tools::kGoOn;
  }
  if (c == kDetectOption || c == kCalibrateOption) {
    const Run run = c == kDetectOption ? Run::Detect : Run::Calibrate;
    if (options.run != Run::Serve && options.run != run)
      return usageError("--detect and --calibrate do not go together");
    options.run = run;
    return tools::kGoOn;
  }
  return tools::serviceOption(c, text, options.service, argv);
}

// What the chosen run needs and refuses.
int checkRun(const DisplaydOptions& options) {
  const tools::ServiceOptions& s = options.service;
  const bool serviceOptions = s.all || s.json || s.count != 0 || s.buffer != 0;
  if (options.run != Run::Serve && serviceOptions)
    return usageError(
        "--detect and --calibrate bind nothing: they do not go with --all, "
        "--json, --count or --buffer");
  if (!options.root.empty() && options.run != Run::Detect)
    return usageError("--root goes with --detect only");
  if (options.run == Run::Detect && !options.profile.empty())
    return usageError("--detect reads no profile: it suggests one");
  if (options.run != Run::Detect && options.profile.empty())
    return usageError(
        "--profile FILE is required: the device's display profile, which "
        "names its controller (see /usr/share/zodm/profiles/)");
  return tools::kGoOn;
}

}  // namespace

int parseDisplaydOptions(int argc, char* argv[], DisplaydOptions& options) {
  const tools::ToolText text{kTool, kUsage, kHelp};
  const std::string shortOptions = tools::serviceShortOptions("");
  std::vector<option> longOptions = tools::serviceLongOptions({
      {"profile", required_argument, nullptr, kProfileOption},
      {"fb", required_argument, nullptr, kFramebufferOption},
      {"detect", no_argument, nullptr, kDetectOption},
      {"root", required_argument, nullptr, kRootOption},
      {"calibrate", no_argument, nullptr, kCalibrateOption},
  });
  // No --tap: the service refreshes the panel for the datagrams it
  // receives itself, so --tap is an unknown option here.
  longOptions.erase(std::remove_if(longOptions.begin(), longOptions.end(),
                                   [](const option& o) {
                                     return o.val == tools::kTapOption;
                                   }),
                    longOptions.end());
  options.service.tool = kTool;
  opterr = 0;  // errors are reported in this tool's own words
  for (int c; (c = getopt_long(argc, argv, shortOptions.c_str(),
                               longOptions.data(), nullptr)) != -1;)
    if (const int status = readOption(c, text, options, argv);
        status != tools::kGoOn)
      return status;
  if (const int status = tools::serviceOperands(argc, argv, text);
      status != tools::kGoOn)
    return status;
  return checkRun(options);
}

}  // namespace zodm::displayd
