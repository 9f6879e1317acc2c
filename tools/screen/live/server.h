// SPDX-License-Identifier: MIT
// The live page's HTTP server, on libmicrohttpd: serves the page and, to at
// most kMaxViewers viewers at a time, the feed's messages as Server-Sent
// Events. It answers GET and HEAD only, only to requests that carry the
// page's key, and nothing it answers changes the emulator.
#ifndef ZODM_TOOLS_LIVE_SERVER_H
#define ZODM_TOOLS_LIVE_SERVER_H

#include <memory>
#include <string>

#include "access.h"
#include "endpoint.h"
#include "feed.h"

namespace zodm::live {

constexpr unsigned kMaxViewers = 8;

class Server {
 public:
  // Serves from listenFd, a socket listening on endpoint (listenOn), which
  // it then owns, with threads of its own that never take SIGINT or SIGTERM,
  // to the requests that carry key. Returns nullptr and why in problem when
  // it cannot start.
  static std::unique_ptr<Server> start(int listenFd, const Endpoint& endpoint,
                                       const Key& key, Feed& feed,
                                       std::string& problem);
  // Stops the feed, ends every viewer's stream and waits for the threads.
  ~Server();

  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  struct Impl;

 private:
  explicit Server(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace zodm::live

#endif  // ZODM_TOOLS_LIVE_SERVER_H
