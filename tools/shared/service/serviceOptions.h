// SPDX-License-Identifier: MIT
// The options that both display services (zodm-listen, zodm-screen) take,
// read from getopt_long beside each service's own: --all, --json, --count,
// --buffer, --tap, --help and --version.
#ifndef ZODM_TOOLS_SERVICEOPTIONS_H
#define ZODM_TOOLS_SERVICEOPTIONS_H

#include <getopt.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "parse.h"
#include "usageErrors.h"

namespace zodm::tools {

struct ServiceOptions {
  const char* tool = "";  // names the tool in its messages
  bool all = false;       // bind every IPv4 address, not only 127.0.0.1
  bool json = false;
  unsigned long long count = 0;  // datagrams to receive; 0: until a signal
  // --tap: the interface to watch instead of binding ("any": all of them);
  // empty: bind the port.
  std::string tap;
  // --buffer: the receive buffer in bytes (a tap's capture buffer); 0: the
  // system's default (a tap's own).
  int buffer = 0;
  // The "format" that the JSON totals name: 1, or 2 when the lines carry
  // pixels (requestLines.h).
  int recordingFormat = 1;
};

// The largest --buffer: the kernel keeps twice the value, in an int.
constexpr int kMaxBuffer = 0x3fffffff;

// getopt_long's values for --version and --tap, which have no short form.
constexpr int kVersionOption = 1000;
constexpr int kTapOption = 1001;

// The short options of a service for getopt_long: its own (extra), then
// -a, -j, -c N, -b BYTES and -h, after the ':' that reports missing arguments
// apart.
std::string serviceShortOptions(const char* extra);

// The long options of a service: its own (extra), then --all, --json,
// --count, --buffer, --tap, --help and --version, ended by the zero entry
// getopt_long needs.
std::vector<option> serviceLongOptions(std::initializer_list<option> extra);

// What a tool shows of itself: its name, usage line and help text.
struct ToolText {
  const char* tool;
  const char* usage;
  const char* help;
};

// Reads the getopt_long result c for the options every service takes (and
// for getopt_long's errors) into options. Returns kGoOn to read on, or the
// status to exit with after --help, --version or a bad argument. --tap takes
// its interface as --tap=IFACE or as the next word when that does not start
// with '-' (the services take no operands); it is refused with kExitFailure
// in a build without libpcap.
int serviceOption(int c, const ToolText& text, ServiceOptions& options,
                  char* argv[]);

// Refuses the words left after the options; returns kGoOn when there are
// none, else the usage error's status.
int serviceOperands(int argc, char* argv[], const ToolText& text);

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_SERVICEOPTIONS_H
