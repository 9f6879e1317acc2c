// SPDX-License-Identifier: MIT
// The display services' receive loop: the service socket bound with
// initServer (or a tap, see tap.h), each datagram run through
// dmMessageParser and printed as its line (requestLines.h), and the totals;
// and the steps of it that a replay (replay.h) shares.
#ifndef ZODM_TOOLS_SERVICELOOP_H
#define ZODM_TOOLS_SERVICELOOP_H

#include <cstdint>
#include <functional>
#include <string>
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

// Called after each datagram's line is printed: with its arrival in
// microseconds since the tool started (in a replay, as recorded), with
// the accepted command or nullptr for a refused text, and with the text as
// it arrived (past a NUL, if it holds one). Returns false to stop the
// service with status kExitFailure, having said why.
using AfterRequest = std::function<bool(
    int64_t micros, const DmCommand* accepted, std::string_view text)>;

// Called once when a run that began receiving ends (the count reached, a
// signal, the end of a replay, a failure), after the "TOOL: received N, ..."
// line on standard error and before the JSON totals: endMicros is when it
// ended, in microseconds since the start (in a replay, the last request's
// time). It may finish its own state and write its closing lines to
// standard error. Returns members to add to the JSON totals object, each
// with its leading comma (",\"panel\":{...}"), or an empty text.
using OnClose = std::function<std::string(int64_t endMicros)>;

// The tool's start on the monotonic clock, in microseconds: the first call
// fixes it, so a tool that calls it first thing counts its times (the
// lines' "t", its own clocks) from its start. runService calls it too.
int64_t toolStart();

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
// arrives, once a second. A datagram's time is read from the monotonic
// clock as it is read; a tap's is the capture's own, on the wall clock,
// relative to the start on that clock (never before the one before it).
// Returns the exit status: 0, or kExitFailure when the port cannot be bound
// or the tap cannot open (said in one line) or receiving, printing, after
// or onClose's output fails.
int runService(const ServiceOptions& options, Totals& totals,
               const AfterRequest& after, const OnDropped& onDropped = {},
               const OnClose& onClose = {});

// The steps a run of requests shares, live or replayed.

// Runs text (whose byte at text.size() is a NUL) through dmMessageParser,
// counts it into totals, prints its line (requestLine), flushed at once
// with flush, then calls after. Returns 0, or kExitFailure when printing
// failed (said in one line) or after returned false.
int handleDatagram(const ServiceOptions& options, int64_t micros,
                   std::string_view text, Totals& totals,
                   const AfterRequest& after, bool flush);

// Ends a run: the totals line on standard error, then onClose, then with
// options.json the totals as one JSON object ("format" first, onClose's
// members last). Returns status, or kExitFailure when writing failed.
int closeRun(const ServiceOptions& options, const Totals& totals,
             int64_t endMicros, const OnClose& onClose, int status);

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_SERVICELOOP_H
