// The plug-and-play, power and low-resources scenarios, beside the others in All().
#pragma once

#include <vector>

#include "concurrency/scenarios.h"

namespace scenarios {

std::vector<Scenario> PnpScenarios();

}  // namespace scenarios
