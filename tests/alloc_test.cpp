// SPDX-License-Identifier: MIT
// The valid request and parsing paths make no heap allocation: malloc,
// calloc and realloc are interposed and counted while the paths run.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "testSupport.h"
#include "zodm.h"

// The sanitizers bring their own allocators, which a second interposer
// would bypass or break; there the counting is compiled out and the tests
// are skipped.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZODM_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define ZODM_SANITIZED 1
#endif
#endif

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
// Keeps an allocation observable, so the compiler cannot elide it.
std::string* volatile kept = nullptr;
char* volatile copied = nullptr;

// Heap allocations made, by any code in the process, while work runs.
long allocationsDuring(const std::function<void()>& work) {
  allocations = 0;
  counting = true;
  work();
  counting = false;
  return allocations;
}

}  // namespace

#ifndef ZODM_SANITIZED
// Definitions in the executable take precedence over the C library's for
// every caller, the shared library and the C library itself included. They
// forward to glibc's own allocator.
namespace {
void count() {
  if (counting.load(std::memory_order_relaxed)) ++allocations;
}
}  // namespace

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* old, std::size_t size);

void* malloc(std::size_t size) noexcept {
  count();
  return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) noexcept {
  count();
  return __libc_calloc(n, size);
}
void* realloc(void* old, std::size_t size) noexcept {
  count();
  return __libc_realloc(old, size);
}
}
#endif

namespace {

class Allocation : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef ZODM_SANITIZED
    GTEST_SKIP() << "malloc cannot be interposed under a sanitizer";
#endif
  }
};

// Guards against a counter that sees nothing: an allocation made inside the
// C library, and one made by the C++ library, are both counted.
TEST_F(Allocation, CounterSeesAllocationsInOtherLibraries) {
  // The copy is kept past the count, or clang drops the strdup/free pair.
  EXPECT_EQ(1, allocationsDuring([] { copied = strdup("copied"); }));
  std::free(copied);
  EXPECT_GE(allocationsDuring([] { kept = new std::string(1000, 'x'); }), 1);
  delete kept;
}

// The request calls, the socket's creation by the first of them included
// (when this test runs first in its process, as under ctest), allocate
// nothing. The receiver proves the requests were really sent.
TEST_F(Allocation, RequestCallsAllocateNothing) {
  zodm::test::UdpReceiver receiver;
  ASSERT_TRUE(receiver.ok());
  EXPECT_EQ(0, allocationsDuring([] {
              for (int i = 0; i < 100; ++i) {
                dmDisplay(1, 2);
                dmDisplayPartial(2, 1, 0, 0, 100, 200);
                dmDisplayEraseToWhite(3);
              }
            }));
  EXPECT_EQ("!0,1,2", receiver.receive().value_or(""));
  EXPECT_EQ("!1,2,1,0,0,100,200", receiver.receive().value_or(""));
  EXPECT_EQ("!3,3", receiver.receive().value_or(""));
}

TEST_F(Allocation, FramingAndParsingValidTextsAllocateNothing) {
  const char* const kTexts[] = {"!0,1,2",
                                "!dmDisplay,0,3",
                                "!1,2,1,0,0,100,200",
                                "!dmDisplayPartial,1,1,768,1024,0,0",
                                "!3,3",
                                "!dmEraseToWhite,0"};
  const DmCommand kCommands[] = {{DM_CMD_DISPLAY, 1, 2, 0, 0, 0, 0},
                                 {DM_CMD_DISPLAY_PARTIAL, -1, 2, 3, 4, 5, 6},
                                 {DM_CMD_ERASE_TO_WHITE, 3, 0, 0, 0, 0, 0}};
  int accepted = 0;
  EXPECT_EQ(0, allocationsDuring([&] {
              for (const char* text : kTexts) {
                DmCommand command{};
                accepted += dmMessageParser(text, &command) == 0;
              }
              for (const DmCommand& command : kCommands) {
                char buffer[DM_FRAME_SIZE];
                dmMessageFramer(buffer, &command);
              }
            }));
  EXPECT_EQ(6, accepted);
}

}  // namespace
