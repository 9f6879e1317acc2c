// SPDX-License-Identifier: MIT
// See live.h.
#include "live.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>
#if __has_include(<sys/random.h>)
#include <sys/random.h>
#else
// glibc before 2.25 has the system call (Linux 3.17) but no wrapper.
#include <sys/syscall.h>
namespace {
ssize_t getrandom(void* buffer, size_t length, unsigned flags) {
  return syscall(SYS_getrandom, buffer, length, flags);
}
}  // namespace
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "parse.h"
#include "requestLines.h"
#include "text.h"

namespace zodm::live {

namespace {

using tools::appendDecimal;
using tools::appendPageString;

// A component of the colour scale, with every digit a double holds, so the
// page computes the same colours.
void appendFraction(std::string& out, double value) {
  char digits[32];
  const int length = std::snprintf(digits, sizeof digits, "%.17g", value);
  out.append(digits, static_cast<std::size_t>(length));
}

EventKind kindOf(const DmCommand& command) {
  switch (command.code) {
    case DM_CMD_DISPLAY:
      return EventKind::Full;
    case DM_CMD_DISPLAY_PARTIAL:
      return EventKind::Partial;
    case DM_CMD_ERASE_TO_WHITE:
      return EventKind::Erase;
    default:
      return EventKind::Dump;
  }
}

void appendEvent(std::string& out, const Event& event) {
  out += "{\"n\":";
  appendDecimal(out, event.number);
  out += ",\"k\":\"";
  out += static_cast<char>(event.kind);
  out += '"';
  if (event.kind == EventKind::Partial) {
    out += ",\"r\":[";
    for (const int v :
         {event.rect.x0, event.rect.y0, event.rect.x1, event.rect.y1}) {
      appendDecimal(out, v);
      out += ',';
    }
    out.back() = ']';
  }
  out += ",\"s\":";
  appendPageString(out, event.line);
  out += '}';
}

// The fixed part of a viewer's first message: the area and the colour scale.
void appendArea(std::string& out) {
  out += ",\"area\":[";
  appendDecimal(out, screen::kWidth);
  out += ',';
  appendDecimal(out, screen::kHeight);
  out += "],\"scale\":[";
  for (const screen::Rgb& stop : screen::kHeatScale) {
    out += '[';
    appendFraction(out, stop.r);
    out += ',';
    appendFraction(out, stop.g);
    out += ',';
    appendFraction(out, stop.b);
    out += "],";
  }
  out.back() = ']';
}

}  // namespace

std::string refusedLine(std::string_view text) {
  std::string line = tools::describeRefused(text.substr(0, kShownBytes), false);
  if (text.size() > kShownBytes) {
    line += " ... (";
    appendDecimal(line, text.size());
    line += " bytes)";
  }
  return line;
}

Feed::Feed(screen::HeatMap& screen)
    : screen_(screen), start_(Clock::now()), ring_(kRingSize) {}

void Feed::record(const DmCommand* accepted, std::string_view text) {
  // Everything that allocates happens before the lock is taken.
  std::string line = accepted != nullptr ? tools::describe(*accepted, false)
                                         : refusedLine(text);
  Event event;
  event.kind = accepted != nullptr ? kindOf(*accepted) : EventKind::Refused;
  if (event.kind == EventKind::Partial)
    event.rect = geometry::partialRect(*accepted);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (accepted != nullptr)
      screen_.apply(*accepted);
    else
      screen_.refuse();
    if (panel_ != nullptr && accepted != nullptr) {
      panel_->apply(*accepted);
      notePanelCopy(*accepted);
    }
    Event& slot = ring_[received_ % kRingSize];
    ++received_;
    slot.number = received_;
    slot.kind = event.kind;
    slot.rect = event.rect;
    slot.line.swap(line);  // the old text is freed after the lock
  }
  news_.notify_all();
}

void Feed::setDropped(unsigned long long dropped) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    dropped_ = dropped;
  }
  news_.notify_all();
}

