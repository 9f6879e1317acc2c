// SPDX-License-Identifier: MIT
// The display services' one receive loop: each datagram of a source (the
// bound socket, a tap, a recording) run through dmMessageParser, printed as
// its line (requestLines.h) and handed to the tool's hooks, and the totals.
#ifndef ZODM_TOOLS_SERVICELOOP_H
#define ZODM_TOOLS_SERVICELOOP_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "datagramSource.h"
#include "requestLines.h"
#include "serviceOptions.h"

namespace zodm::tools {

struct Totals {
  unsigned long long received = 0;
  unsigned long long accepted = 0;
  unsigned long long refused = 0;
  // Datagrams the kernel dropped before they could be read (the socket's
  // queue, or a tap's capture buffer, was full).
  unsigned long long dropped = 0;
};

// Where the lines go when the loop does not print them itself: a recorder
// that adds to each line what it reads meanwhile (the pixels of a refresh)
// and prints the lines in order, off the loop, so that the loop never waits
// for it.
class LineOutput {
 public:
  virtual ~LineOutput() = default;
  // Takes the line of a datagram to print, after the lines taken before,
  // with the tool's members at its end (ServiceHooks::beforeLine's);
  // received's text and members are valid during the call only. False once
  // printing has failed, having said why in one line.
  virtual bool take(const Received& received, std::string_view members) = 0;
  // Takes a line of the tool's own (a whole line, with its newline), to
  // print after the lines taken before; may be called from another thread.
  virtual bool add(std::string line) = 0;
  // Prints every line taken, flushed, before the run's totals. False when
  // printing failed, having said why in one line.
  virtual bool finish() = 0;
};

// What a tool plugs into the loop; each hook may be left empty.
struct ServiceHooks {
  // Before each datagram's line is printed, once it is parsed: returns
  // members to add to its JSON line, each with its leading comma
  // (",\"refresh\":3"), or an empty text (requestLine's members).
  std::function<std::string(const Received& received)> beforeLine;
  // After each datagram's line is printed. Returns false to stop the
  // service with status kExitFailure, having said why.
  std::function<bool(const Received& received)> afterRequest;
  // With the new count whenever the kernel's count of dropped datagrams
  // grew; while nothing arrives the count is asked anew once a second.
  std::function<void(unsigned long long dropped)> onDropped;
  // SIGHUP arrived: called from the loop, between datagrams. Without it
  // SIGHUP keeps its default action.
  std::function<void()> onHangup;
  // Once, when a run whose source opened ends (the count reached, a signal,
  // the end of a recording, a failure), after the "TOOL: received N, ..." line
  // on standard error and before the JSON totals: endMicros is when it ended (a
  // recording's: the last datagram's time). It may finish its own state and
  // write its closing lines to standard error. Returns members to add to the
  // JSON totals object, each with its leading comma
  // (",\"panel\":{...}"), or an empty text.
  std::function<std::string(int64_t endMicros)> onClose;
  // With options.json: takes each line instead of the loop printing it.
  // It must outlive the run.
  LineOutput* output = nullptr;
};

// What opens a run's source: nullptr when it cannot, having said why in
// one line.
using SourceOpener = std::function<std::unique_ptr<DatagramSource>()>;

// Takes SIGINT and SIGTERM (and SIGHUP with onHangup), then opens the
// source, so that no stop signal is missed once the source is there (a
// script may signal as soon as the port is bound). Then prints one line per
// datagram, flushed at once when the source is live, until options.count
// datagrams have arrived, the source ends, or SIGINT or SIGTERM ends it.
// Counts into totals, the kernel's drops included, and ends with "TOOL:
// received N, accepted N, refused N, dropped N" on standard error (the
// source's own line before it, and hooks.output's lines finished first);
// with options.json the same totals follow the lines as one JSON object,
// with options.recordingFormat. Returns the exit status: 0, or kExitFailure
// when the source cannot be opened (and then nothing ends the run, onClose
// is not called), or receiving, printing, afterRequest or onClose's output
// fails.
int runService(const ServiceOptions& options, const SourceOpener& open,
               const ServiceHooks& hooks, Totals& totals);

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_SERVICELOOP_H
