// The client endpoint under concurrent requests and address changes.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "testSupport.h"
#include "zodm.h"

namespace {

using zodm::test::openDescriptorCount;
using zodm::test::UdpReceiver;

// Receives on its own thread into a receive buffer as large as the system
// allows, so that a burst of requests is not lost to a full socket buffer.
// Stops once `total` datagrams have arrived over all collectors sharing the
// counter, or once the senders are done and nothing more comes.
class Collector {
 public:
  Collector(const char* address, std::atomic<int>& count, int total,
            const std::atomic<bool>& sendersDone)
      : receiver_(address) {
    const int size = 4 << 20;
    setsockopt(receiver_.fd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    thread_ = std::thread([this, &count, total, &sendersDone] {
      int idle = 0;
      while (count.load() < total && idle < 10) {
        if (auto datagram = receiver_.receive(100)) {
          texts_.push_back(std::move(*datagram));
          ++count;
        } else if (sendersDone.load()) {
          ++idle;
        }
      }
    });
  }
  ~Collector() {
    if (thread_.joinable()) thread_.join();
  }
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  bool ok() const { return receiver_.ok(); }
  // Waits for the receiving thread; returns what it received.
  std::vector<std::string> texts() {
    thread_.join();
    return texts_;
  }

 private:
  UdpReceiver receiver_;
  std::vector<std::string> texts_;
  std::thread thread_;
};

// "!0,<thread>,<request>": each datagram names its sender and sequence.
std::vector<std::string> expectedTexts(int threads, int requests) {
  std::vector<std::string> texts;
  for (int t = 0; t < threads; ++t)
    for (int i = 0; i < requests; ++i)
      texts.push_back("!0," + std::to_string(t) + "," + std::to_string(i));
  std::sort(texts.begin(), texts.end());
  return texts;
}

std::string joined(const std::vector<std::string>& texts) {
  std::string all;
  for (const auto& text : texts) all += text + " ";
  return all;
}

// Threads released together make the first requests of a process: the
// endpoint is initialised once, with one socket, and no request is lost.
// Meant for a process where no client call has been made yet; prints what
// went wrong on stderr and exits non-zero if anything did.
[[noreturn]] void simultaneousFirstRequests() {
  constexpr int kThreads = 8;
  constexpr int kRequests = 25;
  std::atomic<int> count{0};
  std::atomic<bool> done{false};
  std::string failures;
  {
    Collector loopback("127.0.0.1", count, kThreads * kRequests, done);
    if (!loopback.ok()) failures += "cannot bind 127.0.0.1:50555\n";
    const int before = openDescriptorCount();
    std::barrier start(kThreads);
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
      senders.emplace_back([t, &start] {
        start.arrive_and_wait();
        for (int i = 0; i < kRequests; ++i) dmDisplay(t, i);
      });
    for (auto& sender : senders) sender.join();
    done = true;
    const int after = openDescriptorCount();
    if (after != before + 1)
      failures += "descriptors: " + std::to_string(before) + " before, " +
                  std::to_string(after) + " after\n";
    auto texts = loopback.texts();
    std::sort(texts.begin(), texts.end());
    if (texts != expectedTexts(kThreads, kRequests))
      failures += "received: " + joined(texts) + "\n";
  }
  std::fputs(failures.c_str(), stderr);
  std::exit(failures.empty() ? 0 : 1);
}

// Runs in newly executed copies of the binary, whatever ran before here.
// Whether the threads meet inside the first initialisation is a matter of
// scheduling, so the race is run in several processes.
TEST(ClientThreadsDeathTest, SimultaneousFirstRequestsShareOneSocket) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EXIT(simultaneousFirstRequests(), ::testing::ExitedWithCode(0), "");
  }
}

// Requests from several threads while another keeps switching the endpoint
// between two addresses: every request reaches one of them, and no replaced
// socket stays open.
TEST(ClientThreads, RequestsDuringAddressChanges) {
  constexpr int kThreads = 4;
  constexpr int kRequests = 500;
  constexpr int kSwitches = 200;
  ASSERT_EQ(0, dmMessageInit("127.0.0.1"));
  std::atomic<int> count{0};
  std::atomic<bool> done{false};
  Collector loopback("127.0.0.1", count, kThreads * kRequests, done);
  Collector other("127.0.0.2", count, kThreads * kRequests, done);
  ASSERT_TRUE(loopback.ok());
  ASSERT_TRUE(other.ok());
  const int before = openDescriptorCount();

  std::barrier start(kThreads + 1);
  std::vector<std::thread> threads;
  std::atomic<int> failedInits{0};
  threads.emplace_back([&] {
    start.arrive_and_wait();
    for (int i = 0; i < kSwitches; ++i)
      if (dmMessageInit(i % 2 == 0 ? "127.0.0.2" : "127.0.0.1") != 0)
        ++failedInits;
  });
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &start] {
      start.arrive_and_wait();
      for (int i = 0; i < kRequests; ++i) dmDisplay(t, i);
    });
  for (auto& thread : threads) thread.join();
  done = true;

  EXPECT_EQ(0, failedInits.load());
  EXPECT_EQ(before, openDescriptorCount());
  auto texts = loopback.texts();
  const auto more = other.texts();
  texts.insert(texts.end(), more.begin(), more.end());
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(expectedTexts(kThreads, kRequests), texts);
}

}  // namespace
