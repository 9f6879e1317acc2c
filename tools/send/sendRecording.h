// SPDX-License-Identifier: MIT
// zodm-send --replay: a recording's texts sent to the display service as
// they were recorded, at their recorded times.
#ifndef ZODM_SEND_SENDRECORDING_H
#define ZODM_SEND_SENDRECORDING_H

#include <string>
#include <string_view>
#include <vector>

#include "parse.h"
#include "recording.h"

namespace zodm::send {

// Sends each text, byte for byte, in one datagram to UDP port 50555 of
// server (dotted-decimal IPv4): the first at once, each next at its
// recorded time after the first divided by speed (with speed 0, at once).
// The library's request calls send framed requests only, and a recording
// also holds what they never write, so this sends through a socket of its
// own. Returns 0, or kExitFailure having said why in one line.
int sendRecording(const std::string& server,
                  const std::vector<tools::RecordedRequest>& requests,
                  double speed);

}  // namespace zodm::send

#endif  // ZODM_SEND_SENDRECORDING_H
