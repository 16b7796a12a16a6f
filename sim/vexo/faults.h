// Everything the Vexo model itself can be told to do wrong (faults of the bus between host and
// device are sim/faults.h's). Handlers ask these switches instead of growing special cases of
// their own, so a test reads as the list of faults it turns on.
#pragma once

#include <chrono>
#include <optional>

#include "sim/vexo/dfu_faults.h"
#include "sim/vexo/dsp_faults.h"
#include "sim/vexo/hostile.h"
#include "sim/vexo/identity.h"
#include "sim/vexo/sqif_faults.h"

namespace sim::vexo {

struct VexoFaults {
  // Counts say how many of the next BCCMD answers are affected; kAlways never runs out.
  static constexpr unsigned kAlways = ~0u;

  // The answer names another variable ID than the request did.
  unsigned wrong_variable_id = 0;
  // A PS or PS_Clr_Stores answer names another key in its record than the request did.
  unsigned wrong_ps_key = 0;
  // The answer carries `error_status` instead of its own status.
  unsigned error_status = 0;
  std::uint16_t error_status_value = 8;
  // The request is carried out but its answer never reaches the event endpoint.
  unsigned lost_responses = 0;
  // The answer reaches the event endpoint only `late_response_delay` after the request, when a
  // host waiting 100 ms for it has given up.
  unsigned late_responses = 0;
  std::chrono::nanoseconds late_response_delay = std::chrono::milliseconds(150);
  // The answer comes after an HCI Command Status event, which is not on the BCCMD channel.
  unsigned spurious_events = 0;
  // Each start in BTM mode finds this many old BCCMD answers waiting on the event endpoint.
  unsigned stale_events = 0;
  // The chip is stuck sending: the event endpoint delivers HCI Command Status events, one after
  // another without pause, and the chip's own answers are lost while it lasts.
  bool event_flood = false;

  // Read when the device is plugged in: the firmware's configuration lacks the run-time DFU
  // interface, or its HCI interface has no interrupt endpoint for events.
  bool no_runtime_dfu = false;
  bool no_event_endpoint = false;

  // Added to every restart's time off the bus.
  std::chrono::nanoseconds slow_restart{0};
  // The next restart leaves the device off the bus for good.
  bool never_returns = false;
  // The next restart comes back in this mode, whatever the mode key selects.
  std::optional<Mode> returns_in;

  // Everything the chip sends the host (control reads, events, HID input and feature reports)
  // comes from this script instead of the model; null: the model answers. Not owned.
  HostileAnswers* hostile = nullptr;

  // The loaders' own faults.
  DfuLoaderFaults dfu;
  SqifLoaderFaults sqif;
  DspLoaderFaults dsp;

  // Consumes one use of a counted fault; false when it is not armed.
  static bool take(unsigned& count) {
    if (count == 0) return false;
    if (count != kAlways) --count;
    return true;
  }
};

}  // namespace sim::vexo
