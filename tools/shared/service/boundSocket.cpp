// SPDX-License-Identifier: MIT
// See boundSocket.h.
#include "boundSocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
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

// What the library's initServer writes on standard error when binding
// fails: perror's line, which the tool's own one line replaces.
constexpr char kBindError[] = "Error invoking bind: ";

// Reads what is there on fd, a pipe that nothing writes to any more.
std::string drain(int fd) {
  std::string text;
  char chunk[4096];
  for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) > 0;)
    text.append(chunk, static_cast<std::size_t>(got));
  return text;
}

// text without its lines that start with prefix.
std::string withoutLines(const std::string& text, const char* prefix) {
  std::string kept;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    if (text.compare(at, std::strlen(prefix), prefix) != 0)
      kept.append(text, at, end - at);
    at = end;
  }
  return kept;
}

// initServer, with what it writes on standard error caught in a pipe and
// then passed on, but for perror's line when binding fails: the caller says
// that in its own line. Everything else (its line that it bound, whatever
// another thread writes meanwhile) reaches standard error as written, just
// after the call. Where no pipe can be had, initServer writes as it does.
int32_t initServerQuietly(int32_t* fd, int32_t loopbackOnly) {
  int pipeFds[2];
  std::fflush(stderr);
  if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
    return initServer(fd, loopbackOnly);
  const int saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (saved < 0 || dup2(pipeFds[1], STDERR_FILENO) < 0) {
    if (saved >= 0) ::close(saved);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return initServer(fd, loopbackOnly);
  }
  ::close(pipeFds[1]);
  const int32_t result = initServer(fd, loopbackOnly);
  const int error = errno;
  std::fflush(stderr);
  dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::string said = drain(pipeFds[0]);
  ::close(pipeFds[0]);
  if (result != 0) said = withoutLines(said, kBindError);
  std::fwrite(said.data(), 1, said.size(), stderr);
  errno = error;
  return result;
}

}  // namespace

std::unique_ptr<DatagramSource> bindPort(const ServiceOptions& options) {
  int32_t fd = -1;
  if (initServerQuietly(&fd, options.all ? 0 : 1) != 0) {
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
