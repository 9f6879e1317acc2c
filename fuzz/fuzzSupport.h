// SPDX-License-Identifier: MIT
// Helpers shared by the fuzz harnesses: guarded records, an independent
// model of what the library must accept, and failure reporting.
#ifndef ZODM_FUZZ_FUZZSUPPORT_H
#define ZODM_FUZZ_FUZZSUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "zodm.h"

namespace zodm::fuzz {

// Byte every guarded record starts out filled with: not NUL, so a missing
// terminator shows, and not a character the library writes.
inline constexpr unsigned char kFill = 0xA5;

// A record between two guard zones, all filled with kFill. ASan sees writes
// beyond the whole object; the guards catch writes that stay inside it.
template <typename T>
struct Guarded {
  unsigned char before[64];
  T value;
  unsigned char after[64];

  Guarded() { std::memset(static_cast<void*>(this), kFill, sizeof *this); }
  bool guardsIntact() const {
    for (std::size_t i = 0; i < sizeof before; ++i)
      if (before[i] != kFill || after[i] != kFill) return false;
    return true;
  }
};

// True when size bytes at p all still hold kFill.
inline bool untouched(const void* p, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(p);
  for (std::size_t i = 0; i < size; ++i)
    if (bytes[i] != kFill) return false;
  return true;
}

// True when a NUL lies within the size bytes at p.
inline bool terminated(const char* p, std::size_t size) {
  return std::memchr(p, '\0', size) != nullptr;
}

// Writes "zodm fuzz check failed: what (detail)" to the original standard
// error and aborts, so libFuzzer keeps the input as a crash.
[[noreturn]] void fail(const char* what, std::string_view detail = {});

inline void check(bool ok, const char* what, std::string_view detail = {}) {
  if (!ok) fail(what, detail);
}

// Field number index (from 0) of text split at commas, cut to the 255
// characters a slot holds; empty past the last field. What zoDmGetArgs must
// leave in slot index.
std::string referenceField(const char* text, int index);

// strtol base 10 held in 32 bits with saturation.
int32_t referenceNumber(const std::string& field);

// Whether a command may be carried out: levels 0..3, coordinates inside the
// display, a rectangle with area; a dump always; anything else never.
bool referenceValid(const DmCommand& command);

}  // namespace zodm::fuzz

#endif  // ZODM_FUZZ_FUZZSUPPORT_H
