#include "testSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <regex>

namespace {

std::mutex recordLock;
std::vector<zodm::test::SyslogEntry> records;

void record(int priority, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(static_cast<std::size_t>(length < 0 ? 0 : length), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, args);
  std::lock_guard guard(recordLock);
  records.push_back({priority, std::move(text)});
}

}  // namespace

// Interposed over the C library's syslog family: the shared library's calls
// resolve to these, so tests see each priority and text and nothing is logged.
extern "C" {
void vsyslog(int priority, const char* format, va_list args) {
  record(priority, format, args);
}
void syslog(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  record(priority, format, args);
  va_end(args);
}
// Fortified builds call these instead.
void __vsyslog_chk(int priority, int, const char* format, va_list args) {
  record(priority, format, args);
}
void __syslog_chk(int priority, int, const char* format, ...) {
  va_list args;
  va_start(args, format);
  record(priority, format, args);
  va_end(args);
}
}

namespace zodm::test {

DiagnosticCapture::DiagnosticCapture() {
  {
    std::lock_guard guard(recordLock);
    records.clear();
  }
  std::fflush(stderr);
  std::array<char, 32> name{"/tmp/zodm-stderr-XXXXXX"};
  file_ = mkstemp(name.data());
  if (file_ < 0) std::abort();
  unlink(name.data());
  savedStderr_ = dup(STDERR_FILENO);
  dup2(file_, STDERR_FILENO);
}

DiagnosticCapture::~DiagnosticCapture() {
  std::fflush(stderr);
  dup2(savedStderr_, STDERR_FILENO);
  close(savedStderr_);
  close(file_);
}

std::string DiagnosticCapture::stderrText() const {
  std::fflush(stderr);
  std::string text;
  std::array<char, 4096> chunk;
  for (off_t offset = 0;;) {
    const ssize_t n = pread(file_, chunk.data(), chunk.size(), offset);
    if (n <= 0) break;
    text.append(chunk.data(), static_cast<std::size_t>(n));
    offset += n;
  }
  return text;
}

std::vector<SyslogEntry> DiagnosticCapture::syslog() const {
  std::lock_guard guard(recordLock);
  return records;
}

std::string withoutLineNumbers(const std::string& text) {
  static const std::regex prefix(R"(\(([EW])\)(zodm|zodmServer):[0-9]+,)");
  return std::regex_replace(text, prefix, "($1)$2:#,");
}

UdpReceiver::UdpReceiver(const char* address, int port)
    : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(port));
  if (fd_ < 0 || inet_pton(AF_INET, address, &local.sin_addr) != 1 ||
      bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
}

UdpReceiver::~UdpReceiver() {
  if (fd_ >= 0) close(fd_);
}

std::optional<std::string> UdpReceiver::receive(int timeoutMs) const {
  pollfd ready{fd_, POLLIN, 0};
  if (poll(&ready, 1, timeoutMs) != 1) return std::nullopt;
  std::array<char, 65536> buffer;
  const ssize_t n = recv(fd_, buffer.data(), buffer.size(), 0);
  if (n < 0) return std::nullopt;
  return std::string(buffer.data(), static_cast<std::size_t>(n));
}

int openDescriptorCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    --count;  // the directory stream's own descriptor
  }
  return count;
}

}  // namespace zodm::test
