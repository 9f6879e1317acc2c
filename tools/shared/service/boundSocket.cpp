// SPDX-License-Identifier: MIT
// See boundSocket.h.
#include "boundSocket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#if __has_include(<linux/sock_diag.h>)
#include <linux/sock_diag.h>  // SK_MEMINFO_DROPS
#define ZODM_HAVE_SOCK_DIAG 1
#endif

#include "clock.h"
#include "zodm.h"

namespace zodm::tools {

namespace {

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
  ~BoundSocket() override { close(); }

  int fd() const override { return fd_; }

  void close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  Next next(Datagram& datagram) override {
    iovec payload{buffer_.data(), buffer_.size() - 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
    msghdr message{};
    message.msg_iov = &payload;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t length = recvmsg(fd_, &message, MSG_DONTWAIT);
    if (length < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return Next::kNone;
      std::fprintf(stderr, "%s: receiving failed: %s\n", tool_,
                   std::strerror(errno));
      return Next::kFailed;
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
    buffer_[static_cast<std::size_t>(length)] = '\0';
    datagram.micros = microsSinceStart();
    datagram.text = {buffer_.data(), static_cast<std::size_t>(length)};
    return Next::kDatagram;
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
  // A UDP payload is at most 65,535 bytes; one more holds the NUL.
  std::vector<char> buffer_ = std::vector<char>(65536);
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

}  // namespace

std::unique_ptr<DatagramSource> bindPort(const ServiceOptions& options) {
  int32_t fd = -1;
  if (initServer(&fd, options.all ? 0 : 1) != 0) {
    const int error = errno;  // initServer leaves bind's errno in place
    if (fd >= 0) ::close(fd);
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

}  // namespace zodm::tools
