// The compliance mode: each filter and its pin checked through the client interface
// against the platform's documented kernel-streaming contracts and the formats the
// filter publishes, with good and bad input. One line per check, `ok` or `FAIL: why`.
#pragma once

#include <string>
#include <vector>

#include "json.h"
#include "rig.h"

namespace ctl {

struct ComplianceResult {
  int passed = 0;
  int failed = 0;
  std::string text;
  Json json = Json::object();
};

// A filter to check: a name for the lines, and its device interface.
struct ComplianceTarget {
  std::string name;
  std::string symbolicLink;
};

// Runs every check on each target through `client`; `machine` runs while frames are
// awaited. Works on any kernel-streaming filter: the video and audio checks apply to
// pins whose ranges are of those major formats.
ComplianceResult CheckCompliance(sim::ks::Client &client, sim::Machine &machine,
                                 const std::vector<ComplianceTarget> &targets);

// The filters `device` names on the rig (every filter of every card when empty).
std::vector<ComplianceTarget> ComplianceTargets(Rig &rig, const std::string &device);
ComplianceResult RunCompliance(Rig &rig, const std::string &device);

}  // namespace ctl
