// SPDX-License-Identifier: MIT
// See serviceLoop.h.
#include "serviceLoop.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#if __has_include(<linux/sock_diag.h>)
#include <linux/sock_diag.h>  // SK_MEMINFO_DROPS
#define ZODM_HAVE_SOCK_DIAG 1
#endif

#include "recording.h"
#include "requestLines.h"
#include "tap.h"

namespace zodm::tools {

namespace {

// A UDP payload is at most 65,535 bytes; one more holds the NUL.
constexpr std::size_t kMaxDatagram = 65535;

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void requestStop(int) { stopRequested = 1; }

// Reads the kernel's count of the datagrams dropped on socket fd into
// count: through SO_MEMINFO (Linux 4.6 and later), else from /proc/net/udp,
// which names the socket by its inode (qemu-user emulates neither
// SO_MEMINFO nor SO_RXQ_OVFL). False when neither says.
bool kernelDrops(int fd, uint32_t& count) {
#if defined(SO_MEMINFO) && defined(ZODM_HAVE_SOCK_DIAG)
  uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof info;
  if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &length) == 0 &&
      length > SK_MEMINFO_DROPS * sizeof info[0]) {
    count = info[SK_MEMINFO_DROPS];
    return true;
  }
#endif
  struct stat socket {};
  if (fstat(fd, &socket) != 0) return false;
  std::FILE* table = std::fopen("/proc/net/udp", "re");
  if (table == nullptr) return false;
  bool found = false;
  // "sl local rem st tx:rx tr:when retrnsmt uid timeout inode ref pointer
  // drops", after a line of headings.
  char line[512];
  while (!found && std::fgets(line, sizeof line, table) != nullptr) {
    unsigned long long inode = 0;
    unsigned long drops = 0;
    found = std::sscanf(line,
                        "%*s %*s %*s %*s %*s %*s %*s %*s %*s %llu %*s "
                        "%*s %lu",
                        &inode, &drops) == 2 &&
            inode == socket.st_ino;
    if (found) count = static_cast<uint32_t>(drops);
  }
  std::fclose(table);
  return found;
}

// The service socket, bound by initServer. The kernel counts the datagrams
// it had to drop because the socket's queue was full; with SO_RXQ_OVFL each
// datagram carries that count as it stood when the datagram was queued.
class BoundSocket final : public DatagramSource {
 public:
  BoundSocket(const char* tool, int fd) : tool_(tool), fd_(fd) {
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
  }
  BoundSocket(const BoundSocket&) = delete;
  BoundSocket& operator=(const BoundSocket&) = delete;
  ~BoundSocket() override { close(fd_); }

  int fd() const override { return fd_; }

  long next(std::vector<char>& buffer) override {
    iovec payload{buffer.data(), buffer.size() - 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
    msghdr message{};
    message.msg_iov = &payload;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t length = recvmsg(fd_, &message, MSG_DONTWAIT);
    if (length < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return kNone;
      std::fprintf(stderr, "%s: receiving failed: %s\n", tool_,
                   std::strerror(errno));
      return kFailed;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
         c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_RXQ_OVFL ||
          c->cmsg_len < CMSG_LEN(sizeof(uint32_t)))
        continue;
      uint32_t count = 0;
      std::memcpy(&count, CMSG_DATA(c), sizeof count);
      drops_.see(count);
    }
    // The client sends no NUL; the parser needs one.
    buffer[static_cast<std::size_t>(length)] = '\0';
    return static_cast<long>(length);
  }

  unsigned long long dropped(bool fresh) override {
    // The count now: it also holds the drops after the last datagram read,
    // which no datagram carried yet.
    uint32_t count = 0;
    if (fresh && kernelDrops(fd_, count)) drops_.see(count);
    return drops_.total;
  }

 private:
  // The kernel's count is 32 bits wide and wraps; the total does not.
  struct Drops {
    uint32_t last = 0;
    unsigned long long total = 0;
    void see(uint32_t count) {
      total += static_cast<uint32_t>(count - last);
      last = count;
    }
  };

  const char* tool_;
  int fd_;
  Drops drops_;
};

// Sets the socket's receive buffer to bytes: beyond net.core.rmem_max where
// the process may (SO_RCVBUFFORCE, with CAP_NET_ADMIN), else up to it; says
// in one line when the kernel gave less.
void setReceiveBuffer(const char* tool, int fd, int bytes) {
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  int kept = 0;
  socklen_t length = sizeof kept;
  // The kernel keeps twice what it was given, for its own bookkeeping.
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kept, &length) == 0 &&
      kept / 2 < bytes)
    std::fprintf(stderr,
                 "%s: --buffer: the kernel gave %d of the %d bytes asked "
                 "for (net.core.rmem_max; more needs CAP_NET_ADMIN)\n",
                 tool, kept / 2, bytes);
}

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
  if (options.buffer > 0) setReceiveBuffer(options.tool, fd, options.buffer);
  return std::make_unique<BoundSocket>(options.tool, fd);
}

