#include "sim/scenario.h"

#include <map>

namespace sim {

namespace {

struct Registry {
  std::map<std::string, Scenario, std::less<>> scenarios{{"none", [](Bus&) {}}};
  std::string pending;
};

Registry& registry() {
  // Built on first use, so registrars in other files may run before or after this one.
  static Registry* r = new Registry;
  return *r;
}

}  // namespace

void register_scenario(std::string name, Scenario build) {
  auto guard = bus().lock();
  auto& r = registry();
  r.scenarios[name] = std::move(build);
  if (!r.pending.empty() && r.pending == name) {
    r.pending.clear();
    load_scenario(name);
  }
}

bool load_scenario(std::string_view name) {
  auto guard = bus().lock();
  auto& r = registry();
  auto it = r.scenarios.find(name);
  if (it == r.scenarios.end()) return false;
  // A copy: the scenario may register others while it runs.
  Scenario build = it->second;
  build(bus());
  return true;
}

std::vector<std::string> scenario_names() {
  auto guard = bus().lock();
  std::vector<std::string> out;
  for (const auto& [name, build] : registry().scenarios) out.push_back(name);
  return out;
}

void load_scenario_when_registered(std::string name) {
  auto guard = bus().lock();
  if (load_scenario(name)) return;
  registry().pending = std::move(name);
}

std::string pending_scenario() {
  auto guard = bus().lock();
  return registry().pending;
}

}  // namespace sim
