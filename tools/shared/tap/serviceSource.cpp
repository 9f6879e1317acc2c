// SPDX-License-Identifier: MIT
// See tap.h: the source a service's options choose.
#include <memory>

#include "boundSocket.h"
#include "tap.h"
#include "zodm.h"

namespace zodm::tools {

std::unique_ptr<DatagramSource> openServiceSource(
    const ServiceOptions& options) {
#ifdef ZODM_HAVE_PCAP
  if (!options.tap.empty())
    return openTap(options.tool, options.tap, DM_SERVER_PORT, options.buffer);
#endif
  // Without libpcap, serviceOption refuses --tap.
  return bindPort(options);
}

}  // namespace zodm::tools
