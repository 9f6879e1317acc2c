// SPDX-License-Identifier: MIT
// The display service's own socket, bound with the library's initServer,
// as a source of datagrams.
#ifndef ZODM_TOOLS_BOUNDSOCKET_H
#define ZODM_TOOLS_BOUNDSOCKET_H

#include <memory>

#include "datagramSource.h"
#include "serviceOptions.h"

namespace zodm::tools {

// Binds UDP port 50555 on 127.0.0.1, or with options.all on every address,
// with a receive buffer of options.buffer bytes when set (saying in one
// line when the kernel gave less). Each datagram is stamped with the
// monotonic clock as it is read. Returns nullptr when the port cannot be
// bound, having said why in one line on standard error.
std::unique_ptr<DatagramSource> bindPort(const ServiceOptions& options);

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_BOUNDSOCKET_H
