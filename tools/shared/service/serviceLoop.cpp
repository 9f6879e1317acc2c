// SPDX-License-Identifier: MIT
// See serviceLoop.h.
#include "serviceLoop.h"

#include <poll.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "clock.h"
#include "text.h"

namespace zodm::tools {

namespace {

volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t hangupRequested = 0;

extern "C" void requestStop(int) { stopRequested = 1; }
extern "C" void requestHangup(int) { hangupRequested = 1; }

// How often a loop that reports its drops as they happen asks the kernel
// afresh while nothing arrives.
constexpr timespec kDropsInterval{1, 0};

// The shorter of two wait limits; nullptr for none.
const timespec* shorter(const timespec* a, const timespec* b) {
  if (a == nullptr) return b;
  if (b == nullptr) return a;
  return a->tv_sec < b->tv_sec ||
                 (a->tv_sec == b->tv_sec && a->tv_nsec < b->tv_nsec)
             ? a
             : b;
}

// Takes SIGINT and SIGTERM (and SIGHUP, when wanted) into the flags above,
// blocked until the source is open, so that none arrives before it can be
// taken. Returns the mask that was in place.
sigset_t catchSignals(bool hangup) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  if (hangup) sigaddset(&signals, SIGHUP);
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &signals, &previous);
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = requestStop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  if (hangup) {
    action.sa_handler = requestHangup;
    sigaction(SIGHUP, &action, nullptr);
  }
  // A closed output pipe is reported as a write error, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  return previous;
}

// Prints received's line with the tool's members, flushed with flush; false
// when it cannot, said in one line.
bool printLine(const ServiceOptions& options, const Received& received,
               std::string_view members, bool flush) {
  std::string line = requestLine(received, options.json, members);
  line += '\n';
  // Flushed per line, so a pipe sees each request as it arrives.
  if (std::fwrite(line.data(), 1, line.size(), stdout) == line.size() &&
      (!flush || std::fflush(stdout) == 0))
    return true;
  std::fprintf(stderr, "%s: cannot write output: %s\n", options.tool,
               std::strerror(errno));
  return false;
}

// Runs one datagram through dmMessageParser, counts it, hands its line to
// hooks.output or prints it (flushed with flush) and hands it to
// afterRequest. Returns 0, or kExitFailure when printing failed (said in
// one line) or afterRequest returned false.
int handle(const ServiceOptions& options, const Datagram& datagram,
           Totals& totals, const ServiceHooks& hooks, bool flush) {
  ++totals.received;
  Received received{datagram.micros, datagram.text, std::nullopt,
                    datagram.members};
  DmCommand command{};
  if (dmMessageParser(datagram.text.data(), &command) == 0) {
    received.accepted = command;
    ++totals.accepted;
  } else {
    ++totals.refused;
  }
  const std::string members =
      hooks.beforeLine ? hooks.beforeLine(received) : std::string();
  if (hooks.output != nullptr && options.json) {
    if (!hooks.output->take(received, members)) return kExitFailure;
  } else if (!printLine(options, received, members, flush)) {
    return kExitFailure;
  }
  if (hooks.afterRequest && !hooks.afterRequest(received)) return kExitFailure;
  return 0;
}

// Ends a run: the totals line on standard error, then onClose, then with
// options.json the totals as one JSON object ("format" first, onClose's
// members last). hooks.output finishes first. Returns status, or kExitFailure
// when writing failed.
int closeRun(const ServiceOptions& options, const Totals& totals,
             int64_t endMicros, const ServiceHooks& hooks, int status) {
  // The lines still on their way come before the totals.
  if (hooks.output != nullptr && !hooks.output->finish() && status == 0)
    status = kExitFailure;
  std::fprintf(stderr,
               "%s: received %llu, accepted %llu, refused %llu, dropped %llu\n",
               options.tool, totals.received, totals.accepted, totals.refused,
               totals.dropped);
  const std::string members =
      hooks.onClose ? hooks.onClose(endMicros) : std::string();
  // With --json the same totals end the output, as one more object, which
  // also names the recording's format.
  bool written = true;
  if (options.json) {
    std::string line = "{\"format\":";
    appendDecimal(line, options.recordingFormat);
    line += ",\"received\":";
    appendDecimal(line, totals.received);
    line += ",\"accepted\":";
    appendDecimal(line, totals.accepted);
    line += ",\"refused\":";
    appendDecimal(line, totals.refused);
    line += ",\"dropped\":";
    appendDecimal(line, totals.dropped);
    line += members;
    line += "}\n";
    written = std::fwrite(line.data(), 1, line.size(), stdout) == line.size();
  }
  if ((!written || std::fflush(stdout) != 0) && status == 0) {
    std::fprintf(stderr, "%s: cannot write output: %s\n", options.tool,
                 std::strerror(errno));
    status = kExitFailure;
  }
  return status;
}

