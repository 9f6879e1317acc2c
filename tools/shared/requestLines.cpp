// See requestLines.h.
#include "requestLines.h"

#include <getopt.h>
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
#include <memory>
#include <system_error>
#include <vector>

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

}  // namespace

void appendHex(std::string& out, std::string_view prefix, unsigned char byte) {
  constexpr char kHex[] = "0123456789abcdef";
  out += prefix;
  out += kHex[byte >> 4];
  out += kHex[byte & 0xf];
}

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
      appendDecimal(out, fields[i].value);
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
    appendDecimal(out, fields[i].value);
  }
  if (c.code == DM_CMD_DISPLAY_PARTIAL) {
    out += " rect=(";
    appendDecimal(out, c.xUp);
    out += ',';
    appendDecimal(out, c.yUp);
    out += ")-(";
    appendDecimal(out, c.xDown);
    out += ',';
    appendDecimal(out, c.yDown);
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

bool parseWhole(std::string_view word, unsigned long long min,
                unsigned long long max, unsigned long long& value) {
  unsigned long long read = 0;
  const auto [end, error] =
      std::from_chars(word.data(), word.data() + word.size(), read);
  if (error != std::errc{} || end != word.data() + word.size() || read < min ||
      read > max)
    return false;
  value = read;
  return true;
}

std::string serviceShortOptions(const char* extra) {
  return std::string(":") + extra + "ajc:h";
}

std::vector<option> serviceLongOptions(std::initializer_list<option> extra) {
  std::vector<option> out(extra);
  out.insert(out.end(), {
                            {"all", no_argument, nullptr, 'a'},
                            {"json", no_argument, nullptr, 'j'},
                            {"count", required_argument, nullptr, 'c'},
                            {"tap", optional_argument, nullptr, kTapOption},
                            {"help", no_argument, nullptr, 'h'},
                            {"version", no_argument, nullptr, kVersionOption},
                            {nullptr, 0, nullptr, 0},
                        });
  return out;
}

int serviceOption(int c, const ToolText& text, ServiceOptions& options,
                  char* argv[]) {
  switch (c) {
    case 'a':
      options.all = true;
      break;
    case 'j':
      options.json = true;
      return kGoOn;
    case 'c':
      if (!parseWhole(optarg, 1, ~0ULL, options.count))
        return usageError(text.tool, text.usage,
                          std::string("--count: '") + optarg +
                              "' is not a whole number of at least 1");
      return kGoOn;
    case kTapOption: {
      // "--tap IFACE": the next word, unless it is an option.
      const char* interface = optarg;
      if (interface == nullptr && argv[optind] != nullptr &&
          argv[optind][0] != '-')
        interface = argv[optind++];
      options.tap = interface != nullptr ? interface : kDefaultTapInterface;
      if (options.tap.empty())
        return usageError(text.tool, text.usage,
                          "--tap: the interface name is empty");
#ifndef ZODM_HAVE_PCAP
      std::fprintf(stderr,
                   "%s: --tap: this %s was built without libpcap, so it "
                   "cannot watch an interface\n",
                   text.tool, text.tool);
      return kExitFailure;
#endif
      break;
    }
    case 'h':
      std::fputs(text.usage, stdout);
      std::fputs(text.help, stdout);
      return 0;
    case kVersionOption:
      std::printf("%s (libzodm) %s\n", text.tool, ZODM_VERSION);
      return 0;
    default:
      return usageError(text.tool, text.usage, optionProblem(c, argv));
  }
  // --all and --tap are both given (in either order) only once both are set.
  if (options.all && !options.tap.empty())
    return usageError(text.tool, text.usage,
                      "--all and --tap do not go together: a tap binds "
                      "nothing ('--tap any' watches every interface)");
  return kGoOn;
}

int serviceOperands(int argc, char* argv[], const ToolText& text) {
  if (optind >= argc) return kGoOn;
  return usageError(text.tool, text.usage,
                    std::string("unexpected argument '") + argv[optind] + "'");
}

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
