// Fault injection on the bus: every way the transport between host and device can misbehave
// (stalls, timeouts, cut transfers, a pulled cable). What a device model itself does wrong is its
// own (for the Vexo: sim/vexo/faults.h). A fault matches a kind of request (and optionally a
// bRequest, endpoint, report ID or device), lets `skip` matching requests pass, then fires `times`
// times. The libusb and hidapi front ends ask take() before every request, and shape a transfer by
// cut_transfer(); device models never see faults.
//
//   sim::bus().faults().add({.match = {.kind = sim::RequestKind::ControlOut, .request = 1},
//                            .action = sim::Action::stall(), .skip = 3});
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/device.h"
#include "sim/request_log.h"

namespace sim {

// What a front end knows about a request before it is carried out. As a fault's match, a field
// left empty (a null device) matches any request.
struct RequestKey {
  RequestKind kind{};
  const Device* device = nullptr;           // the model the request goes to
  std::optional<std::uint8_t> request{};    // control transfers: bRequest
  std::optional<std::uint8_t> endpoint{};   // interrupt transfers
  std::optional<std::uint8_t> report_id{};  // HID reports and feature reports
};

struct Action {
  enum class Type : std::uint8_t {
    Stall,    // LIBUSB_ERROR_PIPE; HID: -1
    Timeout,  // the full timeout passes; LIBUSB_ERROR_TIMEOUT; HID read: 0, other HID calls: -1
    Short,    // the transfer moves only `bytes` bytes (the model sees only those on OUT)
    Error,    // `code` returned as it is; HID: -1
    // The first `bytes` bytes move (fewer if the packet is shorter or none comes in time), then
    // the transfer ends with LIBUSB_ERROR_INTERRUPTED; with `bytes` 0 at once. hidapi, which
    // knows only counts, returns the bytes that moved.
    InterruptedAfter,
    // As InterruptedAfter, but the whole timeout passes and it ends with LIBUSB_ERROR_TIMEOUT;
    // a HID read returns the bytes that moved once its timeout has passed.
    TimeoutAfter,
    Unplug,  // the device disappears before the request reaches it
  };
  Type type = Type::Stall;
  int bytes = 0;
  int code = 0;
  // Unplug: plug the same model in again (as a new device) after this much virtual time.
  std::optional<std::chrono::nanoseconds> replug_after{};

  static Action stall() { return {Type::Stall}; }
  static Action timeout() { return {Type::Timeout}; }
  static Action short_transfer(int bytes) { return {Type::Short, bytes}; }
  static Action error(int code) { return {Type::Error, 0, code}; }
  static Action interrupted_after(int bytes) { return {Type::InterruptedAfter, bytes}; }
  static Action timeout_after(int bytes) { return {Type::TimeoutAfter, bytes}; }
  static Action unplug(std::optional<std::chrono::nanoseconds> replug_after = std::nullopt) {
    return {Type::Unplug, 0, 0, replug_after};
  }

  // The libusb return code of this action for a request that moves no data (open, claim, ...).
  int libusb_code() const;
};

// What a fault does to one transfer that could move `length` bytes, decided here for every front
// end: either it ends the transfer before anything moves, or at most `limit` bytes move and the
// transfer then ends as `end` says. Each front end turns that into its library's return values.
struct TransferCut {
  enum class End : std::uint8_t { Normally, Interrupted, TimedOut };
  bool at_once = false;  // stall, error, unplug, timeout, interrupted after 0 bytes
  std::size_t limit = 0;
  End end = End::Normally;
};
// No fault moves all `length` bytes and ends normally.
TransferCut cut_transfer(const std::optional<Action>& fault, std::size_t length);

struct Fault {
  RequestKey match{};
  Action action{};
  int skip = 0;   // matching requests let through first
  int times = 1;  // how often it fires; negative: every time from then on
};

class Faults {
 public:
  void add(Fault fault) { armed_.push_back(fault); }
  void clear() {
    armed_.clear();
    fired_ = 0;
  }
  // Faults that have not fired as often as they were told to.
  std::size_t pending() const;
  // How often a fault fired since the last clear.
  int fired() const { return fired_; }

  // The first armed fault that matches, counted as fired; faults are tried in the order added.
  std::optional<Action> take(const RequestKey& key);

 private:
  std::vector<Fault> armed_;
  int fired_ = 0;
};

}  // namespace sim
