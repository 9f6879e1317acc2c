// SPDX-License-Identifier: MIT
// Where a display service's datagrams come from: its bound socket, a tap
// that watches another service's (see tap.h) or a recording replayed (see
// recordingSource.h). Each source stamps its datagrams with their time, so
// that the one receive loop (serviceLoop.h) runs them all alike.
#ifndef ZODM_TOOLS_DATAGRAMSOURCE_H
#define ZODM_TOOLS_DATAGRAMSOURCE_H

#include <time.h>

#include <cstdint>
#include <string_view>

namespace zodm::tools {

// One datagram as a source hands it over.
struct Datagram {
  // When it arrived, in microseconds since the tool started (a recording's:
  // as recorded); never earlier than the datagram before.
  int64_t micros = 0;
  // Its bytes, followed by a NUL that the size does not count (the parser
  // reads up to a NUL); valid until the source's next call.
  std::string_view text;
  // A recording's: the members its line carried beyond what the parser
  // makes of the text (its pixels), to print again; valid as text is.
  std::string_view members;
};

class DatagramSource {
 public:
  // What next() found.
  enum class Next {
    kDatagram,  // one, in the datagram
    kNone,      // nothing is waiting now
    kEnd,       // no more will come
    kFailed,    // reading failed; it said why in one line
  };

  virtual ~DatagramSource() = default;
  // The descriptor to wait on for POLLIN, or -1 for a source whose
  // datagrams are all there (a recording), which is never waited for.
  virtual int fd() const = 0;
  // How long a wait may last before next() must be tried anyway; nullptr
  // for no limit.
  virtual const timespec* waitLimit() const { return nullptr; }
  virtual Next next(Datagram& datagram) = 0;
  // The datagrams lost before they could be read, as the kernel counts
  // them: as last learnt (at no cost), or, with fresh, asked anew.
  virtual unsigned long long dropped(bool /*fresh*/) { return 0; }
  // Whether the datagrams come as they happen: each line is then flushed
  // at once, and a run ends at the clock's time rather than at the last
  // datagram's.
  virtual bool live() const { return true; }
  // Writes what the source has to add at the end (one line), if anything,
  // then lets go of what it holds (the port, the capture).
  virtual void close() {}
};

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_DATAGRAMSOURCE_H