std::string Feed::next(Cursor& cursor) {
  const bool first = !cursor.started;
  std::vector<Event> events;
  std::vector<std::string> caption;
  unsigned long long received = 0;
  unsigned long long dropped = 0;
  unsigned long long skipped = 0;
  unsigned maxCount = 0;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    received = received_;
    dropped = dropped_;
    maxCount = screen_.maxCount();
    caption = screen_.caption();
    const unsigned long long accepted = screen_.tally().accepted;
    if (first) {
      cursor.rows.set();
    } else {
      for (int y = 0; y < screen::kHeight; ++y)
        if (screen_.rowRequest(y) > cursor.rowsAt)
          cursor.rows.set(static_cast<std::size_t>(y));
    }
    cursor.rowsAt = accepted;
    if (panel_ != nullptr) scanPanel(cursor, first);
    // Events after the cursor's, the newest that the ring still holds and
    // the message takes.
    const unsigned long long limit = first ? kCatchUpEvents : kEventsPerMessage;
    unsigned long long from = first ? 0 : cursor.events;
    from = std::max(from, received > kRingSize ? received - kRingSize : 0);
    from = std::max(from, received > limit ? received - limit : 0);
    if (!first) skipped = from - cursor.events;
    events.reserve(static_cast<std::size_t>(received - from));
    for (unsigned long long n = from; n < received; ++n)
      events.push_back(ring_[n % kRingSize]);
    cursor.events = received;
    cursor.dropped = dropped;
    cursor.modelNews = modelNews_;
  }
  cursor.started = true;

  std::string out = "{\"reset\":";
  out += first ? "true" : "false";
  if (first) appendArea(out);
  out += ",\"t\":";
  appendDecimal(out, std::chrono::duration_cast<std::chrono::milliseconds>(
                         Clock::now() - start_)
                         .count());
  out += ",\"received\":";
  appendDecimal(out, received);
  out += ",\"dropped\":";
  appendDecimal(out, dropped);
  out += ",\"max\":";
  appendDecimal(out, maxCount);
  out += ",\"caption\":[";
  for (const std::string& line : caption) {
    appendPageString(out, line);
    out += ',';
  }
  out.back() = ']';

  // Rows as they are now, each copied on its own under the lock; neighbours
  // with the same runs go as one entry [first, last, runs...].
  out += ",\"rows\":[";
  std::vector<uint16_t> row(screen::kWidth);
  std::string runs;
  std::string previousRuns;
  int groupStart = -1;
  int groupEnd = -1;
  const auto flush = [&] {
    if (groupStart < 0) return;
    out += '[';
    appendDecimal(out, groupStart);
    out += ',';
    appendDecimal(out, groupEnd);
    out += ',';
    out += previousRuns;
    out += "],";
  };
  for (int y = 0; y < screen::kHeight && out.size() < kRowBudget; ++y) {
    if (!cursor.rows.test(static_cast<std::size_t>(y))) continue;
    cursor.rows.reset(static_cast<std::size_t>(y));
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      std::copy_n(screen_.row(y), screen::kWidth, row.begin());
    }
    runs.clear();
    appendRuns(runs, row.data(), row.size());
    if (groupStart >= 0 && groupEnd == y - 1 && runs == previousRuns) {
      groupEnd = y;
      continue;
    }
    flush();
    groupStart = groupEnd = y;
    previousRuns.swap(runs);
  }
  flush();
  if (out.back() == ',') out.pop_back();
  out += ']';
  if (panel_ != nullptr) appendPanel(out, cursor);
  if (runner_ != nullptr) appendModel(out, cursor, first);
  out += ",\"more\":";
  out += cursor.pending() ? "true" : "false";

  out += ",\"skipped\":";
  appendDecimal(out, skipped);
  out += ",\"events\":[";
  for (const Event& event : events) {
    appendEvent(out, event);
    out += ',';
  }
  if (out.back() == ',') out.pop_back();
  out += "]}";
  return out;
}

bool Feed::waitForNews(const Cursor& cursor, Clock::time_point deadline) {
  if (!cursor.started || cursor.pending()) return !stopped_;
  std::unique_lock<std::mutex> lock(mutex_);
  news_.wait_until(lock, deadline, [&] {
    return stopped_ || received_ > cursor.events ||
           dropped_ != cursor.dropped || drawnChangeCount_ > cursor.drawnAt ||
           modelNews_ > cursor.modelNews;
  });
  return !stopped_;
}

bool Feed::sleepUntil(Clock::time_point until) {
  std::unique_lock<std::mutex> lock(stopMutex_);
  stopping_.wait_until(lock, until, [&] { return stopped_.load(); });
  return !stopped_;
}

void Feed::stop() {
  {
    // Taken so that no waiter misses the change between its check and its
    // wait.
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::lock_guard<std::mutex> stopLock(stopMutex_);
    stopped_ = true;
  }
  news_.notify_all();
  stopping_.notify_all();
}

