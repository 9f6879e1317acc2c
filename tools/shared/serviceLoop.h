// SPDX-License-Identifier: MIT
// The display services' receive loop: the service socket bound with
// initServer (or a tap, see tap.h), each datagram run through
// dmMessageParser and printed as its line (requestLines.h), and the totals.
#ifndef ZODM_TOOLS_SERVICELOOP_H
#define ZODM_TOOLS_SERVICELOOP_H

#include <functional>
#include <string_view>

#include "serviceOptions.h"
#include "zodm.h"

namespace zodm::tools {

struct Totals {
  unsigned long long received = 0;
  unsigned long long accepted = 0;
  unsigned long long refused = 0;
  // Datagrams the kernel dropped before they could be read (the socket's
  // queue, or a tap's capture buffer, was full).
  unsigned long long dropped = 0;
  bool bound = false;  // receiving began: the socket was bound, or the tap
                       // opened
};

// Called after each datagram's line is printed: with the accepted command,
// or with nullptr for a refused text. Returns false to stop the service with
// status kExitFailure, having said why.
using AfterRequest =
    std::function<bool(const DmCommand* accepted, std::string_view text)>;

// Called with the new count whenever the kernel's count of dropped
// datagrams grew.
using OnDropped = std::function<void(unsigned long long dropped)>;

// Binds the service socket with initServer (or, with options.tap, opens a
// tap that binds nothing and says so in a line on standard error), then
// prints one line per datagram, flushed at once, until options.count
// datagrams have arrived or SIGINT or SIGTERM ends it. Counts into totals,
// the kernel's drops included, and, once bound, ends with "TOOL: received N,
// accepted N, refused N, dropped N" on standard error (a tap's own line
// before it); with options.json the same totals follow the lines as one
// JSON object. With onDropped, the drops are also counted while nothing
// arrives, once a second. Returns the exit status: 0, or kExitFailure when
// the port cannot be bound or the tap cannot open (said in one line) or
// receiving, printing or after fails.
int runService(const ServiceOptions& options, Totals& totals,
               const AfterRequest& after, const OnDropped& onDropped = {});

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_SERVICELOOP_H
