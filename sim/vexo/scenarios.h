// Named bus set-ups with Vexo devices, for tests, the preloaded simulator and the kernel tier:
//   "vexo"                 one Vexo in BTM mode
//   "vexo-dfu", "vexo-sqif", "vexo-dsp"   one Vexo starting in that mode
//   "vexo-no-self-detach"  one Vexo in BTM mode whose run-time DFU interface lacks bitWillDetach
//   "vexo-dfu-firmware", "vexo-dfu-firmware-1m"
//                          one Vexo in DFU mode whose loader holds the sample firmware (3000
//                          bytes, 1 MiB)
//   "two"                  two Vexo devices in BTM mode
// ("none", the empty bus, comes with the bus itself.)
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "sim/vexo/vexo.h"

namespace sim::vexo {

// What a scenario plugs in: `count` devices made with these options, each loader holding the
// sample firmware of `firmware_size` bytes (0: none).
struct VexoSetup {
  VexoOptions options;
  std::size_t firmware_size = 0;
  int count = 1;

  std::shared_ptr<Vexo> make() const;
};

// The set-up of the scenario of that name above, if there is one.
std::optional<VexoSetup> vexo_setup(std::string_view name);

// Registers the scenarios above; calling it again changes nothing. The registrations also run
// at start-up wherever this file's object is linked in whole.
void register_scenarios();

// The Vexo devices on the bus, in the order they were plugged in.
std::vector<std::shared_ptr<Vexo>> plugged_vexos();

}  // namespace sim::vexo
