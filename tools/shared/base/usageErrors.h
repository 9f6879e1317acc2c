// SPDX-License-Identifier: MIT
// The tools' argument errors, in the same words in all three tools, their
// exit statuses and the version that --version shows.
#ifndef ZODM_TOOLS_USAGEERRORS_H
#define ZODM_TOOLS_USAGEERRORS_H

#include <string>

// The version --version shows. The build defines it from the project's
// version; a build of the sources by other means says it does not know.
#ifndef ZODM_VERSION
#define ZODM_VERSION "(version unknown)"
#endif

namespace zodm::tools {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// What an option reader returns to say: read on (any other value is the
// status to exit with).
constexpr int kGoOn = -1;

// Prints "TOOL: PROBLEM", the usage and a pointer to --help on standard
// error; returns kExitUsage.
int usageError(const char* tool, const char* usage, const std::string& problem);

// The problem getopt_long reported by returning result (':' or '?'), in the
// tools' own words.
std::string optionProblem(int result, char* argv[]);

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_USAGEERRORS_H
