// SPDX-License-Identifier: MIT
// See access.h.
#include "access.h"

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
#include <cstring>

#include "text.h"

namespace zodm::live {

namespace {

// Whether host, a Host header's value, names this machine's loopback
// interface, with or without a port.
bool namesLoopback(std::string_view host) {
  // The port, if any, follows the last ':' outside brackets.
  if (const auto colon = host.rfind(':');
      colon != std::string_view::npos && host.find(']', colon) == host.npos)
    host = host.substr(0, colon);
  std::string lower(host);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) {
                   return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
                 });
  return lower == "127.0.0.1" || lower == "localhost" || lower == "[::1]";
}

}  // namespace

std::optional<Key> Key::generate(std::string& problem) {
  unsigned char bits[16];
  std::size_t filled = 0;
  while (filled < sizeof bits) {
    const ssize_t got = getrandom(bits + filled, sizeof bits - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      problem = std::string("getrandom failed: ") + std::strerror(errno);
      return std::nullopt;
    }
    filled += static_cast<std::size_t>(got);
  }
  std::string hex;
  for (const unsigned char byte : bits) tools::appendHex(hex, "", byte);
  return Key(std::move(hex));
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
  tools::appendDecimal(name, port);
  return name;
}

Route route(const Request& request, const Key& key, bool loopbackOnly) {
  if (loopbackOnly && request.host != nullptr && !namesLoopback(request.host))
    return Route::WrongHost;
  // Both are compared, whichever is right.
  const bool rightToken = key.matches(request.token);
  const bool rightCookie = key.matches(request.cookie);
  if (!rightToken && !rightCookie) return Route::NoKey;
  if (request.method != "GET" && request.method != "HEAD")
    return Route::NotAllowed;
  const std::string_view path = request.path.substr(0, request.path.find('?'));
  if (path == "/") return rightToken ? Route::Enter : Route::Page;
  static constexpr std::pair<std::string_view, Route> kPaths[] = {
      {"/page.js", Route::Script},     {"/page.css", Route::Style},
      {"/events", Route::Events},      {"/viewers", Route::Viewers},
      {"/favicon.ico", Route::NoIcon},
  };
  for (const auto& [name, found] : kPaths)
    if (path == name) return found;
  return Route::NotFound;
}

}  // namespace zodm::live
