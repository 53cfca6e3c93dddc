// The compliance mode: each filter and its pin checked through the client interface
// against the platform's documented kernel-streaming contracts and the formats the
// filter publishes, with good and bad input. One line per check, `ok` or `FAIL: why`.
#pragma once

#include <string>

#include "json.h"
#include "rig.h"

namespace ctl {

struct ComplianceResult {
  int passed = 0;
  int failed = 0;
  std::string text;
  Json json = Json::object();
};

// Checks the filters `device` names (every filter of every card when empty).
ComplianceResult RunCompliance(Rig &rig, const std::string &device, bool json);

}  // namespace ctl
