// What the DFU loader of a Vexo can be told to do, and to do wrong, as named switches in one
// place. Counts say how many of the next status answers are affected (VexoFaults::kAlways never
// runs out); block numbers count the data blocks of one download from 0.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace sim::vexo {

struct DfuLoaderFaults {
  // The loader's own timeline rather than faults: how many status requests each data block
  // keeps it in DFUDnbusy, the bwPollTimeout it asks for while busy and while manifesting, and
  // how long writing the received image takes once the final empty block has come.
  unsigned busy_polls = 0;
  std::uint32_t busy_poll_timeout_ms = 5;
  std::uint32_t manifest_poll_timeout_ms = 100;
  std::chrono::nanoseconds manifest_time = std::chrono::milliseconds(300);

  // The status answer after this block reports `error_status` in DFUError.
  std::optional<unsigned> error_at_block;
  std::uint8_t error_status = 0x0A;  // errFIRMWARE
  // The status answer after this block reports `wrong_state` instead of DFUDnloadIdle.
  std::optional<unsigned> wrong_state_at_block;
  std::uint8_t wrong_state = 2;  // DFUIdle
  // DFU_DNLOAD of this block stalls, as a loader does that rejects it.
  std::optional<unsigned> stall_at_block;

  // Status requests during manifestation that time out (the loader is too busy to answer).
  unsigned manifest_status_timeouts = 0;
  // The image is never written: the loader stays in DFUManifest.
  bool manifest_never_ends = false;

  // Status answers cut to `short_status_length` bytes.
  unsigned short_status = 0;
  std::size_t short_status_length = 5;
  // Status answers whose bState is `invalid_state_value`, which no DFU state has.
  unsigned invalid_state = 0;
  std::uint8_t invalid_state_value = 11;
};

}  // namespace sim::vexo
