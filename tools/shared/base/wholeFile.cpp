// SPDX-License-Identifier: MIT
// See wholeFile.h.
#include "wholeFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zodm::tools {

std::string readWholeFile(const std::string& path, std::string& text,
                          bool dashIsInput) {
  const bool input = dashIsInput && path == "-";
  const int fd =
      input ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  std::string read;
  char chunk[65536];
  int error = 0;
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error = errno;
    if (got <= 0) break;
    read.append(chunk, static_cast<std::size_t>(got));
  }
  if (!input) ::close(fd);
  if (error != 0) return std::strerror(error);
  text = std::move(read);
  return {};
}

bool writeAll(int fd, const void* data, std::size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (length > 0) {
    const ssize_t written = ::write(fd, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return false;
    }
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace zodm::tools
