// Named bus set-ups with Vexo devices, for tests and for the preloaded simulator:
//   "vexo"                 one Vexo in BTM mode
//   "vexo-dfu", "vexo-sqif", "vexo-dsp"   one Vexo starting in that mode
//   "vexo-no-self-detach"  one Vexo in BTM mode whose run-time DFU interface lacks bitWillDetach
//   "two"                  two Vexo devices in BTM mode
// ("none", the empty bus, comes with the bus itself.)
#pragma once

#include <memory>
#include <vector>

#include "sim/vexo/vexo.h"

namespace sim::vexo {

// Registers the scenarios above; calling it again changes nothing. The registrations also run
// at start-up wherever this file's object is linked in whole.
void register_scenarios();

// The Vexo devices on the bus, in the order they were plugged in.
std::vector<std::shared_ptr<Vexo>> plugged_vexos();

}  // namespace sim::vexo
