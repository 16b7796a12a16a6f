// Named set-ups of the bus ("vexo", "none", ...): a preloaded simulator builds the one named by
// the environment variable VELK_SIM when it is loaded, and tests can load one by name. Device
// models register theirs with register_scenario() when their library is loaded (see
// sim/vexo/scenarios.cpp).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/bus.h"

namespace sim {

using Scenario = std::function<void(Bus&)>;

// A later registration under the same name replaces the earlier one.
void register_scenario(std::string name, Scenario build);
// Builds the named scenario on bus() (after nothing else: call reset() first if needed).
// False when no scenario has that name. "none" is always there and plugs nothing in.
bool load_scenario(std::string_view name);
std::vector<std::string> scenario_names();

// Loads the named scenario now if it is registered, or as soon as it is. The preloaded
// simulator uses this, since the order in which registrars and its own start-up run is
// not fixed.
void load_scenario_when_registered(std::string name);
// The name still waiting for its registration, if any.
std::string pending_scenario();

}  // namespace sim
