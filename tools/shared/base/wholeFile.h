// SPDX-License-Identifier: MIT
// Whole files in and out: what the tools read at once (a profile, a
// recording, a table under /proc) and the loop that writes a buffer whole.
#ifndef ZODM_TOOLS_BASE_WHOLEFILE_H
#define ZODM_TOOLS_BASE_WHOLEFILE_H

#include <cstddef>
#include <string>

namespace zodm::tools {

// Reads the file at path ("-": standard input, when dashIsInput) whole into
// text. Returns an empty string, or the system's reason ("No such file or
// directory").
std::string readWholeFile(const std::string& path, std::string& text,
                          bool dashIsInput = false);

// Writes all of data to fd, again after EINTR; false with errno set when it
// cannot (EIO when the file takes no more).
bool writeAll(int fd, const void* data, std::size_t length);

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_BASE_WHOLEFILE_H
