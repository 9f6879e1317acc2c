// SPDX-License-Identifier: MIT
// See server.h. libmicrohttpd runs one thread per connection, so a
// viewer's stream may wait for the feed's news in its own thread; the
// receive loop never waits for it (see feed.h).
#include "server.h"

#include <microhttpd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

#include "assets.h"
#include "stopSignals.h"

namespace zodm::live {

namespace {

// Handlers return enum MHD_Result since libmicrohttpd 0.9.71, int before.
#if MHD_VERSION >= 0x00097002
using Answer = enum MHD_Result;
#else
using Answer = int;
#endif

// Coalescing: a viewer gets at most one message per interval, carrying
// everything that arrived since its last one, and one at least every tick,
// which keeps its request rate current and finds a vanished browser.
constexpr auto kInterval = std::chrono::milliseconds(100);
constexpr auto kTick = std::chrono::seconds(1);
// Rows that did not fit in a message (kRowBudget) follow after this long,
// so a viewer that is behind gets at most some 5 MB a second, however many
// full updates arrive.
constexpr auto kMoreInterval = std::chrono::milliseconds(50);
// Connections of every kind at once; more are closed at once.
constexpr unsigned kMaxConnections = 32;
// Seconds without any progress (an idle keep-alive connection, a browser
// that stopped reading) before a connection is closed.
constexpr unsigned kIdleSeconds = 30;
constexpr std::size_t kThreadStack = 512 * 1024;
constexpr std::size_t kBlockSize = 16 * 1024;

// The page and its script and style come from this server only; it may not
// be framed, and nothing may be sent anywhere from it but reads of the same
// origin.
constexpr char kPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; "
    "connect-src 'self'; img-src 'self'; base-uri 'none'; "
    "form-action 'none'; frame-ancestors 'none'";

}  // namespace

struct Server::Impl {
  Feed& feed;
  bool loopbackOnly;
  Key key;
  std::string cookieName;
  // What Enter sets: the key's cookie, for this host and every path, never
  // readable by a script, never sent along from another site.
  std::string setCookie;
  MHD_Daemon* daemon = nullptr;
  std::atomic<unsigned> viewers{0};

