// SPDX-License-Identifier: MIT
// See usageErrors.h: the one part of the shared code that zodm-send uses.
// Kept apart from the display services' receive loop, so that zodm-send
// links nothing that only the services need (libpcap).
#include "usageErrors.h"

#include <getopt.h>

#include <cstdio>
#include <string>

namespace zodm::tools {

int usageError(const char* tool, const char* usage,
               const std::string& problem) {
  std::fprintf(stderr, "%s: %s\n%sTry '%s --help' for more.\n", tool,
               problem.c_str(), usage, tool);
  return kExitUsage;
}

std::string optionProblem(int result, char* argv[]) {
  if (result == ':')
    return std::string("option '") + argv[optind - 1] + "' needs an argument";
  return optopt != 0 ? std::string("unknown option '-") +
                           static_cast<char>(optopt) + "'"
                     : std::string("unknown option '") + argv[optind - 1] + "'";
}

}  // namespace zodm::tools
