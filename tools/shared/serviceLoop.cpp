// See serviceLoop.h.
#include "serviceLoop.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "requestLines.h"
#include "tap.h"

namespace zodm::tools {

namespace {

// A UDP payload is at most 65,535 bytes; one more holds the NUL.
constexpr std::size_t kMaxDatagram = 65535;

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void requestStop(int) { stopRequested = 1; }

// The service socket, bound by initServer.
class BoundSocket final : public DatagramSource {
 public:
  BoundSocket(const char* tool, int fd) : tool_(tool), fd_(fd) {}
  BoundSocket(const BoundSocket&) = delete;
  BoundSocket& operator=(const BoundSocket&) = delete;
  ~BoundSocket() override { close(fd_); }

  int fd() const override { return fd_; }

  long next(std::vector<char>& buffer) override {
    const ssize_t length =
        recv(fd_, buffer.data(), buffer.size() - 1, MSG_DONTWAIT);
    if (length < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return kNone;
      std::fprintf(stderr, "%s: receiving failed: %s\n", tool_,
                   std::strerror(errno));
      return kFailed;
    }
    // The client sends no NUL; the parser needs one.
    buffer[static_cast<std::size_t>(length)] = '\0';
    return static_cast<long>(length);
  }

 private:
  const char* tool_;
  int fd_;
};

// Binds the service socket; nullptr when it cannot, having said why.
std::unique_ptr<DatagramSource> bindPort(const ServiceOptions& options) {
  int32_t fd = -1;
  if (initServer(&fd, options.all ? 0 : 1) != 0) {
    const int error = errno;  // initServer leaves bind's errno in place
    if (fd >= 0) close(fd);
    if (error == EADDRINUSE)
      std::fprintf(stderr,
                   "%s: port %d is already in use (is another "
                   "display service running?)\n",
                   options.tool, DM_SERVER_PORT);
    else
      std::fprintf(stderr, "%s: cannot bind port %d: %s\n", options.tool,
                   DM_SERVER_PORT, std::strerror(error));
    return nullptr;
  }
  return std::make_unique<BoundSocket>(options.tool, fd);
}

}  // namespace

int runService(const ServiceOptions& options, Totals& totals,
               const AfterRequest& after) {
  // SIGINT and SIGTERM stay blocked except inside ppoll, so a signal either
  // interrupts the wait or is already pending when the wait begins: none is
  // lost between checking the flag and waiting.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigset_t waitMask;
  sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGTERM);
  struct sigaction stop {};
  stop.sa_handler = requestStop;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  // A closed output pipe is reported as a write error, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);

#ifdef ZODM_HAVE_PCAP
  std::unique_ptr<DatagramSource> source =
      options.tap.empty() ? bindPort(options)
                          : openTap(options.tool, options.tap, DM_SERVER_PORT);
#else
  // serviceOption refuses --tap in a build without libpcap.
  std::unique_ptr<DatagramSource> source = bindPort(options);
#endif
  if (!source) return kExitFailure;

  totals.bound = true;
  std::vector<char> buffer(kMaxDatagram + 1);
  int status = 0;
  while (stopRequested == 0 &&
         (options.count == 0 || totals.received < options.count)) {
    pollfd ready{source->fd(), POLLIN, 0};
    if (ppoll(&ready, 1, source->waitLimit(), &waitMask) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "%s: waiting failed: %s\n", options.tool,
                   std::strerror(errno));
      status = kExitFailure;
      break;
    }
    const long length = source->next(buffer);
    if (length == DatagramSource::kNone) {
      // Nothing to read although the descriptor reports an error or a hang
      // up: waiting again would return at once, for ever.
      if ((ready.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0) continue;
      std::fprintf(stderr,
                   "%s: receiving failed: the descriptor reports an "
                   "error\n",
                   options.tool);
      status = kExitFailure;
      break;
    }
    if (length == DatagramSource::kFailed) {
      status = kExitFailure;
      break;
    }
    const std::string_view text{buffer.data(),
                                static_cast<std::size_t>(length)};
    ++totals.received;
    DmCommand command{};
    const bool isAccepted = dmMessageParser(buffer.data(), &command) == 0;
    std::string line;
    if (isAccepted) {
      ++totals.accepted;
      line = describe(command, options.json);
    } else {
      ++totals.refused;
      line = describeRefused(text, options.json);
    }
    line += '\n';
    // Flushed per line, so a pipe sees each request as it arrives.
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() ||
        std::fflush(stdout) != 0) {
      std::fprintf(stderr, "%s: cannot write output: %s\n", options.tool,
                   std::strerror(errno));
      status = kExitFailure;
      break;
    }
    if (after && !after(isAccepted ? &command : nullptr, text)) {
      status = kExitFailure;
      break;
    }
  }
  source->report();
  source.reset();
  std::fprintf(stderr, "%s: received %llu, accepted %llu, refused %llu\n",
               options.tool, totals.received, totals.accepted, totals.refused);
  return status;
}

}  // namespace zodm::tools
