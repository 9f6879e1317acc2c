// SPDX-License-Identifier: MIT
// zodm-soak: the sending and checking halves of scripts/soak.
//   zodm-soak send N PID    sends N requests to 127.0.0.1:50555, where
//                           zodm-listen (process PID) receives them, and
//                           checks that its memory stays flat
//   zodm-soak check N FILE  checks zodm-listen's output for those N requests
// The requests are a fixed mix, the same for both halves: valid requests
// made with the library's request calls or sent as raw texts, and hostile
// texts that must all be refused (no "!", unknown tokens, values out of
// range, fields of 60,000 bytes, tokens of 5,000 characters, control bytes).
// Sends are paced by the listener's receive queue, so the kernel never has
// to drop a datagram.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>

#include "zodm.h"

namespace {

// One request of the mix: what is sent, and the line zodm-listen prints.
struct Request {
  enum class Via { Raw, Display, Partial, Erase } via = Via::Raw;
  DmCommand command{};  // for the library's request calls
  std::string text;     // for raw sends
  std::string line;
};

// Small deterministic generator, so both halves see the same values.
uint64_t mix64(uint64_t x) {
  x += 0x9e3779b97f4a7c15;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9;
  x = (x ^ (x >> 27)) * 0x94d049bb133111eb;
  return x ^ (x >> 31);
}

std::string num(int64_t v) { return std::to_string(v); }

// zodm-listen's form of a refused text: quoted, with quotes, backslashes
// and bytes outside 0x20..0x7e escaped.
std::string refusedLine(const std::string& bytes) {
  std::string out = "refused \"";
  for (const char ch : bytes) {
    const auto byte = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\r') {
      out += "\\r";
    } else if (ch == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte > 0x7e) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      out += hex;
    } else {
      out += ch;
    }
  }
  return out + '"';
}

Request raw(std::string text, std::string line) {
  Request r;
  r.text = std::move(text);
  r.line = line.empty() ? refusedLine(r.text) : std::move(line);
  return r;
}
Request hostile(std::string text) { return raw(std::move(text), {}); }

std::string displayLine(int32_t p, int32_t q) {
  return "display priority=" + num(p) + " quality=" + num(q);
}
std::string partialLine(const DmCommand& c) {
  return "partial priority=" + num(c.priority) + " quality=" + num(c.quality) +
         " rect=(" + num(c.xUp) + "," + num(c.yUp) + ")-(" + num(c.xDown) +
         "," + num(c.yDown) + ")";
}

// The i-th request of the mix: 72% valid, 28% hostile, every kind within
// the first 100 requests, the 60,000-byte texts once per 1,000.
Request request(uint64_t i) {
  const uint64_t r = mix64(i);
  const auto pick = [r](int shift, int32_t range) {
    return static_cast<int32_t>((r >> shift) % static_cast<uint64_t>(range));
  };
  const int32_t p = pick(0, 4), q = pick(2, 4);
  DmCommand partial{DM_CMD_DISPLAY_PARTIAL, p, q, pick(4, 769),
                    pick(14, 1025),         0, 0};
  partial.xDown = (partial.xUp + 1 + pick(24, 768)) % 769;  // never equal
  partial.yDown = (partial.yUp + 1 + pick(34, 1024)) % 1025;

  const uint64_t slot = i % 100;
  if (i % 1000 == 50) return hostile("!0," + std::string(60000, '9') + ",1");
  if (i % 1000 == 51)
    return hostile("!1,0,0," + std::string(60000, '7') + ",0,10,10");
  if (i % 1000 == 52)
    return hostile("0,1," + std::string(60000, 'z'));  // no "!"
  if (i % 1000 == 53)
    return hostile("!0,9," + std::string(60000, '\x01') + "\x7f,1");

  Request req;
  if (slot < 30) {
    req.via = Request::Via::Display;
    req.command = {DM_CMD_DISPLAY, p, q, 0, 0, 0, 0};
    req.line = displayLine(p, q);
  } else if (slot < 55) {
    req.via = Request::Via::Partial;
    req.command = partial;
    req.line = partialLine(partial);
  } else if (slot < 65) {
    req.via = Request::Via::Erase;
    req.command = {DM_CMD_ERASE_TO_WHITE, p, 0, 0, 0, 0, 0};
    req.line = "erase priority=" + num(p);
  } else if (slot < 68) {
    req = raw("!dmDisplay," + num(p) + "," + num(q), displayLine(p, q));
  } else if (slot < 70) {
    const auto argument = static_cast<int32_t>(r >> 32);
    req = raw("!2," + num(argument), "dump argument=" + num(argument));
  } else if (slot < 72) {
    const DmCommand& c = partial;
    req = raw("!dmDisplayPartial," + num(p) + "," + num(q) + "," + num(c.xUp) +
                  "," + num(c.yUp) + "," + num(c.xDown) + "," + num(c.yDown),
              partialLine(c));
  } else {
    static const std::string kHostile[] = {
        // no leading "!"
        "0,1,2", "dmDisplay,1,2", " !0,1,2", "",
        // unknown tokens
        "!dmFoo,1", "!00,1,1", "!DMDISPLAY,1,1", "!", "!,1",
        "!dmDisplayEraseToWhite,1", "!" + std::string(5000, 'A') + ",1,2",
        "!dmDisplay" + std::string(4991, 'x') + ",1,2",
        // values out of range
        "!0,4,0", "!0,0,4", "!0,-1,0", "!1,0,0,769,0,10,10",
        "!1,0,0,0,1025,10,10", "!1,0,0,10,10,10,20", "!3,-1",
        "!0,99999999999,0", "!0,1,-2147483649",
        // control bytes
        std::string("\x01!0,1,2"), "!0\x07,1,2", "!\r\n0,1,2", "!0\t,1,2",
        std::string("\0!0,1,2", 7), "!dm\x1b[2JDisplay,1,2", "!\xff\xfe,1"};
    static_assert(std::size(kHostile) == 28);
    req = hostile(kHostile[slot - 72]);
  }
  return req;
}

