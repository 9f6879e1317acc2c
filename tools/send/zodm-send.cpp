// SPDX-License-Identifier: MIT
// zodm-send: sends one display-update request from a shell or a script,
// through the library's request calls, as any application would; or, with
// --replay, a recording's texts at their recorded times.
#include <arpa/inet.h>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parse.h"
#include "usageErrors.h"
#include "waitBound.h"
#include "zodm.h"
#if ZODM_REPLAY
#include "sendRecording.h"
#endif

namespace {

using zodm::tools::kExitFailure;  // the server address cannot be used
using zodm::tools::kExitUsage;    // bad arguments; nothing was sent
using zodm::tools::kGoOn;

constexpr char kUsage[] =
    "Usage: zodm-send [OPTION]... display PRIORITY QUALITY\n"
    "       zodm-send [OPTION]... partial PRIORITY QUALITY XUP YUP XDOWN "
    "YDOWN\n"
    "       zodm-send [OPTION]... erase PRIORITY\n"
    "       zodm-send [OPTION]... --replay FILE [--speed X]\n";

constexpr char kHelp[] =
    "Sends one display-update request to the display service, UDP port "
    "50555.\n"
    "\n"
    "Requests:\n"
    "  display PRIORITY QUALITY   update the whole display\n"
    "  partial PRIORITY QUALITY XUP YUP XDOWN YDOWN\n"
    "                             update the rectangle with the corners\n"
    "                             (XUP,YUP) and (XDOWN,YDOWN), in any order\n"
    "  erase PRIORITY             erase the display to white\n"
    "\n"
    "Levels run 0..3, x runs 0..768 and y 0..1024, both ends included; a\n"
    "rectangle needs an area. Values outside these are refused here, since\n"
    "the service would refuse them, unless --force is given.\n"
    "\n"
    "Options (before the request, so negative values need no \"--\"):\n"
    "  -s, --server=ADDRESS  send to ADDRESS, a dotted-decimal IPv4 address\n"
    "                        or a host name (default 127.0.0.1)\n"
    "  -n, --dry-run         print the request text, send nothing\n"
    "  -f, --force           send values that the service will refuse\n"
    "      --wait[=SECONDS]  first wait, at most SECONDS (default 10), until\n"
    "                        a service on this machine has bound UDP port\n"
    "                        50555 on the address, for one started just\n"
    "                        before; nothing is sent if none does\n"
    "      --replay=FILE     send the texts of the recording in FILE ('-':\n"
    "                        standard input), the --json lines of\n"
    "                        zodm-listen or zodm-screen, byte for byte, the\n"
    "                        first at once (after --wait, when given) and\n"
    "                        each next at its recorded time after it; no\n"
    "                        request is given. A bad\n"
    "                        recording: one line naming FILE, the line and\n"
    "                        the reason, exit status 2, before anything is\n"
    "                        sent\n"
    "      --speed=X         with --replay, X times as fast (default 1; 0: as\n"
    "                        fast as possible)\n"
    "  -h, --help            show this help and exit\n"
    "      --version         show the version and exit\n"
    "\n"
    "Requests get no reply: exit status 0 means the request was handed to\n"
    "the library, not that it arrived; one sent before the service has bound\n"
    "its port is lost, hence --wait. Exit status 1: the server address\n"
    "cannot be resolved or used, or --wait found no service; 2: bad\n"
    "arguments. Either way nothing is sent.\n"
    "\n"
    "Examples:\n"
    "  zodm-send display 1 2\n"
    "  zodm-listen --count 1 2>/dev/null & zodm-send --wait display 1 2\n"
    "      # prints display priority=1 quality=2, once zodm-listen is bound\n"
    "      # (2>/dev/null sends away zodm-listen's standard error: the\n"
    "      # library's line that it bound, and its closing summary)\n"
    "  zodm-send partial 2 1 0 0 100 200\n"
    "  zodm-send -s 127.0.0.2 erase 3\n"
    "  zodm-send --dry-run partial 2 1 0 0 100 200   # prints "
    "!1,2,1,0,0,100,200\n"
    "  zodm-send --replay rec.jsonl --speed 2   # rec.jsonl: zodm-listen "
    "--json\n";

// A request the tool can send: its name on the command line, its code and
// the names of its values, in the order the request call takes them.
struct RequestKind {
  std::string_view name;
  int32_t code;
  std::size_t count;  // of the values, which fill params from the start
  std::array<std::string_view, 6> params;
};

constexpr std::array<RequestKind, 3> kRequests{{
    {"display", DM_CMD_DISPLAY, 2, {"PRIORITY", "QUALITY"}},
    {"partial",
     DM_CMD_DISPLAY_PARTIAL,
     6,
     {"PRIORITY", "QUALITY", "XUP", "YUP", "XDOWN", "YDOWN"}},
    {"erase", DM_CMD_ERASE_TO_WHITE, 1, {"PRIORITY"}},
}};

// What the command line asks for.
struct Options {
  const char* server = nullptr;
  bool dryRun = false;
  bool force = false;
  int waitSeconds = -1;  // --wait: at most this long for the service
  // --replay and --speed
  const char* replayPath = nullptr;  // nullptr: send one request
  const char* speedWord = nullptr;
  std::vector<std::string_view> words;  // the request and its values
};

enum {
  kVersionOption = 1000,
  kReplayOption = 1100,
  kSpeedOption,
  kWaitOption = 1200
};
constexpr std::array<option, 9> kLongOptions{{
    {"server", required_argument, nullptr, 's'},
    {"dry-run", no_argument, nullptr, 'n'},
    {"force", no_argument, nullptr, 'f'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersionOption},
    {"wait", optional_argument, nullptr, kWaitOption},
    {"replay", required_argument, nullptr, kReplayOption},
    {"speed", required_argument, nullptr, kSpeedOption},
    {nullptr, 0, nullptr, 0},
}};

// Reports an argument error: one line naming the problem, then the usage.
int usageError(const std::string& problem) {
  return zodm::tools::usageError("zodm-send", kUsage, problem);
}

// Reads word as a whole decimal integer ("-" and digits only) that fits in
// 32 bits, or names what is wrong with it in *problem.
std::optional<int32_t> readValue(std::string_view name, std::string_view word,
                                 std::string* problem) {
  int32_t value = 0;
  switch (zodm::tools::parseInt32(word, value)) {
    case zodm::tools::IntWord::kValue:
      return value;
    case zodm::tools::IntWord::kOutOfRange:
      *problem = std::string(name) + ": '" + std::string(word) +
                 "' is out of range for a 32-bit value";
      return std::nullopt;
    case zodm::tools::IntWord::kNotAnInteger:
      break;
  }
  *problem = std::string(name) + ": '" + std::string(word) +
             "' is not a decimal integer";
  return std::nullopt;
}

// The longest --wait, a day: long enough for any service to start.
constexpr int kMaxWait = 86400;

// Reads --wait's SECONDS (10 when not given) into *seconds.
bool readWait(const char* word, int* seconds) {
  if (word == nullptr) {
    *seconds = 10;
    return true;
  }
  unsigned long long value = 0;
  if (!zodm::tools::parseWhole(word, 0, kMaxWait, value)) return false;
  *seconds = static_cast<int>(value);
  return true;
}

// Names the first value the display service would refuse, in the order the
// service checks them, or returns an empty text.
std::string refusal(const DmCommand& c) {
  const auto outside = [](std::string_view name, int32_t value, int32_t max) {
    if (value >= 0 && value <= max) return std::string();
    return std::string(name) + " " + std::to_string(value) + " is outside 0.." +
           std::to_string(max);
  };
  std::string problem;
  if (c.code == DM_CMD_DISPLAY_PARTIAL) {
    if (!(problem = outside("XUP", c.xUp, DM_MAX_X)).empty()) return problem;
    if (!(problem = outside("XDOWN", c.xDown, DM_MAX_X)).empty())
      return problem;
    if (!(problem = outside("YUP", c.yUp, DM_MAX_Y)).empty()) return problem;
    if (!(problem = outside("YDOWN", c.yDown, DM_MAX_Y)).empty())
      return problem;
    if (c.xUp == c.xDown || c.yUp == c.yDown)
      return "the rectangle (" + std::to_string(c.xUp) + "," +
             std::to_string(c.yUp) + ")-(" + std::to_string(c.xDown) + "," +
             std::to_string(c.yDown) + ") has no area";
  }
  if (!(problem = outside("PRIORITY", c.priority, DM_MAX_LEVEL)).empty())
    return problem;
  if (c.code != DM_CMD_ERASE_TO_WHITE)
    return outside("QUALITY", c.quality, DM_MAX_LEVEL);
  return problem;
}

// Turns a dotted-decimal address or a host name into dotted-decimal text,
// since the library takes dotted-decimal IPv4 only.
std::optional<std::string> resolveServer(const char* server) {
  std::array<char, INET_ADDRSTRLEN> text{};
  in_addr numeric{};
  if (inet_pton(AF_INET, server, &numeric) == 1) return std::string(server);
  in6_addr numeric6{};
  if (inet_pton(AF_INET6, server, &numeric6) == 1) {
    std::fprintf(stderr,
                 "zodm-send: %s is an IPv6 address; only IPv4 is supported\n",
                 server);
    return std::nullopt;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int error = getaddrinfo(server, nullptr, &hints, &found);
#ifdef EAI_ADDRFAMILY
  if (error == EAI_ADDRFAMILY) {
    std::fprintf(stderr,
                 "zodm-send: '%s' has no IPv4 address; only IPv4 is "
                 "supported\n",
                 server);
    return std::nullopt;
  }
#endif
  if (error != 0) {
    std::fprintf(stderr, "zodm-send: cannot resolve '%s': %s\n", server,
                 gai_strerror(error));
    return std::nullopt;
  }
  const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  inet_ntop(AF_INET, &address->sin_addr, text.data(), text.size());
  freeaddrinfo(found);
  return std::string(text.data());
}

// Hands the request to the library's request call for its code.
void send(const DmCommand& c) {
  switch (c.code) {
    case DM_CMD_DISPLAY:
      dmDisplay(c.priority, c.quality);
      break;
    case DM_CMD_DISPLAY_PARTIAL:
      dmDisplayPartial(c.priority, c.quality, c.xUp, c.yUp, c.xDown, c.yDown);
      break;
    case DM_CMD_ERASE_TO_WHITE:
      dmDisplayEraseToWhite(c.priority);
      break;
  }
}

// --wait: waits until a service on this machine holds the port on server
// (the library's default when empty). Returns kGoOn, or kExitFailure
// having said why nothing was sent.
int waitForService(const Options& options,
                   const std::optional<std::string>& server) {
  if (options.waitSeconds < 0) return kGoOn;
  in_addr to{};
  inet_pton(AF_INET, server ? server->c_str() : DM_DEFAULT_SERVER, &to);
  int32_t port = 0;
  dmGetServerPort(&port);
  const std::string problem =
      zodm::send::waitBound(to.s_addr, static_cast<uint16_t>(port),
                            static_cast<unsigned>(options.waitSeconds));
  if (problem.empty()) return kGoOn;
  std::fprintf(stderr, "zodm-send: %s; nothing was sent\n", problem.c_str());
  return kExitFailure;
}

// zodm-send --replay: checks the rest of the command line and the whole
// recording, waits for the service with --wait, then sends it. Returns the
// exit status.
int replayRecording(const Options& options) {
  if (!options.words.empty())
    return usageError("--replay sends the recording: surplus argument '" +
                      std::string(options.words[0]) + "'");
  if (options.dryRun || options.force)
    return usageError("--dry-run and --force do not go with --replay");
  if (*options.replayPath == '\0')
    return usageError("--replay: the name is empty");
#if ZODM_REPLAY
  double speed = 1;
  if (options.speedWord != nullptr &&
      !zodm::tools::parseSpeed(options.speedWord, speed))
    return usageError(std::string("--speed: '") + options.speedWord +
                      "' is not a number from 0 to 1000000");
  std::vector<zodm::tools::RecordedRequest> requests;
  if (!zodm::tools::loadRecording("zodm-send", options.replayPath, requests))
    return kExitUsage;
  std::optional<std::string> server = std::string("127.0.0.1");
  if (options.server != nullptr && *options.server == '\0')
    return usageError("the server address is empty");
  if (options.server != nullptr) server = resolveServer(options.server);
  if (!server) return kExitFailure;
  if (const int status = waitForService(options, server); status != kGoOn)
    return status;
  return zodm::send::sendRecording(*server, requests, speed);
#else
  std::fputs(
      "zodm-send: cannot replay: this zodm-send was built without "
      "nlohmann-json\n",
      stderr);
  return kExitFailure;
#endif
}

// Reads the options into options, and the words after them. Returns kGoOn,
// or the status to exit with after --help, --version or a bad option.
int parseSendOptions(int argc, char* argv[], Options& options) {
  opterr = 0;  // errors are reported below, in this tool's own words
  // "+": options end at the request name, so "-1" is a value, not an option.
  for (int c; (c = getopt_long(argc, argv, "+:s:nfh", kLongOptions.data(),
                               nullptr)) != -1;) {
    switch (c) {
      case kReplayOption:
        options.replayPath = optarg;
        break;
      case kSpeedOption:
        options.speedWord = optarg;
        break;
      case 's':
        options.server = optarg;
        break;
      case 'n':
        options.dryRun = true;
        break;
      case 'f':
        options.force = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return 0;
      case kVersionOption:
        std::printf("zodm-send (libzodm) %s\n", ZODM_VERSION);
        return 0;
      case kWaitOption:
        if (!readWait(optarg, &options.waitSeconds))
          return usageError(std::string("--wait: '") + optarg +
                            "' is not a whole number of seconds from 0 to " +
                            std::to_string(kMaxWait));
        break;
      default:
        return usageError(zodm::tools::optionProblem(c, argv));
    }
  }
  options.words.assign(argv + optind, argv + argc);
  return kGoOn;
}

// Reads the request and its values from the words into command, refusing
// what the service would refuse unless --force. Returns kGoOn or the
// status to exit with.
int readRequest(const Options& options, DmCommand& command) {
  const std::vector<std::string_view>& words = options.words;
  if (words.empty())
    return usageError("no request given (display, partial or erase)");
  const std::string_view name = words[0];
  const RequestKind* kind = nullptr;
  for (const auto& k : kRequests)
    if (k.name == name) kind = &k;
  if (kind == nullptr)
    return usageError("unknown request '" + std::string(name) +
                      "' (display, partial or erase)");

  // Values in the order of DmCommand, from priority on.
  std::array<int32_t, 6> values{};
  std::string problem;
  for (std::size_t i = 0; i < kind->count; ++i) {
    if (i + 1 >= words.size())
      return usageError(std::string(kind->params[i]) + " missing for " +
                        std::string(kind->name));
    const auto value = readValue(kind->params[i], words[i + 1], &problem);
    if (!value) return usageError(problem);
    values[i] = *value;
  }
  if (words.size() > kind->count + 1) {
    const std::string_view surplus = words[kind->count + 1];
    return usageError("surplus argument '" + std::string(surplus) + "'" +
                      (!surplus.empty() && surplus.front() == '-'
                           ? " (options go before the request name)"
                           : ""));
  }
  command = {kind->code, values[0], values[1], values[2],
             values[3],  values[4], values[5]};
  if (options.force) return kGoOn;
  problem = refusal(command);
  if (problem.empty()) return kGoOn;
  std::fprintf(stderr,
               "zodm-send: %s; the display service would refuse it "
               "(--force sends it anyway)\n",
               problem.c_str());
  return kExitUsage;
}

// Prints the request's text (--dry-run), or waits for the service when
// asked and hands the request to the library. Returns the exit status.
int deliver(const Options& options, const DmCommand& command) {
  std::optional<std::string> server;
  if (options.server != nullptr && *options.server == '\0')
    return usageError("the server address is empty");
  if (options.server != nullptr) {
    server = resolveServer(options.server);
    if (!server) return kExitFailure;
  }
  if (options.dryRun) {
    std::array<char, DM_FRAME_SIZE> text{};
    dmMessageFramer(text.data(), &command);
    std::puts(text.data());
    return std::fflush(stdout) == 0 ? 0 : kExitFailure;
  }
  if (server && dmMessageInit(server->c_str()) != 0) {
    std::fprintf(stderr, "zodm-send: cannot send to %s\n", server->c_str());
    return kExitFailure;
  }
  if (const int status = waitForService(options, server); status != kGoOn)
    return status;
  send(command);
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  Options options;
  if (const int status = parseSendOptions(argc, argv, options); status != kGoOn)
    return status;
  if (options.replayPath != nullptr) return replayRecording(options);
  if (options.speedWord != nullptr)
    return usageError("--speed goes with --replay");
  DmCommand command{};
  if (const int status = readRequest(options, command); status != kGoOn)
    return status;
  return deliver(options, command);
}
