// SPDX-License-Identifier: MIT
// A service's --json lines with the pixels of each refresh (recording
// format 2): every accepted partial or full update's line carries its
// rectangle and the pixels there as the recorder read them when the request
// arrived ("rect", "pixels"; "pixels_error" when they could not be read);
// an erase, a dump and a refused text carry none.
//
// None of it happens on the receive loop, which only hands each line over
// and never waits: a reader thread copies each rectangle's pixels out of the
// framebuffer as soon as it is handed over, and a writer thread compresses
// them and prints the lines, in the order of the datagrams, each once its
// pixels are ready. Reading is kept apart from compressing, which takes far
// longer, so that a burst does not push the reads late. What waits to be
// compressed is bounded (kMaxWaitingBytes): a refresh that finds it full is
// recorded with "pixels_error" rather than read late or held without end.
#ifndef ZODM_TOOLS_PIXELRECORDER_H
#define ZODM_TOOLS_PIXELRECORDER_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "area.h"
#include "frameReader.h"
#include "serviceLoop.h"

namespace zodm::tools {

class PixelRecorder final : public LineOutput {
 public:
  // The pixels that may wait to be compressed at once: some 85 full
  // updates.
  static constexpr std::size_t kMaxWaitingBytes = 64u << 20;

  // Reads through reader, which must outlive the recorder; tool names it
  // in its messages. Starts both threads, with the stop signals blocked.
  PixelRecorder(const char* tool, FrameReader& reader);
  // Finishes, if finish() was not called.
  ~PixelRecorder() override;
  PixelRecorder(const PixelRecorder&) = delete;
  PixelRecorder& operator=(const PixelRecorder&) = delete;

  bool take(const Received& received, std::string_view members) override;
  bool add(std::string line) override;
  // Prints every line taken, then, when some refreshes got no pixels, one
  // line on standard error: "TOOL: pixels: N of M refreshes recorded
  // without their pixels (the first: REASON)".
  bool finish() override;

 private:
  // One datagram's line on its way.
  struct Line {
    int64_t micros = 0;
    std::string text;
    std::optional<DmCommand> accepted;
    std::optional<geometry::Rect> rect;  // a refresh's, to read
    std::vector<uint8_t> pixels;         // read, r's rows one after another
    std::string problem;                 // why none were read
    std::string members;                 // the tool's, at the line's end
    std::string whole;  // a line of the tool's own, printed as it is
  };

  void readLoop();
  void writeLoop();
  void read(Line& line);
  bool print(const Line& line);
  bool write(const std::string& out);

  const char* const tool_;
  FrameReader& reader_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Line> toRead_;   // handed over, not yet read
  std::deque<Line> toWrite_;  // read, not yet printed
  std::size_t waitingBytes_ = 0;
  bool finishing_ = false;  // no more lines come
  bool readerDone_ = false;
  bool writerDone_ = false;  // every line taken is printed
  bool failed_ = false;  // printing failed
  // Refreshes, and those without pixels, with the first one's reason.
  unsigned long long refreshes_ = 0;
  unsigned long long missing_ = 0;
  std::string firstProblem_;

  std::thread readerThread_;
  std::thread writerThread_;
  bool finished_ = false;
};

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_PIXELRECORDER_H
