// SPDX-License-Identifier: MIT
// Any bytes as a recording, through the reader the tools' --replay uses. A
// recording it takes holds times from 0 on that never go back and texts no
// longer than a datagram, and pixels only with the rectangle of their
// request; written again as the services write their lines, pixels
// included, it reads back to the same requests. A refused one names a line
// of the input.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzzSupport.h"
#include "recording.h"
#include "requestLines.h"

using namespace zodm::fuzz;
using zodm::tools::RecordedRequest;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  std::vector<RecordedRequest> requests;
  std::string problem;
  if (!zodm::tools::parseRecording(content, requests, problem)) {
    check(problem.rfind("line ", 0) == 0, "a refusal names no line", problem);
    return 0;
  }
  std::string again;
  int64_t last = 0;
  for (const RecordedRequest& request : requests) {
    check(request.micros >= last, "a time goes back", request.text);
    check(request.text.size() <= zodm::tools::kMaxRecordedText,
          "a text longer than a datagram", request.text);
    last = request.micros;
    // A line with pixels says which request's they are: a partial update
    // of their rectangle stands for any request of it.
    std::optional<DmCommand> accepted;
    if (request.pixels) {
      const auto& r = request.pixels->rect;
      accepted =
          DmCommand{DM_CMD_DISPLAY_PARTIAL, 0, 0, r.x0, r.y0, r.x1, r.y1};
    }
    const std::string members = zodm::tools::recordedMembers(request);
    again += zodm::tools::requestLine(
        {request.micros, request.text, accepted, members}, true);
    again += '\n';
  }
  std::vector<RecordedRequest> reread;
  check(zodm::tools::parseRecording(again, reread, problem),
        "a written recording is refused", problem);
  check(reread.size() == requests.size(), "requests lost on the way back",
        again);
  for (std::size_t i = 0; i < reread.size(); ++i) {
    check(reread[i].micros == requests[i].micros, "a time changed", again);
    check(reread[i].text == requests[i].text, "a text changed", again);
    check(zodm::tools::recordedMembers(reread[i]) ==
              zodm::tools::recordedMembers(requests[i]),
          "pixels changed", again);
  }
  return 0;
}
