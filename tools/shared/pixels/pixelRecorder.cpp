// SPDX-License-Identifier: MIT
// See pixelRecorder.h.
#include "pixelRecorder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "pixelCodec.h"
#include "requestLines.h"
#include "stopSignals.h"

namespace zodm::tools {

namespace {

// The rectangle an accepted request's pixels are recorded for: a partial
// update's and a full update's; an erase shows white and a dump refreshes
// nothing.
std::optional<geometry::Rect> recordedRect(const DmCommand& command) {
  if (command.code != DM_CMD_DISPLAY && command.code != DM_CMD_DISPLAY_PARTIAL)
    return std::nullopt;
  return geometry::refreshedRect(command);
}

std::size_t bytesOf(const geometry::Rect& r) {
  return static_cast<std::size_t>(r.width()) *
         static_cast<std::size_t>(r.height());
}

}  // namespace

PixelRecorder::PixelRecorder(const char* tool, FrameReader& reader)
    : tool_(tool), reader_(reader) {
  // The stop signals must reach the receive loop, never these threads.
  const StopSignalsBlocked blocked;
  readerThread_ = std::thread([this] { readLoop(); });
  writerThread_ = std::thread([this] { writeLoop(); });
}

PixelRecorder::~PixelRecorder() { finish(); }

bool PixelRecorder::take(const Received& received, std::string_view members) {
  Line line;
  line.members.assign(members.data(), members.size());
  line.micros = received.micros;
  line.text.assign(received.text.data(), received.text.size());
  line.accepted = received.accepted;
  if (received.accepted) line.rect = recordedRect(*received.accepted);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) return false;
    toRead_.push_back(std::move(line));
  }
  changed_.notify_all();
  return true;
}

bool PixelRecorder::add(std::string whole) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (failed_) return false;
  if (finishing_) {
    // Too late for the queue, which may be drained already: printed once
    // every line taken before it is.
    changed_.wait(lock, [this] { return writerDone_; });
    lock.unlock();
    return write(whole);
  }
  Line line;
  line.whole = std::move(whole);
  toRead_.push_back(std::move(line));
  lock.unlock();
  changed_.notify_all();
  return true;
}

void PixelRecorder::read(Line& line) {
  const std::size_t bytes = bytesOf(*line.rect);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (waitingBytes_ + bytes > kMaxWaitingBytes) {
      line.problem =
          "the recorder fell behind: 64 MiB of pixels were waiting to be "
          "compressed";
      return;
    }
    waitingBytes_ += bytes;
  }
  line.pixels.resize(bytes);
  line.problem = reader_.read(*line.rect, line.pixels.data());
}

void PixelRecorder::readLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return finishing_ || !toRead_.empty(); });
    if (toRead_.empty()) break;
    Line line = std::move(toRead_.front());
    toRead_.pop_front();
    lock.unlock();
    if (line.rect) read(line);
    lock.lock();
    toWrite_.push_back(std::move(line));
    changed_.notify_all();
  }
  readerDone_ = true;
  changed_.notify_all();
}

bool PixelRecorder::print(const Line& line) {
  if (!line.whole.empty()) return write(line.whole);
  std::string members;
  if (line.rect && line.problem.empty()) {
    const std::string text = encodePixels(
        line.pixels.data(), line.rect->width(), line.rect->height());
    if (text.empty())
      appendPixelsError(members, *line.rect, "zlib has no memory");
    else
      appendPixels(members, *line.rect, text);
  } else if (line.rect) {
    appendPixelsError(members, *line.rect, line.problem);
  }
  std::string out =
      requestLine(Received{line.micros, line.text, line.accepted, members},
                  true, line.members);
  out += '\n';
  return write(out);
}

bool PixelRecorder::write(const std::string& out) {
  if (std::fwrite(out.data(), 1, out.size(), stdout) == out.size() &&
      std::fflush(stdout) == 0)
    return true;
  std::fprintf(stderr, "%s: cannot write output: %s\n", tool_,
               std::strerror(errno));
  return false;
}

void PixelRecorder::writeLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return readerDone_ || !toWrite_.empty(); });
    if (toWrite_.empty()) break;
    Line line = std::move(toWrite_.front());
    toWrite_.pop_front();
    const bool skip = failed_;
    lock.unlock();
    const bool printed = skip || print(line);
    lock.lock();
    if (!printed) failed_ = true;
    if (line.rect) {
      ++refreshes_;
      waitingBytes_ -= line.pixels.size();
      if (!line.problem.empty() && missing_++ == 0)
        firstProblem_ = line.problem;
    }
  }
  writerDone_ = true;
  changed_.notify_all();
}

bool PixelRecorder::finish() {
  if (finished_) return !failed_;
  finished_ = true;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    finishing_ = true;
  }
  changed_.notify_all();
  readerThread_.join();
  writerThread_.join();
  if (missing_ > 0)
    std::fprintf(stderr,
                 "%s: pixels: %llu of %llu refreshes recorded without their "
                 "pixels (the first: %s)\n",
                 tool_, missing_, refreshes_, firstProblem_.c_str());
  return !failed_;
}

}  // namespace zodm::tools
