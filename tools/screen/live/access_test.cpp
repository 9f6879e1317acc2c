// SPDX-License-Identifier: MIT
// Who may read the live page: its key, its cookie and the route of each
// request by method, path, Host and key.
#include "access.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace zodm::live {
namespace {

constexpr char kKey[] = "00112233445566778899aabbccddeeff";

TEST(Key, RandomHexAndCompared) {
  std::string problem;
  const std::optional<Key> one = Key::generate(problem);
  const std::optional<Key> two = Key::generate(problem);
  ASSERT_TRUE(one && two) << problem;
  EXPECT_EQ(32u, one->hex().size());
  EXPECT_EQ(std::string::npos,
            one->hex().find_first_not_of("0123456789abcdef"));
  EXPECT_NE(one->hex(), two->hex());

  const Key key(kKey);
  const struct {
    const char* text;
    bool matches;
  } kCases[] = {
      {kKey, true},
      {nullptr, false},
      {"", false},
      {"00112233445566778899aabbccddeefe", false},   // last digits swapped
      {"10112233445566778899aabbccddeeff", false},   // first digit
      {"00112233445566778899aabbccddeef", false},    // one short
      {"00112233445566778899aabbccddeeff0", false},  // one more
      {"00112233445566778899AABBCCDDEEFF", false},   // as printed only
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text != nullptr ? c.text : "(none)");
    EXPECT_EQ(c.matches, key.matches(c.text));
  }
  EXPECT_FALSE(Key().matches(""));  // no key matches nothing
  EXPECT_EQ("zodm-screen-8050", cookieName(8050));
}

TEST(Route, MethodsPathsHostsAndKeys) {
  const char* const wrong = "ffeeddccbbaa99887766554433221100";
  const struct {
    const char* method;
    const char* path;
    const char* host;
    const char* token;
    const char* cookie;
    bool loopbackOnly;
    Route route;
  } kCases[] = {
      {"GET", "/", "127.0.0.1:8050", nullptr, kKey, true, Route::Page},
      {"HEAD", "/", "localhost", nullptr, kKey, true, Route::Page},
      {"GET", "/page.js?x=1", "LocalHost:9", nullptr, kKey, true,
       Route::Script},
      {"GET", "/page.css", "[::1]:8050", nullptr, kKey, true, Route::Style},
      {"GET", "/events", nullptr, nullptr, kKey, true, Route::Events},
      {"GET", "/viewers", "127.0.0.1", nullptr, kKey, true, Route::Viewers},
      {"GET", "/favicon.ico", "127.0.0.1", nullptr, kKey, true, Route::NoIcon},
      {"GET", "/index.html", "127.0.0.1", nullptr, kKey, true, Route::NotFound},
      {"GET", "/events/", "127.0.0.1", nullptr, kKey, true, Route::NotFound},
      {"POST", "/", "127.0.0.1", nullptr, kKey, true, Route::NotAllowed},
      {"PUT", "/events", "127.0.0.1", nullptr, kKey, true, Route::NotAllowed},
      {"get", "/", "127.0.0.1", nullptr, kKey, true, Route::NotAllowed},
      {"POST", "/", "elsewhere.example", nullptr, kKey, true, Route::WrongHost},
      {"GET", "/", "elsewhere.example:8050", nullptr, kKey, true,
       Route::WrongHost},
      {"GET", "/", "127.0.0.1.example", nullptr, kKey, true, Route::WrongHost},
      {"GET", "/", "0.0.0.0:8050", nullptr, kKey, true, Route::WrongHost},
      {"GET", "/", "elsewhere.example:8050", nullptr, kKey, false, Route::Page},
      // The key: the right token enters the page, and opens every other
      // path as the cookie does; without either, nothing is served.
      {"GET", "/", "127.0.0.1", kKey, nullptr, true, Route::Enter},
      {"HEAD", "/", "127.0.0.1", kKey, kKey, true, Route::Enter},
      {"GET", "/", "127.0.0.1", wrong, kKey, true, Route::Page},
      {"GET", "/events", "127.0.0.1", kKey, nullptr, true, Route::Events},
      {"GET", "/", "127.0.0.1", nullptr, nullptr, true, Route::NoKey},
      {"GET", "/", "127.0.0.1", wrong, nullptr, true, Route::NoKey},
      {"GET", "/", "127.0.0.1", nullptr, wrong, true, Route::NoKey},
      {"GET", "/", "127.0.0.1", "", "", true, Route::NoKey},
      {"GET", "/events", "127.0.0.1", nullptr, nullptr, true, Route::NoKey},
      {"GET", "/page.js", "127.0.0.1", nullptr, nullptr, true, Route::NoKey},
      {"GET", "/favicon.ico", nullptr, nullptr, nullptr, true, Route::NoKey},
      {"GET", "/nowhere", "127.0.0.1", wrong, nullptr, true, Route::NoKey},
      {"POST", "/", "127.0.0.1", nullptr, nullptr, true, Route::NoKey},
      {"GET", "/", "device.example:8050", nullptr, nullptr, false,
       Route::NoKey},
      {"GET", "/", "device.example:8050", kKey, nullptr, false, Route::Enter},
  };
  const Key key(kKey);
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path + " " +
                 (c.host != nullptr ? c.host : "(no host)") + " token " +
                 (c.token != nullptr ? c.token : "(none)") + " cookie " +
                 (c.cookie != nullptr ? c.cookie : "(none)"));
    Request request;
    request.method = c.method;
    request.path = c.path;
    request.host = c.host;
    request.token = c.token;
    request.cookie = c.cookie;
    EXPECT_EQ(c.route, route(request, key, c.loopbackOnly));
  }
}

}  // namespace
}  // namespace zodm::live
