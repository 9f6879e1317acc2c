// Shared test helpers: diagnostics capture and a loopback UDP receiver.
#ifndef ZODM_TESTS_TESTSUPPORT_H
#define ZODM_TESTS_TESTSUPPORT_H

#include <optional>
#include <string>
#include <vector>

namespace zodm::test {

// One call of syslog/vsyslog made while a DiagnosticCapture was alive.
struct SyslogEntry {
  int priority;
  std::string text;
  bool operator==(const SyslogEntry&) const = default;
};

// While alive, records every syslog call of the process (interposed, so
// nothing reaches the system log) and redirects standard error to a file.
// Only one may be alive at a time.
class DiagnosticCapture {
 public:
  DiagnosticCapture();
  ~DiagnosticCapture();
  DiagnosticCapture(const DiagnosticCapture&) = delete;
  DiagnosticCapture& operator=(const DiagnosticCapture&) = delete;

  // Everything written to standard error since the capture began.
  std::string stderrText() const;
  // Every syslog call since the capture began, in order.
  std::vector<SyslogEntry> syslog() const;

 private:
  int savedStderr_;
  int file_;
};

// Replaces the line number in "(E)module:123,func() " prefixes with "#", so
// expectations do not depend on where a statement sits in the source.
std::string withoutLineNumbers(const std::string& text);

// A UDP socket bound to address:port, for receiving the library's requests.
class UdpReceiver {
 public:
  explicit UdpReceiver(const char* address = "127.0.0.1", int port = 50555);
  ~UdpReceiver();
  UdpReceiver(const UdpReceiver&) = delete;
  UdpReceiver& operator=(const UdpReceiver&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // The next datagram's payload, or nothing after timeoutMs without one.
  std::optional<std::string> receive(int timeoutMs = 2000) const;

 private:
  int fd_;
};

// Number of descriptors open in this process.
int openDescriptorCount();

}  // namespace zodm::test

#endif  // ZODM_TESTS_TESTSUPPORT_H
