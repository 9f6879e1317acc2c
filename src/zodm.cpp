// SPDX-License-Identifier: MIT
// Client module: request texts and the process-wide client endpoint.
#include "zodm.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "dmLog.h"

namespace {

constexpr char kDmModule[] = "zodm";

// The one client endpoint of the process. It is published through two
// atomics and guarded by no lock, so that no call ever waits: not on another
// thread, not on a call that a signal handler interrupted on its own thread,
// and not on a thread that was cancelled or did not survive a fork.
//
// endpointSocket is -1 until the first socket is published, by one
// compare-and-swap; a call that loses that race closes its own socket and
// uses the winner's, so first requests made together share one socket. From
// then on the number never changes and is never closed: a later
// dmMessageInit installs its new socket over it with dup3, which replaces the
// open file in one step. A send on another thread meanwhile goes out on the
// old socket or on the new one, never on a number that was closed and that
// the application may already have reused for a file of its own.
//
// endpointAddress is the destination, in network byte order. It starts as
// the loopback address, so the implicit first initialisation of a request
// call only has to publish a socket and never overwrites an address that a
// concurrent dmMessageInit sets.
std::atomic<int> endpointSocket{-1};
constexpr uint32_t kLoopbackInNetworkOrder =
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 0x0100007fU : 0x7f000001U;
std::atomic<uint32_t> endpointAddress{kLoopbackInNetworkOrder};
// Lock-free atomics are what makes the calls safe in signal handlers and
// keeps them from ever waiting; there is no fallback that could. ARMv5 (the
// default of Debian armel's compiler) has no such atomics, ARMv6 has.
#if defined(__GCC_ATOMIC_INT_LOCK_FREE) && __GCC_ATOMIC_INT_LOCK_FREE < 2
#error "libzodm needs lock-free int atomics: ARMv6 or later (-march=armv6)"
#else
static_assert(std::atomic<int>::is_always_lock_free &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "libzodm needs lock-free int atomics: ARMv6 or later "
              "(-march=armv6)");
#endif

// Closes fd without a cancellation point (close() is one): a thread
// cancelled there would keep the descriptor open for good.
void closeDescriptor(int fd) { (void)syscall(SYS_close, fd); }

// True when fd is an IPv4 datagram socket, the only kind of descriptor a
// request may be sent on: from any such socket it reaches the service, and
// never a file or a stream of the application's.
bool isInetDatagramSocket(int fd) {
  int value = 0;
  socklen_t length = sizeof value;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &value, &length) != 0 ||
      value != SOCK_DGRAM)
    return false;
  length = sizeof value;
  return getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &value, &length) == 0 &&
         value == AF_INET;
}

// In the child of a fork. The kernel copies a process's descriptors before
// its memory, so a thread of the parent that published the first socket
// meanwhile leaves the child a number that it does not have open, or that
// is another file there. The child then makes its own socket on first use.
void checkEndpointAfterFork() {
  const int fd = endpointSocket.load(std::memory_order_relaxed);
  if (fd >= 0 && !isInetDatagramSocket(fd))
    endpointSocket.store(-1, std::memory_order_relaxed);
}

[[gnu::constructor]] void registerForkCheck() {
  pthread_atfork(nullptr, nullptr, checkEndpointAfterFork);
}

// The text of an errno value, from either variant of strerror_r: the GNU one
// returns the text, the POSIX one (musl, and glibc without _GNU_SOURCE)
// writes it into the buffer and returns 0.
[[maybe_unused]] const char* errorText(const char* text, const char*) {
  return text;
}
[[maybe_unused]] const char* errorText(int result, const char* buffer) {
  return result == 0 ? buffer : "unknown error";
}

// Appends "," and the decimal text of value, as printf's "%d" writes it.
char* appendField(char* at, char* end, int32_t value) {
  *at++ = ',';
  return std::to_chars(at, end, value).ptr;
}

// Writes the request text of a code 0, 1 or 3 command and its NUL into out
// (DM_FRAME_SIZE bytes); returns the text's length, or 0 for any other code.
// 74 characters is the longest text (code 1 with six values of
// -2147483648), so out always fits.
std::size_t frameRequest(const DmCommand& command, char* out) {
  char* at = out;
  char* const end = out + DM_FRAME_SIZE;
  *at++ = '!';
  switch (command.code) {
    case DM_CMD_DISPLAY:
      *at++ = '0';
      at = appendField(at, end, command.priority);
      at = appendField(at, end, command.quality);
      break;
    case DM_CMD_DISPLAY_PARTIAL:
      *at++ = '1';
      for (const int32_t value :
           {command.priority, command.quality, command.xUp, command.yUp,
            command.xDown, command.yDown})
        at = appendField(at, end, value);
      break;
    case DM_CMD_ERASE_TO_WHITE:
      *at++ = '3';
      at = appendField(at, end, command.priority);
      break;
    default:
      return 0;
  }
  *at = '\0';
  return static_cast<std::size_t>(at - out);
}

}  // namespace