// What a wait for the source's descriptor ended with.
enum class Wait { kReady, kTimedOut, kInterrupted, kFailed };

// Waits until source has something to read, a signal or the wait limit,
// having said why when waiting failed.
Wait await(const ServiceOptions& options, const DatagramSource& source,
           const timespec* limit, const sigset_t& mask, short& revents) {
  pollfd ready{source.fd(), POLLIN, 0};
  const int waited = ppoll(&ready, 1, limit, &mask);
  revents = ready.revents;
  if (waited > 0) return Wait::kReady;
  if (waited == 0) return Wait::kTimedOut;
  if (errno == EINTR) return Wait::kInterrupted;
  std::fprintf(stderr, "%s: waiting failed: %s\n", options.tool,
               std::strerror(errno));
  return Wait::kFailed;
}

// The loop over an open source. For a source that is waited on, the stop
// signals stay blocked except inside ppoll, so a signal either interrupts
// the wait or is already pending when the wait begins: none is lost
// between checking the flag and waiting. A recording's loop takes them
// between datagrams.
int receive(const ServiceOptions& options, DatagramSource& source,
            const ServiceHooks& hooks, Totals& totals, sigset_t waitMask) {
  const bool waited = source.fd() >= 0;
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGHUP);
  if (!waited) sigprocmask(SIG_SETMASK, &waitMask, nullptr);
  // Takes the source's count of drops into totals, telling onDropped when it
  // grew.
  const auto countDrops = [&](bool fresh) {
    const unsigned long long dropped = source.dropped(fresh);
    if (dropped == totals.dropped) return;
    totals.dropped = dropped;
    if (hooks.onDropped) hooks.onDropped(dropped);
  };
  const timespec* waitLimit = hooks.onDropped
                                  ? shorter(source.waitLimit(), &kDropsInterval)
                                  : source.waitLimit();
  int64_t last = 0;
  int status = 0;
  while (stopRequested == 0 &&
         (options.count == 0 || totals.received < options.count)) {
    if (hangupRequested != 0) {
      hangupRequested = 0;
      hooks.onHangup();
    }
    short revents = 0;
    if (waited) {
      const Wait wait = await(options, source, waitLimit, waitMask, revents);
      if (wait == Wait::kInterrupted) continue;
      if (wait == Wait::kFailed) {
        status = kExitFailure;
        break;
      }
      if (wait == Wait::kTimedOut && hooks.onDropped) countDrops(true);
    }
    Datagram datagram;
    const DatagramSource::Next next = source.next(datagram);
    if (next == DatagramSource::Next::kNone) {
      // Nothing to read although the descriptor reports an error or a hang
      // up: waiting again would return at once, for ever.
      if ((revents & (POLLERR | POLLHUP | POLLNVAL)) == 0) continue;
      std::fprintf(stderr,
                   "%s: receiving failed: the descriptor reports an "
                   "error\n",
                   options.tool);
      status = kExitFailure;
      break;
    }
    if (next != DatagramSource::Next::kDatagram) {
      if (next == DatagramSource::Next::kFailed) status = kExitFailure;
      break;
    }
    last = datagram.micros;
    countDrops(false);
    status = handle(options, datagram, totals, hooks, source.live());
    if (status != 0) break;
  }
  countDrops(true);
  source.close();
  return closeRun(options, totals, source.live() ? microsSinceStart() : last,
                  hooks, status);
}

}  // namespace

int runService(const ServiceOptions& options, const SourceOpener& open,
               const ServiceHooks& hooks, Totals& totals) {
  const sigset_t previous = catchSignals(bool(hooks.onHangup));
  const std::unique_ptr<DatagramSource> source = open();
  if (!source) return kExitFailure;
  return receive(options, *source, hooks, totals, previous);
}

}  // namespace zodm::tools
