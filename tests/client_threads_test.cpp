// The client endpoint under concurrent requests and address changes.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "testSupport.h"
#include "zodm.h"

namespace {

using namespace zodm::test;

// While gated > 0, calls of socket wait until `gated` of them have arrived
// (or a second has passed): creating the socket is how a request thread
// starts the implicit initialisation, so the threads all meet there.
int gated = 0;
int arrived = 0;
std::mutex gateLock;
std::condition_variable gateOpen;

}  // namespace

// Interposed over the C library's, which it calls in the end.
extern "C" int socket(int family, int type, int protocol) {
  using Real = int (*)(int, int, int);
  static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "socket"));
  if (gated > 0) {
    std::unique_lock lock(gateLock);
    ++arrived;
    gateOpen.notify_all();
    gateOpen.wait_for(lock, std::chrono::seconds(1),
                      [] { return arrived >= gated; });
  }
  return real(family, type, protocol);
}

namespace {

struct Received {
  std::multiset<std::string> texts;
  std::set<int> sourcePorts;  // one per client socket that sent
};

// Receives on another thread until `total` datagrams have arrived over all
// receivers sharing `count`, or until nothing more comes once the senders
// are `done`; a burst is not lost to a full socket buffer meanwhile.
std::future<Received> collect(const UdpReceiver& receiver,
                              std::atomic<int>& count, int total,
                              const std::atomic<bool>& done) {
  return std::async(std::launch::async, [&receiver, &count, total, &done] {
    Received got;
    int port = 0;
    for (int idle = 0; count < total && idle < 10;) {
      if (auto datagram = receiver.receive(100, &port)) {
        got.texts.insert(std::move(*datagram));
        got.sourcePorts.insert(port);
        ++count;
      } else if (done) {
        ++idle;
      }
    }
    return got;
  });
}

// Releases `threads` threads together, each sending "!0,<thread>,<i>" for i
// below `requests`, while `alongside` runs on one more thread. Returns the
// texts sent.
std::multiset<std::string> sendFromThreads(
    int threads, int requests, const std::function<void()>& alongside) {
  std::barrier start(threads + 1);
  std::vector<std::thread> running;
  running.emplace_back([&] {
    start.arrive_and_wait();
    alongside();
  });
  std::multiset<std::string> texts;
  for (int t = 0; t < threads; ++t) {
    running.emplace_back([t, requests, &start] {
      start.arrive_and_wait();
      for (int i = 0; i < requests; ++i) dmDisplay(t, i);
    });
    for (int i = 0; i < requests; ++i)
      texts.insert("!0," + std::to_string(t) + "," + std::to_string(i));
  }
  for (auto& thread : running) thread.join();
  return texts;
}

// Threads released together make the first requests of a fresh process, and
// all of them find the endpoint uninitialised (they meet in socket): one
// socket is published, the others are closed at once, and that one socket
// sends every request.
TEST(ClientThreadsDeathTest, SimultaneousFirstRequestsShareOneSocket) {
  expectInFreshProcess([] {
    std::atomic<int> count{0};
    std::atomic<bool> done{false};
    UdpReceiver loopback;
    ASSERT_TRUE(loopback.ok());
    auto received = collect(loopback, count, 8 * 25, done);
    const int before = openDescriptorCount();
    arrived = 0;  // (before the request threads exist, so no lock needed)
    gated = 8;
    const auto sent = sendFromThreads(8, 25, [] {});
    done = true;
    EXPECT_EQ(before + 1, openDescriptorCount());
    const Received got = received.get();
    EXPECT_EQ(1u, got.sourcePorts.size());
    EXPECT_EQ(sent, got.texts);
  });
}

// Requests from several threads while another keeps switching the endpoint
// between two addresses: every request reaches one of them, and no replaced
// socket stays open.
TEST(ClientThreads, RequestsDuringAddressChanges) {
  ASSERT_EQ(0, dmMessageInit("127.0.0.1"));
  std::atomic<int> count{0};
  std::atomic<bool> done{false};
  UdpReceiver loopback("127.0.0.1");
  UdpReceiver other("127.0.0.2");
  ASSERT_TRUE(loopback.ok() && other.ok());
  auto atLoopback = collect(loopback, count, 4 * 500, done);
  auto atOther = collect(other, count, 4 * 500, done);
  const int before = openDescriptorCount();
  int failedInits = 0;
  const auto sent = sendFromThreads(4, 500, [&failedInits] {
    for (int i = 0; i < 200; ++i)
      failedInits += dmMessageInit(i % 2 ? "127.0.0.1" : "127.0.0.2") != 0;
  });
  done = true;
  EXPECT_EQ(0, failedInits);
  EXPECT_EQ(before, openDescriptorCount());
  auto texts = atLoopback.get().texts;
  texts.merge(atOther.get().texts);
  EXPECT_EQ(sent, texts);
}

}  // namespace