void appendRuns(std::string& out, const uint16_t* row, std::size_t width) {
  std::size_t x = 0;
  while (x < width) {
    std::size_t end = x + 1;
    while (end < width && row[end] == row[x]) ++end;
    if (x > 0) out += ',';
    appendDecimal(out, row[x]);
    out += ',';
    appendDecimal(out, end - x);
    x = end;
  }
}

bool Endpoint::loopback() const { return (ntohl(address.s_addr) >> 24) == 127; }

std::string Endpoint::text() const {
  char buffer[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address, buffer, sizeof buffer);
  std::string out = buffer;
  out += ':';
  appendDecimal(out, port);
  return out;
}

std::string parseEndpoint(std::string_view word, Endpoint& endpoint) {
  std::string_view host = "127.0.0.1";
  std::string_view portText = word;
  if (const auto colon = word.rfind(':'); colon != std::string_view::npos) {
    host = word.substr(0, colon);
    portText = word.substr(colon + 1);
    if (host.empty()) return "the address before ':' is empty";
  }
  if (host == "localhost") host = "127.0.0.1";
  unsigned long long port = 0;
  if (!tools::parseWhole(portText, 1, 65535, port))
    return tools::quoted("the port ", portText,
                         " is not a whole number from 1 to 65535");
  Endpoint parsed;
  const std::string address(host);
  if (inet_pton(AF_INET, address.c_str(), &parsed.address) != 1)
    return tools::quoted("", address,
                         " is not an IPv4 address in dotted-decimal form");
  parsed.port = static_cast<uint16_t>(port);
  endpoint = parsed;
  return {};
}

int listenOn(const Endpoint& endpoint) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // A restarted emulator binds again at once, while connections of the one
  // before still linger; Linux never lets two sockets listen on one port.
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr = endpoint.address;
  address.sin_port = htons(endpoint.port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
          0 ||
      listen(fd, 16) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

std::string Key::make(Key& key) {
  unsigned char bits[16];
  std::size_t filled = 0;
  while (filled < sizeof bits) {
    const ssize_t got = getrandom(bits + filled, sizeof bits - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::string("getrandom failed: ") + std::strerror(errno);
    }
    filled += static_cast<std::size_t>(got);
  }
  std::string hex;
  for (const unsigned char byte : bits) tools::appendHex(hex, "", byte);
  key = Key(std::move(hex));
  return {};
}

bool Key::matches(const char* text) const {
  if (text == nullptr || hex_.empty()) return false;
  const std::size_t length = std::strlen(text);
  // volatile, so that the compiler cannot end the loop at the first
  // difference.
  volatile unsigned char difference = length == hex_.size() ? 0 : 1;
  for (std::size_t i = 0; i < hex_.size(); ++i)
    difference = difference | static_cast<unsigned char>(
                                  hex_[i] ^ (i < length ? text[i] : '\0'));
  return difference == 0;
}

std::string cookieName(uint16_t port) {
  std::string name = "zodm-screen-";
  appendDecimal(name, port);
  return name;
}

Route route(const Request& request, const Key& key, bool loopbackOnly) {
  if (loopbackOnly && request.host != nullptr) {
    std::string_view name = request.host;
    // The port, if any, follows the last ':' outside brackets.
    if (const auto colon = name.rfind(':');
        colon != std::string_view::npos && name.find(']', colon) == name.npos)
      name = name.substr(0, colon);
    std::string lower(name);
    std::transform(
        lower.begin(), lower.end(), lower.begin(), [](unsigned char c) {
          return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        });
    if (lower != "127.0.0.1" && lower != "localhost" && lower != "[::1]")
      return Route::WrongHost;
  }
  // Both are compared, whichever is right.
  const bool rightToken = key.matches(request.token);
  const bool rightCookie = key.matches(request.cookie);
  if (!rightToken && !rightCookie) return Route::NoKey;
  if (request.method != "GET" && request.method != "HEAD")
    return Route::NotAllowed;
  const std::string_view path = request.path.substr(0, request.path.find('?'));
  if (path == "/") return rightToken ? Route::Enter : Route::Page;
  if (path == "/page.js") return Route::Script;
  if (path == "/page.css") return Route::Style;
  if (path == "/events") return Route::Events;
  if (path == "/viewers") return Route::Viewers;
  if (path == "/favicon.ico") return Route::NoIcon;
  return Route::NotFound;
}

}  // namespace zodm::live
