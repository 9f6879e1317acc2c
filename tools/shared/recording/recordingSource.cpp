// SPDX-License-Identifier: MIT
// See recordingSource.h.
#include "recordingSource.h"

namespace zodm::tools {

DatagramSource::Next RecordingSource::next(Datagram& datagram) {
  if (next_ == requests_.size()) return Next::kEnd;
  const RecordedRequest& request = requests_[next_++];
  datagram.micros = request.micros;
  // std::string keeps a NUL after its bytes, as the parser needs.
  datagram.text = request.text;
  members_ = recordedMembers(request);
  datagram.members = members_;
  return Next::kDatagram;
}

}  // namespace zodm::tools