// A clock's reading in microseconds.
int64_t microsOf(const timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1000000 + time.tv_nsec / 1000;
}

int64_t now(clockid_t clock) {
  timespec time{};
  clock_gettime(clock, &time);
  return microsOf(time);
}

}  // namespace

int64_t toolStart() {
  static const int64_t start = now(CLOCK_MONOTONIC);
  return start;
}

namespace {

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

}  // namespace

int runService(const ServiceOptions& options, Totals& totals,
               const AfterRequest& after, const OnDropped& onDropped,
               const OnClose& onClose) {
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
      options.tap.empty()
          ? bindPort(options)
          : openTap(options.tool, options.tap, DM_SERVER_PORT, options.buffer);
#else
  // serviceOption refuses --tap in a build without libpcap.
  std::unique_ptr<DatagramSource> source = bindPort(options);
#endif
  if (!source) return kExitFailure;

  totals.bound = true;
  // Times count from the tool's start; a capture's wall-clock stamps from
  // the same moment on the wall clock.
  const int64_t startMonotonic = toolStart();
  const int64_t startRealtime =
      now(CLOCK_REALTIME) - (now(CLOCK_MONOTONIC) - startMonotonic);
  int64_t lastMicros = 0;
  // Takes the source's count of drops into totals, telling onDropped when it
  // grew.
  const auto countDrops = [&](bool fresh) {
    const unsigned long long dropped = source->dropped(fresh);
    if (dropped == totals.dropped) return;
    totals.dropped = dropped;
    if (onDropped) onDropped(dropped);
  };
  const timespec* waitLimit =
      onDropped ? shorter(source->waitLimit(), &kDropsInterval)
                : source->waitLimit();
  std::vector<char> buffer(kMaxDatagram + 1);
  int status = 0;
  while (stopRequested == 0 &&
         (options.count == 0 || totals.received < options.count)) {
    pollfd ready{source->fd(), POLLIN, 0};
    const int waited = ppoll(&ready, 1, waitLimit, &waitMask);
    if (waited < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "%s: waiting failed: %s\n", options.tool,
                   std::strerror(errno));
      status = kExitFailure;
      break;
    }
    if (waited == 0 && onDropped) countDrops(true);
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
    // The time it arrived: the capture's own, or read now.
    int64_t micros = now(CLOCK_MONOTONIC) - startMonotonic;
    timespec captured{};
    if (source->capturedAt(captured))
      micros = std::max(microsOf(captured) - startRealtime, lastMicros);
    lastMicros = micros;
    countDrops(false);
    status = handleDatagram(options, micros, text, totals, after, true);
    if (status != 0) break;
  }
  countDrops(true);
  source->report();
  source.reset();
  return closeRun(options, totals, now(CLOCK_MONOTONIC) - startMonotonic,
                  onClose, status);
}

int handleDatagram(const ServiceOptions& options, int64_t micros,
                   std::string_view text, Totals& totals,
                   const AfterRequest& after, bool flush) {
  ++totals.received;
  DmCommand command{};
  const bool isAccepted = dmMessageParser(text.data(), &command) == 0;
  if (isAccepted)
    ++totals.accepted;
  else
    ++totals.refused;
  std::string line =
      requestLine(micros, isAccepted ? &command : nullptr, text, options.json);
  line += '\n';
  // Flushed per line, so a pipe sees each request as it arrives.
  if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() ||
      (flush && std::fflush(stdout) != 0)) {
    std::fprintf(stderr, "%s: cannot write output: %s\n", options.tool,
                 std::strerror(errno));
    return kExitFailure;
  }
  if (after && !after(micros, isAccepted ? &command : nullptr, text))
    return kExitFailure;
  return 0;
}

int closeRun(const ServiceOptions& options, const Totals& totals,
             int64_t endMicros, const OnClose& onClose, int status) {
  std::fprintf(stderr,
               "%s: received %llu, accepted %llu, refused %llu, dropped %llu\n",
               options.tool, totals.received, totals.accepted, totals.refused,
               totals.dropped);
  const std::string members = onClose ? onClose(endMicros) : std::string();
  // With --json the same totals end the output, as one more object, which
  // also names the recording's format.
  bool written = true;
  if (options.json) {
    std::string line = "{\"format\":";
    appendDecimal(line, kRecordingFormat);
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

}  // namespace zodm::tools
