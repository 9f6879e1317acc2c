// Shared by the tools: the argument-error messages (all three; usage.cpp),
// and for the display services (zodm-listen, zodm-screen) the line printed
// for each received datagram, their common options and the receive loop
// around initServer (or a tap, see tap.h) and dmMessageParser.
#ifndef ZODM_TOOLS_REQUESTLINES_H
#define ZODM_TOOLS_REQUESTLINES_H

#include <getopt.h>

#include <charconv>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "zodm.h"

// The version --version shows. The build defines it from the project's
// version; a build of the sources by other means says it does not know.
#ifndef ZODM_VERSION
#define ZODM_VERSION "(version unknown)"
#endif

namespace zodm::tools {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// An accepted request as "name key=value ..." (a partial update's corners as
// one "rect=(x,y)-(x,y)" word) or, with json, as one JSON object.
std::string describe(const DmCommand& command, bool json);

// Appends the decimal text of value, an integer of any type.
template <typename Integer>
void appendDecimal(std::string& out, Integer value) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// Appends prefix and the two lower-case hex digits of byte.
void appendHex(std::string& out, std::string_view prefix, unsigned char byte);

// A refused text, shown whole between quotes with every byte outside
// 0x20..0x7e escaped: "refused \"...\"" or a JSON object.
std::string describeRefused(std::string_view bytes, bool json);

// Prints "TOOL: PROBLEM", the usage and a pointer to --help on standard
// error; returns kExitUsage.
int usageError(const char* tool, const char* usage, const std::string& problem);

// The problem getopt_long reported by returning result (':' or '?'), in the
// tools' own words.
std::string optionProblem(int result, char* argv[]);

struct ServiceOptions {
  const char* tool = "";  // names the tool in its messages
  bool all = false;       // bind every IPv4 address, not only 127.0.0.1
  bool json = false;
  unsigned long long count = 0;  // datagrams to receive; 0: until a signal
  // --tap: the interface to watch instead of binding ("any": all of them);
  // empty: bind the port.
  std::string tap;
};

// getopt_long's values for --version and --tap, which have no short form.
constexpr int kVersionOption = 1000;
constexpr int kTapOption = 1001;

// The short options of a service for getopt_long: its own (extra), then
// -a, -j, -c N and -h, after the ':' that reports missing arguments apart.
std::string serviceShortOptions(const char* extra);

// The long options of a service: its own (extra), then --all, --json,
// --count, --tap, --help and --version, ended by the zero entry getopt_long
// needs.
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
constexpr int kGoOn = -1;
int serviceOption(int c, const ToolText& text, ServiceOptions& options,
                  char* argv[]);

// Refuses the words left after the options; returns kGoOn when there are
// none, else the usage error's status.
int serviceOperands(int argc, char* argv[], const ToolText& text);

// Reads word as a whole decimal number within min..max into value; false
// when it is anything else.
bool parseWhole(std::string_view word, unsigned long long min,
                unsigned long long max, unsigned long long& value);

struct Totals {
  unsigned long long received = 0;
  unsigned long long accepted = 0;
  unsigned long long refused = 0;
  bool bound = false;  // receiving began: the socket was bound, or the tap
                       // opened
};

// Called after each datagram's line is printed: with the accepted command,
// or with nullptr for a refused text. Returns false to stop the service with
// status kExitFailure, having said why.
using AfterRequest =
    std::function<bool(const DmCommand* accepted, std::string_view text)>;

// Binds the service socket with initServer (or, with options.tap, opens a
// tap that binds nothing and says so in a line on standard error), then
// prints one line per datagram, flushed at once, until options.count
// datagrams have arrived or SIGINT or SIGTERM ends it. Counts into totals
// and, once bound, ends with "TOOL: received N, accepted N, refused N" on
// standard error (a tap's own line before it). Returns the exit status: 0,
// or kExitFailure when the port cannot be bound or the tap cannot open (said
// in one line) or receiving, printing or after fails.
int runService(const ServiceOptions& options, Totals& totals,
               const AfterRequest& after);

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_REQUESTLINES_H
