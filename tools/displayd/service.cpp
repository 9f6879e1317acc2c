// SPDX-License-Identifier: MIT
// See service.h.
#include "service.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "boundSocket.h"
#include "clock.h"
#include "requestPlan.h"
#include "serviceLoop.h"

namespace zodm::displayd {

int DisplayService::prepare() {
  if (const std::string problem = readDeviceProfile(options_.profile, profile_);
      !problem.empty()) {
    std::fprintf(stderr, "%s: %s\n", kTool, problem.c_str());
    return tools::kExitUsage;
  }
  std::string error;
  panel_ = PanelDevice::open(options_.framebuffer, *profile_.controller, error);
  if (!panel_) {
    std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
    return tools::kExitFailure;
  }
  // Without the memory an erase still refreshes the panel, flashing, but
  // cannot whiten it first: said once, here.
  memory_ = FramebufferMemory::map(panel_->fd(), panel_->geometry(), error);
  if (!memory_)
    std::fprintf(stderr,
                 "%s: cannot map the memory of %s (%s): an erase will "
                 "refresh the panel without whitening it\n",
                 kTool, options_.framebuffer.c_str(), error.c_str());
  QueueSettings settings;
  settings.now = [] { return tools::microsSinceStart(); };
  // A fault stops the receive loop through the signal that stops it: sent
  // to the process, since the queue's thread blocks it.
  settings.onStop = [] { kill(getpid(), SIGTERM); };
  queue_ = std::make_unique<UpdateQueue>(*panel_, displayPlan(profile_),
                                         std::move(settings));
  if (const std::string problem = queue_->start(); !problem.empty()) {
    std::fprintf(stderr, "%s: %s\n", kTool, problem.c_str());
    return tools::kExitFailure;
  }
  return tools::kGoOn;
}

int DisplayService::run() {
  tools::ServiceHooks hooks;
  hooks.afterRequest = [this](const tools::Received& r) {
    return afterRequest(r);
  };
  hooks.onHangup = [this] { onHangup(); };
  hooks.onClose = [this](int64_t end) { return onClose(end); };
  tools::Totals totals;
  const int status = tools::runService(
      options_.service, [this] { return tools::bindPort(options_.service); },
      hooks, totals);
  if (!queue_->failure().empty()) return tools::kExitFailure;
  return status;
}

bool DisplayService::afterRequest(const tools::Received& received) {
  if (!received.accepted) return true;
  const DmCommand& command = *received.accepted;
  if (command.code == DM_CMD_DUMP) {
    ++counts_.dumps;
    return true;
  }
  const std::optional<PlannedUpdate> update = planRequest(
      command, profile_.profile, panel_->geometry(), received.micros);
  if (!update) {
    ++counts_.outside;
    return true;
  }
  if (update->kind == UpdateKind::Erase && memory_) memory_->fillWhite();
  if (queue_->push(*update)) return true;
  // The queue stopped on a fault, which onClose reports.
  ++counts_.notTaken;
  return false;
}

void DisplayService::onHangup() {
  DeviceProfile next;
  std::string problem = readDeviceProfile(options_.profile, next);
  if (problem.empty() && next.controller != profile_.controller)
    problem = options_.profile + ":" +
              std::to_string(next.profile.device.controllerLine) +
              ": names the controller " + next.controller->name +
              ", but the service drives " + profile_.controller->name +
              ", which cannot change while it runs";
  if (problem.empty() && !queue_->replacePlan(displayPlan(next)))
    problem = options_.profile + ": the update queue refused the new plan";
  if (!problem.empty()) {
    std::fprintf(stderr, "%s: SIGHUP: %s; keeping the profile read before\n",
                 kTool, problem.c_str());
    return;
  }
  profile_ = std::move(next);
  std::fprintf(stderr, "%s: SIGHUP: read the profile %s again\n", kTool,
               options_.profile.c_str());
}

std::string DisplayService::onClose(int64_t endMicros) {
  queue_->finish(std::chrono::milliseconds(kFinishBoundMs));
  if (const std::string failure = queue_->failure(); !failure.empty())
    std::fprintf(stderr, "%s: %s\n", kTool, failure.c_str());
  const QueueStats stats = queue_->stats();
  // The run lasts until the queue has finished, which may be after the
  // loop ended.
  const model::Summary summary =
      panelSummary(stats, std::max(endMicros, tools::microsSinceStart()));
  std::fprintf(stderr, "%s: %s\n%s: %s\n", kTool,
               model::describeSummary(summary).c_str(), kTool,
               deviceLine(stats, counts_).c_str());
  return ",\"panel\":{" + model::summaryJson(summary) + "},\"device\":{" +
         deviceJson(stats, counts_) + "}";
}

}  // namespace zodm::displayd
