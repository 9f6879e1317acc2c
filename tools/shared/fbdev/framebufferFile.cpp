// SPDX-License-Identifier: MIT
// See framebufferFile.h.
#include "framebufferFile.h"

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "wholeFile.h"

namespace zodm::tools {

namespace {

using geometry::kHeight;
using geometry::kWidth;
using geometry::Rect;

// Creates path white: the pixels are written to a temporary file beside it,
// which is then linked to path, so that an application that opens path
// never finds it shorter than it should be. Returns 0, EEXIST when another
// process created path meanwhile, or the errno of what failed.
int createWhite(const std::string& path) {
  std::string temporary = path + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  // mkostemp makes the file private; the application must be able to
  // draw into it.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  const std::vector<uint8_t> white(kFramebufferBytes, kWhite);
  int error = writeAll(fd, white.data(), white.size()) ? 0 : errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && link(temporary.c_str(), path.c_str()) != 0) error = errno;
  unlink(temporary.c_str());
  return error;
}

// A copy from a mapping whose file was cut short faults with SIGBUS. While a
// thread copies, its guard points where to return to, and the handler goes
// back there when the fault lies in that thread's mapping; any other SIGBUS
// ends the program as it would have.
struct Guard {
  sigjmp_buf back;
  const uint8_t* begin;
  const uint8_t* end;
};
// Volatile, so that setting it around the copy is never optimised away.
thread_local Guard* volatile activeGuard = nullptr;

extern "C" void onBusError(int signal, siginfo_t* info, void*) {
  Guard* guard = activeGuard;
  const auto* address = static_cast<const uint8_t*>(info->si_addr);
  if (guard != nullptr && address >= guard->begin && address < guard->end)
    siglongjmp(guard->back, 1);
  ::signal(signal, SIG_DFL);
  raise(signal);
}

void catchBusErrors() {
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_sigaction = onBusError;
    // Not blocked in the handler, so that leaving it by siglongjmp needs no
    // saved mask.
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGBUS, &action, nullptr) == 0;
  }();
  (void)installed;
}

std::string sizeProblem(long long size) {
  char text[160];
  std::snprintf(text, sizeof text,
                "it is %lld bytes long, not %zu (%d x %d pixels, one byte "
                "each)",
                size, kFramebufferBytes, kWidth, kHeight);
  return text;
}

}  // namespace

Framebuffer::Framebuffer(std::string path, int fd, const uint8_t* pixels)
    : path_(std::move(path)), fd_(fd), pixels_(pixels) {}

Framebuffer::~Framebuffer() {
  if (inMemory()) return;
  munmap(const_cast<uint8_t*>(pixels_), kFramebufferBytes);
  ::close(fd_);
}

std::unique_ptr<Framebuffer> Framebuffer::open(const std::string& path,
                                               std::string& problem,
                                               bool create) {
  // Only read: the application draws, the tool looks.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT && create) {
    const int error = createWhite(path);
    if (error != 0 && error != EEXIST) {
      problem = std::strerror(error);
      return nullptr;
    }
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  }
  if (fd < 0) {
    problem = std::strerror(errno);
    return nullptr;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    problem = S_ISDIR(status.st_mode) ? "it is a directory"
                                      : "it is not a regular file";
    ::close(fd);
    return nullptr;
  }
  if (static_cast<unsigned long long>(status.st_size) != kFramebufferBytes) {
    problem = sizeProblem(static_cast<long long>(status.st_size));
    ::close(fd);
    return nullptr;
  }
  void* mapped = mmap(nullptr, kFramebufferBytes, PROT_READ, MAP_SHARED, fd, 0);
  if (mapped == MAP_FAILED) {
    problem = std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  catchBusErrors();
  return std::unique_ptr<Framebuffer>(
      new Framebuffer(path, fd, static_cast<const uint8_t*>(mapped)));
}

bool Framebuffer::copyRows(const Rect& r, uint8_t* out, std::size_t stride,
                           std::size_t origin) const {
  Guard guard;
  guard.begin = pixels_;
  guard.end = pixels_ + kFramebufferBytes;
  // Changed after the jump point and read after a jump back: volatile.
  volatile bool whole = false;
  if (sigsetjmp(guard.back, 0) == 0) {
    activeGuard = &guard;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    const auto width = static_cast<std::size_t>(r.width());
    const auto x0 = static_cast<std::size_t>(r.x0);
    for (int y = r.y0; y <= r.y1; ++y) {
      const auto row = static_cast<std::size_t>(y);
      std::memcpy(out + row * stride + x0 - origin, pixels_ + row * kWidth + x0,
                  width);
    }
    std::atomic_signal_fence(std::memory_order_seq_cst);
    whole = true;
  }
  activeGuard = nullptr;
  return whole && intact();
}

bool Framebuffer::copy(const Rect& r, uint8_t* to) const {
  return copyRows(r, to, kWidth, 0);
}

bool Framebuffer::read(const Rect& r, uint8_t* out) const {
  const auto width = static_cast<std::size_t>(r.width());
  return copyRows(
      r, out, width,
      static_cast<std::size_t>(r.y0) * width + static_cast<std::size_t>(r.x0));
}

std::unique_ptr<Framebuffer> Framebuffer::inMemory(const Framebuffer* from) {
  std::unique_ptr<Framebuffer> memory(
      new Framebuffer(from != nullptr ? from->path() : "", -1, nullptr));
  memory->memory_.assign(kFramebufferBytes, kWhite);
  if (from != nullptr) from->copy(geometry::kWholeArea, memory->memory_.data());
  memory->pixels_ = memory->memory_.data();
  return memory;
}

void Framebuffer::draw(const Rect& r, const uint8_t* gray) {
  if (!inMemory()) return;
  const auto width = static_cast<std::size_t>(r.width());
  for (int y = r.y0; y <= r.y1; ++y)
    std::memcpy(&memory_[geometry::pixelIndex(r.x0, y)],
                gray + static_cast<std::size_t>(y - r.y0) * width, width);
}

bool Framebuffer::intact() const {
  if (inMemory()) return true;
  struct stat status {};
  return fstat(fd_, &status) == 0 &&
         static_cast<unsigned long long>(status.st_size) == kFramebufferBytes;
}

}  // namespace zodm::tools
