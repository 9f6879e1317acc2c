// zodm-listen: a display service for debugging. Binds the service socket with
// the library, runs every received request through dmMessageParser and prints
// one line per datagram: what was accepted, or the refused text.
#include <getopt.h>

#include <array>
#include <cstdio>
#include <string>

#include "requestLines.h"

namespace {

constexpr char kUsage[] = "Usage: zodm-listen [OPTION]...\n";

constexpr char kHelp[] =
    "Receives display-update requests on UDP port 50555 and prints one line\n"
    "per datagram, as soon as it arrives:\n"
    "  display priority=1 quality=2\n"
    "  partial priority=2 quality=1 rect=(0,0)-(100,200)\n"
    "  erase priority=3\n"
    "  dump argument=7\n"
    "  refused \"!0,7,9\"\n"
    "A refused text shows quotes and backslashes as \\\" and \\\\, and other\n"
    "bytes outside 0x20..0x7e as \\n, \\r, \\t or \\xHH. The library's own\n"
    "diagnostics go to standard error (and syslog).\n"
    "\n"
    "Options:\n"
    "  -a, --all        listen on every IPv4 address, not only 127.0.0.1\n"
    "  -j, --json       print one JSON object per line instead:\n"
    "                   "
    "{\"accepted\":true,\"request\":\"display\",\"priority\":1,"
    "\"quality\":2}\n"
    "                   {\"accepted\":false,\"text\":\"!0,7,9\"}\n"
    "                   (bytes above 0x7e become \\u0080..\\u00ff)\n"
    "  -c, --count=N    exit after N datagrams\n"
    "  -h, --help       show this help and exit\n"
    "      --version    show the version and exit\n"
    "\n"
    "SIGINT and SIGTERM end it. On exit it prints how many datagrams it\n"
    "received, accepted and refused to standard error. Exit status 0; 1 when\n"
    "the port cannot be bound (another service holds it) or output fails;\n"
    "2 for bad arguments.\n"
    "\n"
    "Example:\n"
    "  zodm-listen --count 1 & zodm-send display 1 2\n";

constexpr char kTool[] = "zodm-listen";

int usageError(const std::string& problem) {
  return zodm::tools::usageError(kTool, kUsage, problem);
}

}  // namespace

int main(int argc, char* argv[]) {
  enum { kVersionOption = 1000 };
  constexpr std::array<option, 6> kLongOptions{{
      {"all", no_argument, nullptr, 'a'},
      {"json", no_argument, nullptr, 'j'},
      {"count", required_argument, nullptr, 'c'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, kVersionOption},
      {nullptr, 0, nullptr, 0},
  }};
  zodm::tools::ServiceOptions options;
  options.tool = kTool;
  opterr = 0;  // errors are reported below, in this tool's own words
  for (int c; (c = getopt_long(argc, argv, ":ajc:h", kLongOptions.data(),
                               nullptr)) != -1;) {
    switch (c) {
      case 'a':
        options.all = true;
        break;
      case 'j':
        options.json = true;
        break;
      case 'c':
        if (!zodm::tools::parseWhole(optarg, 1, ~0ULL, options.count))
          return usageError(std::string("--count: '") + optarg +
                            "' is not a whole number of at least 1");
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return 0;
      case kVersionOption:
        std::printf("zodm-listen (libzodm) %s\n", ZODM_VERSION);
        return 0;
      default:
        return usageError(zodm::tools::optionProblem(c, argv));
    }
  }
  if (optind < argc)
    return usageError(std::string("unexpected argument '") + argv[optind] +
                      "'");

  zodm::tools::Totals totals;
  return zodm::tools::runService(options, totals, nullptr);
}
