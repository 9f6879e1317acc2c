// SPDX-License-Identifier: MIT
// Who may read the live page, and what each request gets: the page's key,
// the cookie that carries it, and the route of a request by its method,
// path, Host and key. Nothing here knows HTTP beyond these words, so the
// rules are tested without a server.
#ifndef ZODM_TOOLS_LIVE_ACCESS_H
#define ZODM_TOOLS_LIVE_ACCESS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace zodm::live {

// The live page's key: 128 random bits, written as 32 lower-case hex
// digits. The page's address carries it (?token=HEX) and, after the first
// visit, a cookie: without one of them nothing is served.
class Key {
 public:
  Key() = default;
  explicit Key(std::string hex) : hex_(std::move(hex)) {}
  // A new key from getrandom; nullopt, and why in problem, when there is
  // none to be had.
  static std::optional<Key> generate(std::string& problem);
  const std::string& hex() const { return hex_; }
  // Whether text (nullptr: none) is the key. Every digit of the key is
  // compared whatever text holds, so the time taken says nothing about how
  // much of text was right.
  bool matches(const char* text) const;

 private:
  std::string hex_;
};

// The cookie that holds the key, named for the page's port: a browser
// keeps cookies per host, not per port, so emulators on two ports of one
// host each keep their own.
std::string cookieName(uint16_t port);

// What the server answers to a request.
enum class Route {
  Page,        // "/": the HTML document
  Script,      // "/page.js"
  Style,       // "/page.css"
  Enter,       // "/?token=KEY": sets the cookie, 303 to "/"
  Events,      // "/events": the event stream
  Viewers,     // "/viewers": how many watch, JSON
  NoIcon,      // "/favicon.ico": 204, nothing
  NotFound,    // 404
  NotAllowed,  // 405: only GET and HEAD
  WrongHost,   // 403: a Host that is not this machine's loopback name
  NoKey,       // 403: neither the key's token nor its cookie
};

// What the route of a request depends on.
struct Request {
  std::string_view method;
  std::string_view path;         // any query removed
  const char* host = nullptr;    // the Host header; nullptr: none
  const char* token = nullptr;   // the query's token; nullptr: none
  const char* cookie = nullptr;  // the key's cookie; nullptr: none
};

// The route for request. With loopbackOnly the Host header must name the
// loopback interface (127.0.0.1, localhost or [::1], any port), so that a
// web site whose name resolves to 127.0.0.1 cannot read the page from a
// browser on this machine. Then the token or the cookie must be key, for
// every path and method; the page with the right token is Enter, so that
// the token leaves the browser's address bar and history.
Route route(const Request& request, const Key& key, bool loopbackOnly);

}  // namespace zodm::live

#endif  // ZODM_TOOLS_LIVE_ACCESS_H
