// SPDX-License-Identifier: MIT
// The client endpoint under concurrent requests and address changes, and
// calls that must never wait: in a child forked from a busy process, in a
// signal handler that interrupted a call, after a thread was cancelled.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

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

// Receives on a thread of its own until `total` datagrams have arrived over
// all receivers sharing `count`, or until nothing more comes once the
// senders are `done`, so that a burst is not lost to a full socket buffer
// meanwhile; get() waits for it and returns what arrived. A plain thread
// rather than std::async: Debian armel's libstdc++, built for ARMv5, lacks
// the futex code that <future> calls when compiled for ARMv6 and later.
class Collector {
 public:
  Collector(const UdpReceiver& receiver, std::atomic<int>& count, int total,
            const std::atomic<bool>& done)
      : thread_([this, &receiver, &count, total, &done] {
          int port = 0;
          for (int idle = 0; count < total && idle < 10;) {
            if (auto datagram = receiver.receive(100, &port)) {
              got_.texts.insert(std::move(*datagram));
              got_.sourcePorts.insert(port);
              ++count;
            } else if (done) {
              ++idle;
            }
          }
        }) {}
  ~Collector() {
    if (thread_.joinable()) thread_.join();
  }
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  Received get() {
    thread_.join();
    return std::move(got_);
  }

 private:
  Received got_;
  std::thread thread_;
};

Collector collect(const UdpReceiver& receiver, std::atomic<int>& count,
                  int total, const std::atomic<bool>& done) {
  return Collector(receiver, count, total, done);
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
    // Sockets are what the threads could leave open; other descriptors come
    // and go (two more were open for a moment once, under AddressSanitizer
    // on a loaded machine).
    const int before = openSocketCount();
    arrived = 0;  // (before the request threads exist, so no lock needed)
    gated = 8;
    const auto sent = sendFromThreads(8, 25, [] {});
    done = true;
    EXPECT_EQ(before + 1, openSocketCount());
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

// Keeps the endpoint busy until destroyed: one thread sends requests, another
// re-points the endpoint between 127.0.0.1 and 127.0.0.2, as a busy
// application would around the calls under test.
class Traffic {
 public:
  Traffic() {
    threads_.emplace_back([this] {
      while (!stop_) dmDisplay(0, 0);
    });
    threads_.emplace_back([this] {
      for (int i = 0; !stop_; ++i)
        dmMessageInit(i % 2 ? "127.0.0.1" : "127.0.0.2");
    });
  }
  ~Traffic() {
    stop_ = true;
    for (auto& thread : threads_) thread.join();
  }
  Traffic(const Traffic&) = delete;
  Traffic& operator=(const Traffic&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

// Children forked while other threads send and re-point the endpoint make a
// request on the endpoint as they found it, re-point it and send again: none
// waits on a thread that did not come along, and each request arrives.
TEST(ClientThreads, ForkedChildrenNeverWait) {
  constexpr int kChildren = 100;
  UdpReceiver children("127.0.0.3");  // only the children send here
  ASSERT_TRUE(children.ok());
  std::atomic<int> count{0};
  std::atomic<bool> done{false};
  auto received = collect(children, count, kChildren, done);
  std::multiset<std::string> sent;
  int failed = 0;
  {
    const Traffic traffic;
    for (int i = 0; i < kChildren; ++i) {
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        dmDisplay(3, i);
        const int32_t result = dmMessageInit("127.0.0.3");
        dmDisplay(3, i);
        _exit(result == 0 ? 0 : 1);
      }
      sent.insert("!0,3," + std::to_string(i));
      const std::optional<int> status = waitWithin(child, 10);
      if (!status) {
        ADD_FAILURE() << "child " << i << " hangs";
        break;
      }
      failed += *status != 0;
    }
  }
  done = true;
  EXPECT_EQ(0, failed);
  EXPECT_EQ(sent, received.get().texts);
}

// The client's socket: the descriptor from which a request reaches service.
int endpointDescriptor(const UdpReceiver& service) {
  dmDisplay(0, 0);
  int port = -1;
  EXPECT_EQ("!0,0,0", service.receive(2000, &port).value_or("<nothing>"));
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename());
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        address.sin_family == AF_INET && ntohs(address.sin_port) == port)
      return fd;
  }
  return -1;
}

// The two ends of a TCP connection on the loopback address.
struct Stream {
  int sending = -1;
  int receiving = -1;
};

Stream connectedStream() {
  Stream stream;
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
      listen(listener, 1) == 0 &&
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) ==
          0) {
    stream.sending = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(stream.sending, reinterpret_cast<sockaddr*>(&address),
                length) == 0)
      stream.receiving = accept(listener, nullptr, nullptr);
  }
  close(listener);
  return stream;
}

