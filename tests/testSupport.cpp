// SPDX-License-Identifier: MIT
#include "testSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <regex>

namespace {

std::mutex recordLock;
zodm::test::Lines records;
// For each record, how many bytes standard error held when syslog got it.
std::vector<off_t> stderrBefore;

// The format is the library's own, as vsyslog received it.
[[gnu::format(printf, 2, 0)]] void record(int priority, const char* format,
                                          va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(static_cast<std::size_t>(std::max(length, 0)), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, args);
  std::lock_guard guard(recordLock);
  records.emplace_back(priority, std::move(text));
  stderrBefore.push_back(lseek(STDERR_FILENO, 0, SEEK_CUR));
}

}  // namespace

// Interposed over the C library's: the shared library's calls resolve to
// these, so tests see each priority and text and nothing is logged. The
// library logs through vsyslog; fortified builds call __vsyslog_chk instead.
extern "C" {
void vsyslog(int priority, const char* format, va_list args) {
  record(priority, format, args);
}
[[gnu::format(printf, 3, 0)]] void __vsyslog_chk(int priority, int,
                                                 const char* format,
                                                 va_list args) {
  record(priority, format, args);
}
}

namespace zodm::test {

Line error(const std::string& module, const std::string& function,
           const std::string& message) {
  return {LOG_ERR, "(E)" + module + ":#," + function + "() " + message};
}

Line warning(const std::string& module, const std::string& function,
             const std::string& message) {
  return {LOG_WARNING, "(W)" + module + ":#," + function + "() " + message};
}

Lines diagnosticsOf(const std::function<void()>& work) {
  {
    std::lock_guard guard(recordLock);
    records.clear();
    stderrBefore.clear();
  }
  std::fflush(stderr);
  std::FILE* file = std::tmpfile();
  if (file == nullptr) std::abort();
  const int savedStderr = dup(STDERR_FILENO);
  dup2(fileno(file), STDERR_FILENO);
  work();
  std::fflush(stderr);
  dup2(savedStderr, STDERR_FILENO);
  close(savedStderr);

  const int fd = fileno(file);
  std::string text(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)), '\0');
  if (pread(fd, text.data(), text.size(), 0) != std::ssize(text)) std::abort();
  std::fclose(file);
  // Line numbers in "(E)module:123,func() " prefixes become "#", so that
  // expectations do not depend on where a statement sits in the source.
  static const std::regex prefix(R"(\(([EW])\)(zodm|zodmServer):[0-9]+,)");
  const auto withoutLineNumbers = [](const std::string& in) {
    return std::regex_replace(in, prefix, "($1)$2:#,");
  };
  std::lock_guard guard(recordLock);
  Lines logged = records;
  std::string joined;
  std::vector<std::string> stderrFirst;
  for (std::size_t i = 0; i < logged.size(); ++i) {
    // Each diagnostic reaches syslog before standard error: when syslog gets
    // it, standard error holds at most the diagnostics logged before it.
    if (stderrBefore[i] > std::ssize(joined))
      stderrFirst.push_back(withoutLineNumbers(logged[i].second));
    joined += logged[i].second;
    logged[i].second = withoutLineNumbers(logged[i].second);
  }
  if (text != joined) logged.emplace_back(kStderr, withoutLineNumbers(text));
  for (const auto& line : stderrFirst)
    logged.emplace_back(kStderr, "on standard error before syslog: " + line);
  return logged;
}

namespace {

// Ends a forked child that ran body: its gtest output is not seen, so its
// failures are reported on standard error, and the status says whether any.
[[noreturn]] void reportAndExit() {
  const testing::TestResult& result =
      *testing::UnitTest::GetInstance()->current_test_info()->result();
  for (int i = 0; i < result.total_part_count(); ++i) {
    const auto& part = result.GetTestPartResult(i);
    std::fprintf(stderr, "%s:%d: %s\n", part.file_name(), part.line_number(),
                 part.message());
  }
  std::fflush(stderr);
  _exit(result.Failed() ? 1 : 0);
}

}  // namespace

void expectInFreshProcess(const std::function<void()>& body) {
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        body();
        reportAndExit();
      },
      testing::ExitedWithCode(0), "");
}

void expectFinishesWithin(int seconds, const std::function<void()>& body) {
  std::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0) << std::strerror(errno);
  if (child == 0) {
    body();
    reportAndExit();
  }
  const std::optional<int> status = waitWithin(child, seconds);
  if (!status) {
    ADD_FAILURE() << "did not finish within " << seconds << " s: it hangs";
    return;
  }
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
      << "the child failed (status " << *status << "); see its standard error";
}

std::optional<int> waitWithin(pid_t child, int seconds) {
  int status = 0;
  for (int waited = 0; waitpid(child, &status, WNOHANG) == 0; ++waited) {
    if (waited == seconds * 100) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return std::nullopt;
    }
    usleep(10000);
  }
  return status;
}

std::array<int32_t, 7> with(int32_t code, const std::vector<int32_t>& values) {
  std::array<int32_t, 7> f = fields(kSentinel);
  f[0] = code;
  std::copy(values.begin(), values.end(), f.begin() + 1);
  return f;
}

UdpReceiver::UdpReceiver(const char* address, int port)
    : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(port));
  const int size = 4 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  if (fd_ >= 0 && (inet_pton(AF_INET, address, &local.sin_addr) != 1 ||
                   bind(fd_, reinterpret_cast<const sockaddr*>(&local),
                        sizeof local) != 0)) {
    close(fd_);
    fd_ = -1;
  }
}

UdpReceiver::~UdpReceiver() {
  if (fd_ >= 0) close(fd_);
}

std::optional<std::string> UdpReceiver::receive(int timeoutMs,
                                                int* sourcePort) const {
  pollfd ready{fd_, POLLIN, 0};
  if (poll(&ready, 1, timeoutMs) != 1) return std::nullopt;
  std::array<char, 65536> buffer;
  sockaddr_in source{};
  socklen_t length = sizeof source;
  const ssize_t n = recvfrom(fd_, buffer.data(), buffer.size(), 0,
                             reinterpret_cast<sockaddr*>(&source), &length);
  if (n < 0) return std::nullopt;
  if (sourcePort != nullptr) *sourcePort = ntohs(source.sin_port);
  return std::string(buffer.data(), static_cast<std::size_t>(n));
}

int openDescriptorCount() {
  namespace fs = std::filesystem;
  const auto entries = std::distance(fs::directory_iterator("/proc/self/fd"),
                                     fs::directory_iterator());
  return static_cast<int>(entries) - 1;  // less the listing's own descriptor
}

int openSocketCount() {
  namespace fs = std::filesystem;
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (fs::read_symlink(entry.path(), error).string().starts_with("socket:"))
      ++count;
  }
  return count;
}

int inheritableSocketCount() {
  namespace fs = std::filesystem;
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const std::string target = fs::read_symlink(entry.path(), error).string();
    const int fd = std::stoi(entry.path().filename().string());
    if (target.starts_with("socket:") && (fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0)
      ++count;
  }
  return count;
}

}  // namespace zodm::test
