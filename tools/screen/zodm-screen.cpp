// SPDX-License-Identifier: MIT
// zodm-screen: a display emulator. Receives requests like zodm-listen, and
// prints the same lines, while keeping what each cell of the display area
// went through; with --picture it draws that as a PNG heat map (in builds
// with cairo, ZODM_PICTURE), with --serve it shows it live on a web page (in
// builds with libmicrohttpd, ZODM_LIVE_PAGE). With --replay it runs a
// recording of --json lines through the same pipeline instead (in builds
// with nlohmann-json, ZODM_REPLAY).
#include <getopt.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "framebuffer.h"
#include "modelRunner.h"
#include "panel.h"
#include "profile.h"
#include "replay.h"
#include "screen.h"
#include "serviceLoop.h"
#include "serviceOptions.h"
#if ZODM_PICTURE
#include "panelPicture.h"
#include "picture.h"
#endif
#if ZODM_LIVE_PAGE
#include "live.h"
#include "liveServer.h"
#endif

namespace {

constexpr char kTool[] = "zodm-screen";

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
    "  -p, --picture=FILE  write a PNG picture to FILE at start, after each\n"
    "                      accepted request and at exit: a heat map of the\n"
    "                      refresh counts with its colour scale, the last\n"
    "                      partial rectangles outlined, and the totals\n";
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
    "                      (stale: drawn, not refreshed). A FILE of another\n"
    "                      size, or one that cannot be opened or mapped: one\n"
    "                      line, exit status 1\n";

#if ZODM_PICTURE
constexpr char kPanelHelp[] =
    "      --panel=PNG     write the e-paper panel as the model has it (8-bit\n"
    "                      gray, 769 x 1025: the waveforms' gray levels and\n"
    "                      residue) to PNG at start, at most twice a second\n"
    "                      while updates complete, and at exit, once every\n"
    "                      update has completed; needs --framebuffer\n"
    "      --ideal-panel=PNG\n"
    "                      write the ideal panel to PNG (a refresh copies its\n"
    "                      rectangle at once, in 256 grays) at start, after\n"
    "                      each accepted request and at exit, as --picture\n"
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
    "                      FILE's) as a TOML file to copy and edit, and exit\n";

#if ZODM_REPLAY
constexpr char kReplayHelp[] =
    "      --replay=FILE   bind nothing: run the recording in FILE ('-':\n"
    "                      standard input), the --json lines of zodm-listen\n"
    "                      or zodm-screen, through the same pipeline, in its\n"
    "                      own time and as fast as the machine goes; prints\n"
    "                      what the live run printed, byte for byte. A bad\n"
    "                      recording: one line naming FILE, the line and the\n"
    "                      reason, exit status 2, before anything runs\n";
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
    "                      (a recording, for --replay)\n"
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
    "  zodm-screen --picture /tmp/screen.png & zodm-send --wait partial 2 1 0 "
    "0 100 200\n"
    "      # prints partial priority=2 quality=1 rect=(0,0)-(100,200)\n"
    "  zodm-screen --serve 8050    # then open the address it prints\n"
    "  zodm-screen --replay rec.jsonl --json   # rec.jsonl: zodm-listen "
    "--json\n";

// getopt_long's value for --serve, which has no short form.
constexpr int kServeOption = 2000;
// ... and for --framebuffer and --panel.
constexpr int kFramebufferOption = 2001;
constexpr int kPanelOption = 2002;
constexpr int kIdealPanelOption = 2003;
constexpr int kProfileOption = 2004;
constexpr int kPrintProfileOption = 2005;
constexpr int kReplayOption = 2006;

// The model's panel is written at most this often while updates complete.
constexpr auto kPanelInterval = std::chrono::milliseconds(500);

int usageError(const std::string& problem) {
  return zodm::tools::usageError(kTool, kUsage, problem);
}

// Writes a picture of what (kind: "picture" or "panel") to path with
// write, saying in one line why when it cannot.
template <typename Write>
bool save(const char* kind, const std::string& path,
          [[maybe_unused]] const Write& write) {
#if ZODM_PICTURE
  const std::string problem = write();
  if (problem.empty()) return true;
#else
  const std::string problem = "this zodm-screen was built without cairo";
#endif
  std::fprintf(stderr, "%s: cannot write the %s %s: %s\n", kTool, kind,
               path.c_str(), problem.c_str());
  return false;
}

// The heat map's picture.
bool savePicture([[maybe_unused]] const zodm::screen::Screen& screen,
                 const std::string& path) {
  return save("picture", path, [&] {
#if ZODM_PICTURE
    return zodm::screen::writePicture(screen, path);
#else
    return std::string();
#endif
  });
}

// The ideal panel's picture.
bool savePanel([[maybe_unused]] const zodm::screen::Panel& panel,
               const std::string& path) {
  return save("panel", path, [&] {
#if ZODM_PICTURE
    return zodm::screen::writePanel(panel, path);
#else
    return std::string();
#endif
  });
}

// The model's panel: kWidth x kHeight gray pixels.
bool saveGray([[maybe_unused]] const uint8_t* pixels, const std::string& path) {
  return save("panel", path, [&] {
#if ZODM_PICTURE
    return zodm::screen::writeGray(pixels, path);
#else
    return std::string();
#endif
  });
}

// Maps the framebuffer, saying in one line why when it cannot.
std::unique_ptr<zodm::screen::Framebuffer> openFramebuffer(
    const std::string& path) {
  std::string problem;
  auto framebuffer = zodm::screen::Framebuffer::open(path, problem);
  if (!framebuffer)
    std::fprintf(stderr, "%s: cannot use the framebuffer %s: %s\n", kTool,
                 path.c_str(), problem.c_str());
  return framebuffer;
}

// What the reader would see stale at exit, and refreshes that found the
// framebuffer cut short.
void reportStale(const zodm::screen::Panel& panel) {
  const zodm::screen::Framebuffer& framebuffer = panel.framebuffer();
  std::vector<uint8_t> drawn(zodm::screen::kFramebufferBytes);
  std::string line =
      framebuffer.copy({0, 0, DM_MAX_X, DM_MAX_Y, 0}, drawn.data())
          ? zodm::screen::describeStale(
                zodm::screen::findStale(panel.pixels(), drawn.data()))
          : "it is cut short";
  if (panel.unread() > 0) {
    line += "; ";
    line += std::to_string(panel.unread());
    line += " refreshes found it cut short";
  }
  std::fprintf(stderr, "%s: framebuffer %s: %s\n", kTool,
               framebuffer.path().c_str(), line.c_str());
}

#if ZODM_LIVE_PAGE
// Opens the live page's socket, saying in one line why when it cannot.
int listenForViewers(const zodm::live::Endpoint& endpoint) {
  const int fd = zodm::live::listenOn(endpoint);
  if (fd < 0)
    std::fprintf(stderr, "%s: cannot serve the live page on %s: %s\n", kTool,
                 endpoint.text().c_str(), std::strerror(errno));
  return fd;
}
#endif

int run(int argc, char* argv[]) {
  // The model's time 0, as the lines': the tool's start.
  const auto start = zodm::screen::ModelRunner::Clock::time_point(
      std::chrono::microseconds(zodm::tools::toolStart()));
  const std::string help = std::string(kHelpStart) + kPictureHelp + kServeHelp +
                           kFramebufferHelp + kPanelHelp + kProfileHelp +
                           kReplayHelp + kHelpEnd;
  const zodm::tools::ToolText text{kTool, kUsage, help.c_str()};
  const std::string shortOptions = zodm::tools::serviceShortOptions("p:r:");
  const auto longOptions = zodm::tools::serviceLongOptions({
      {"picture", required_argument, nullptr, 'p'},
      {"recent", required_argument, nullptr, 'r'},
      {"serve", required_argument, nullptr, kServeOption},
      {"framebuffer", required_argument, nullptr, kFramebufferOption},
      {"panel", required_argument, nullptr, kPanelOption},
      {"ideal-panel", required_argument, nullptr, kIdealPanelOption},
      {"profile", required_argument, nullptr, kProfileOption},
      {"print-profile", no_argument, nullptr, kPrintProfileOption},
      {"replay", required_argument, nullptr, kReplayOption},
  });
  zodm::tools::ServiceOptions options;
  options.tool = kTool;
  std::string picture;
  std::string framebufferPath;
  std::string panelPicture;
  std::string idealPanelPicture;
  std::string profilePath;
  bool printProfile = false;
  std::string replay;  // the recording's path; empty: receive
  unsigned long long recent = 8;
  [[maybe_unused]] bool serve = false;
#if ZODM_LIVE_PAGE
  zodm::live::Endpoint endpoint;
#endif
  opterr = 0;  // errors are reported in this tool's own words
  for (int c; (c = getopt_long(argc, argv, shortOptions.c_str(),
                               longOptions.data(), nullptr)) != -1;) {
    if (c == 'p') {
      picture = optarg;
      if (picture.empty()) return usageError("--picture: the name is empty");
    } else if (c == 'r') {
      if (!zodm::tools::parseWhole(optarg, 0, zodm::screen::kMaxRecent, recent))
        return usageError(std::string("--recent: '") + optarg +
                          "' is not a whole number from 0 to 64");
    } else if (c == kFramebufferOption) {
      framebufferPath = optarg;
      if (framebufferPath.empty())
        return usageError("--framebuffer: the name is empty");
    } else if (c == kPanelOption) {
      panelPicture = optarg;
      if (panelPicture.empty()) return usageError("--panel: the name is empty");
    } else if (c == kIdealPanelOption) {
      idealPanelPicture = optarg;
      if (idealPanelPicture.empty())
        return usageError("--ideal-panel: the name is empty");
    } else if (c == kProfileOption) {
      profilePath = optarg;
      if (profilePath.empty())
        return usageError("--profile: the name is empty");
    } else if (c == kPrintProfileOption) {
      printProfile = true;
    } else if (c == kReplayOption) {
      replay = optarg;
      if (replay.empty()) return usageError("--replay: the name is empty");
#if !ZODM_REPLAY
      std::fprintf(stderr,
                   "%s: cannot replay: this zodm-screen was built without "
                   "nlohmann-json\n",
                   kTool);
      return zodm::tools::kExitFailure;
#endif
    } else if (c == kServeOption) {
#if ZODM_LIVE_PAGE
      const std::string problem = zodm::live::parseEndpoint(optarg, endpoint);
      if (!problem.empty())
        return usageError(std::string("--serve: ") + problem);
#else
      std::fprintf(stderr,
                   "%s: cannot serve the live page: this zodm-screen was "
                   "built without libmicrohttpd\n",
                   kTool);
      return zodm::tools::kExitFailure;
#endif
      serve = true;
    } else if (const int status =
                   zodm::tools::serviceOption(c, text, options, argv);
               status != zodm::tools::kGoOn) {
      return status;
    }
  }
  if (const int status = zodm::tools::serviceOperands(argc, argv, text);
      status != zodm::tools::kGoOn)
    return status;
  if (!panelPicture.empty() && framebufferPath.empty())
    return usageError("--panel needs --framebuffer: the panel shows FILE");
  if (!idealPanelPicture.empty() && framebufferPath.empty())
    return usageError(
        "--ideal-panel needs --framebuffer: the panel shows FILE");

  // The profile is read before anything binds: a bad one ends the emulator
  // before an application could find it running.
  zodm::model::Profile profile = zodm::model::defaultProfile();
  if (!profilePath.empty()) {
    const std::string problem = zodm::model::readProfile(profilePath, profile);
    if (!problem.empty()) {
      std::fprintf(stderr, "%s: %s\n", kTool, problem.c_str());
      return zodm::tools::kExitUsage;
    }
  }
  if (printProfile) {
    const std::string toml = zodm::model::printProfile(profile);
    if (std::fwrite(toml.data(), 1, toml.size(), stdout) != toml.size() ||
        std::fflush(stdout) != 0) {
      std::fprintf(stderr, "%s: cannot write output: %s\n", kTool,
                   std::strerror(errno));
      return zodm::tools::kExitFailure;
    }
    return 0;
  }

  if (!replay.empty() &&
      (options.all || !options.tap.empty() || options.buffer != 0 || serve))
    return usageError(
        "--replay binds nothing and serves no page: it does not go with "
        "--all, --tap, --buffer or --serve");

  // A recording is read and checked whole before anything else starts.
  std::vector<zodm::tools::RecordedRequest> recording;
#if ZODM_REPLAY
  if (!replay.empty() && !zodm::tools::loadRecording(kTool, replay, recording))
    return zodm::tools::kExitUsage;
#endif

  // The framebuffer is mapped before anything binds: one that cannot be
  // used ends the emulator before the application could find it running.
  std::unique_ptr<zodm::screen::Framebuffer> framebuffer;
  std::unique_ptr<zodm::screen::Panel> panel;
  if (!framebufferPath.empty()) {
    framebuffer = openFramebuffer(framebufferPath);
    if (!framebuffer) return zodm::tools::kExitFailure;
    panel = std::make_unique<zodm::screen::Panel>(*framebuffer);
  }

#if ZODM_LIVE_PAGE
  // The live page's port comes first: one that is taken, or an address that
  // cannot be used, is reported before anything else starts.
  const int listenFd = serve ? listenForViewers(endpoint) : -1;
  if (serve && listenFd < 0) return zodm::tools::kExitFailure;
#endif

  // The state is allocated once, here; nothing that arrives makes it grow.
  zodm::screen::Screen screen(static_cast<std::size_t>(recent));
  // The first picture proves the path can be written before anything binds.
  if (!picture.empty() && !savePicture(screen, picture)) {
#if ZODM_LIVE_PAGE
    if (listenFd >= 0) close(listenFd);
#endif
    return zodm::tools::kExitFailure;
  }
  // So do the first pictures of the panels.
  if ((!idealPanelPicture.empty() && !savePanel(*panel, idealPanelPicture)) ||
      (!panelPicture.empty() &&
       !saveGray(std::vector<uint8_t>(zodm::screen::kFramebufferBytes,
                                      zodm::screen::kWhite)
                     .data(),
                 panelPicture))) {
#if ZODM_LIVE_PAGE
    if (listenFd >= 0) close(listenFd);
#endif
    return zodm::tools::kExitFailure;
  }

#if ZODM_LIVE_PAGE
  // The receive loop hands each datagram to the feed, which applies it to
  // the screen and keeps it for the page's viewers. It is made before the
  // model, which tells it of every change, and goes after it.
  std::unique_ptr<zodm::live::Feed> feed;
  if (serve) feed = std::make_unique<zodm::live::Feed>(screen);
#endif

  // The e-paper model, on a thread of its own, which wakes the live page's
  // viewers when the model changes. While updates complete, its panel's
  // picture is written from that thread, at most every kPanelInterval; a
  // failure there is said once, and the picture at exit decides the status.
  std::unique_ptr<zodm::screen::FramebufferSource> source;
  if (framebuffer)
    source = std::make_unique<zodm::screen::FramebufferSource>(*framebuffer);
  std::unique_ptr<zodm::screen::ModelRunner> runner;
  auto lastPanel = zodm::screen::ModelRunner::Clock::now();
  unsigned long long panelChanges = 0;
  bool panelFailed = false;
  const auto writeModelPanel = [&] {
    const auto now = zodm::screen::ModelRunner::Clock::now();
    if (panelFailed || now - lastPanel < kPanelInterval) return;
    std::vector<uint8_t> pixels;
    const bool changed = runner->read([&](const zodm::model::Model& m) {
      if (m.changes() == panelChanges) return false;
      panelChanges = m.changes();
      pixels.assign(m.pixels(), m.pixels() + zodm::screen::kFramebufferBytes);
      return true;
    });
    if (!changed) return;
    lastPanel = now;
    panelFailed = !saveGray(pixels.data(), panelPicture);
  };
  zodm::screen::ModelRunner::OnChange onModelChange;
#if ZODM_LIVE_PAGE
  if (feed)
    onModelChange = [&] {
      feed->modelChanged();
      if (!panelPicture.empty()) writeModelPanel();
    };
#endif
  // A replay writes its pictures at the start and the end only.
  if (!onModelChange && !panelPicture.empty() && replay.empty())
    onModelChange = writeModelPanel;
  // Live, the model follows the clock; a replay runs in the recording's
  // time, as fast as the machine goes.
  runner = std::make_unique<zodm::screen::ModelRunner>(
      profile, source.get(), replay.empty(), start, onModelChange);

#if ZODM_LIVE_PAGE
  // The server's viewers read the model: it stops before the runner goes.
  std::unique_ptr<zodm::live::Server> server;
  if (serve) {
    feed->showModel(*runner);
    if (panel) feed->showPanel(*panel);
    zodm::live::Key key;
    std::string problem = zodm::live::Key::make(key);
    if (problem.empty())
      server =
          zodm::live::Server::start(listenFd, endpoint, key, *feed, problem);
    else
      close(listenFd);
    if (!server) {
      std::fprintf(stderr, "%s: cannot serve the live page on %s: %s\n", kTool,
                   endpoint.text().c_str(), problem.c_str());
      return zodm::tools::kExitFailure;
    }
    // The address with its token is the key: whoever has it may watch.
    std::fprintf(stderr, "%s: live page at http://%s/?token=%s%s\n", kTool,
                 endpoint.text().c_str(), key.hex().c_str(),
                 endpoint.loopback()
                     ? ""
                     : " (not on loopback only: anyone who has this address "
                       "and can reach the port can watch)");
  }
#endif
  // A replay draws its pictures at the start and at the end only: it runs
  // as fast as the machine goes, and nobody watches the file meanwhile.
  const bool eachRequest = replay.empty();
  const auto record = [&](int64_t micros, const DmCommand* accepted,
                          [[maybe_unused]] std::string_view bytes) {
    if (accepted != nullptr) runner->submit(micros, *accepted);
#if ZODM_LIVE_PAGE
    if (feed) {
      feed->record(accepted, bytes);
      return;
    }
#endif
    if (accepted != nullptr)
      screen.apply(*accepted);
    else
      screen.refuse();
    if (panel && accepted != nullptr) panel->apply(*accepted);
  };
  // After each accepted request, the ideal panel's picture.
  const auto showPanel = [&](const DmCommand* accepted) {
    return accepted == nullptr || idealPanelPicture.empty() || !eachRequest ||
           savePanel(*panel, idealPanelPicture);
  };

  // The live page shows the kernel's drops as they happen.
  zodm::tools::OnDropped onDropped;
#if ZODM_LIVE_PAGE
  if (feed)
    onDropped = [&](unsigned long long dropped) { feed->setDropped(dropped); };
#endif
  zodm::tools::Totals totals;
  const zodm::tools::AfterRequest after =
      [&](int64_t micros, const DmCommand* accepted, std::string_view bytes) {
        record(micros, accepted, bytes);
        return (accepted == nullptr || picture.empty() || !eachRequest ||
                savePicture(screen, picture)) &&
               showPanel(accepted);
      };
  // When the run ends, what still runs or waits completes in the model's
  // time; the last JSON object carries the cost.
  zodm::model::Summary cost;
  const zodm::tools::OnClose onClose = [&](int64_t endMicros) {
    runner->finish(endMicros);
    cost =
        runner->read([](const zodm::model::Model& m) { return m.summary(); });
    return ",\"panel\":{" + zodm::model::summaryJson(cost) + '}';
  };
  int status = replay.empty() ? zodm::tools::runService(options, totals, after,
                                                        onDropped, onClose)
                              : zodm::tools::replayRecording(
                                    options, recording, totals, after, onClose);
  if (!totals.bound) return status;
  std::string summary;
  for (const std::string& line : screen.caption())
    summary += (summary.empty() ? "" : "; ") + line;
  std::fprintf(stderr, "%s: %s\n", kTool, summary.c_str());
  std::fprintf(stderr, "%s: %s\n", kTool,
               zodm::model::describeSummary(cost).c_str());
  if (!picture.empty()) {
    if (!savePicture(screen, picture)) return zodm::tools::kExitFailure;
    std::fprintf(stderr, "%s: picture written to %s\n", kTool, picture.c_str());
  }
  if (panel) reportStale(*panel);
  if (!idealPanelPicture.empty()) {
    if (!savePanel(*panel, idealPanelPicture)) return zodm::tools::kExitFailure;
    std::fprintf(stderr, "%s: ideal panel written to %s\n", kTool,
                 idealPanelPicture.c_str());
  }
  if (!panelPicture.empty()) {
    const std::vector<uint8_t> pixels =
        runner->read([](const zodm::model::Model& m) {
          return std::vector<uint8_t>(
              m.pixels(), m.pixels() + zodm::screen::kFramebufferBytes);
        });
    if (!saveGray(pixels.data(), panelPicture))
      return zodm::tools::kExitFailure;
    std::fprintf(stderr, "%s: panel written to %s\n", kTool,
                 panelPicture.c_str());
  }
  return status;
}

}  // namespace

int main(int argc, char* argv[]) {
  const int status = run(argc, argv);
#if ZODM_PICTURE
  zodm::screen::releaseStaticData();
#endif
  return status;
}
