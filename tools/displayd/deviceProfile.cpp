// SPDX-License-Identifier: MIT
// See deviceProfile.h.
#include "deviceProfile.h"

#include <utility>

#include "wholeFile.h"

namespace zodm::displayd {

namespace {

// The first waveform a request can select that has no mode, as "waveform
// 'NAME' (USE)", or an empty string.
std::string waveformWithoutMode(const model::Profile& p) {
  const auto lacks = [&p](std::size_t i) { return !p.waveform(i).mode; };
  const auto name = [&p](std::size_t i) {
    return "waveform '" + p.waveform(i).name + "' (";
  };
  for (std::size_t level = 0; level < p.quality.size(); ++level)
    if (lacks(p.quality[level]))
      return name(p.quality[level]) + "quality " + std::to_string(level) + ")";
  if (lacks(p.full)) return name(p.full) + "full updates)";
  if (lacks(p.erase)) return name(p.erase) + "erases)";
  return {};
}

}  // namespace

std::string parseDeviceProfile(std::string_view text, const std::string& name,
                               DeviceProfile& out) {
  DeviceProfile read;
  read.profile = model::defaultProfile();
  if (std::string problem = model::parseProfile(text, name, read.profile);
      !problem.empty())
    return problem;
  const model::Device& device = read.profile.device;
  if (device.controller.empty())
    return name +
           ": names no controller: add controller = \"NAME\", the layout of "
           "the device's refresh ioctls, one of " +
           controllerNames();
  read.controller = findController(device.controller);
  if (read.controller == nullptr)
    return name + ":" + std::to_string(device.controllerLine) +
           ": unknown controller '" + device.controller +
           "' (known: " + controllerNames() + ")";
  if (const std::string lacking = waveformWithoutMode(read.profile);
      !lacking.empty())
    return name + ": " + lacking +
           " has no 'mode', the controller's code for it: give it one in "
           "its [waveform] table, or select another waveform";
  out = std::move(read);
  return {};
}

std::string readDeviceProfile(const std::string& path, DeviceProfile& out) {
  std::string text;
  if (const std::string problem = tools::readWholeFile(path, text);
      !problem.empty())
    return path + ": " + problem;
  return parseDeviceProfile(text, path, out);
}

DisplayPlan displayPlan(const DeviceProfile& device) {
  const model::Profile& p = device.profile;
  DisplayPlan plan;
  plan.controller = device.controller;
  plan.waveforms = p.waveforms;
  plan.wait = p.device.wait;
  plan.flashEvery = p.flashEvery;
  plan.temp = p.device.temperature ? *p.device.temperature : TEMP_USE_AMBIENT;
  return plan;
}

}  // namespace zodm::displayd
