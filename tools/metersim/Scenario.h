// The scenario file: the line's settings and the meters on it (JSON; see README.md).
#pragma once

#include "JsonFields.h"
#include "Line.h"
#include "Meter.h"
#include "Registry.h"
#include "Stand.h"

#include <memory>
#include <string>
#include <vector>

namespace metersim {

struct Scenario {
    LineSettings line;
    std::vector<std::unique_ptr<Meter>> meters; // in the scenario's order
    std::shared_ptr<FlowStand> stand;           // the line's flow stand, if it has one
};

// Throws ScenarioError naming the place of the first fault.
Scenario LoadScenario(const json& document, const Registry& registry);
Scenario LoadScenarioFile(const std::string& path, const Registry& registry);

} // namespace metersim
