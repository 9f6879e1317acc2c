// SPDX-License-Identifier: MIT
// See screenOptions.h.
#include "screenOptions.h"

#include <getopt.h>

#include <cstdio>
#include <string>

#include "heatMap.h"

namespace zodm::screen {

namespace {

constexpr char kUsage[] = "Usage: zodm-screen [OPTION]...\n";

constexpr char kHelpStart[] =
    "Emulates the display service on UDP port 50555: receives display-update\n"
    "requests, prints one line per datagram as zodm-listen does, and keeps,\n"
    "for each cell of the 769 x 1025 display area, how often it was\n"
    "refreshed and by which request. A full update and an erase refresh\n"
    "every cell; a partial update the rectangle between its corners.\n"
    "It also models what an e-paper panel makes of the requests: each\n"
    "becomes an update with the waveform a display profile gives its\n"
    "quality level; updates over disjoint regions run at once, one that\n"
    "overlaps a running update waits for it (a collision), waiting ones\n"
    "merge; a full update flashes; fast waveforms leave residue. At exit it\n"
    "says what the run cost: updates, merges, collisions, flashes, how long\n"
    "the panel was busy and each request's latency.\n"
    "\n"
    "Options:\n";

#if ZODM_PICTURE
constexpr char kPictureHelp[] =
    "  -p, --picture=FILE  write a PNG picture to FILE at start, after\n"
    "                      accepted requests (drawn beside the receive loop:\n"
    "                      a burst shares one) and at exit: a heat map of\n"
    "                      the refresh counts with its colour scale, the\n"
    "                      last partial rectangles outlined, and the totals\n";
#else
constexpr char kPictureHelp[] =
    "  -p, --picture=FILE  not in this build, which was made without cairo\n";
#endif

#if ZODM_LIVE_PAGE
constexpr char kServeHelp[] =
    "      --serve=[ADDRESS:]PORT\n"
    "                      serve a live page of the display area on TCP\n"
    "                      PORT of ADDRESS (127.0.0.1 unless given). It\n"
    "                      prints the page's address with a random key,\n"
    "                      http://ADDRESS:PORT/?token=KEY, to open in a\n"
    "                      browser: everything else is refused. It shows\n"
    "                      each refresh as it arrives; it only reads, but\n"
    "                      whoever has that address can watch\n";
#else
constexpr char kServeHelp[] =
    "      --serve=[ADDRESS:]PORT\n"
    "                      not in this build, which was made without\n"
    "                      libmicrohttpd\n";
#endif

constexpr char kFramebufferHelp[] =
    "      --framebuffer=FILE\n"
    "                      read what the application draws from FILE, its\n"
    "                      framebuffer (/dev/shm/zodm-framebuffer, say): 769\n"
    "                      x 1025 pixels, one byte of gray each (0 black, 255\n"
    "                      white), row after row, 788225 bytes, no header;\n"
    "                      created white when missing, mapped shared. The\n"
    "                      panel then shows what the reader sees: a partial\n"
    "                      update copies its rectangle from FILE, a full\n"
    "                      update all of it, an erase makes it white; the\n"
    "                      live page shows it, and marks where FILE differs\n"
    "                      (stale: drawn, not refreshed). With --json each\n"
    "                      partial or full update's line carries its\n"
    "                      \"rect\" and the \"pixels\" there when it arrived\n"
    "                      (zlib, then base64; format 2). A FILE of another\n"
    "                      size, or one that cannot be opened or mapped: one\n"
    "                      line, exit status 1\n";

#if ZODM_PICTURE
constexpr char kPanelHelp[] =
    "      --panel=PNG     write the e-paper panel as the model has it (8-bit\n"
    "                      gray, 769 x 1025: the waveforms' gray levels and\n"
    "                      residue) to PNG at start, at most twice a second\n"
    "                      while updates complete, and at exit, once every\n"
    "                      update has completed; needs --framebuffer, or a\n"
    "                      --replay recording with pixels\n"
    "      --ideal-panel=PNG\n"
    "                      write the ideal panel to PNG (a refresh copies its\n"
    "                      rectangle at once, in 256 grays) at start, after\n"
    "                      accepted requests and at exit, as --picture\n"
    "                      does; needs --framebuffer\n";
#else
constexpr char kPanelHelp[] =
    "      --panel=PNG, --ideal-panel=PNG\n"
    "                      not in this build, which was made without cairo\n";
#endif

constexpr char kProfileHelp[] =
    "      --profile=FILE  read the display profile from FILE, a TOML file:\n"
    "                      the waveform of each quality level, each\n"
    "                      waveform's gray levels, duration, flash and\n"
    "                      residue, what a full update and an erase use, how\n"
    "                      many updates run at once, how priority orders\n"
    "                      waiting updates; keys left out keep the built-in\n"
    "                      values. A bad profile: one line naming the file\n"
    "                      and the line, exit status 2\n"
    "      --print-profile print the display profile (the built-in one, or\n"
    "                      FILE's) as a TOML file to copy and edit, and exit\n"
    "      --compare=FILE  with --replay: replay the recording once under\n"
    "                      the profile (--profile's, or the built-in one) and\n"
    "                      once under FILE's (read over the built-in one, as\n"
    "                      --profile is), and print only a table of what each\n"
    "                      cost, a column per profile (with --json, one\n"
    "                      object per profile); give it again for more.\n"
    "                      --profile may be given once\n";

#if ZODM_REPLAY
constexpr char kReplayHelp[] =
    "      --replay=FILE   bind nothing: run the recording in FILE ('-':\n"
    "                      standard input), the --json lines of zodm-listen\n"
    "                      or zodm-screen, through the same pipeline, in its\n"
    "                      own time and as fast as the machine goes; prints\n"
    "                      what the live run printed, byte for byte. The\n"
    "                      pixels of a recording that has them are drawn,\n"
    "                      as each request arrives, into a copy in memory\n"
    "                      of --framebuffer's FILE as it is at the start\n"
    "                      (white without one; FILE is never written), so\n"
    "                      that the panel ends as the live run's did. A bad\n"
    "                      recording: one line naming FILE, the line and the\n"
    "                      reason, exit status 2, before anything runs.\n"
    "                      With --serve, the replay is paced for the live\n"
    "                      page's viewers, each request at its recorded time\n"
    "                      (divided by --speed), while the model keeps the\n"
    "                      recorded time: it prints what the plain replay\n"
    "                      prints, and ends when the recording does\n"
    "      --speed=X       with --replay and --serve, X times as fast\n"
    "                      (default 1)\n";
#else
constexpr char kReplayHelp[] =
    "      --replay=FILE   not in this build, which was made without\n"
    "                      nlohmann-json\n";
#endif

constexpr char kHelpEnd[] =
    "  -r, --recent=N      outline the last N partial rectangles (default 8,\n"
    "                      at most 64)\n"
    "  -a, --all           listen on every IPv4 address, not only 127.0.0.1\n"
    "  -j, --json          print one JSON object per line, as zodm-listen\n"
    "                      (a recording, for --replay); each accepted\n"
    "                      refresh's line carries its number (\"refresh\"),\n"
    "                      and a line of its own (\"fate\") follows when its\n"
    "                      update completes: the update, its waveform, flash,\n"
    "                      what it merged into, start, end and latency\n"
    "  -c, --count=N       exit after N datagrams\n"
    "  -b, --buffer=BYTES  set the socket's receive buffer, for bursts\n"
    "                      (beyond net.core.rmem_max only with\n"
    "                      CAP_NET_ADMIN; it says so when the kernel gives\n"
    "                      less); with --tap, the capture buffer\n"
    "      --tap[=IFACE]   bind nothing: watch the datagrams to port 50555 on\n"
    "                      IFACE (default lo; 'any': all) through libpcap,\n"
    "                      while the service that holds the port keeps\n"
    "                      receiving them; needs CAP_NET_RAW (root, or\n"
    "                      setcap cap_net_raw+ep on the program)\n"
    "  -h, --help          show this help and exit\n"
    "      --version       show the version and exit\n"
    "\n"
    "SIGINT and SIGTERM end it. On exit it prints how many datagrams it\n"
    "received, accepted and refused and how many the kernel dropped, then\n"
    "the picture's totals and what the run cost the panel, to standard\n"
    "error (with --json, the last object has the cost under \"panel\").\n"
    "Exit status 0; 1 when the picture cannot be written, the live page's\n"
    "address cannot be used, the port cannot be bound (another service\n"
    "holds it), the tap cannot start or output fails; 2 for bad arguments\n"
    "or a bad profile.\n"
    "\n"
    "Examples:\n"
    "  zodm-screen -p /tmp/screen.png 2>/dev/null & zodm-send --wait partial "
    "2 1 0 0 100 200\n"
    "      # prints partial priority=2 quality=1 rect=(0,0)-(100,200)\n"
    "      # (2>/dev/null sends away zodm-screen's standard error: the\n"
    "      # library's line that it bound, and at exit its summaries)\n"
    "  zodm-screen --serve 8050    # then open the address it prints\n"
    "  zodm-screen --replay rec.jsonl --json   # rec.jsonl: zodm-listen "
    "--json\n"
    "  zodm-screen --replay rec.jsonl --compare a2.toml   # built-in vs "
    "a2.toml\n";

// getopt_long's values for the options that have no short form.
enum {
  kServeOption = 2000,
  kFramebufferOption,
  kPanelOption,
  kIdealPanelOption,
  kProfileOption,
  kPrintProfileOption,
  kReplayOption,
  kCompareOption,
  kSpeedOption,
};

// The options that name a file, and what they fill in.
struct FileOption {
  int value;
  const char* name;
  std::string ScreenOptions::*path;
};
constexpr FileOption kFileOptions[] = {
    {'p', "--picture", &ScreenOptions::picture},
    {kFramebufferOption, "--framebuffer", &ScreenOptions::framebuffer},
    {kPanelOption, "--panel", &ScreenOptions::panelPicture},
    {kIdealPanelOption, "--ideal-panel", &ScreenOptions::idealPanelPicture},
    {kProfileOption, "--profile", &ScreenOptions::profile},
    {kReplayOption, "--replay", &ScreenOptions::replay},
};

// Reads --serve's endpoint, in a build with the live page.
int readServe([[maybe_unused]] ScreenOptions& options) {
#if ZODM_LIVE_PAGE
  const std::string problem = live::parseEndpoint(optarg, options.endpoint);
  if (!problem.empty()) return usageError(std::string("--serve: ") + problem);
  options.serve = true;
  return tools::kGoOn;
#else
  std::fprintf(stderr,
               "%s: cannot serve the live page: this zodm-screen was "
               "built without libmicrohttpd\n",
               kTool);
  return tools::kExitFailure;
#endif
}

// Reads the option getopt_long returned as c. Returns kGoOn or the status
// to exit with.
int readOption(int c, const tools::ToolText& text, ScreenOptions& options,
               char* argv[]) {
  for (const FileOption& file : kFileOptions) {
    if (file.value != c) continue;
    // A second profile would silently replace the first.
    if (c == kProfileOption && !options.profile.empty())
      return usageError(
          "--profile is given twice: a run has one profile (compare "
          "profiles with --replay and --compare)");
    options.*file.path = optarg;
    if ((options.*file.path).empty())
      return usageError(std::string(file.name) + ": the name is empty");
#if !ZODM_REPLAY
    if (c == kReplayOption) {
      std::fprintf(stderr,
                   "%s: cannot replay: this zodm-screen was built without "
                   "nlohmann-json\n",
                   kTool);
      return tools::kExitFailure;
    }
#endif
    return tools::kGoOn;
  }
  switch (c) {
    case kCompareOption:
      if (*optarg == '\0') return usageError("--compare: the name is empty");
      options.compare.emplace_back(optarg);
      return tools::kGoOn;
    case 'r':
      if (!tools::parseWhole(optarg, 0, kMaxRecent, options.recent))
        return usageError(std::string("--recent: '") + optarg +
                          "' is not a whole number from 0 to 64");
      return tools::kGoOn;
    case kPrintProfileOption:
      options.printProfile = true;
      return tools::kGoOn;
    case kSpeedOption:
      if (!tools::parseSpeed(optarg, options.speed) || options.speed == 0)
        return usageError(std::string("--speed: '") + optarg +
                          "' is not a number above 0, at most 1000000");
      options.speedGiven = true;
      return tools::kGoOn;
    case kServeOption:
      return readServe(options);
    default:
      return tools::serviceOption(c, text, options.service, argv);
  }
}

// --compare replays a recording and prints a table, nothing else.
int checkCompare(const ScreenOptions& options) {
  if (options.speedGiven && (options.replay.empty() || !options.serve))
    return usageError(
        "--speed goes with --replay and --serve: it paces a replay for the "
        "live page's viewers");
  if (options.compare.empty()) return tools::kGoOn;
  if (options.replay.empty())
    return usageError(
        "--compare needs --replay: it compares replays of a "
        "recording");
  if (!options.picture.empty() || !options.panelPicture.empty() ||
      !options.idealPanelPicture.empty() || options.printProfile)
    return usageError(
        "--compare prints only its table: it does not go with --picture, "
        "--panel, --ideal-panel or --print-profile");
  if (options.serve)
    return usageError("--compare prints only its table: it serves no page");
  return tools::kGoOn;
}

}  // namespace

int usageError(const std::string& problem) {
  return tools::usageError(kTool, kUsage, problem);
}

int parseScreenOptions(int argc, char* argv[], ScreenOptions& options) {
  const std::string help = std::string(kHelpStart) + kPictureHelp + kServeHelp +
                           kFramebufferHelp + kPanelHelp + kProfileHelp +
                           kReplayHelp + kHelpEnd;
  const tools::ToolText text{kTool, kUsage, help.c_str()};
  const std::string shortOptions = tools::serviceShortOptions("p:r:");
  const auto longOptions = tools::serviceLongOptions({
      {"picture", required_argument, nullptr, 'p'},
      {"recent", required_argument, nullptr, 'r'},
      {"serve", required_argument, nullptr, kServeOption},
      {"framebuffer", required_argument, nullptr, kFramebufferOption},
      {"panel", required_argument, nullptr, kPanelOption},
      {"ideal-panel", required_argument, nullptr, kIdealPanelOption},
      {"profile", required_argument, nullptr, kProfileOption},
      {"print-profile", no_argument, nullptr, kPrintProfileOption},
      {"replay", required_argument, nullptr, kReplayOption},
      {"compare", required_argument, nullptr, kCompareOption},
      {"speed", required_argument, nullptr, kSpeedOption},
  });
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
  // A replay may bring its own pixels; the emulator checks once it has
  // read the recording.
  if (!options.panelPicture.empty() && options.framebuffer.empty() &&
      options.replay.empty())
    return usageError(
        "--panel needs --framebuffer FILE, the framebuffer the application "
        "draws into (or a --replay recording with pixels)");
  if (!options.idealPanelPicture.empty() && options.framebuffer.empty())
    return usageError(
        "--ideal-panel needs --framebuffer FILE, the framebuffer the "
        "application draws into");
  return checkCompare(options);
}

}  // namespace zodm::screen
