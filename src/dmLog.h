// Internal diagnostics reporter shared by the client and server modules.
// Never installed: applications see only the lines it writes.
#ifndef ZODM_DMLOG_H
#define ZODM_DMLOG_H

namespace zodm {

enum class Level : char { Error = 'E', Warning = 'W' };

// Writes "(L)module:line,func() " followed by the formatted message, first to
// syslog (LOG_ERR or LOG_WARNING, no facility), then to standard error.
// Both sinks get the same bytes, whatever the length of the values.
[[gnu::format(printf, 5, 6)]] void dmLog(Level level, const char* module,
                                         int line, const char* func,
                                         const char* format, ...);

}  // namespace zodm

// Each module defines `constexpr char kDmModule[]` with its own name. Keep
// each call on one line: compilers disagree on __LINE__ for multi-line calls.
#define DM_LOG(level, format, ...)                      \
  ::zodm::dmLog((level), kDmModule, __LINE__, __func__, \
                "" format "" __VA_OPT__(, ) __VA_ARGS__)
#define DM_ERROR(...) DM_LOG(::zodm::Level::Error, __VA_ARGS__)
#define DM_WARN(...) DM_LOG(::zodm::Level::Warning, __VA_ARGS__)

#endif  // ZODM_DMLOG_H
