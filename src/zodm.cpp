// Client module: request texts and the process-wide client endpoint.
#include "zodm.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <span>

#include "dmLog.h"

namespace {

constexpr char kDmModule[] = "zodm";

// The one client endpoint of the process. Request calls send under the read
// lock; dmMessageInit swaps socket and address under the write lock, so no
// send ever uses a descriptor that another thread has closed. Writers are
// preferred so that a steady stream of requests cannot starve dmMessageInit.
struct Endpoint {
  pthread_rwlock_t lock = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
  int socket = -1;
  bool initialised = false;
  sockaddr_in server{};
};

Endpoint endpoint;

// Holds the endpoint's lock for a scope, shared (Acquire = rdlock) or
// exclusive (Acquire = wrlock).
template <int (*Acquire)(pthread_rwlock_t*)>
class EndpointLock {
 public:
  EndpointLock() { Acquire(&endpoint.lock); }
  ~EndpointLock() { pthread_rwlock_unlock(&endpoint.lock); }
  EndpointLock(const EndpointLock&) = delete;
  EndpointLock& operator=(const EndpointLock&) = delete;
};
using ReadLock = EndpointLock<pthread_rwlock_rdlock>;
using WriteLock = EndpointLock<pthread_rwlock_wrlock>;

enum class InitMode { Always, IfUninitialised };

// Appends "," and the decimal text of value, as printf's "%d" writes it.
char* appendField(char* at, char* end, int32_t value) {
  *at++ = ',';
  return std::to_chars(at, end, value).ptr;
}

// Writes the request text of a code 0, 1 or 3 command and its NUL into out;
// returns the text's length, or 0 for any other code. 74 characters is the
// longest text (code 1 with six values of -2147483648), so out always fits.
std::size_t frameRequest(const DmCommand& command,
                         std::span<char, DM_FRAME_SIZE> out) {
  char* at = out.data();
  char* const end = out.data() + out.size();
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
  return static_cast<std::size_t>(at - out.data());
}

}  // namespace

namespace zodm {

// Does the work of dmMessageInit. Request calls use IfUninitialised, so that
// threads making their first request together create exactly one socket.
// (Same name as the exported call, so its diagnostics name dmMessageInit.)
int32_t dmMessageInit(const char* serverAddress, InitMode mode) {
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
  int32_t port = 0;
  dmGetServerPort(&port);

  // The socket is created and swapped in under the write lock; the old one is
  // closed, and any failure reported, once the lock is released.
  int replaced = -1;
  int error = 0;
  {
    WriteLock guard;
    if (mode == InitMode::IfUninitialised && endpoint.initialised) return 0;
    // Close-on-exec, so that programs the application starts do not inherit
    // the library's socket.
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      error = errno;
    } else {
      replaced = endpoint.initialised ? endpoint.socket : -1;
      endpoint.socket = fd;
      endpoint.server = sockaddr_in{};
      endpoint.server.sin_family = AF_INET;
      endpoint.server.sin_port = htons(static_cast<uint16_t>(port));
      endpoint.server.sin_addr = address;
      endpoint.initialised = true;
    }
  }
  if (error != 0) {
    std::array<char, 128> reason;
    DM_ERROR("Failed to create a datagram socket (%s).\n\n", strerror_r(error, reason.data(), reason.size()));
    return -2;
  }
  // No send can still be using the old descriptor: sends hold the read lock,
  // which the swap above waited for.
  if (replaced >= 0) close(replaced);
  return 0;
}

}  // namespace zodm

namespace {

// Sends one request text, initialising the endpoint for the loopback address
// first if no dmMessageInit has succeeded yet. Failures lose the request.
void sendRequest(const DmCommand& command) {
  std::array<char, DM_FRAME_SIZE> text;
  const std::size_t length = frameRequest(command, text);
  for (int attempt = 0; attempt < 2; ++attempt) {
    {
      ReadLock guard;
      if (endpoint.initialised) {
        // Fire-and-forget: a failed send loses the request and is not
        // reported; the caller gets 0 all the same.
        (void)sendto(endpoint.socket, text.data(), length, 0,
                     reinterpret_cast<const sockaddr*>(&endpoint.server),
                     sizeof endpoint.server);
        return;
      }
    }
    // A failed implicit initialisation drops this request; the next request
    // tries again.
    if (zodm::dmMessageInit(DM_DEFAULT_SERVER, InitMode::IfUninitialised) != 0)
      return;
  }
}

}  // namespace

/* See documentation in header file. */
void dmMessageFramer(char* buffer, const DmCommand* command) {
  std::span<char, DM_FRAME_SIZE> out(buffer, DM_FRAME_SIZE);
  if (frameRequest(*command, out) == 0) {
    std::memcpy(buffer, "error", sizeof "error");
    DM_ERROR("Command Code %d not supported\n", command->code);
  }
}

/* See documentation in header file. */
int32_t dmMessageInit(const char* serverAddress) {
  return zodm::dmMessageInit(serverAddress, InitMode::Always);
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
