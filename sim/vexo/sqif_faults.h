// What the Sqif loader of a Vexo can be told to do wrong, as named switches in one place.
// Counts say how many of the next events are affected; VexoFaults::kAlways never runs out.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace sim::vexo {

struct SqifLoaderFaults {
  // The next status reads answer busy (02 code 01) before the loader's real answer.
  unsigned busy_reads = 0;
  // Every command with this code answers status 2 (failed) and does nothing.
  std::optional<std::uint8_t> fail_command;
  // The next answers carry `invalid_status_value` instead of their own status.
  unsigned invalid_statuses = 0;
  std::uint8_t invalid_status_value = 7;
  // Each of the next answers comes after a done status for another command code.
  unsigned foreign_statuses = 0;
  // The next answer is held back this long; reads meanwhile find no report. Virtual time,
  // because a read with nothing to return lasts as long as the host's timeout.
  std::chrono::nanoseconds silence{0};
  // The next command reports are taken only in part: hid_write moves `short_write_bytes`
  // bytes and the truncated command is dropped unanswered.
  unsigned short_writes = 0;
  int short_write_bytes = 16;
  // The status wait after each of the next commands fails in hidapi's read (-1).
  unsigned read_errors = 0;
};

}  // namespace sim::vexo
