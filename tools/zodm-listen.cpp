// zodm-listen: a display service for debugging. Binds the service socket with
// the library, runs every received request through dmMessageParser and prints
// one line per datagram: what was accepted, or the refused text.
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "zodm.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// A UDP payload is at most 65,535 bytes; one more holds the NUL.
constexpr std::size_t kMaxDatagram = 65535;

constexpr char kUsage[] = "Usage: zodm-listen [OPTION]...\n";

constexpr char kHelp[] =
    "Receives display-update requests on UDP port 50555 and prints one line\n"
    "per datagram, as soon as it arrives:\n"
    "  display priority=1 quality=2\n"
    "  partial priority=2 quality=1 rect=(0,0)-(100,200)\n"
    "  erase priority=3\n"
    "  dump argument=7\n"
    "  refused \"!0,7,9\"\n"
    "A refused text shows quotes and backslashes as \\\" and \\\\, and other\n"
    "bytes outside 0x20..0x7e as \\n, \\r, \\t or \\xHH. The library's own\n"
    "diagnostics go to standard error (and syslog).\n"
    "\n"
    "Options:\n"
    "  -a, --all        listen on every IPv4 address, not only 127.0.0.1\n"
    "  -j, --json       print one JSON object per line instead:\n"
    "                   "
    "{\"accepted\":true,\"request\":\"display\",\"priority\":1,"
    "\"quality\":2}\n"
    "                   {\"accepted\":false,\"text\":\"!0,7,9\"}\n"
    "                   (bytes above 0x7e become \\u0080..\\u00ff)\n"
    "  -c, --count=N    exit after N datagrams\n"
    "  -h, --help       show this help and exit\n"
    "      --version    show the version and exit\n"
    "\n"
    "SIGINT and SIGTERM end it. On exit it prints how many datagrams it\n"
    "received, accepted and refused to standard error. Exit status 0; 1 when\n"
    "the port cannot be bound (another service holds it) or output fails;\n"
    "2 for bad arguments.\n"
    "\n"
    "Example:\n"
    "  zodm-listen --count 1 & zodm-send display 1 2\n";

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void requestStop(int) { stopRequested = 1; }

int usageError(const std::string& problem) {
  std::fprintf(stderr,
               "zodm-listen: %s\n%sTry 'zodm-listen --help' for more.\n",
               problem.c_str(), kUsage);
  return kExitUsage;
}

// Appends the decimal text of value.
void append(std::string& out, long long value) {
  std::array<char, 24> digits;
  out.append(
      digits.data(),
      std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr);
}

void appendHex(std::string& out, std::string_view prefix, unsigned char byte) {
  constexpr char kHex[] = "0123456789abcdef";
  out += prefix;
  out += kHex[byte >> 4];
  out += kHex[byte & 0xf];
}

// Appends bytes between quotes, with '"', '\\' and every byte outside
// 0x20..0x7e escaped, so a line shows exactly what arrived and stays one
// line. Other bytes get hexPrefix and two hex digits: \x for the text form;
// \u00 for JSON, one code point per byte, since a datagram need not be valid
// UTF-8. Both forms stay ASCII.
void appendQuoted(std::string& out, std::string_view bytes,
                  std::string_view hexPrefix) {
  out += '"';
  for (const char ch : bytes) {
    const auto byte = static_cast<unsigned char>(ch);
    switch (ch) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte > 0x7e)
          appendHex(out, hexPrefix, byte);
        else
          out += ch;
    }
  }
  out += '"';
}

// One named value of an accepted request, for both output forms.
struct Field {
  const char* name;
  int32_t value;
};

// Describes an accepted request as "name key=value ..." or as JSON.
std::string describe(const DmCommand& c, bool json) {
  const char* name = "";
  std::array<Field, 6> fields{};
  std::size_t count = 0;
  switch (c.code) {
    case DM_CMD_DISPLAY:
      name = "display";
      fields = {{{"priority", c.priority}, {"quality", c.quality}}};
      count = 2;
      break;
    case DM_CMD_DISPLAY_PARTIAL:
      name = "partial";
      fields = {{{"priority", c.priority},
                 {"quality", c.quality},
                 {"xUp", c.xUp},
                 {"yUp", c.yUp},
                 {"xDown", c.xDown},
                 {"yDown", c.yDown}}};
      count = 6;
      break;
    case DM_CMD_DUMP:
      name = "dump";
      fields = {{{"argument", c.priority}}};
      count = 1;
      break;
    case DM_CMD_ERASE_TO_WHITE:
      name = "erase";
      fields = {{{"priority", c.priority}}};
      count = 1;
      break;
  }
  std::string out;
  if (json) {
    out = "{\"accepted\":true,\"request\":\"";
    out += name;
    out += '"';
    for (std::size_t i = 0; i < count; ++i) {
      out += ",\"";
      out += fields[i].name;
      out += "\":";
      append(out, fields[i].value);
    }
    out += '}';
    return out;
  }
  out = name;
  // A partial update shows its rectangle as one "rect=(x,y)-(x,y)" word.
  const std::size_t named = c.code == DM_CMD_DISPLAY_PARTIAL ? 2 : count;
  for (std::size_t i = 0; i < named; ++i) {
    out += ' ';
    out += fields[i].name;
    out += '=';
    append(out, fields[i].value);
  }
  if (c.code == DM_CMD_DISPLAY_PARTIAL) {
    out += " rect=(";
    append(out, c.xUp);
    out += ',';
    append(out, c.yUp);
    out += ")-(";
    append(out, c.xDown);
    out += ',';
    append(out, c.yDown);
    out += ')';
  }
  return out;
}

