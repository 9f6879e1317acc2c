// SPDX-License-Identifier: MIT
// Internal diagnostics reporter shared by the client and server modules.
// Never installed: applications see only the lines it writes.
#ifndef ZODM_DMLOG_H
#define ZODM_DMLOG_H

#include <cstddef>

namespace zodm {

enum class Level : char { Error = 'E', Warning = 'W' };

// Longest "%s" value a diagnostic shows; a longer one is cut there, and the
// cut marked, alike in both sinks. The C library's syslog must carry the
// whole line in one datagram to /dev/log: glibc's takes well over this (a
// received request is at most 65,507 bytes and is shown whole), while musl
// and uClibc-ng format into a 1024-byte buffer of their own.
#if defined(__GLIBC__) && !defined(__UCLIBC__)
constexpr std::size_t kMaxValueShown = 65536;
#else
constexpr std::size_t kMaxValueShown = 768;
#endif

// Writes "(L)module:line,func() " followed by the formatted message, first to
// syslog (LOG_ERR or LOG_WARNING, no facility), then to standard error.
// Both sinks get the same bytes.
[[gnu::format(printf, 5, 6)]] void dmLog(Level level, const char* module,
                                         int line, const char* func,
                                         const char* format, ...);

}  // namespace zodm

// Each module defines `constexpr char kDmModule[]` with its own name. The
// format is the first of the variadic arguments, which needs neither C++20's
// __VA_OPT__ nor the GNU ", ##" extension. Keep each call on one line:
// compilers disagree on __LINE__ for multi-line calls.
#define DM_LOG(level, ...) \
  ::zodm::dmLog((level), kDmModule, __LINE__, __func__, __VA_ARGS__)
#define DM_ERROR(...) DM_LOG(::zodm::Level::Error, __VA_ARGS__)
#define DM_WARN(...) DM_LOG(::zodm::Level::Warning, __VA_ARGS__)

#endif  // ZODM_DMLOG_H
