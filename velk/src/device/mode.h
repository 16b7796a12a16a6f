// The device's operation modes, numbered as velk_status reports them.
#pragma once

#include <cstdint>

namespace velk {

enum class OperationMode : std::uint8_t { NA = 0, BTM = 1, DFU = 2, SQIF = 3, DSP = 4 };

}  // namespace velk