std::string describeRefused(std::string_view bytes, bool json) {
  std::string out;
  if (json) {
    out = "{\"accepted\":false,\"text\":";
    appendQuoted(out, bytes, "\\u00");
    out += '}';
  } else {
    out = "refused ";
    appendQuoted(out, bytes, "\\x");
  }
  return out;
}

struct Options {
  bool all = false;
  bool json = false;
  unsigned long long count = 0;  // 0: until a signal
};

}  // namespace

int main(int argc, char* argv[]) {
  enum { kVersionOption = 1000 };
  constexpr std::array<option, 6> kLongOptions{{
      {"all", no_argument, nullptr, 'a'},
      {"json", no_argument, nullptr, 'j'},
      {"count", required_argument, nullptr, 'c'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, kVersionOption},
      {nullptr, 0, nullptr, 0},
  }};
  Options options;
  opterr = 0;  // errors are reported below, in this tool's own words
  for (int c; (c = getopt_long(argc, argv, ":ajc:h", kLongOptions.data(),
                               nullptr)) != -1;) {
    switch (c) {
      case 'a':
        options.all = true;
        break;
      case 'j':
        options.json = true;
        break;
      case 'c': {
        const std::string_view word = optarg;
        const auto [end, error] = std::from_chars(
            word.data(), word.data() + word.size(), options.count);
        if (error != std::errc{} || end != word.data() + word.size() ||
            options.count == 0)
          return usageError("--count: '" + std::string(word) +
                            "' is not a whole number of at least 1");
        break;
      }
      case 'h':
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return 0;
      case kVersionOption:
        std::printf("zodm-listen (libzodm) %s\n", ZODM_VERSION);
        return 0;
      case ':':
        return usageError(std::string("option '") + argv[optind - 1] +
                          "' needs an argument");
      default:
        return usageError(optopt != 0 ? std::string("unknown option '-") +
                                            static_cast<char>(optopt) + "'"
                                      : std::string("unknown option '") +
                                            argv[optind - 1] + "'");
    }
  }
  if (optind < argc)
    return usageError(std::string("unexpected argument '") + argv[optind] +
                      "'");

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

  int32_t fd = -1;
  if (initServer(&fd, options.all ? 0 : 1) != 0) {
    const int error = errno;  // initServer leaves bind's errno in place
    if (fd >= 0) close(fd);
    if (error == EADDRINUSE)
      std::fprintf(stderr,
                   "zodm-listen: port %d is already in use (is another "
                   "display service running?)\n",
                   DM_SERVER_PORT);
    else
      std::fprintf(stderr, "zodm-listen: cannot bind port %d: %s\n",
                   DM_SERVER_PORT, std::strerror(error));
    return kExitFailure;
  }

  std::vector<char> buffer(kMaxDatagram + 1);
  unsigned long long received = 0, accepted = 0, refused = 0;
  int status = 0;
  while (stopRequested == 0 &&
         (options.count == 0 || received < options.count)) {
    pollfd ready{fd, POLLIN, 0};
    if (ppoll(&ready, 1, nullptr, &waitMask) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "zodm-listen: waiting failed: %s\n",
                   std::strerror(errno));
      status = kExitFailure;
      break;
    }
    const ssize_t length = recv(fd, buffer.data(), kMaxDatagram, MSG_DONTWAIT);
    if (length < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      std::fprintf(stderr, "zodm-listen: receiving failed: %s\n",
                   std::strerror(errno));
      status = kExitFailure;
      break;
    }
    // The client sends no NUL; the parser needs one.
    buffer[static_cast<std::size_t>(length)] = '\0';
    ++received;
    DmCommand command{};
    std::string line;
    if (dmMessageParser(buffer.data(), &command) == 0) {
      ++accepted;
      line = describe(command, options.json);
    } else {
      ++refused;
      line = describeRefused({buffer.data(), static_cast<std::size_t>(length)},
                             options.json);
    }
    line += '\n';
    // Flushed per line, so a pipe sees each request as it arrives.
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() ||
        std::fflush(stdout) != 0) {
      std::fprintf(stderr, "zodm-listen: cannot write output: %s\n",
                   std::strerror(errno));
      status = kExitFailure;
      break;
    }
  }
  close(fd);
  std::fprintf(stderr,
               "zodm-listen: received %llu, accepted %llu, refused %llu\n",
               received, accepted, refused);
  return status;
}
