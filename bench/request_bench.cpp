// SPDX-License-Identifier: MIT
// What a request call costs beside the kernel's own work: dmDisplayPartial
// against a raw sendto of the same 18 bytes, from the same kind of socket, to
// the same loopback receiver; once from one thread, and once from two
// threads at the same time, where the raw sends share one socket as the
// library's do.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "zodm.h"

namespace {

constexpr char kPartial[] = "!1,2,1,0,0,100,200";  // dmDisplayPartial(2,1,...)

sockaddr_in service() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(DM_SERVER_PORT);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A socket bound to the service address and drained by its own thread, so
// that every send finds a listener with room, as a running display service
// would provide (an unbound port answers every datagram with an ICMP error).
class Drain {
 public:
  Drain() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = service();
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&address),
             sizeof address) != 0) {
      std::perror("bench: cannot bind 127.0.0.1:50555 (is a service running?)");
      std::exit(1);
    }
    // A short timeout lets the thread notice the end of the run.
    const timeval timeout{0, 100000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    thread_ = std::thread([this] {
      constexpr unsigned kBatch = 64;
      char buffers[kBatch][64];
      iovec vectors[kBatch];
      mmsghdr messages[kBatch]{};
      for (unsigned i = 0; i < kBatch; ++i) {
        vectors[i] = {buffers[i], sizeof buffers[i]};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
      }
      while (!stop_.load(std::memory_order_relaxed))
        recvmmsg(fd_, messages, kBatch, 0, nullptr);
    });
  }
  ~Drain() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }

 private:
  int fd_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

Drain& drain() {
  static Drain instance;
  return instance;
}

// The raw sends' socket, of the same kind the client creates (IPv4 datagram,
// unconnected), created once: two sending threads share it, as the
// library's threads share the endpoint's.
int rawSocket() {
  static const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return fd;
}

void BM_RawSendto(benchmark::State& state) {
  drain();
  const int fd = rawSocket();
  const sockaddr_in address = service();
  for (auto _ : state) {
    benchmark::DoNotOptimize(sendto(fd, kPartial, sizeof kPartial - 1, 0,
                                    reinterpret_cast<const sockaddr*>(&address),
                                    sizeof address));
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_DisplayPartial(benchmark::State& state) {
  drain();
  dmDisplayPartial(2, 1, 0, 0, 100, 200);  // creates the client's socket
  for (auto _ : state) {
    benchmark::DoNotOptimize(dmDisplayPartial(2, 1, 0, 0, 100, 200));
  }
  state.SetItemsProcessed(state.iterations());
}

// Each once from one thread, and from two threads at once as throughput in
// wall-clock time: whatever the endpoint makes threads share or wait for
// shows there.
BENCHMARK(BM_RawSendto);
BENCHMARK(BM_DisplayPartial);
BENCHMARK(BM_RawSendto)->Threads(2)->UseRealTime();
BENCHMARK(BM_DisplayPartial)->Threads(2)->UseRealTime();

}  // namespace
