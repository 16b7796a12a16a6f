#include "sim/vexo/scenarios.h"

#include "sim/scenario.h"
#include "sim/vexo/dfu_mode.h"

namespace sim::vexo {
namespace {

Scenario one(VexoOptions options) {
  return [options](Bus& bus) { bus.plug(Vexo::create(options)); };
}

Scenario loader_holding(std::size_t firmware_size) {
  return [firmware_size](Bus& bus) {
    auto vexo = Vexo::create({.mode = Mode::Dfu});
    vexo->btm_firmware() = sample_firmware(firmware_size);
    bus.plug(vexo);
  };
}

}  // namespace

void register_scenarios() {
  register_scenario("vexo", one({}));
  register_scenario("vexo-dfu", one({.mode = Mode::Dfu}));
  register_scenario("vexo-sqif", one({.mode = Mode::Sqif}));
  register_scenario("vexo-dsp", one({.mode = Mode::Dsp}));
  VexoOptions no_self_detach;
  no_self_detach.runtime_dfu.attributes &= static_cast<std::uint8_t>(~kWillDetach);
  register_scenario("vexo-no-self-detach", one(no_self_detach));
  register_scenario("two", [](Bus& bus) {
    bus.plug(Vexo::create());
    bus.plug(Vexo::create());
  });
  // Loaders holding a known image, for programs that upload it without the library's tests; the
  // larger one is what the benchmarks compare DFU clients on.
  register_scenario("vexo-dfu-firmware", loader_holding(kSampleFirmwareSize));
  register_scenario("vexo-dfu-firmware-1m", loader_holding(std::size_t{1} << 20));
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
