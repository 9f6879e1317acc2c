// SPDX-License-Identifier: MIT
// See serviceOptions.h.
#include "serviceOptions.h"

#include <getopt.h>

#include <cstdio>
#include <string>
#include <vector>

namespace zodm::tools {

std::string serviceShortOptions(const char* extra) {
  return std::string(":") + extra + "ajc:b:h";
}

std::vector<option> serviceLongOptions(std::initializer_list<option> extra) {
  std::vector<option> out(extra);
  out.insert(out.end(), {
                            {"all", no_argument, nullptr, 'a'},
                            {"json", no_argument, nullptr, 'j'},
                            {"count", required_argument, nullptr, 'c'},
                            {"buffer", required_argument, nullptr, 'b'},
                            {"tap", optional_argument, nullptr, kTapOption},
                            {"help", no_argument, nullptr, 'h'},
                            {"version", no_argument, nullptr, kVersionOption},
                            {nullptr, 0, nullptr, 0},
                        });
  return out;
}

int serviceOption(int c, const ToolText& text, ServiceOptions& options,
                  char* argv[]) {
  switch (c) {
    case 'a':
      options.all = true;
      break;
    case 'j':
      options.json = true;
      return kGoOn;
    case 'c':
      if (!parseWhole(optarg, 1, ~0ULL, options.count))
        return usageError(
            text.tool, text.usage,
            std::string("--count: '") + optarg +
                (tooLarge(optarg)
                     ? "' is too large (at most " + std::to_string(~0ULL) + ")"
                     : "' is not a whole number of at least 1"));
      return kGoOn;
    case 'b': {
      unsigned long long bytes = 0;
      if (!parseWhole(optarg, 1, kMaxBuffer, bytes))
        return usageError(text.tool, text.usage,
                          std::string("--buffer: '") + optarg +
                              "' is not a whole number of bytes from 1 to " +
                              std::to_string(kMaxBuffer));
      options.buffer = static_cast<int>(bytes);
      return kGoOn;
    }
    case kTapOption: {
      // "--tap IFACE": the next word, unless it is an option.
      const char* interface = optarg;
      if (interface == nullptr && argv[optind] != nullptr &&
          argv[optind][0] != '-')
        interface = argv[optind++];
      // The loopback interface carries what applications send to 127.0.0.1.
      options.tap = interface != nullptr ? interface : "lo";
      if (options.tap.empty())
        return usageError(text.tool, text.usage,
                          "--tap: the interface name is empty");
#ifndef ZODM_HAVE_PCAP
      std::fprintf(stderr,
                   "%s: --tap: this %s was built without libpcap, so it "
                   "cannot watch an interface (install libpcap-dev, then "
                   "configure and build again)\n",
                   text.tool, text.tool);
      return kExitFailure;
#endif
      break;
    }
    case 'h':
      std::fputs(text.usage, stdout);
      std::fputs(text.help, stdout);
      return 0;
    case kVersionOption:
      std::printf("%s (libzodm) %s\n", text.tool, ZODM_VERSION);
      return 0;
    default:
      return usageError(text.tool, text.usage, optionProblem(c, argv));
  }
  // --all and --tap are both given (in either order) only once both are set.
  if (options.all && !options.tap.empty())
    return usageError(text.tool, text.usage,
                      "--all and --tap do not go together: a tap binds "
                      "nothing ('--tap any' watches every interface)");
  return kGoOn;
}

int serviceOperands(int argc, char* argv[], const ToolText& text) {
  if (optind >= argc) return kGoOn;
  return usageError(text.tool, text.usage,
                    std::string("unexpected argument '") + argv[optind] + "'");
}

}  // namespace zodm::tools