// The receive queue (bytes the kernel charges for queued datagrams) and the
// drop count of the socket bound to 127.0.0.1:50555, from /proc/net/udp.
struct QueueState {
  bool found = false;
  unsigned long queued = 0;
  unsigned long drops = 0;
};

QueueState listenerQueue() {
  QueueState state;
  std::FILE* table = std::fopen("/proc/net/udp", "r");
  if (table == nullptr) return state;
  char row[512];
  while (std::fgets(row, sizeof row, table) != nullptr) {
    unsigned slot, localAddress, localPort, remoteAddress, remotePort, st;
    unsigned long tx, rx;
    if (std::sscanf(row, " %u: %8X:%4X %8X:%4X %2X %8lX:%8lX", &slot,
                    &localAddress, &localPort, &remoteAddress, &remotePort, &st,
                    &tx, &rx) != 8 ||
        localPort != DM_SERVER_PORT || ntohl(localAddress) != INADDR_LOOPBACK)
      continue;
    state.found = true;
    state.queued = rx;
    // drops is the last column; the row may end in spaces.
    std::size_t end = std::strlen(row);
    while (end > 0 && std::isspace(static_cast<unsigned char>(row[end - 1])))
      --end;
    std::size_t begin = end;
    while (begin > 0 &&
           !std::isspace(static_cast<unsigned char>(row[begin - 1])))
      --begin;
    state.drops = std::strtoul(row + begin, nullptr, 10);
  }
  std::fclose(table);
  return state;
}

// VmRSS and VmHWM of a process, in KiB; zero once it has gone.
struct Memory {
  long rss = 0;
  long peak = 0;
};

Memory memoryOf(long pid) {
  Memory m;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long value;
  while (status >> key) {
    if (key == "VmRSS:" && status >> value) m.rss = value;
    if (key == "VmHWM:" && status >> value) m.peak = value;
  }
  return m;
}

void nap() { std::this_thread::sleep_for(std::chrono::microseconds(20)); }

