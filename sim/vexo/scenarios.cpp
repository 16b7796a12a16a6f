#include "sim/vexo/scenarios.h"

#include <string>
#include <utility>

#include "sim/scenario.h"
#include "sim/vexo/dfu_mode.h"

namespace sim::vexo {
namespace {

std::vector<std::pair<std::string, VexoSetup>> table() {
  VexoOptions no_self_detach;
  no_self_detach.runtime_dfu.attributes &= static_cast<std::uint8_t>(~kWillDetach);
  const VexoOptions loader{.mode = Mode::Dfu};
  return {
      {"vexo", {}},
      {"vexo-dfu", {.options = loader}},
      {"vexo-sqif", {.options = {.mode = Mode::Sqif}}},
      {"vexo-dsp", {.options = {.mode = Mode::Dsp}}},
      {"vexo-no-self-detach", {.options = no_self_detach}},
      {"two", {.options = {}, .firmware_size = 0, .count = 2}},
      // Loaders holding a known image, for programs that upload it without the library's tests;
      // the larger one is what the benchmarks compare DFU clients on.
      {"vexo-dfu-firmware", {.options = loader, .firmware_size = kSampleFirmwareSize}},
      {"vexo-dfu-firmware-1m", {.options = loader, .firmware_size = std::size_t{1} << 20}},
  };
}

}  // namespace

std::shared_ptr<Vexo> VexoSetup::make() const {
  auto vexo = Vexo::create(options);
  if (firmware_size > 0) vexo->btm_firmware() = sample_firmware(firmware_size);
  return vexo;
}

std::optional<VexoSetup> vexo_setup(std::string_view name) {
  for (auto& [row, setup] : table()) {
    if (row == name) return setup;
  }
  return std::nullopt;
}

void register_scenarios() {
  for (const auto& [name, setup] : table()) {
    // An init-capture: clang 15, which builds the fuzz targets, cannot capture a binding.
    register_scenario(name, [setup = setup](Bus& bus) {
      for (int i = 0; i < setup.count; ++i) bus.plug(setup.make());
    });
  }
}

std::vector<std::shared_ptr<Vexo>> plugged_vexos() {
  std::vector<std::shared_ptr<Vexo>> out;
  for (const auto& device : bus().devices()) {
    if (auto vexo = std::dynamic_pointer_cast<Vexo>(device)) out.push_back(std::move(vexo));
  }
  return out;
}

namespace {
[[maybe_unused]] const bool registered = (register_scenarios(), true);
}  // namespace

}  // namespace sim::vexo
