// SPDX-License-Identifier: MIT
// The display service's run: set up (the profile, the framebuffer device,
// its memory, the update queue), then the shared receive loop with the
// service's hooks: each accepted request becomes a panel update pushed to
// the queue, SIGHUP reads the profile again, and the run ends with the
// queue finished and the report.
#ifndef ZODM_TOOLS_DISPLAYD_SERVICE_H
#define ZODM_TOOLS_DISPLAYD_SERVICE_H

#include <cstdint>
#include <memory>
#include <string>

#include "deviceProfile.h"
#include "displaydOptions.h"
#include "framebufferMemory.h"
#include "panelDevice.h"
#include "requestLines.h"
#include "serviceReport.h"
#include "updateQueue.h"

namespace zodm::displayd {

class DisplayService {
 public:
  explicit DisplayService(const DisplaydOptions& options) : options_(options) {}

  // Reads the profile (a bad one: kExitUsage), opens the framebuffer device
  // (kExitFailure) and maps its memory, and starts the queue, each fault
  // said in one line, before anything binds. Returns kGoOn or the status.
  int prepare();
  // Binds the port and serves until the count, a signal or a fault ends
  // it. Returns the exit status.
  int run();

 private:
  bool afterRequest(const tools::Received& received);
  void onHangup();
  std::string onClose(int64_t endMicros);

  const DisplaydOptions& options_;
  DeviceProfile profile_;
  std::unique_ptr<PanelDevice> panel_;
  std::unique_ptr<FramebufferMemory> memory_;
  std::unique_ptr<UpdateQueue> queue_;
  ServiceCounts counts_;
};

// How long the updates that wait when the run ends may take to be carried
// out; what still waits then is counted as left.
constexpr int kFinishBoundMs = 5000;

}  // namespace zodm::displayd

#endif  // ZODM_TOOLS_DISPLAYD_SERVICE_H