int send(uint64_t count, long pid) {
  // The kernel's default receive buffer, which zodm-listen keeps. Queued
  // datagrams are charged at more than their size; staying under a third
  // leaves room for the largest text.
  unsigned long buffer = 212992;
  if (std::FILE* f = std::fopen("/proc/sys/net/core/rmem_default", "r")) {
    if (std::fscanf(f, "%lu", &buffer) != 1) buffer = 212992;
    std::fclose(f);
  }
  const unsigned long room = buffer / 3;
  const QueueState before = listenerQueue();
  if (!before.found) {
    std::fprintf(stderr, "zodm-soak: nothing listens on 127.0.0.1:%d\n",
                 DM_SERVER_PORT);
    return 1;
  }

  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in service{};
  service.sin_family = AF_INET;
  service.sin_port = htons(DM_SERVER_PORT);
  service.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  // Memory after every kind of request has been seen once, and the most it
  // grows beyond that.
  Memory warm{}, highest{};
  const uint64_t warmAt = count / 10;
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t i = 0; i < count; ++i) {
    const Request req = request(i);
    if (i % 8 == 0 || req.text.size() > 1000) {
      const unsigned long limit = req.text.size() > 1000 ? 0 : room;
      while (listenerQueue().queued > limit) nap();
    }
    if (i == warmAt) warm = memoryOf(pid);
    if (i > warmAt && i % 1000 == 0) {
      const Memory now = memoryOf(pid);
      if (now.rss > highest.rss) highest = now;
    }
    const DmCommand& c = req.command;
    switch (req.via) {
      case Request::Via::Display:
        dmDisplay(c.priority, c.quality);
        break;
      case Request::Via::Partial:
        dmDisplayPartial(c.priority, c.quality, c.xUp, c.yUp, c.xDown, c.yDown);
        break;
      case Request::Via::Erase:
        dmDisplayEraseToWhite(c.priority);
        break;
      case Request::Via::Raw:
        if (sendto(fd, req.text.data(), req.text.size(), 0,
                   reinterpret_cast<const sockaddr*>(&service),
                   sizeof service) < 0) {
          std::perror("zodm-soak: sendto");
          return 1;
        }
        break;
    }
  }
  // Wait for the listener to take the last datagrams off its queue.
  for (QueueState s = listenerQueue(); s.found && s.queued > 0;
       s = listenerQueue())
    nap();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  const Memory last = memoryOf(pid);
  if (last.rss > highest.rss) highest = last;
  const QueueState after = listenerQueue();
  close(fd);

  std::printf("sent %" PRIu64 " requests in %.2f s: %.0f requests/s\n", count,
              seconds, static_cast<double>(count) / seconds);
  std::printf("listener memory: %ld KiB after %" PRIu64
              " requests, at most %ld KiB after that, peak %ld KiB\n",
              warm.rss, warmAt, highest.rss,
              last.peak ? last.peak : highest.peak);
  int status = 0;
  if (after.found && after.drops != before.drops) {
    std::printf("FAILED: the kernel dropped %lu datagrams\n",
                after.drops - before.drops);
    status = 1;
  }
  // Flat: no more than 1 MiB of growth after the warm-up, which allows for
  // the allocator's ups and downs but not for any per-request leak.
  constexpr long kSlackKiB = 1024;
  if (warm.rss > 0 && highest.rss > warm.rss + kSlackKiB) {
    std::printf("FAILED: listener memory grew by %ld KiB\n",
                highest.rss - warm.rss);
    status = 1;
  }
  return status;
}

// Compares the listener's lines with the mix's, as multisets: datagrams
// from the library's socket and from the raw one may interleave differently.
int check(uint64_t count, const char* file) {
  std::map<std::string, long> expected;
  uint64_t valid = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const Request req = request(i);
    valid += req.line.rfind("refused ", 0) != 0;
    ++expected[req.line];
  }
  std::ifstream output(file, std::ios::binary);
  if (!output) {
    std::fprintf(stderr, "zodm-soak: cannot read %s\n", file);
    return 1;
  }
  uint64_t lines = 0, accepted = 0, refused = 0, unexpected = 0;
  for (std::string line; std::getline(output, line);) {
    ++lines;
    const auto found = expected.find(line);
    if (found == expected.end() || found->second == 0) {
      if (++unexpected <= 5)
        std::printf("unexpected line %" PRIu64 ": %.120s\n", lines,
                    line.c_str());
      continue;
    }
    --found->second;
    ++(line.rfind("refused ", 0) == 0 ? refused : accepted);
  }
  uint64_t missing = 0;
  for (const auto& [line, left] : expected) {
    if (left > 0 && missing < 5)
      std::printf("missing (%ld times): %.120s\n", left, line.c_str());
    missing += static_cast<uint64_t>(left > 0 ? left : 0);
  }
  std::printf("%" PRIu64 " lines for %" PRIu64 " requests: %" PRIu64
              " of %" PRIu64 " valid accepted with their values, %" PRIu64
              " of %" PRIu64 " hostile refused, %" PRIu64 " unexpected\n",
              lines, count, accepted, valid, refused, count - valid,
              unexpected);
  return lines == count && missing == 0 && unexpected == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "send") == 0)
    return send(std::strtoull(argv[2], nullptr, 10),
                std::strtol(argv[3], nullptr, 10));
  if (argc == 4 && std::strcmp(argv[1], "check") == 0)
    return check(std::strtoull(argv[2], nullptr, 10), argv[3]);
  std::fprintf(stderr,
               "usage: zodm-soak send N LISTENER_PID\n"
               "       zodm-soak check N LISTENER_OUTPUT\n");
  return 2;
}
