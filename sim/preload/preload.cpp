// Start-up of the preloaded simulator: the scenario named by VELK_SIM ("vexo" when unset,
// "none" for an empty bus) is built as soon as it is registered. With VELK_SIM_REQUEST_LOG set,
// every request the process made is written to that file when it ends, one line each (an empty
// file: the device was never addressed).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/bus.h"
#include "sim/scenario.h"

namespace {

[[gnu::constructor]] void load_scenario_from_environment() {
  const char* name = std::getenv("VELK_SIM");
  sim::load_scenario_when_registered(name != nullptr && *name != '\0' ? name : "vexo");
  // Registrations all run while the library loads; by the first request a name still
  // pending was misspelt.
  sim::bus().on_first_request = [] {
    const std::string pending = sim::pending_scenario();
    if (pending.empty()) return;
    std::string known;
    for (const auto& n : sim::scenario_names()) known += " " + n;
    std::fprintf(stderr, "velk sim: no scenario named '%s'; the bus is empty (known:%s)\n",
                 pending.c_str(), known.c_str());
  };
}

[[gnu::destructor]] void write_request_log() {
  const char* path = std::getenv("VELK_SIM_REQUEST_LOG");
  if (path == nullptr || *path == '\0') return;
  if (std::FILE* f = std::fopen(path, "w")) {
    const std::string dump = sim::bus().requests().dump();
    std::fwrite(dump.data(), 1, dump.size(), f);
    std::fclose(f);
  }
}

}  // namespace