  Impl(Feed& f, const Endpoint& endpoint, const Key& k)
      : feed(f),
        loopbackOnly(endpoint.loopback()),
        key(k),
        cookieName(live::cookieName(endpoint.port)),
        setCookie(cookieName + "=" + k.hex() +
                  "; Path=/; HttpOnly; SameSite=Strict") {}
};

namespace {

// One viewer's stream: where it stands in the feed and the message being
// sent, handed to libmicrohttpd in blocks.
struct Viewer {
  Server::Impl& server;
  Cursor cursor;
  std::string message;
  std::size_t offset = 0;
  Feed::Clock::time_point last{};
};

ssize_t readStream(void* closure, uint64_t, char* buffer, std::size_t max) {
  Viewer& viewer = *static_cast<Viewer*>(closure);
  Feed& feed = viewer.server.feed;
  while (viewer.offset == viewer.message.size()) {
    viewer.message.clear();
    viewer.offset = 0;
    if (!viewer.cursor.started) {
      // The browser reconnects a second after the stream ends.
      viewer.message = "retry: 1000\n";
    } else if (viewer.cursor.pending()) {
      if (!feed.sleepUntil(viewer.last + kMoreInterval))
        return MHD_CONTENT_READER_END_OF_STREAM;
    } else if (!feed.sleepUntil(viewer.last + kInterval) ||
               !feed.waitForNews(viewer.cursor, viewer.last + kTick)) {
      return MHD_CONTENT_READER_END_OF_STREAM;
    }
    if (feed.stopped()) return MHD_CONTENT_READER_END_OF_STREAM;
    viewer.last = Feed::Clock::now();
    viewer.message += "data: ";
    viewer.message += feed.nextMessage(viewer.cursor);
    viewer.message += "\n\n";
  }
  const std::size_t length =
      std::min(max, viewer.message.size() - viewer.offset);
  std::memcpy(buffer, viewer.message.data() + viewer.offset, length);
  viewer.offset += length;
  return static_cast<ssize_t>(length);
}

void endStream(void* closure) {
  auto* viewer = static_cast<Viewer*>(closure);
  --viewer->server.viewers;
  delete viewer;
}

void addHeaders(MHD_Response* response, const char* type) {
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  MHD_add_response_header(response, "Content-Security-Policy", kPolicy);
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "X-Frame-Options", "DENY");
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
  MHD_add_response_header(response, "Cross-Origin-Resource-Policy",
                          "same-origin");
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
}

Answer send(MHD_Connection* connection, unsigned status, MHD_Response* response,
            const char* type) {
  if (response == nullptr) return MHD_NO;
  addHeaders(response, type);
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
    MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  if (status == MHD_HTTP_SEE_OTHER)
    MHD_add_response_header(response, MHD_HTTP_HEADER_LOCATION, "/");
  const Answer queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

constexpr char kText[] = "text/plain; charset=utf-8";
constexpr char kStream[] = "text/event-stream";

// A request being answered.
struct Call {
  Server::Impl& server;
  MHD_Connection* connection;
  bool head;  // HEAD: the headers only
};

// A fixed text or document that outlives the server.
Answer sendStatic(const Call& call, unsigned status, std::string_view body,
                  const char* type) {
  return send(
      call.connection, status,
      MHD_create_response_from_buffer(
          body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_PERSISTENT),
      type);
}

Answer sendCopy(const Call& call, unsigned status, const std::string& body,
                const char* type) {
  return send(
      call.connection, status,
      MHD_create_response_from_buffer(
          body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY),
      type);
}

// The address without the token, which then stays out of the browser's
// history; the cookie carries the key from here on.
Answer enter(const Call& call) {
  static constexpr char kEnter[] = "zodm-screen: the live page is at /\n";
  MHD_Response* response = MHD_create_response_from_buffer(
      sizeof kEnter - 1, const_cast<char*>(kEnter), MHD_RESPMEM_PERSISTENT);
  if (response != nullptr)
    MHD_add_response_header(response, MHD_HTTP_HEADER_SET_COOKIE,
                            call.server.setCookie.c_str());
  return send(call.connection, MHD_HTTP_SEE_OTHER, response, kText);
}

Answer viewers(const Call& call) {
  return sendCopy(call, MHD_HTTP_OK,
                  "{\"viewers\":" + std::to_string(call.server.viewers) +
                      ",\"max\":" + std::to_string(kMaxViewers) + "}",
                  "application/json");
}

// A viewer's stream of the feed's messages, while there is room for one.
Answer events(const Call& call) {
  Server::Impl& server = call.server;
  if (call.head) return sendStatic(call, MHD_HTTP_OK, "", kStream);
  if (server.viewers.fetch_add(1) >= kMaxViewers) {
    --server.viewers;
    return sendCopy(call, MHD_HTTP_SERVICE_UNAVAILABLE,
                    "zodm-screen: already " + std::to_string(kMaxViewers) +
                        " viewers are watching; close one of them and try "
                        "again\n",
                    kText);
  }
  auto* viewer = new Viewer{server, {}, {}, 0, {}};
  // From here on endStream counts the viewer out, whatever happens.
  MHD_Response* response = MHD_create_response_from_callback(
      MHD_SIZE_UNKNOWN, kBlockSize, readStream, viewer, endStream);
  if (response == nullptr) endStream(viewer);
  return send(call.connection, MHD_HTTP_OK, response, kStream);
}

// What answers each route: the page's files, fixed texts, or what the
// server knows.
const struct {
  Route route;
  Answer (*answer)(const Call&);
} kAnswers[] = {
    {Route::Page,
     [](const Call& c) {
       return sendStatic(c, MHD_HTTP_OK, pageHtml(),
                         "text/html; charset=utf-8");
     }},
    {Route::Script,
     [](const Call& c) {
       return sendStatic(c, MHD_HTTP_OK, pageScript(),
                         "text/javascript; charset=utf-8");
     }},
    {Route::Style,
     [](const Call& c) {
       return sendStatic(c, MHD_HTTP_OK, pageStyle(),
                         "text/css; charset=utf-8");
     }},
    {Route::Enter, enter},
    {Route::Events, events},
    {Route::Viewers, viewers},
    {Route::NoIcon,
     [](const Call& c) {
       return sendStatic(c, MHD_HTTP_NO_CONTENT, "", kText);
     }},
    {Route::NotFound,
     [](const Call& c) {
       return sendStatic(c, MHD_HTTP_NOT_FOUND, "zodm-screen: no such page\n",
                         kText);
     }},
    {Route::NotAllowed,
     [](const Call& c) {
       return sendStatic(
           c, MHD_HTTP_METHOD_NOT_ALLOWED,
           "zodm-screen: the live page only answers GET and HEAD\n", kText);
     }},
    {Route::WrongHost,
     [](const Call& c) {
       return sendStatic(c, MHD_HTTP_FORBIDDEN,
                         "zodm-screen: the live page is served on the loopback "
                         "address only; open it as http://127.0.0.1:PORT/\n",
                         kText);
     }},
    {Route::NoKey,
     [](const Call& c) {
       return sendStatic(c, MHD_HTTP_FORBIDDEN,
                         "zodm-screen: the live page needs its key; open the "
                         "address that zodm-screen printed when it started "
                         "(http://ADDRESS:PORT/?token=...)\n",
                         kText);
     }},
};

Answer answer(void* closure, MHD_Connection* connection, const char* url,
              const char* method, const char*, const char*,
              std::size_t* uploadSize, void**) {
  auto& server = *static_cast<Server::Impl*>(closure);
  // A body (which only refused methods carry) is read and dropped.
  if (*uploadSize != 0) {
    *uploadSize = 0;
    return MHD_YES;
  }
  Request request;
  request.method = method;
  request.path = url;
  request.host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                             MHD_HTTP_HEADER_HOST);
  request.token =
      MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "token");
  request.cookie = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND,
                                               server.cookieName.c_str());
  const Route found = route(request, server.key, server.loopbackOnly);
  const Call call{server, connection, std::strcmp(method, "HEAD") == 0};
  for (const auto& entry : kAnswers)
    if (entry.route == found) return entry.answer(call);
  return MHD_NO;
}

}  // namespace

Server::Server(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<Server> Server::start(int listenFd, const Endpoint& endpoint,
                                      const Key& key, Feed& feed,
                                      std::string& problem) {
  auto impl = std::make_unique<Impl>(feed, endpoint, key);
  {
    // The server's threads inherit this thread's signal mask.
    const tools::StopSignalsBlocked blocked;
    impl->daemon = MHD_start_daemon(
        MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD, 0,
        nullptr, nullptr, answer, impl.get(), MHD_OPTION_LISTEN_SOCKET,
        listenFd, MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
        MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
        MHD_OPTION_THREAD_STACK_SIZE, kThreadStack, MHD_OPTION_END);
  }
  if (impl->daemon == nullptr) {
    problem = "libmicrohttpd could not start its server";
    return nullptr;
  }
  return std::unique_ptr<Server>(new Server(std::move(impl)));
}

Server::~Server() {
  impl_->feed.stop();
  MHD_stop_daemon(impl_->daemon);
}

}  // namespace zodm::live