namespace zodm {

// Gives the endpoint a new socket: the first one is published as it is; a
// later one replaces the published one when replace is set, and is closed
// otherwise (a request call only needs some socket). Returns 0, or -2 after
// reporting that no socket could be created. Named after the exported call,
// whose diagnostic it writes for the request calls too.
int32_t dmMessageInit(bool replace) {
  // Close-on-exec, so that programs the application starts do not inherit
  // the library's socket.
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    const int error = errno;
    std::array<char, 128> reason;
    DM_ERROR("Failed to create a datagram socket (%s).\n\n", errorText(strerror_r(error, reason.data(), reason.size()), reason.data()));
    return -2;
  }
  int published = -1;
  if (endpointSocket.compare_exchange_strong(
          published, fd, std::memory_order_acq_rel, std::memory_order_acquire))
    return 0;
  // The published number cannot be the new socket's unless it was not open
  // here; then the new socket already is the endpoint's. Should dup3 fail,
  // the published socket stays in use: it is as good a socket as the new one.
  if (fd == published) return 0;
  if (replace) (void)dup3(fd, published, O_CLOEXEC);
  closeDescriptor(fd);
  return 0;
}

}  // namespace zodm

namespace {

// Sends one request text, creating the endpoint's socket first if no call
// has yet. Fire-and-forget: a failed send loses the request and is not
// reported. errno is left as the caller had it, so that a request made from
// a signal handler does not disturb the code it interrupted.
void sendRequest(const DmCommand& command) {
  const int savedErrno = errno;
  std::array<char, DM_FRAME_SIZE> text;
  const std::size_t length = frameRequest(command, text.data());
  int fd = endpointSocket.load(std::memory_order_acquire);
  // A failed implicit initialisation drops this request; the next request
  // tries again.
  if (fd < 0 && zodm::dmMessageInit(false) == 0)
    fd = endpointSocket.load(std::memory_order_acquire);
  if (fd >= 0) {
    int32_t port = 0;
    dmGetServerPort(&port);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(port));
    server.sin_addr.s_addr = endpointAddress.load(std::memory_order_acquire);
    (void)sendto(fd, text.data(), length, 0,
                 reinterpret_cast<const sockaddr*>(&server), sizeof server);
  }
  errno = savedErrno;
}

}  // namespace

/* See documentation in header file. */
void dmMessageFramer(char* buffer, const DmCommand* command) {
  if (frameRequest(*command, buffer) == 0) {
    std::memcpy(buffer, "error", sizeof "error");
    DM_ERROR("Command Code %d not supported\n", command->code);
  }
}

/* See documentation in header file. */
int32_t dmMessageInit(const char* serverAddress) {
  in_addr address{};
  const int converted = inet_pton(AF_INET, serverAddress, &address);
  if (converted == 0) {
    DM_ERROR("%s not a presentation IP address (not in dotted decimal format).\n\n", serverAddress);
    return -1;
  }
  if (converted != 1) {
    DM_ERROR("Failed to convert to a numeric IP address.\n\n");
    return -2;
  }
  // The address changes only once the socket is in place: on failure the
  // endpoint keeps its previous address and socket.
  if (zodm::dmMessageInit(true) != 0) return -2;
  endpointAddress.store(address.s_addr, std::memory_order_release);
  return 0;
}

/* See documentation in header file. */
int32_t dmDisplay(int32_t priority, int32_t quality) {
  const DmCommand command{DM_CMD_DISPLAY, priority, quality, 0, 0, 0, 0};
  sendRequest(command);
  return 0;
}

/* See documentation in header file. */
int32_t dmDisplayPartial(int32_t priority, int32_t quality, int32_t xUp,
                         int32_t yUp, int32_t xDown, int32_t yDown) {
  const DmCommand command{
      DM_CMD_DISPLAY_PARTIAL, priority, quality, xUp, yUp, xDown, yDown};
  sendRequest(command);
  return 0;
}

/* See documentation in header file. */
int32_t dmDisplayEraseToWhite(int32_t priority) {
  const DmCommand command{DM_CMD_ERASE_TO_WHITE, priority, 0, 0, 0, 0, 0};
  sendRequest(command);
  return 0;
}

/* See documentation in header file. */
int32_t dmDump(void) {
  DM_ERROR("dmDump is not implemented.\n\n");
  return -1;
}