// A fork while another thread publishes the first socket can leave the
// child the endpoint's number either not open or open as a descriptor of
// another kind, since the kernel copies the descriptors before the memory.
// Each state is made here by hand before the fork: the child's request must
// reach the service all the same, and nothing may go into that descriptor.
TEST(ClientForkDeathTest, ChildMakesItsOwnSocketWhenTheNumberIsNotOne) {
  for (const bool asStream : {false, true}) {
    SCOPED_TRACE(asStream ? "the number is a connected stream"
                          : "the number is not open");
    expectInFreshProcess([asStream] {
      UdpReceiver service;
      ASSERT_TRUE(service.ok());
      const int endpoint = endpointDescriptor(service);
      ASSERT_GE(endpoint, 0);
      const Stream stream = connectedStream();
      ASSERT_GE(stream.receiving, 0);
      if (asStream)
        ASSERT_EQ(endpoint, dup2(stream.sending, endpoint));
      else
        ASSERT_EQ(0, close(endpoint));
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        dmDisplay(3, 1);
        _exit(0);
      }
      EXPECT_EQ(std::optional<int>(0), waitWithin(child, 10));
      EXPECT_EQ("!0,3,1", service.receive().value_or("<nothing arrived>"));
      char byte = 0;
      EXPECT_EQ(-1, recv(stream.receiving, &byte, 1, MSG_DONTWAIT))
          << "a request went into the stream";
    });
  }
}

std::atomic<int> handled{0};

void requestFromHandler(int) {
  dmDisplayPartial(2, 1, 0, 0, 100, 200);
  handled.fetch_add(1, std::memory_order_relaxed);
}

// A signal handler makes requests while the thread it interrupts is itself
// making requests and re-pointing the endpoint, and another thread
// re-points it too: nothing waits, every request is sent, no socket leaks.
TEST(ClientThreads, RequestsFromSignalHandlers) {
  expectFinishesWithin(60, [] {
    constexpr int kRounds = 2000;
    UdpReceiver loopback("127.0.0.1");
    UdpReceiver other("127.0.0.2");
    ASSERT_TRUE(loopback.ok() && other.ok());
    std::atomic<int> count{0};
    std::atomic<bool> done{false};
    auto atLoopback = collect(loopback, count, INT_MAX, done);
    auto atOther = collect(other, count, INT_MAX, done);
    ASSERT_EQ(0, dmMessageInit("127.0.0.1"));
    const int before = openDescriptorCount();

    struct sigaction action {};
    action.sa_handler = requestFromHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, nullptr);
    const pthread_t self = pthread_self();
    std::atomic<bool> stop{false};
    std::thread signaller([&stop, self] {
      while (!stop) {
        pthread_kill(self, SIGUSR1);
        std::this_thread::yield();
      }
    });
    std::thread repointer([&stop] {
      for (int i = 0; !stop; ++i)
        dmMessageInit(i % 2 ? "127.0.0.2" : "127.0.0.1");
    });
    std::multiset<std::string> sent;
    for (int i = 0; i < kRounds; ++i) {
      dmDisplay(1, i);
      dmMessageInit(i % 2 ? "127.0.0.1" : "127.0.0.2");
      sent.insert("!0,1," + std::to_string(i));
    }
    stop = true;
    signaller.join();
    repointer.join();
    signal(SIGUSR1, SIG_IGN);
    done = true;

    EXPECT_GT(handled, 0);
    EXPECT_EQ(before, openDescriptorCount());
    for (int i = 0; i < handled; ++i) sent.insert("!1,2,1,0,0,100,200");
    auto texts = atLoopback.get().texts;
    texts.merge(atOther.get().texts);
    EXPECT_EQ(sent, texts);
  });
}

// Re-points the endpoint away from 127.0.0.1 and sends, until cancelled
// (sendto is a cancellation point).
void* requestsUntilCancelled(void*) {
  for (int i = 0;; ++i) {
    dmMessageInit(i % 2 ? "127.0.0.4" : "127.0.0.5");
    dmDisplay(0, i);
  }
}

// Threads cancelled in the middle of request calls and dmMessageInit leave
// nothing held: another thread then re-points the endpoint and sends, and
// no socket is left open.
TEST(ClientThreads, CancelledThreadsLeaveNothingHeld) {
  expectFinishesWithin(60, [] {
    UdpReceiver loopback("127.0.0.1");
    ASSERT_TRUE(loopback.ok());
    ASSERT_EQ(0, dmMessageInit("127.0.0.1"));
    const int before = openDescriptorCount();
    for (int round = 0; round < 20; ++round) {
      SCOPED_TRACE(round);
      pthread_t thread;
      ASSERT_EQ(
          0, pthread_create(&thread, nullptr, requestsUntilCancelled, nullptr));
      usleep(static_cast<useconds_t>(500 * (1 + round % 4)));
      pthread_cancel(thread);
      pthread_join(thread, nullptr);
      EXPECT_EQ(0, dmMessageInit("127.0.0.1"));
      dmDisplay(2, round);
      EXPECT_EQ("!0,2," + std::to_string(round),
                loopback.receive().value_or("<nothing arrived>"));
    }
    EXPECT_EQ(before, openDescriptorCount());
  });
}

}  // namespace
